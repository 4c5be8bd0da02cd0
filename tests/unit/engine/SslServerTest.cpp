// The TLS listener beside the plain one in one server object.
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <mutex>

#include "tests/unit/engine/FtpTestServer.h"
#include "engine/ServerEventSink.h"

using namespace std::chrono_literals;

namespace tw {
namespace {

using namespace test;

// A TLS client over a blocking loopback connection.
class TlsClient {
public:
    explicit TlsClient(int port) : conn_(Conn::To(port)), ctx_(SSL_CTX_new(TLS_client_method())) {
        ssl_ = SSL_new(ctx_);
        SSL_set_fd(ssl_, conn_.Fd());
        connected_ = SSL_connect(ssl_) == 1;
    }
    ~TlsClient() {
        SSL_free(ssl_);
        SSL_CTX_free(ctx_);
    }
    bool Connected() const { return connected_; }
    bool Send(const std::string& bytes) {
        return SSL_write(ssl_, bytes.data(), static_cast<int>(bytes.size())) == static_cast<int>(bytes.size());
    }
    // Bytes on the TCP connection beside the TLS layer.
    void SendRaw(const std::string& bytes) { conn_.Send(bytes); }
    // One reply line without CR LF; "<closed>" when the server has closed.
    std::string Line() {
        std::string line;
        char c;
        while (SSL_read(ssl_, &c, 1) == 1) {
            line += c;
            if (line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0) return line.substr(0, line.size() - 2);
        }
        return line.empty() ? "<closed>" : line;
    }

private:
    Conn conn_;
    SSL_CTX* ctx_;
    SSL* ssl_ = nullptr;
    bool connected_ = false;
};

// Keeps the event lines, without their time prefix.
class LineSink : public CServerEventSink {
public:
    void OnMessage(EventLevel, const std::string& line) override {
        std::lock_guard lock(mutex_);
        lines_.push_back(line.substr(23));
    }

    std::vector<std::string> Lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    bool Has(const std::string& line) {
        auto all = Lines();
        return std::find(all.begin(), all.end(), line) != all.end();
    }

private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

// A server with its TLS listener on a free port and a certificate set in its program directory.
struct TlsServer {
    TempDir dir;
    LineSink sink;
    std::unique_ptr<TestServer> server;
    int sslPort = 0;

    TlsServer() {
        EXPECT_TRUE(MakeCertificates(dir.Path()));
        setenv("TARNWICK_HOME", dir.Path().c_str(), 1);  // the server looks its certificates up there
        server = std::make_unique<TestServer>(dir.Path(), [this](CFtpServer& s) {
            s.SetEventSink(&sink);
            s.SetSslPort(0);
            EXPECT_TRUE(s.StartSslServer());
        });
        unsetenv("TARNWICK_HOME");
        sslPort = server->OnServer([](CFtpServer& s) { return s.SslListeningPort(); });
    }
    template <typename F>
    auto OnServer(F fn) {
        return server->OnServer(fn);
    }
};

bool Eventually(const std::function<bool()>& f, std::chrono::milliseconds limit = 3000ms) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!f() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(5ms);
    return f();
}

TEST(SslServer, CommandLinesGatheredByOneReadAreAllServedAndOnlyTheUnfinishedRestIsBounded) {
    TlsServer tls;
    TlsClient c(tls.sslPort);
    ASSERT_TRUE(c.Connected());
    ASSERT_EQ(c.Line(), "220 Welcome to Tarnwick FTP Server");
    // Logged in: more than 20 commands before login would end the connection.
    ASSERT_TRUE(c.Send("USER user\r\nPASS pw\r\n"));
    ASSERT_EQ(c.Line(), "331 username ok, need password.");
    ASSERT_EQ(c.Line(), "230 User logged in. proceed.");
    // 9,000 bytes of complete lines and an unfinished one of exactly the limit, in one record. Long lines,
    // so that all their event lines stay within the line budget of the address.
    std::string burst;
    for (int i = 0; i < 60; ++i) burst += "NOOP " + std::string(143, 'x') + "\r\n";
    ASSERT_TRUE(c.Send(burst + std::string(8192, 'Y')));
    int replies = 0;
    while (replies < 60 && c.Line() == "200 NOOP command successful.") ++replies;
    EXPECT_EQ(replies, 60);
    ASSERT_TRUE(c.Send("\r\n"));
    EXPECT_EQ(c.Line(), "502 Command not implemented.");  // the 8,192-byte line
    ASSERT_TRUE(c.Send("NOOP\r\n" + std::string(8193, 'Z')));
    EXPECT_EQ(c.Line(), "<closed>");
    EXPECT_TRUE(Eventually([&] { return tls.sink.Has("127.0.0.1 has disconnected from SSL server."); }));
    EXPECT_TRUE(tls.sink.Has("error command: NOOP??" + std::string(122, 'Z')));  // control bytes show as "?"
}

TEST(SslServer, ABrokenRecordEndsTheConnectionWithoutAnErrorLine) {
    TlsServer tls;
    TlsClient c(tls.sslPort);
    ASSERT_TRUE(c.Connected());
    ASSERT_EQ(c.Line(), "220 Welcome to Tarnwick FTP Server");
    c.SendRaw(std::string("\x17\x03\x03\x00\x20", 5) + std::string(32, 'x'));
    EXPECT_EQ(c.Line(), "<closed>");
    EXPECT_TRUE(Eventually([&] { return tls.sink.Has("127.0.0.1 has disconnected from SSL server."); }));
    for (const auto& line : tls.sink.Lines()) EXPECT_EQ(line.find("OnReceive error"), std::string::npos) << line;
}

TEST(SslServer, AStopDoesNotWaitForAClientStillInItsHandshake) {
    TlsServer tls;
    Conn silent = Conn::To(tls.sslPort);  // connects and never starts its handshake
    ASSERT_TRUE(silent.Ok());
    ASSERT_TRUE(Eventually([&] { return tls.OnServer([](CFtpServer& s) { return s.ThreadsRunning(); }); }));
    auto start = std::chrono::steady_clock::now();
    tls.OnServer([](CFtpServer& s) {
        s.StopSslServer();
        return 0;
    });
    // The handshake limit is 10 s; the stop must not sit it out.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    EXPECT_EQ(silent.Line(), "<closed>");  // closed without a word
    EXPECT_FALSE(tls.OnServer([](CFtpServer& s) { return s.ThreadsRunning(); }));
    EXPECT_EQ(tls.OnServer([](CFtpServer& s) { return s.TotalConnections(); }), 0);
    EXPECT_FALSE(tls.sink.Has("127.0.0.1 has connected to SSL server."));
}

TEST(SslServer, StoppingTheTlsServerEndsOnlyTlsConnections) {
    TempDir dir;
    ASSERT_TRUE(MakeCertificates(dir.Path()));
    setenv("TARNWICK_HOME", dir.Path().c_str(), 1);  // the server looks its certificates up there
    TestServer server(dir.Path(), [](CFtpServer& s) {
        s.SetSslPort(0);
        EXPECT_TRUE(s.StartSslServer());
    });
    unsetenv("TARNWICK_HOME");
    int sslPort = server.OnServer([](CFtpServer& s) { return s.SslListeningPort(); });
    ASSERT_GT(sslPort, 0);

    Session plain(server.Port(), false);
    TlsClient secure(sslPort);
    ASSERT_TRUE(secure.Connected());
    EXPECT_EQ(secure.Line(), "220 Welcome to Tarnwick FTP Server");
    EXPECT_EQ(server.OnServer([](CFtpServer& s) { return s.CurrentConnections(); }), 2);

    server.OnServer([](CFtpServer& s) {
        s.StopSslServer();
        return 0;
    });
    EXPECT_EQ(secure.Line(), "<closed>");
    EXPECT_EQ(plain.Cmd("NOOP"), "530 Please login with USER and PASS.");
    EXPECT_TRUE(server.OnServer([](CFtpServer& s) { return s.IsRunning() && !s.IsSslRunning(); }));
    EXPECT_EQ(server.OnServer([](CFtpServer& s) { return s.CurrentConnections(); }), 1);
}

}  // namespace
}  // namespace tw
