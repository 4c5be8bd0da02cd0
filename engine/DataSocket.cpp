// CDataSocket as a connection end point, its event dispatch and the pacing of limited transfers.
#include "engine/DataSocket.h"

#include <cerrno>
#include <chrono>

#include "engine/Messages.h"

namespace tw {

namespace {

constexpr auto kBindRetryFor = std::chrono::milliseconds(10000);
constexpr auto kBindRetryPause = std::chrono::milliseconds(10);
// How long the close alert may wait for room in the socket's send buffer.
constexpr auto kAlertFlushLimit = std::chrono::milliseconds(500);

}  // namespace

CDataSocket::CDataSocket(DataOwner& owner) : owner_(owner), transport_(*this) {}

CDataSocket::~CDataSocket() {
    if (pauseTimer_) owner_.Loop().KillTimer(pauseTimer_);
    DiscardPartial();
}

CDataSocket::PassiveResult CDataSocket::BindPassivePort(int low, int high) {
    MessageLoop& loop = owner_.Loop();
    auto deadline = std::chrono::steady_clock::now() + kBindRetryFor;
    for (;;) {
        for (int port = low; port <= high; ++port) {
            if (port < 1 || port > 65535) continue;
            if (!Bind(static_cast<uint16_t>(port))) {
                if (LastError() != EADDRINUSE) return PassiveResult::BIND_FAILED;
                continue;
            }
            if (Listen()) return PassiveResult::LISTENING;
            // Another listener took the port between the bind and the listen: it is in use like any other.
            if (LastError() != EADDRINUSE) return PassiveResult::LISTEN_FAILED;
        }
        // A pending quit makes RunFor return at once, so the retries end with it.
        if (std::chrono::steady_clock::now() >= deadline || loop.QuitRequested()) return PassiveResult::BIND_FAILED;
        // Every port is taken: wait a little while the thread's timers and messages go on.
        loop.RunFor(kBindRetryPause, [] { return false; });
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
    if (fd < 0) {
        // Without a descriptor the connection stays queued and the watch would report it again at once:
        // the listener closes (which resets what it queued) and the data connection has failed.
        if (IsResourceShortage(LastError())) {
            Close();
            acceptFailed_ = true;
        }
        return;
    }
    CEventSocket peer;
    peer.Attach(fd);
    const std::string from = peer.PeerAddress();
    // Reset by its peer before it was taken: nobody to serve or to refuse, and the wait goes on.
    if (from.empty()) return;
    // The passive port is predictable, so only the control connection's own client may take it; anyone
    // else is turned away and the wait goes on. Both addresses read a v4-mapped one as IPv4: an IPv4
    // client of the dual-stack port equals its control connection's peer, one of the other family never does.
    if (from != owner_.ControlPeer()) {
        owner_.Log("Refused data connection from " + from + ".", EventLevel::DIAGNOSTIC);
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
    owner_.SendReplyText(owner_.Replies().connectFailed);
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

bool CDataSocket::PrepareTransport() {
    if (!owner_.ProtectsData()) return true;
    std::string error;  // not shown: the client gets the end point's own failure reply
    tlsContext_ = CreateServerContext(owner_.ProgramDir(), error);
    return tlsContext_ != nullptr;
}

bool CDataSocket::StartTransport() {
    if (!owner_.ProtectsData()) return true;  // PROT C since the end point was made: clear
    if (!tlsContext_ && !PrepareTransport()) return false;  // PROT P since then
    return transport_.StartTls(tlsContext_.get(), CTransport::Channel::DATA);
}

void CDataSocket::BeforeClose() { transport_.EndTls(SentEverything() || transport_.PeerClosed(), kAlertFlushLimit); }

long CDataSocket::ReadSome(void* buffer, size_t length) {
    int error = 0;
    long n = transport_.Read(buffer, length, error);
    if (n < 0) SetLastError(error);
    return n;
}

long CDataSocket::WriteSome(const void* data, size_t length) {
    int error = 0;
    long n = transport_.Write(data, length, error);
    if (n < 0) SetLastError(error);
    return n;
}

void CDataSocket::Begin(Kind kind) {
    kind_ = kind;
    position_ = total_ = 0;
    buffered_ = 0;
    readPaused_ = false;
    WantRead(true);
}

void CDataSocket::Finish(const char* reply, int counter) {
    DiscardPartial();  // none left after a completed upload
    file_.Close();
    Close();
    if (pauseTimer_) owner_.Loop().KillTimer(pauseTimer_);
    pauseTimer_ = 0;
    pace_.reset();
    kind_ = Kind::NONE;
    position_ = total_ = 0;
    listing_.clear();
    owner_.TransferEnded(reply, counter);
}

void CDataSocket::DiscardIncoming() {
    // While sending, the only thing that matters from the client is that it has closed early.
    char scrap[512];
    long n = ReadSome(scrap, sizeof scrap);
    if (n > 0 || (n < 0 && LastError() == EAGAIN)) return;
    Finish(owner_.Replies().peerClosed, COUNTER_TRANSFER_FAILED);
}

void CDataSocket::SetRateLimit(const std::string& account, CRateBudget::Direction direction,
                               uint64_t bytesPerSecond) {
    if (bytesPerSecond) pace_.emplace(owner_.RateBudget(), account, direction, bytesPerSecond);
}

void CDataSocket::PauseWindow(bool reading) {
    if (reading)
        WantRead(false);
    else
        WantWrite(false);
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(pace_->WindowEnd() - std::chrono::steady_clock::now());
    if (pauseTimer_) owner_.Loop().KillTimer(pauseTimer_);  // a pending ContinueReading
    pauseTimer_ = owner_.Loop().SetTimer(
        std::max(wait, std::chrono::milliseconds(1)),
        [this, reading] {
            pauseTimer_ = 0;
            if (reading) {
                WantRead(true);
                ContinueReading();
            } else {
                WantWrite(true);
            }
        },
        false);
}

void CDataSocket::ContinueReading() {
    if (pauseTimer_ || !transport_.Holds()) return;
    pauseTimer_ = owner_.Loop().SetTimer(
        std::chrono::milliseconds(1),
        [this] {
            pauseTimer_ = 0;
            if (kind_ == Kind::UPLOAD) ReceiveFile();
        },
        false);
}

}  // namespace tw
