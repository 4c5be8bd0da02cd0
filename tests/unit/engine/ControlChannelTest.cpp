// The server object and the control channel in-process: a server thread owns CFtpServer, the test
// thread is a blocking client on loopback.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>

#include "tests/unit/engine/FtpTestServer.h"
#include "engine/ConnectThread.h"
#include "engine/FtpServer.h"
#include "engine/ServerEventSink.h"

using namespace std::chrono_literals;

namespace tw {
namespace {

using namespace test;

class RecordingSink : public CServerEventSink {
public:
    void OnDisconnect(ThreadId thread, const std::string&) override {
        std::lock_guard lock(mutex);
        disconnects.push_back(thread);
    }
    void OnCommand(ThreadId, const std::string&, const std::string& line) override {
        std::lock_guard lock(mutex);
        commands.push_back(line);
    }
    void OnMessage(EventLevel, const std::string& line) override {
        std::lock_guard lock(mutex);
        lines.push_back(line.substr(23));  // without the time prefix
    }

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
    server.OnServer([](CFtpServer& s) {
        s.SetLoginTimeout(0);  // idle before login as well
        return 0;
    });
    Conn c = Conn::To(server.Port());
    ASSERT_EQ(c.Line(), "220 Welcome to Tarnwick FTP Server");
    server.now += 9 * 60;  // 9 minutes idle: stays
    EXPECT_TRUE(c.Silent(1500ms));
    c.Send("NOOP\r\n");  // a command line is activity
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

TEST(ControlChannel, OnlyWholeCommandLinesKeepAConnectionFromItsTimeOuts) {
    Observed server(1);
    server.OnServer([](CFtpServer& s) {
        s.SetLoginTimeout(0);
        return 0;
    });
    Conn c = Conn::To(server.Port());
    ASSERT_EQ(c.Line(), "220 Welcome to Tarnwick FTP Server");
    // Sending the greeting is activity too: the clock moves only once the server has counted it.
    ASSERT_TRUE(Eventually([&] { return server.OnServer([](CFtpServer& s) { return s.BytesSent(); }) == 36u; }));
    server.now += 40;
    c.Send("NO");  // a line never finished
    ASSERT_TRUE(Eventually([&] { return server.OnServer([](CFtpServer& s) { return s.BytesReceived(); }) == 2u; }));
    server.now += 30;  // 70 s after the last whole line, 30 s after the last byte
    EXPECT_EQ(c.Line(), "426 Connection timed out, aborting transfer");
    EXPECT_EQ(c.Line(), "<closed>");

    // The login time-out runs from the connect, and again from a USER that logs a connection out.
    server.OnServer([](CFtpServer& s) {
        s.SetTimeout(10);
        s.SetLoginTimeout(30);
        return 0;
    });
    Conn slow = Conn::To(server.Port());
    Session in(server.Port());
    ASSERT_EQ(slow.Line(), "220 Welcome to Tarnwick FTP Server");
    server.now += 31;
    EXPECT_EQ(slow.Line(), "421 Login timeout.");
    EXPECT_EQ(slow.Line(), "<closed>");
    EXPECT_TRUE(in.control.Silent(1500ms));
    EXPECT_EQ(in.Cmd("USER user"), "331 username ok, need password.");
    server.now += 31;
    EXPECT_EQ(in.Line(), "421 Login timeout.");
}

TEST(ControlChannel, FailedLoginsAreAnsweredLateWithoutHoldingUpOthersAndBanTheAddress) {
    Observed server;
    server.OnServer([](CFtpServer& s) {
        s.SetLoginFailDelay(300);
        s.SetMaxLoginFails(2);
        s.SetBanAfterFails(3);
        s.SetBanMinutes(1);
        return 0;
    });
    Conn guesser = Conn::To(server.Port()), other = Conn::To(server.Port());
    ASSERT_EQ(guesser.Line(), "220 Welcome to Tarnwick FTP Server");
    ASSERT_EQ(other.Line(), "220 Welcome to Tarnwick FTP Server");
    guesser.Send("USER user\r\nPASS bad\r\nNOOP\r\n");
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(guesser.Line(), "331 username ok, need password.");
    other.Send("NOOP\r\n");
    EXPECT_EQ(other.Line(), "530 Please login with USER and PASS.");
    // The failure is answered after the delay; the line behind it waits its turn.
    EXPECT_EQ(guesser.Line(), "530 username or password incorrect.");
    EXPECT_GE(std::chrono::steady_clock::now() - start, 290ms);
    EXPECT_EQ(guesser.Line(), "530 Please login with USER and PASS.");
    guesser.Send("PASS pw\r\n");  // one failure of two allowed: the right password still logs in
    guesser.Send("PASS bad\r\n");
    EXPECT_EQ(guesser.Line(), "230 User logged in. proceed.");
    // The success leaves the connection's count as it was: its second failure ends it.
    EXPECT_EQ(guesser.Line(), "421 Too many failed logins.");
    EXPECT_EQ(guesser.Line(), "<closed>");
    EXPECT_FALSE(server.sink.HasLine("127.0.0.1 banned after 3 failed logins."));

    // The success cleared the address's first failure: this is its second, the next its third.
    Conn third = Conn::To(server.Port());
    ASSERT_EQ(third.Line(), "220 Welcome to Tarnwick FTP Server");
    third.Send("USER nobody\r\nPASS x\r\n");
    EXPECT_EQ(third.Line(), "331 username ok, need password.");
    EXPECT_EQ(third.Line(), "530 username or password incorrect.");
    third.Send("PASS x\r\n");
    EXPECT_EQ(third.Line(), "421 Too many failed logins.");
    EXPECT_TRUE(Eventually([&] { return server.sink.HasLine("127.0.0.1 banned after 3 failed logins."); }));
    // A banned address is refused at connect, and its connections still open cannot log in.
    Conn refused = Conn::To(server.Port());
    EXPECT_EQ(refused.Line(), "421 Access denied, IP address was rejected by the server.");
    EXPECT_EQ(refused.Line(), "<closed>");
    other.Send("USER user\r\nPASS pw\r\n");
    EXPECT_EQ(other.Line(), "331 username ok, need password.");
    EXPECT_EQ(other.Line(), "530 username or password incorrect.");
    // The ban ends after its minutes.
    server.now += 61;
    Session after(server.Port());
    EXPECT_EQ(after.Cmd("PWD"), "257 \"/\" is current directory.");
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

TEST(ControlChannel, ConnectionTagsTellConnectionsApartAndCanBeSwitchedOff) {
    EXPECT_EQ(ConnectionTag(12, "192.0.2.7"), "[#12 192.0.2.7]");
    EXPECT_EQ(ConnectionTag(3, "2001:db8::1"), "[#3 2001:db8::1]");

    Observed server;
    server.OnServer([](CFtpServer& s) {
        s.SetLogSessionTags(true);
        return 0;
    });
    Conn a = Conn::To(server.Port());
    Conn b = Conn::To(server.Port());
    ASSERT_EQ(a.Line(), "220 Welcome to Tarnwick FTP Server");
    ASSERT_EQ(b.Line(), "220 Welcome to Tarnwick FTP Server");
    a.Send("USER alice\r\n");
    ASSERT_EQ(a.Line(), "331 username ok, need password.");
    b.Send("USER bob\r\n");
    ASSERT_EQ(b.Line(), "331 username ok, need password.");
    // Each command line's tag is that of the connection's own connect line, and the two differ.
    auto tagOf = [&](const std::string& message) {
        std::lock_guard lock(server.sink.mutex);
        for (const std::string& l : server.sink.lines)
            if (l.ends_with("] " + message)) return l.substr(0, l.size() - message.size() - 1);
        return std::string();
    };
    ASSERT_TRUE(Eventually([&] { return !tagOf(">> USER bob").empty(); }));
    const std::string tagA = tagOf(">> USER alice"), tagB = tagOf(">> USER bob");
    EXPECT_TRUE(tagA.starts_with("[#") && tagA.ends_with(" 127.0.0.1]")) << tagA;
    EXPECT_NE(tagA, tagB);
    // A reply is logged once sent, the connect line by the owning thread: either may come after the reply.
    EXPECT_TRUE(Eventually([&] { return server.sink.HasLine(tagA + " 127.0.0.1 has connected to server."); }));
    EXPECT_TRUE(Eventually([&] { return server.sink.HasLine(tagB + " 331 username ok, need password."); }));

    // Switched off, running connections write the lines as they were.
    server.OnServer([](CFtpServer& s) {
        s.SetLogSessionTags(false);
        return 0;
    });
    a.Send("PASS wrong\r\n");
    ASSERT_EQ(a.Line(), "530 username or password incorrect.");
    EXPECT_TRUE(server.sink.HasLine(">> PASS ***"));
    EXPECT_TRUE(server.sink.HasLine("Login failed: user 'alice' from 127.0.0.1."));
    a.Close();
    EXPECT_TRUE(Eventually([&] { return server.sink.HasLine("127.0.0.1 has disconnected from server."); }));
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
