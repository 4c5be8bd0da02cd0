// CConnectThread: the thread of one client connection. It owns the client's control socket (and through
// it the data socket and open file) for the whole connection; everything of the connection runs on it.
//
// Lifetime: created on the owning thread by the listener, registered in the server's registry (which holds
// it by shared_ptr), then started. The thread body holds a reference until it has ended, removed itself
// from the registry and reported WM_FTP_DISCONNECTED.
#pragma once

#include <ctime>
#include <memory>
#include <mutex>
#include <string>

#include "engine/TlsContext.h"
#include "platform/Descriptor.h"
#include "platform/MessageLoop.h"
#include "platform/Thread.h"

namespace tw {

class CControlSocket;
class CFtpServer;

// The tag that starts the event lines of a connection: its number since the program started and the
// client's address, e.g. "[#12 192.0.2.7]" or "[#13 2001:db8::1]".
std::string ConnectionTag(unsigned number, const std::string& address);

class CConnectThread : public std::enable_shared_from_this<CConnectThread> {
public:
    // `tls`: accepted by the TLS listener, whose connections start with the handshake. `ctx` is the server's
    // TLS context (nullptr when it could not be loaded): this thread holds its own reference, so a stopped
    // listener can let go of the server's.
    CConnectThread(CFtpServer& server, int socketHandle, bool tls, SSL_CTX* ctx);
    ~CConnectThread();

    // Owning thread: starts the thread, which wakes `owner` when it has ended; false when it cannot be
    // created.
    bool Start(std::shared_ptr<Waker> owner);
    // Any thread: asks the thread to end (the quit message), also before its loop exists; a transport
    // set-up (the TLS handshake) still under way ends at once.
    void RequestQuit();
    ThreadId Id() const { return exit_ ? exit_->tid.load() : 0; }
    bool Ended() const { return exit_ && exit_->ended; }
    // Accepted by the TLS listener (a plain connection that switched to TLS after AUTH is not).
    bool IsTls() const { return tls_; }

    // The client's address, taken from the socket when the connection was accepted (any thread).
    const std::string& ClientAddress() const { return clientAddress_; }
    // ConnectionTag of this connection (any thread).
    const std::string& Tag() const { return tag_; }
    // Read by the owning thread while the connection thread waits in a synchronous message.
    std::string UserName() const;
    // Set by the owning thread while it counts the connection in.
    void SetOverLimit(bool over) { overLimit_ = over; }
    void SetOverAddressLimit(bool over) { overAddressLimit_ = over; }
    // Owning thread: reports of this thread (connect, disconnect) handled so far; a stop's wait for the
    // thread starts again when it grows.
    void CountReport() { ++reports_; }
    unsigned Reports() const { return reports_; }

    // Connection thread.
    CFtpServer& Server() const { return server_; }
    CControlSocket& Control() const { return *control_; }
    MessageLoop& Loop() const { return *loop_; }
    // Byte counts. Data bytes either way and replies keep the connection from its idle time-out; bytes
    // of the control channel do only once they complete a command line, which calls NoteActivity.
    void CountSent(uint64_t n);
    void CountReceived(uint64_t n);
    void CountControlReceived(uint64_t n);
    void NoteActivity();
    uint64_t BytesSent() const { return bytesSent_; }
    uint64_t BytesReceived() const { return bytesReceived_; }
    // Posts WM_FTP_NOTIFY (NOTIFY_CLOSE_DATA or NOTIFY_END_THREAD) to this thread's own queue.
    void PostNotify(uintptr_t what);
    void PostQuit();
    // The server's TLS context, or nullptr: TLS is not available.
    SSL_CTX* TlsContext() const { return ctx_.get(); }
    // Switches the control connection to TLS (its handshake, bounded in time); false when it failed or a
    // quit was requested before or during it.
    bool StartTls();

private:
    void Main();
    void InitInstance();
    void ExitInstance();
    void OnThreadMessage(const Message& msg);
    void OnIdleTick();

    CFtpServer& server_;
    UniqueFd socket_;  // until the connection thread takes it over
    const bool tls_;
    const SslContext ctx_;
    std::shared_ptr<ThreadExit> exit_;
    std::mutex transportMutex_;  // guards the two below; transportFd_ stays open while it is set
    bool quitRequested_ = false;
    int transportFd_ = -1;  // the control socket while its transport is being set up
    unsigned reports_ = 0;
    const std::string clientAddress_;
    const std::string tag_;
    bool overLimit_ = false;
    bool overAddressLimit_ = false;
    MessageLoop* loop_ = nullptr;
    std::unique_ptr<CControlSocket> control_;
    MessageLoop::TimerId idleTimer_ = 0;
    uint64_t bytesReceived_ = 0, bytesSent_ = 0;
    std::time_t lastActivity_;
};

}  // namespace tw
