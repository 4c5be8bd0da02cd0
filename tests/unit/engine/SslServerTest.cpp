// The TLS listener beside the plain one in one server object.
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <cstdlib>

#include "FtpTestServer.h"

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
