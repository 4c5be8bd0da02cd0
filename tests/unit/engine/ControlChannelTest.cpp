// The server object and the control channel in-process: a server thread owns CFtpServer, the test
// thread is a blocking client on loopback.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>

#include "engine/FtpServer.h"
#include "engine/ServerEventSink.h"

using namespace std::chrono_literals;

namespace tw {
namespace {

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

// Owns a server on its own thread, listening on a free port.
class ServerThread {
public:
    std::atomic<std::time_t> now{1'000'000};
    RecordingSink sink;

    explicit ServerThread(int timeoutMinutes = 10, int maxUsers = 10) {
        std::promise<void> ready;
        thread_ = std::thread([&] {
            MessageLoop loop;
            CFtpServer server;
            server.SetEventSink(&sink);
            server.SetClock([this] { return now.load(); });
            server.SetTimeout(timeoutMinutes);
            server.SetMaxUsers(maxUsers);
            server.SetPort(0);
            started_ = server.StartServer();
            port_ = server.ListeningPort();
            loop_ = &loop;
            server_ = &server;
            ready.set_value();
            loop.Run();
            server.StopServer();
        });
        ready.get_future().wait();
    }
    ~ServerThread() {
        MessageLoop::PostThreadMessage(loop_->Thread(), WM_QUIT);
        thread_.join();
    }
    int Port() const { return port_; }
    bool Started() const { return started_; }
    // Runs `fn` on the server thread and returns its result.
    template <typename F>
    auto OnServer(F fn) {
        std::packaged_task<decltype(fn(*server_))()> task([&] { return fn(*server_); });
        auto result = task.get_future();
        loop_->PostTask([&] { task(); });
        return result.get();
    }

private:
    std::thread thread_;
    MessageLoop* loop_ = nullptr;
    CFtpServer* server_ = nullptr;
    bool started_ = false;
    int port_ = 0;
};

class Client {
public:
    explicit Client(int port) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        timeval tv{10, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    ~Client() { close(fd_); }
    bool Connected() const { return connected_; }
    void Send(const std::string& s) { ASSERT_EQ(send(fd_, s.data(), s.size(), MSG_NOSIGNAL), static_cast<ssize_t>(s.size())); }
    // One reply line without CR LF; "" after 10 s without one, "<closed>" when the server closed.
    std::string Line() {
        std::string line;
        char c;
        for (;;) {
            ssize_t n = recv(fd_, &c, 1, 0);
            if (n == 0) return line.empty() ? "<closed>" : line;
            if (n < 0) return line;
            line += c;
            if (line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0) return line.substr(0, line.size() - 2);
        }
    }
    // True when nothing arrives within `wait`.
    bool Silent(std::chrono::milliseconds wait) {
        timeval tv{wait.count() / 1000, static_cast<suseconds_t>(wait.count() % 1000 * 1000)};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        char c;
        ssize_t n = recv(fd_, &c, 1, MSG_PEEK);
        timeval back{10, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &back, sizeof back);
        return n < 0;
    }

private:
    int fd_;
    bool connected_;
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
    ServerThread server(10);
    Client c(server.Port());
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
    ServerThread server;
    {
        Client c(server.Port());
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
    ServerThread server(10, 1);
    Client a(server.Port());
    EXPECT_EQ(a.Line(), "220 Welcome to Tarnwick FTP Server");
    Client b(server.Port());
    EXPECT_EQ(b.Line(), "421 Too many users are connected, please try again later.");
    EXPECT_EQ(b.Line(), "<closed>");
    server.OnServer([](CFtpServer& s) {
        s.SetMaxUsers(0);
        return 0;
    });
    Client c(server.Port());
    EXPECT_EQ(c.Line(), "421 Too many users are connected, please try again later.");
}

TEST(ControlChannel, StopEndsEveryConnectionAndAStartedServerDoesNotStartTwice) {
    ServerThread server;
    EXPECT_TRUE(server.Started());
    EXPECT_FALSE(server.OnServer([](CFtpServer& s) { return s.StartServer(); }));
    Client a(server.Port()), b(server.Port());
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
    ServerThread first;
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
