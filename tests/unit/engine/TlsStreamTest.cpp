// How a TLS stream ends: only the peer's close alert is an end of file; a TCP close without it, a reset
// and a record in the clear are failures, every later read reports the same end, and the bytes that came
// before the end are delivered first. Real loopback connections, real OpenSSL on both sides.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <chrono>
#include <thread>

#include "tests/unit/engine/FtpTestServer.h"
#include "engine/TlsStream.h"
#include "platform/MessageLoop.h"

using namespace std::chrono_literals;

namespace tw {
namespace {

using namespace test;

enum class Ending { CLOSE_NOTIFY, FIN, RESET, CLEAR_ALERT };

// The client: handshakes, sends `body` and ends as told, all before the server reads a byte of it.
void RunClient(int port, int version, const std::string& body, Ending ending) {
    Conn conn = Conn::To(port);
    ASSERT_TRUE(conn.Ok());
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_max_proto_version(ctx, version);
    SSL* ssl = SSL_new(ctx);
    SSL_set_fd(ssl, conn.Fd());
    EXPECT_EQ(SSL_connect(ssl), 1);
    EXPECT_EQ(SSL_write(ssl, body.data(), static_cast<int>(body.size())), static_cast<int>(body.size()));
    switch (ending) {
        case Ending::CLOSE_NOTIFY:
            SSL_shutdown(ssl);
            break;
        case Ending::FIN:
            shutdown(conn.Fd(), SHUT_WR);
            break;
        case Ending::RESET: {
            // Bytes still queued here would be lost with the reset: it waits until the server's side has them.
            int queued = 1;
            for (auto end = std::chrono::steady_clock::now() + 5s;
                 ioctl(conn.Fd(), SIOCOUTQ, &queued) == 0 && queued > 0 && std::chrono::steady_clock::now() < end;)
                std::this_thread::sleep_for(1ms);
            EXPECT_EQ(queued, 0);
            linger hard{1, 0};
            setsockopt(conn.Fd(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
            break;
        }
        case Ending::CLEAR_ALERT:
            conn.Send(std::string("\x15\x03\x03\x00\x02\x02\x28", 7));  // fatal handshake_failure, unencrypted
            break;
    }
    SSL_free(ssl);
    SSL_CTX_free(ctx);
}

class TlsStreamTest : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        ASSERT_TRUE(MakeCertificates(dir.Path()));
        std::string error;
        ctx = CreateServerContext(dir.Path() + "/", error);
        ASSERT_TRUE(ctx) << error;
        SSL_CTX_set_num_tickets(ctx.get(), 0);  // nothing for the client to leave unread at its close
        listener = ListenLoopback(1, port);
    }
    void TearDown() override { close(listener); }

    struct Outcome {
        std::string bytes;
        long end = 1;         // what the read that ended the stream returned
        long again = 1;       // the read after it
        bool peerClosed = false;
        bool holds = false;
    };

    // Runs the client to its end, then reads everything on the server side.
    Outcome Serve(const std::string& body, Ending ending) {
        std::thread client(RunClient, port, GetParam(), body, ending);
        int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK);
        MessageLoop loop;
        CEventSocket socket;
        socket.Attach(fd);
        CTlsStream tls(socket, ctx.get());
        EXPECT_TRUE(tls.Accept(std::chrono::steady_clock::now() + 5s));
        client.join();
        Outcome out;
        char buffer[256 * 1024];
        auto deadline = std::chrono::steady_clock::now() + 5s;
        for (;;) {
            bool wouldBlock = false;
            long n = tls.Read(buffer, sizeof buffer, wouldBlock);
            if (n > 0) {
                out.bytes.append(buffer, static_cast<size_t>(n));
            } else if (wouldBlock) {
                if (!socket.WaitReady(FD_READ, deadline)) break;
            } else {
                out.end = n;
                out.holds = tls.Holds();
                out.again = tls.Read(buffer, sizeof buffer, wouldBlock);
                out.peerClosed = tls.PeerClosed();
                break;
            }
        }
        return out;
    }

    TempDir dir;
    SslContext ctx;
    int listener = -1;
    int port = 0;
};

TEST_P(TlsStreamTest, OnlyTheCloseAlertIsAnEndOfFile) {
    const std::string body = Pattern(60'000);
    Outcome closed = Serve(body, Ending::CLOSE_NOTIFY);
    EXPECT_EQ(closed.bytes, body);
    EXPECT_EQ(closed.end, 0);
    EXPECT_EQ(closed.again, 0);
    EXPECT_TRUE(closed.peerClosed);
    EXPECT_TRUE(closed.holds);  // an end that no socket event will announce again

    for (Ending cut : {Ending::FIN, Ending::RESET, Ending::CLEAR_ALERT}) {
        SCOPED_TRACE(static_cast<int>(cut));
        Outcome out = Serve(body, cut);
        EXPECT_EQ(out.bytes, body);  // whole records before the end still arrive
        EXPECT_EQ(out.end, -1);
        // After a reset the socket reads as a plain close: the failure must stay.
        EXPECT_EQ(out.again, -1);
        EXPECT_FALSE(out.peerClosed);
        EXPECT_TRUE(out.holds);
    }
}

INSTANTIATE_TEST_SUITE_P(Versions, TlsStreamTest, ::testing::Values(TLS1_2_VERSION, TLS1_3_VERSION));

}  // namespace
}  // namespace tw
