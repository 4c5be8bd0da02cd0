// CEventSocket: a non-blocking IPv4 or IPv6 stream socket whose readiness is reported as events (accept, connect,
// receive, send, close) by the MessageLoop of the thread it is attached to.
//
// Threads: a socket belongs to the thread that created or attached it; all calls run on that thread.
// A handle moves to another thread as a plain fd: Detach() (or AcceptFd) on one thread, Attach() on the other.
// Event handlers may close or delete the socket; nothing of it is touched after a handler returns.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace tw {

class MessageLoop;

class CEventSocket {
public:
    CEventSocket();
    virtual ~CEventSocket();
    CEventSocket(const CEventSocket&) = delete;
    CEventSocket& operator=(const CEventSocket&) = delete;

    int Handle() const { return fd_; }
    bool IsOpen() const { return fd_ >= 0; }
    // errno of the last failed call of this socket.
    int LastError() const { return lastError_; }

    // Opens a listening socket on address:port with backlog SOMAXCONN, attached to the current thread. An
    // empty address is every interface of both families (dual-stack [::], or 0.0.0.0 without IPv6); a
    // text that is no address fails with EINVAL. Port 0 picks a free port (see LocalPort). Bind and Listen() are
    // its two steps, for a caller that answers their failures differently.
    bool Listen(uint16_t port, const std::string& address = {});
    bool Bind(uint16_t port, const std::string& address = {});
    bool Listen();
    // Takes one pending connection; returns its non-blocking handle (not attached anywhere) or -1.
    int AcceptFd();
    // Starts a non-blocking connect to an IPv4 or IPv6 address, attached to the current thread; OnConnect
    // reports the outcome.
    bool Connect(const std::string& address, uint16_t port);

    // Takes ownership of an open stream socket and watches it on the current thread's loop.
    void Attach(int fd);
    // Stops watching and gives the handle up; the socket is closed afterwards.
    int Detach();
    void Close();

    // Receive: > 0 bytes, 0 orderly close, -1 failure (LastError; EAGAIN means would block).
    long Receive(void* buffer, size_t length);
    // One non-blocking send: bytes handed over, or -1 (LastError; EAGAIN means would block).
    long Send(const void* data, size_t length);
    // Hands over every byte, waiting for room for at most `limit` in all; false on failure or time-out.
    bool SendAll(const void* data, size_t length, std::chrono::milliseconds limit);
    // Waits until the socket is readable, for at most `limit`.
    bool WaitReadable(std::chrono::milliseconds limit);
    // Waits until the socket is ready for FD_READ and/or FD_WRITE, until `deadline`; false on time-out.
    bool WaitReady(unsigned events, std::chrono::steady_clock::time_point deadline);
    // True when the peer has closed or reset the connection, seen without consuming data.
    bool PeerGone();

    // A send takes room only while fewer than `bytes` wait unsent in the socket (TCP_NOTSENT_LOWAT), and
    // OnSend is reported only then. Without the option in the kernel nothing changes.
    void LimitUnsent(int bytes);

    // OnSend is reported only while write interest is on.
    void WantWrite(bool on);
    // OnReceive is reported only while read interest is on (the default); pauses a paced receiver.
    void WantRead(bool on);

    // Addresses in the text of AddressText (platform/IpAddress.h): a v4-mapped peer reads as IPv4.
    std::string PeerAddress() const;
    uint16_t PeerPort() const;
    std::string LocalAddress() const;
    uint16_t LocalPort() const;

protected:
    // Runs in Close() before the handle is closed, while it is still open (a TLS layer says goodbye).
    virtual void BeforeClose() {}
    void SetLastError(int error) { lastError_ = error; }
    virtual void OnAccept(int error) {}
    virtual void OnConnect(int error) {}
    virtual void OnReceive(int error) {}
    virtual void OnSend(int error) {}
    virtual void OnClose(int error) {}

private:
    void Watch();
    void OnEvents(unsigned events);
    unsigned Interest() const;

    int fd_ = -1;
    int lastError_ = 0;
    bool listening_ = false;
    bool connecting_ = false;
    bool wantWrite_ = false;
    bool wantRead_ = true;
    MessageLoop* loop_ = nullptr;
    std::shared_ptr<bool> alive_;  // false once destroyed; handlers check it before touching members
};

// Process-wide socket set-up (SIGPIPE ignored: failed sends report EPIPE instead).
void InitSockets();

// The peer address of a connected socket handle as PeerAddress gives it, or empty (e.g. reset before it was asked).
std::string PeerAddressOf(int fd);

}  // namespace tw
