#include "EventSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "MessageLoop.h"

namespace tw {

namespace {

std::string Dotted(const sockaddr_in& a) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    return text;
}

bool MakeAddress(const std::string& address, uint16_t port, sockaddr_in& out) {
    out = {};
    out.sin_family = AF_INET;
    out.sin_port = htons(port);
    if (address.empty()) {
        out.sin_addr.s_addr = htonl(INADDR_ANY);
        return true;
    }
    return inet_pton(AF_INET, address.c_str(), &out.sin_addr) == 1;
}

bool SocketName(int fd, bool peer, sockaddr_in& a) {
    a = {};
    socklen_t len = sizeof a;
    if (fd < 0) return false;
    auto* sa = reinterpret_cast<sockaddr*>(&a);
    return (peer ? getpeername(fd, sa, &len) : getsockname(fd, sa, &len)) == 0;
}

int PollOne(int fd, short events, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fd, events, 0};
        int n = poll(&p, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n;
        return p.revents;
    }
}

}  // namespace

void InitSockets() { std::signal(SIGPIPE, SIG_IGN); }

std::string PeerAddressOf(int fd) {
    sockaddr_in a;
    return SocketName(fd, true, a) ? Dotted(a) : std::string();
}

CEventSocket::CEventSocket() : alive_(std::make_shared<bool>(true)) {}

CEventSocket::~CEventSocket() {
    *alive_ = false;
    Close();
}

unsigned CEventSocket::Interest() const {
    if (connecting_) return FD_WRITE;
    return (wantRead_ ? unsigned(FD_READ) : 0u) | (wantWrite_ ? unsigned(FD_WRITE) : 0u);
}

void CEventSocket::Watch() {
    loop_ = MessageLoop::Current();
    std::weak_ptr<bool> alive = alive_;
    loop_->WatchFd(fd_, Interest(), [this, alive](unsigned events) {
        auto token = alive.lock();
        if (token && *token) OnEvents(events);
    });
}

void CEventSocket::OnEvents(unsigned events) {
    auto alive = alive_;
    if (listening_) {
        OnAccept(0);
        return;
    }
    if (connecting_) {
        int error = 0;
        socklen_t len = sizeof error;
        getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &len);
        connecting_ = false;
        if (error == 0) loop_->ModifyFd(fd_, Interest());
        OnConnect(error);
        return;
    }
    // An error surfaces through OnReceive even while reading is paused, or its event would repeat.
    if (((events & FD_READ) && wantRead_) || (events & FD_ERROR)) {
        OnReceive(0);
        if (!*alive || !IsOpen()) return;
    }
    if ((events & FD_WRITE) && wantWrite_) OnSend(0);
}

bool CEventSocket::Listen(uint16_t port, const std::string& address) { return Bind(port, address) && Listen(); }

bool CEventSocket::Bind(uint16_t port, const std::string& address) {
    Close();
    sockaddr_in a;
    if (!MakeAddress(address, port, a)) {
        lastError_ = EINVAL;
        return false;
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        lastError_ = errno;
        return false;
    }
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0) {
        lastError_ = errno;
        ::close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

bool CEventSocket::Listen() {
    if (::listen(fd_, SOMAXCONN) < 0) {
        lastError_ = errno;
        Close();
        return false;
    }
    listening_ = true;
    Watch();
    return true;
}

int CEventSocket::AcceptFd() {
    for (;;) {
        int fd = accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) return fd;
        if (errno == EINTR || errno == ECONNABORTED) continue;
        lastError_ = errno;
        return -1;
    }
}

bool CEventSocket::Connect(const std::string& address, uint16_t port) {
    Close();
    sockaddr_in a;
    if (!MakeAddress(address, port, a)) {
        lastError_ = EINVAL;
        return false;
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        lastError_ = errno;
        return false;
    }
    int r;
    do r = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    while (r < 0 && errno == EINTR);
    if (r < 0 && errno != EINPROGRESS) {
        lastError_ = errno;
        ::close(fd);
        return false;
    }
    fd_ = fd;
    connecting_ = true;  // even an immediate success is reported through OnConnect
    Watch();
    return true;
}

void CEventSocket::Attach(int fd) {
    Close();
    fd_ = fd;
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0 && !(flags & O_NONBLOCK)) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    Watch();
}

int CEventSocket::Detach() {
    int fd = fd_;
    if (fd >= 0 && loop_) loop_->UnwatchFd(fd);
    fd_ = -1;
    listening_ = connecting_ = wantWrite_ = false;
    wantRead_ = true;
    loop_ = nullptr;
    return fd;
}

void CEventSocket::Close() {
    if (fd_ >= 0) BeforeClose();
    int fd = Detach();
    if (fd >= 0) ::close(fd);
}

long CEventSocket::Receive(void* buffer, size_t length) {
    if (fd_ < 0) {
        lastError_ = EBADF;
        return -1;
    }
    for (;;) {
        ssize_t n = recv(fd_, buffer, length, 0);
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        lastError_ = errno == EWOULDBLOCK ? EAGAIN : errno;
        return -1;
    }
}

long CEventSocket::Send(const void* data, size_t length) {
    if (fd_ < 0) {
        lastError_ = EBADF;
        return -1;
    }
    for (;;) {
        ssize_t n = send(fd_, data, length, MSG_NOSIGNAL);
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        lastError_ = errno == EWOULDBLOCK ? EAGAIN : errno;
        return -1;
    }
}

bool CEventSocket::SendAll(const void* data, size_t length, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    auto* p = static_cast<const char*>(data);
    while (length > 0) {
        long n = Send(p, length);
        if (n > 0) {
            p += n;
            length -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && lastError_ != EAGAIN) return false;
        int revents = PollOne(fd_, POLLOUT, deadline);
        if (revents <= 0) {
            lastError_ = revents == 0 ? ETIMEDOUT : errno;
            return false;
        }
    }
    return true;
}

bool CEventSocket::WaitReady(unsigned events, std::chrono::steady_clock::time_point deadline) {
    short wanted = static_cast<short>(((events & FD_READ) ? POLLIN : 0) | ((events & FD_WRITE) ? POLLOUT : 0));
    return fd_ >= 0 && PollOne(fd_, wanted, deadline) > 0;
}

bool CEventSocket::WaitReadable(std::chrono::milliseconds limit) {
    return fd_ >= 0 && PollOne(fd_, POLLIN, std::chrono::steady_clock::now() + limit) > 0;
}

bool CEventSocket::PeerGone() {
    if (fd_ < 0) return true;
    if (PollOne(fd_, POLLIN, std::chrono::steady_clock::now()) <= 0) return false;
    char byte;
    ssize_t n;
    do n = recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    while (n < 0 && errno == EINTR);
    if (n == 0) return true;
    if (n > 0) return false;
    return errno == EINVAL || errno == ENETRESET || errno == ECONNABORTED || errno == ECONNRESET;
}

void CEventSocket::WantWrite(bool on) {
    if (wantWrite_ == on) return;
    wantWrite_ = on;
    if (fd_ >= 0 && loop_) loop_->ModifyFd(fd_, Interest());
}

void CEventSocket::WantRead(bool on) {
    if (wantRead_ == on) return;
    wantRead_ = on;
    if (fd_ >= 0 && loop_) loop_->ModifyFd(fd_, Interest());
}

std::string CEventSocket::PeerAddress() const { return PeerAddressOf(fd_); }

uint16_t CEventSocket::PeerPort() const {
    sockaddr_in a;
    return SocketName(fd_, true, a) ? ntohs(a.sin_port) : 0;
}

std::string CEventSocket::LocalAddress() const {
    sockaddr_in a;
    return SocketName(fd_, false, a) ? Dotted(a) : std::string();
}

uint16_t CEventSocket::LocalPort() const {
    sockaddr_in a;
    return SocketName(fd_, false, a) ? ntohs(a.sin_port) : 0;
}

}  // namespace tw
