// CDataSocket as a connection end point, its event dispatch and the pacing of limited transfers.
#include "DataSocket.h"

#include <cerrno>

#include "engine/ConnectThread.h"
#include "engine/ControlSocket.h"
#include "engine/FtpServer.h"
#include "engine/Messages.h"

namespace tw {

namespace {

constexpr auto kBindRetryFor = std::chrono::milliseconds(10000);
constexpr auto kBindRetryPause = std::chrono::milliseconds(10);

}  // namespace

CDataSocket::CDataSocket(CControlSocket& owner) : owner_(owner) {}

CDataSocket::~CDataSocket() {
    if (pauseTimer_) owner_.Thread().Loop().KillTimer(pauseTimer_);
}

bool CDataSocket::BindPassivePort(int low, int high) {
    auto deadline = std::chrono::steady_clock::now() + kBindRetryFor;
    for (;;) {
        for (int port = low; port <= high; ++port) {
            if (port < 1 || port > 65535) continue;
            if (Listen(static_cast<uint16_t>(port))) return true;
            if (LastError() != EADDRINUSE) return false;
        }
        if (std::chrono::steady_clock::now() >= deadline) return false;
        // Every port is taken: wait a little while the thread's timers and messages go on.
        owner_.Thread().Loop().RunFor(kBindRetryPause, [] { return false; });
    }
}

bool CDataSocket::ConnectTo(const std::string& address, int port) {
    if (port < 0 || port > 65535) {
        return false;
    }
    return Connect(address, static_cast<uint16_t>(port));
}

void CDataSocket::OnAccept(int) {
    int fd = AcceptFd();
    if (fd < 0) return;
    CEventSocket peer;
    peer.Attach(fd);
    // The passive port is predictable, so only the control connection's own client may take it; anyone
    // else is turned away and the wait goes on.
    if (peer.PeerAddress() != owner_.PeerAddress()) {
        owner_.Log("Refused data connection from " + peer.PeerAddress() + ".", 3);
        return;  // `peer` closes it
    }
    int handle = peer.Detach();
    Close();  // the listener: one data connection per PASV
    Attach(handle);
    WantRead(false);  // nothing is read before a transfer starts
    readPaused_ = true;
    connected_ = true;
}

void CDataSocket::OnConnect(int error) {
    connected_ = true;  // ends the wait of OpenDataConnection either way
    if (error == 0) {
        WantRead(false);
        readPaused_ = true;
        return;
    }
    connectFailed_ = true;
    Close();
    if (owner_.LoginState != NOT_LOGGED_IN) owner_.LoginState = LOGGED_IN;
    owner_.SendReply(owner_.Replies().connectFailed);
}

void CDataSocket::OnReceive(int) {
    switch (kind_) {
        case Kind::UPLOAD:
            ReceiveFile();
            break;
        case Kind::LISTING:
        case Kind::DOWNLOAD:
            DiscardIncoming();
            break;
        case Kind::NONE:
            // Bytes that come before the transfer wait for it. Called while paused means an error event.
            if (readPaused_) Close();
            WantRead(false);
            readPaused_ = true;
            break;
    }
}

void CDataSocket::OnSend(int) {
    switch (kind_) {
        case Kind::LISTING:
            SendListing();
            break;
        case Kind::DOWNLOAD:
            SendFile();
            break;
        default:
            WantWrite(false);
            break;
    }
}

long CDataSocket::ReadSome(void* buffer, size_t length) { return Receive(buffer, length); }

long CDataSocket::WriteSome(const void* data, size_t length) { return Send(data, length); }

void CDataSocket::Begin(Kind kind) {
    kind_ = kind;
    position_ = total_ = 0;
    buffered_ = 0;
    windowOpen_ = false;
    windowBytes_ = 0;
    readPaused_ = false;
    WantRead(true);
}

void CDataSocket::Finish(const char* reply, int counter) {
    file_.Close();
    Close();
    if (pauseTimer_) owner_.Thread().Loop().KillTimer(pauseTimer_);
    pauseTimer_ = 0;
    kind_ = Kind::NONE;
    position_ = total_ = 0;
    listing_.clear();
    // USER during a transfer logged the connection out; the end of the transfer must not log it back in.
    if (owner_.LoginState != NOT_LOGGED_IN) owner_.LoginState = LOGGED_IN;
    owner_.SendReply(reply);
    if (counter) owner_.Thread().Server().PostToWindow(WM_FTP_NOTIFY, NOTIFY_COUNTER, counter);
    owner_.Thread().PostNotify(NOTIFY_CLOSE_DATA);
}

void CDataSocket::DiscardIncoming() {
    // While sending, the only thing that matters from the client is that it has closed early.
    char scrap[512];
    long n = ReadSome(scrap, sizeof scrap);
    if (n > 0 || (n < 0 && LastError() == EAGAIN)) return;
    Finish(owner_.Replies().peerClosed, COUNTER_TRANSFER_FAILED);
}

void CDataSocket::PauseWindow(bool reading) {
    if (reading)
        WantRead(false);
    else
        WantWrite(false);
    auto due = windowStart_ + std::chrono::milliseconds(1000);
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(due - std::chrono::steady_clock::now());
    pauseTimer_ = owner_.Thread().Loop().SetTimer(
        std::max(wait, std::chrono::milliseconds(1)),
        [this, reading] {
            pauseTimer_ = 0;
            windowOpen_ = false;
            windowBytes_ = 0;
            if (reading)
                WantRead(true);
            else
                WantWrite(true);
        },
        false);
}

}  // namespace tw
