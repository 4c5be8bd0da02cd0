#include "engine/ConnectThread.h"

#include <atomic>
#include <optional>
#include <utility>

#include "engine/ControlSocket.h"
#include "engine/FtpServer.h"
#include "engine/Messages.h"
#include "engine/TlsContext.h"
#include "platform/Descriptor.h"
#include "platform/EventSocket.h"

namespace tw {

namespace {

std::atomic<unsigned> connectionsSinceStart{0};

SslContext SharedContext(SSL_CTX* ctx) {
    if (ctx) SSL_CTX_up_ref(ctx);
    return SslContext(ctx);
}

}  // namespace

std::string ConnectionTag(unsigned number, const std::string& address) {
    return "[#" + std::to_string(number) + " " + address + "]";
}

CConnectThread::CConnectThread(CFtpServer& server, int socketHandle, bool tls, SSL_CTX* ctx)
    : server_(server),
      socket_(socketHandle),
      tls_(tls),
      ctx_(SharedContext(ctx)),
      clientAddress_(PeerAddressOf(socketHandle)),
      tag_(ConnectionTag(++connectionsSinceStart, clientAddress_)),
      lastActivity_(server.Now()) {}

CConnectThread::~CConnectThread() = default;

bool CConnectThread::Start(std::shared_ptr<Waker> owner) {
    auto self = shared_from_this();
    // The body's reference keeps this object alive until the thread has finished with it.
    exit_ = StartThread([this, self] { Main(); }, 256 * 1024, std::move(owner));
    return exit_ != nullptr;
}

void CConnectThread::RequestQuit() {
    {
        std::lock_guard lock(transportMutex_);
        quitRequested_ = true;  // seen by a thread whose loop does not exist yet
        // A handshake waits on its socket alone, not on the queue: shutting the socket down ends it now.
        if (transportFd_ >= 0) ShutdownSocket(transportFd_);
    }
    if (ThreadId tid = Id()) MessageLoop::PostThreadMessage(tid, WM_QUIT);
}

std::string CConnectThread::UserName() const { return control_ ? control_->State().UserName : std::string(); }

void CConnectThread::Main() {
    // A connection that cannot be set up (no descriptors left for its loop or socket watch, a failed
    // TLS handshake, a stop during the handshake) ends unseen: its socket is closed and nothing is sent,
    // counted or logged. The process goes on.
    struct TlsStateEnd {
        ~TlsStateEnd() { EndTlsOnThisThread(); }  // after everything below, which may use it, is gone
    } tlsStateEnd;
    std::optional<MessageLoop> loop;
    bool ready = false;
    try {
        loop.emplace();
        loop_ = &*loop;
        loop->SetThreadMessageHandler([this](const Message& m) { OnThreadMessage(m); });
        control_ = std::make_unique<CControlSocket>(*this);
        control_->Attach(socket_.Release());
        // The handshake runs on the connection's own thread, so a slow client holds up nobody else.
        ready = !tls_ || StartTls();
    } catch (...) {
    }
    if (tls_) server_.HandshakeEnded(clientAddress_);
    if (!ready) {
        control_.reset();
        socket_.Reset();
        server_.Unregister(this);
        loop_ = nullptr;
        return;
    }
    InitInstance();
    try {
        loop->Run();
    } catch (...) {
        // an exception escaping the loop ends the connection
    }
    ExitInstance();
    if (idleTimer_) loop->KillTimer(idleTimer_);
    control_.reset();  // closes the data connection and the control socket on this thread
    loop_ = nullptr;
}

bool CConnectThread::StartTls() {
    {
        std::lock_guard lock(transportMutex_);
        if (quitRequested_) return false;
        transportFd_ = control_->Handle();
    }
    bool ready = ctx_ && control_->transport_.StartTls(ctx_.get(), CTransport::Channel::CONTROL);
    std::lock_guard lock(transportMutex_);
    transportFd_ = -1;
    return ready && !quitRequested_;
}

void CConnectThread::InitInstance() {
    server_.SendToWindow(WM_FTP_CONNECTED, reinterpret_cast<uintptr_t>(this), tls_ ? 1 : 0);
    const char* refusal = nullptr;
    if (overLimit_)
        refusal = "421 Too many users are connected, please try again later.";
    else if (!server_.IsAllowedAddress(clientAddress_) || server_.IsBanned(clientAddress_))
        refusal = "421 Access denied, IP address was rejected by the server.";
    else if (overAddressLimit_)
        refusal = "421 Too many connections from your address.";
    if (refusal) {
        control_->SendReplyText(refusal);
        PostQuit();
        return;
    }
    control_->SendReply("220 %s", server_.GetWelcome());
    idleTimer_ = loop_->SetTimer(std::chrono::milliseconds(1000), [this] { OnIdleTick(); });
}

void CConnectThread::ExitInstance() {
    server_.Unregister(this);
    server_.SendToWindow(WM_FTP_DISCONNECTED, reinterpret_cast<uintptr_t>(this), tls_ ? 1 : 0);
}

void CConnectThread::OnThreadMessage(const Message& msg) {
    if (msg.id != WM_FTP_NOTIFY) return;
    if (msg.wParam == NOTIFY_CLOSE_DATA)
        control_->CloseDataConnection();
    else if (msg.wParam == NOTIFY_END_THREAD)
        PostQuit();
}

void CConnectThread::OnIdleTick() {
    // The current time-outs apply, so a change reaches running connections.
    const std::time_t now = server_.Now();
    const int loginTimeout = server_.LoginTimeout();
    if (control_->State().LoginTimedOut(now, loginTimeout)) {
        control_->SendReply("421 Login timeout.");
        PostQuit();
    } else if (lastActivity_ + static_cast<std::time_t>(server_.Timeout()) * 60 < now) {
        control_->SendReply("426 Connection timed out, aborting transfer");
        PostQuit();
    }
}

void CConnectThread::CountSent(uint64_t n) {
    lastActivity_ = server_.Now();
    bytesSent_ += n;
    server_.PostLazyToWindow(WM_FTP_NOTIFY, NOTIFY_BYTES_SENT, static_cast<intptr_t>(n));
}

void CConnectThread::CountReceived(uint64_t n) {
    NoteActivity();
    CountControlReceived(n);
}

void CConnectThread::NoteActivity() { lastActivity_ = server_.Now(); }

void CConnectThread::CountControlReceived(uint64_t n) {
    bytesReceived_ += n;
    server_.PostLazyToWindow(WM_FTP_NOTIFY, NOTIFY_BYTES_RECEIVED, static_cast<intptr_t>(n));
}

void CConnectThread::PostNotify(uintptr_t what) { loop_->PostThread(WM_FTP_NOTIFY, what); }

void CConnectThread::PostQuit() { loop_->PostThread(WM_QUIT); }

}  // namespace tw
