#include "platform/EventSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>

#include "platform/MessageLoop.h"
#include "platform/IpAddress.h"

namespace tw {

namespace {

// A socket address of either family.
struct SocketAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;

    sockaddr* raw() { return reinterpret_cast<sockaddr*>(&storage); }
    int family() const { return storage.ss_family; }
};

SocketAddress MakeAddress(const IpAddress& ip, uint16_t port) {
    SocketAddress a;
    if (ip.v6) {
        auto& in6 = reinterpret_cast<sockaddr_in6&>(a.storage);
        in6.sin6_family = AF_INET6;
        in6.sin6_port = htons(port);
        std::copy(ip.bytes.begin(), ip.bytes.end(), in6.sin6_addr.s6_addr);
        a.length = sizeof in6;
    } else {
        auto& in4 = reinterpret_cast<sockaddr_in&>(a.storage);
        in4.sin_family = AF_INET;
        in4.sin_port = htons(port);
        std::copy(ip.bytes.begin(), ip.bytes.begin() + 4, reinterpret_cast<uint8_t*>(&in4.sin_addr.s_addr));
        a.length = sizeof in4;
    }
    return a;
}

bool SocketName(int fd, bool peer, SocketAddress& a) {
    a = {};
    a.length = sizeof a.storage;
    if (fd < 0) return false;
    return (peer ? getpeername(fd, a.raw(), &a.length) : getsockname(fd, a.raw(), &a.length)) == 0 &&
           (a.family() == AF_INET || a.family() == AF_INET6);
}

std::string TextOf(const SocketAddress& a) {
    if (a.family() == AF_INET6)
        return AddressText(Ipv6FromBytes(reinterpret_cast<const sockaddr_in6&>(a.storage).sin6_addr.s6_addr));
    IpAddress ip;
    const auto& in4 = reinterpret_cast<const sockaddr_in&>(a.storage);
    std::copy_n(reinterpret_cast<const uint8_t*>(&in4.sin_addr.s_addr), 4, ip.bytes.begin());
    return AddressText(ip);
}

uint16_t PortOf(const SocketAddress& a) {
    return ntohs(a.family() == AF_INET6 ? reinterpret_cast<const sockaddr_in6&>(a.storage).sin6_port
                                        : reinterpret_cast<const sockaddr_in&>(a.storage).sin_port);
}

// A new socket bound to `a`, or -1 with `error` set.
int BoundSocket(const SocketAddress& a, int& error) {
    int fd = socket(a.family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = errno;
        return -1;
    }
    int one = 1, zero = 0;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    // [::] takes IPv4 clients too (as v4-mapped addresses), whatever the system's default.
    if (a.family() == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&a.storage), a.length) < 0) {
        error = errno;
        ::close(fd);
        return -1;
    }
    return fd;
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
    SocketAddress a;
    return SocketName(fd, true, a) ? TextOf(a) : std::string();
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
    if (!address.empty()) {
        auto ip = ParseIpAddress(address);
        if (!ip) {
            lastError_ = EINVAL;
            return false;
        }
        fd_ = BoundSocket(MakeAddress(*ip, port), lastError_);
        return fd_ >= 0;
    }
    // Every interface: dual-stack [::], or 0.0.0.0 on a machine without IPv6.
    IpAddress any6;
    any6.v6 = true;
    fd_ = BoundSocket(MakeAddress(any6, port), lastError_);
    if (fd_ < 0 && (lastError_ == EAFNOSUPPORT || lastError_ == EADDRNOTAVAIL))
        fd_ = BoundSocket(MakeAddress(IpAddress{}, port), lastError_);
    return fd_ >= 0;
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
    auto ip = ParseIpAddress(address);
    if (!ip) {
        lastError_ = EINVAL;
        return false;
    }
    const SocketAddress a = MakeAddress(*ip, port);
    int fd = socket(a.family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        lastError_ = errno;
        return false;
    }
    int r;
    do r = connect(fd, reinterpret_cast<const sockaddr*>(&a.storage), a.length);
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

void CEventSocket::LimitUnsent(int bytes) {
    if (fd_ >= 0) setsockopt(fd_, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &bytes, sizeof bytes);
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
    SocketAddress a;
    return SocketName(fd_, true, a) ? PortOf(a) : 0;
}

std::string CEventSocket::LocalAddress() const {
    SocketAddress a;
    return SocketName(fd_, false, a) ? TextOf(a) : std::string();
}

uint16_t CEventSocket::LocalPort() const {
    SocketAddress a;
    return SocketName(fd_, false, a) ? PortOf(a) : 0;
}

}  // namespace tw
