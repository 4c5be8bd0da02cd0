// Explicit TLS on the plain listener within one server object: what each listener offers, a connection
// switched to TLS in place (and still the plain listener's), and a stop during the handshake after AUTH.
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "tests/unit/engine/FtpTestServer.h"
#include "engine/ServerEventSink.h"

using namespace std::chrono_literals;

namespace tw {
namespace {

using namespace test;

// Client side of TLS over a connection that has already spoken in clear.
class TlsOver {
public:
    explicit TlsOver(Conn& conn) : ctx_(SSL_CTX_new(TLS_client_method())), ssl_(SSL_new(ctx_)) {
        SSL_set_fd(ssl_, conn.Fd());
        connected_ = SSL_connect(ssl_) == 1;
    }
    ~TlsOver() {
        SSL_free(ssl_);
        SSL_CTX_free(ctx_);
    }
    bool Connected() const { return connected_; }
    std::string Cmd(const std::string& line) {
        const std::string bytes = line + "\r\n";
        SSL_write(ssl_, bytes.data(), static_cast<int>(bytes.size()));
        return Line();
    }
    // One reply line without CR LF; "<closed>" when the server has closed.
    std::string Line() {
        std::string line;
        char c;
        while (SSL_read(ssl_, &c, 1) == 1) {
            line += c;
            if (line.ends_with("\r\n")) return line.substr(0, line.size() - 2);
        }
        return "<closed>";
    }

private:
    SSL_CTX* ctx_;
    SSL* ssl_;
    bool connected_ = false;
};

class CountingSink : public CServerEventSink {
public:
    void OnMessage(EventLevel, const std::string& line) override {
        std::lock_guard lock(mutex_);
        lines_.push_back(line.substr(23));  // without the time prefix
    }
    int StartingWith(const std::string& prefix) {
        std::lock_guard lock(mutex_);
        return static_cast<int>(std::count_if(lines_.begin(), lines_.end(),
                                              [&](const std::string& l) { return l.starts_with(prefix); }));
    }

private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

// A server whose program directory holds a certificate set unless `certificates` is false; the TLS
// listener runs too when `tlsListener`.
struct Server {
    TempDir dir;
    CountingSink sink;
    std::unique_ptr<TestServer> server;

    explicit Server(bool certificates, bool tlsListener = false) {
        if (certificates) {
            EXPECT_TRUE(MakeCertificates(dir.Path()));
        }
        setenv("TARNWICK_HOME", dir.Path().c_str(), 1);  // the server looks its certificates up there
        server = std::make_unique<TestServer>(dir.Path(), [this, tlsListener](CFtpServer& s) {
            s.SetEventSink(&sink);
            s.SetSslPort(0);
            if (tlsListener) {
                EXPECT_TRUE(s.StartSslServer());
            }
        });
        unsetenv("TARNWICK_HOME");
    }
    int Port() const { return server->Port(); }
    int TlsPort() { return server->OnServer([](CFtpServer& s) { return s.SslListeningPort(); }); }
    template <typename F>
    auto OnServer(F fn) {
        return server->OnServer(fn);
    }
};

// The FEAT lines between "211-Features:" and "211 End".
template <typename Client>
std::vector<std::string> Features(Client& c, const std::string& first) {
    EXPECT_EQ(first, "211-Features:");
    std::vector<std::string> lines;
    for (std::string line = c.Line(); line != "211 End" && line != "<closed>" && !line.empty(); line = c.Line())
        lines.push_back(line);
    return lines;
}

bool Has(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST(ExplicitTls, EachListenerAnnouncesItsOwnTlsCommands) {
    Server s(true, true);
    EXPECT_EQ(s.sink.StartingWith("TLS is not available: "), 0);
    Session plain(s.Port(), false);
    auto features = Features(plain, plain.Cmd("FEAT"));
    for (const char* line : {" AUTH TLS", " PBSZ", " PROT"}) EXPECT_TRUE(Has(features, line)) << line;
    EXPECT_EQ(plain.Cmd("HELP AUTH"), "214 Protect the control connection: AUTH TLS");

    // The TLS listener keeps its own table: no AUTH, and PBSZ/PROT only after login.
    Conn raw = Conn::To(s.TlsPort());
    TlsOver implicit(raw);
    ASSERT_TRUE(implicit.Connected());
    EXPECT_EQ(implicit.Line(), "220 Welcome to Tarnwick FTP Server");
    EXPECT_EQ(implicit.Cmd("PROT P"), "530 Please login with USER and PASS.");
    EXPECT_EQ(implicit.Cmd("HELP AUTH"), "501 Bad command.");
    features = Features(implicit, implicit.Cmd("FEAT"));
    EXPECT_FALSE(Has(features, " AUTH TLS"));
    EXPECT_TRUE(Has(features, " PROT"));
    EXPECT_TRUE(Has(features, " PBSZ"));
    EXPECT_EQ(implicit.Cmd("USER user"), "331 username ok, need password.");
    EXPECT_EQ(implicit.Cmd("PASS pw"), "230 User logged in. proceed.");
    EXPECT_EQ(implicit.Cmd("AUTH TLS"), "502 Command not implemented.");
    EXPECT_EQ(implicit.Cmd("PROT C"), "536 Requested PROT level not supported by mechanism.");
}

TEST(ExplicitTls, AConnectionSwitchedInPlaceStaysWithThePlainListener) {
    Server s(true, true);
    Conn raw = Conn::To(s.Port());
    ASSERT_EQ(raw.Line(), "220 Welcome to Tarnwick FTP Server");
    raw.Send("AUTH TLS\r\n");
    ASSERT_EQ(raw.Line(), "234 AUTH TLS successful.");
    TlsOver tls(raw);
    ASSERT_TRUE(tls.Connected());
    EXPECT_EQ(tls.Cmd("USER user"), "331 username ok, need password.");
    EXPECT_EQ(tls.Cmd("PASS pw"), "230 User logged in. proceed.");
    EXPECT_EQ(tls.Cmd("AUTH TLS"), "503 TLS is already in use.");
    s.OnServer([](CFtpServer& s) {
        s.StopSslServer();
        return 0;
    });
    EXPECT_EQ(tls.Cmd("NOOP"), "200 NOOP command successful.");
    EXPECT_EQ(s.OnServer([](CFtpServer& s) { return s.CurrentConnections(); }), 1);
    // Its protected data connections use the context the connection holds, though the TLS listener has
    // let go of the server's.
    EXPECT_EQ(tls.Cmd("PROT P"), "200 PROT command OK.");
    const std::string pasv = tls.Cmd("PASV");
    int a, b, c, d, high, low;
    ASSERT_EQ(std::sscanf(pasv.c_str(), "227 Entering Passive Mode (%d,%d,%d,%d,%d,%d).", &a, &b, &c, &d, &high, &low),
              6);
    Conn rawData = Conn::To(high * 256 + low);
    EXPECT_EQ(tls.Cmd("NLST"), "150 Accepted data connection.");
    TlsOver data(rawData);
    ASSERT_TRUE(data.Connected());
    std::vector<std::string> names;
    for (std::string line = data.Line(); line != "<closed>"; line = data.Line()) names.push_back(line);
    EXPECT_TRUE(Has(names, "ServerCert.pem"));
    EXPECT_EQ(tls.Line(), "226 Transfer complete.");
    EXPECT_EQ(tls.Cmd("QUIT"), "220 GoodBye");
}

TEST(ExplicitTls, AStopEndsAHandshakeAfterAuthAtOnce) {
    Server s(true);
    Conn raw = Conn::To(s.Port());
    ASSERT_EQ(raw.Line(), "220 Welcome to Tarnwick FTP Server");
    raw.Send("AUTH TLS\r\n");
    ASSERT_EQ(raw.Line(), "234 AUTH TLS successful.");  // and no ClientHello follows
    auto start = std::chrono::steady_clock::now();
    s.OnServer([](CFtpServer& s) {
        s.StopServer();
        return 0;
    });
    // The handshake bound is 10 s; the stop must not sit it out.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    EXPECT_EQ(raw.Line(), "<closed>");
    EXPECT_FALSE(s.OnServer([](CFtpServer& s) { return s.ThreadsRunning(); }));
}

}  // namespace
}  // namespace tw
