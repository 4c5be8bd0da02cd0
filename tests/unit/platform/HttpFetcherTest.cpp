#include "platform/HttpFetcher.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <optional>
#include <thread>

namespace tw {
namespace {

using namespace std::chrono_literals;

// Receives WM_MYIP_DONE on the test thread's loop.
class Receiver : public MessageTarget {
public:
    void OnMessage(unsigned id, uintptr_t, intptr_t lParam) override {
        if (id == WM_MYIP_DONE) result = lParam == 0;
    }
    std::optional<bool> result;
};

// A loopback listener; `serve`, when given, runs on a thread with the first accepted socket.
class HttpPeer {
public:
    explicit HttpPeer(std::function<void(int)> serve = {}) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(fd_, 4);
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        if (serve) thread_ = std::thread([this, serve] {
            int client = accept(fd_, nullptr, nullptr);
            if (client >= 0) {
                serve(client);
                close(client);
            }
        });
    }
    ~HttpPeer() {
        shutdown(fd_, SHUT_RDWR);
        if (thread_.joinable()) thread_.join();
        close(fd_);
    }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/myip.php"; }

private:
    int fd_ = -1;
    int port_ = 0;
    std::thread thread_;
};

// Fetches `url` and dispatches until the request ended (bounded).
std::optional<bool> FetchAndWait(CHttpFetcher& fetcher, const std::string& url) {
    MessageLoop& loop = *MessageLoop::Current();
    Receiver receiver;
    fetcher.SetNotifyTarget(&receiver);
    fetcher.Fetch(url);
    loop.RunFor(20000ms, [&] { return receiver.result.has_value(); });
    fetcher.SetNotifyTarget(nullptr);
    return receiver.result;
}

TEST(HttpFetcher, ASilentServerFailsWithinTheBound) {
    MessageLoop loop;
    HttpPeer silent;  // the kernel completes the connection; nobody ever answers
    CHttpFetcher fetcher;
    fetcher.SetTimeouts(1000ms, 1500ms);
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(FetchAndWait(fetcher, silent.Url()), std::optional<bool>(false));
    EXPECT_LT(std::chrono::steady_clock::now() - started, 15s);
}

TEST(HttpFetcher, DestructionCancelsARequestThatNeverAnswers) {
    MessageLoop loop;
    std::promise<void> asked, closed;
    HttpPeer silent([&](int fd) {
        char buffer[4096];
        if (recv(fd, buffer, sizeof buffer, 0) > 0) asked.set_value();
        while (recv(fd, buffer, sizeof buffer, 0) > 0) {
        }
        closed.set_value();
    });
    Receiver receiver;
    auto fetcher = std::make_unique<CHttpFetcher>();  // the full 30 s bound
    fetcher->SetNotifyTarget(&receiver);
    fetcher->Fetch(silent.Url());
    ASSERT_EQ(asked.get_future().wait_for(20s), std::future_status::ready);
    auto started = std::chrono::steady_clock::now();
    fetcher.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
    // The worker gave the request up instead of holding the connection until the bound.
    EXPECT_EQ(closed.get_future().wait_for(10s), std::future_status::ready);
    loop.RunFor(0ms, [] { return false; });
    EXPECT_FALSE(receiver.result.has_value());
}

TEST(HttpFetcher, AStatedLengthIsBounded) {
    MessageLoop loop;
    HttpPeer huge([](int fd) {
        char request[4096];
        recv(fd, request, sizeof request, 0);
        std::string head = "HTTP/1.0 200 OK\r\nContent-Length: 10485760\r\n\r\nYour IP:203.0.113.7\n";
        send(fd, head.data(), head.size(), MSG_NOSIGNAL);
        std::string block(64 * 1024, ' ');
        for (int i = 0; i < 160 && send(fd, block.data(), block.size(), MSG_NOSIGNAL) > 0; ++i) {
        }
    });
    CHttpFetcher fetcher;
    EXPECT_EQ(FetchAndWait(fetcher, huge.Url()), std::optional<bool>(true));
    EXPECT_EQ(fetcher.Response().size(), CHttpFetcher::kMaxBody);
    EXPECT_EQ(fetcher.Response().substr(0, 20), "Your IP:203.0.113.7\n");
}

}  // namespace
}  // namespace tw
