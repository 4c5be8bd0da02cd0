// The server object and the control channel in-process: a server thread owns CFtpServer, the test
// thread is a blocking client on loopback.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>

#include "FtpTestServer.h"
#include "engine/FtpServer.h"
#include "engine/ServerEventSink.h"

using namespace std::chrono_literals;

namespace tw {
namespace {

using namespace test;

class RecordingSink : public CServerEventSink {
public:
    void OnUser(ThreadId, const std::string&, const std::string&) override {}
    void OnDisconnect(ThreadId thread, const std::string&) override {
        std::lock_guard lock(mutex);
        disconnects.push_back(thread);
    }
    void OnCommand(ThreadId, const std::string&, const std::string& line) override {
        std::lock_guard lock(mutex);
        commands.push_back(line);
    }
    void OnMessage(int, const std::string& line) override {
        std::lock_guard lock(mutex);
        lines.push_back(line.substr(23));  // without the time prefix
    }
    void OnBytesReceived(uint32_t) override {}
    void OnBytesSent(uint32_t) override {}
    void OnCounter(int, int) override {}

    bool HasLine(const std::string& text) {
        std::lock_guard lock(mutex);
        return std::find(lines.begin(), lines.end(), text) != lines.end();
    }
    std::mutex mutex;
    std::vector<std::string> lines, commands;
    std::vector<ThreadId> disconnects;
};

// A server whose idle clock the test moves and whose events it records.
struct Observed {
    std::atomic<std::time_t> now{1'000'000};
    RecordingSink sink;
    TempDir home;
    std::unique_ptr<TestServer> server;

    explicit Observed(int timeoutMinutes = 10, int maxUsers = 10) {
        server = std::make_unique<TestServer>(home.Path(), [=, this](CFtpServer& s) {
            s.SetEventSink(&sink);
            s.SetClock([this] { return now.load(); });
            s.SetTimeout(timeoutMinutes);
            s.SetMaxUsers(maxUsers);
        });
    }
    int Port() const { return server->Port(); }
    template <typename F>
    auto OnServer(F fn) {
        return server->OnServer(fn);
    }
};

// Waits (bounded) for a condition another thread makes true.
template <typename F>
bool Eventually(F f, std::chrono::milliseconds limit = 3000ms) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (f()) return true;
        std::this_thread::sleep_for(5ms);
    }
    return f();
}

TEST(ControlChannel, IdleTimeOutFollowsLastActivityAndTheCurrentTimeOut) {
    Observed server(10);
    Conn c = Conn::To(server.Port());
    ASSERT_EQ(c.Line(), "220 Welcome to Tarnwick FTP Server");
    server.now += 9 * 60;  // 9 minutes idle: stays
    EXPECT_TRUE(c.Silent(1500ms));
    c.Send("NOOP\r\n");  // any received byte is activity
    EXPECT_EQ(c.Line(), "530 Please login with USER and PASS.");
    // The reply's bytes are counted (and the activity noted) just after they were sent.
    ASSERT_TRUE(Eventually([&] { return server.OnServer([](CFtpServer& s) { return s.BytesSent(); }) == 36u + 38u; }));
    server.now += 9 * 60;
    EXPECT_TRUE(c.Silent(1500ms));
    server.OnServer([](CFtpServer& s) {
        s.SetTimeout(5);  // applies to running connections
        return 0;
    });
    EXPECT_EQ(c.Line(), "426 Connection timed out, aborting transfer");
    EXPECT_EQ(c.Line(), "<closed>");
    EXPECT_TRUE(Eventually([&] { return server.sink.HasLine("127.0.0.1 has disconnected from server."); }));
}

TEST(ControlChannel, CountersAndHostEventsFollowTheConnection) {
    Observed server;
    {
        Conn c = Conn::To(server.Port());
        ASSERT_EQ(c.Line(), "220 Welcome to Tarnwick FTP Server");
        c.Send("PASS my secret\r\nnoop\r\n");
        EXPECT_EQ(c.Line(), "503 Please login with USER.");
        EXPECT_EQ(c.Line(), "530 Please login with USER and PASS.");
        EXPECT_EQ(server.OnServer([](CFtpServer& s) { return s.CurrentConnections(); }), 1);
        c.Send("QUIT\r\n");
        EXPECT_EQ(c.Line(), "220 GoodBye");
        EXPECT_EQ(c.Line(), "<closed>");
    }
    ASSERT_TRUE(Eventually([&] { return server.OnServer([](CFtpServer& s) { return s.CurrentConnections(); }) == 0; }));
    EXPECT_EQ(server.OnServer([](CFtpServer& s) { return s.TotalConnections(); }), 1);
    // "PASS my secret\r\nnoop\r\nQUIT\r\n" received; greeting and three replies sent.
    EXPECT_EQ(server.OnServer([](CFtpServer& s) { return s.BytesReceived(); }), 28u);
    EXPECT_EQ(server.OnServer([](CFtpServer& s) { return s.BytesSent(); }), 36u + 29u + 38u + 13u);
    std::lock_guard lock(server.sink.mutex);
    EXPECT_EQ(server.sink.commands, (std::vector<std::string>{"PASS ***", "noop", "QUIT"}));
    EXPECT_EQ(server.sink.disconnects.size(), 1u);
    for (auto& l : server.sink.lines) EXPECT_EQ(l.find("secret"), std::string::npos) << l;
}

TEST(ControlChannel, ConnectionLimitCountsTheNewConnectionFirst) {
    Observed server(10, 1);
    Conn a = Conn::To(server.Port());
    EXPECT_EQ(a.Line(), "220 Welcome to Tarnwick FTP Server");
    Conn b = Conn::To(server.Port());
    EXPECT_EQ(b.Line(), "421 Too many users are connected, please try again later.");
    EXPECT_EQ(b.Line(), "<closed>");
    server.OnServer([](CFtpServer& s) {
        s.SetMaxUsers(0);
        return 0;
    });
    Conn c = Conn::To(server.Port());
    EXPECT_EQ(c.Line(), "421 Too many users are connected, please try again later.");
}

TEST(ControlChannel, StopEndsEveryConnectionAndAStartedServerDoesNotStartTwice) {
    Observed server;
    EXPECT_TRUE(server.server->Started());
    EXPECT_FALSE(server.OnServer([](CFtpServer& s) { return s.StartServer(); }));
    Conn a = Conn::To(server.Port());
    Conn b = Conn::To(server.Port());
    EXPECT_EQ(a.Line(), "220 Welcome to Tarnwick FTP Server");
    EXPECT_EQ(b.Line(), "220 Welcome to Tarnwick FTP Server");
    auto start = std::chrono::steady_clock::now();
    server.OnServer([](CFtpServer& s) {
        s.StopServer();
        return 0;
    });
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2000ms);
    EXPECT_EQ(a.Line(), "<closed>");  // no farewell on stop
    EXPECT_EQ(b.Line(), "<closed>");
    EXPECT_EQ(server.OnServer([](CFtpServer& s) { return s.CurrentConnections(); }), 0);
    EXPECT_TRUE(server.sink.HasLine("Server is stopped."));
}

TEST(ControlChannel, APortInUseIsReported) {
    Observed first;
    int port = first.Port();
    std::promise<bool> result;
    RecordingSink sink;
    std::thread t([&] {
        MessageLoop loop;
        CFtpServer server;
        server.SetEventSink(&sink);
        server.SetPort(port);
        result.set_value(server.StartServer());
    });
    EXPECT_FALSE(result.get_future().get());
    t.join();
    EXPECT_TRUE(sink.HasLine("Server cannot run on port " + std::to_string(port) + "."));
}

}  // namespace
}  // namespace tw
