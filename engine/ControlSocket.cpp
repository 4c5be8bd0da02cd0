#include "engine/ControlSocket.h"

#include <algorithm>
#include <stdexcept>
#include <string_view>
#include <system_error>

#include "engine/ConnectThread.h"
#include "engine/FtpServer.h"
#include "engine/Messages.h"
#include "platform/Text.h"

namespace tw {

namespace {

// Commands a connection may send before it logs in: each is logged, so more would only flood the log.
constexpr int kMaxCommandsBeforeLogin = 20;

// The length of what stays without a line end once `added` is appended to `buffer` (which holds none)
// and the complete lines are cut off.
size_t UnfinishedLength(const std::string& buffer, std::string_view added) {
    size_t end = added.rfind("\r\n");
    if (end != std::string_view::npos) return added.size() - end - 2;
    if (!buffer.empty() && buffer.back() == '\r' && !added.empty() && added.front() == '\n') return added.size() - 1;
    return buffer.size() + added.size();
}

}  // namespace

CControlSocket::CControlSocket(CConnectThread& thread)
    : thread_(thread), transport_(*this), session_(thread.Server().Now()), protectData_(thread.IsTls()) {}

CControlSocket::~CControlSocket() {
    if (holdTimer_) thread_.Loop().KillTimer(holdTimer_);
    CloseDataConnection();
    Close();
}

void CControlSocket::Log(const std::string& text, EventLevel level) {
    thread_.Server().NotifyTextFrom(thread_, level, text);
}

void CControlSocket::EndConnection() {
    Close();
    thread_.PostNotify(NOTIFY_END_THREAD);
}

long CControlSocket::ReadSome(void* buffer, size_t length) {
    int error = 0;
    long n = transport_.Read(buffer, length, error);
    if (n < 0) SetLastError(error);
    return n;
}

void CControlSocket::BeforeClose() { transport_.EndTls(true); }

bool CControlSocket::SendReplyText(const std::string& message) {
    // A name with a line end inside would forge reply lines: control bytes are shown as "?".
    const std::string text = MaskControlBytes(message);
    if (!IsOpen() || PeerGone()) {
        Log("Connection is not active, disconnected.", EventLevel::REPLY);
        Close();
    } else if (transport_.WriteAll(text + "\r\n")) {
        Log(text, EventLevel::REPLY);
        thread_.CountSent(text.size() + 2);
        return true;
    } else {
        Close();
        Log("Connection is not active, disconnected.", EventLevel::REPLY);
    }
    thread_.PostNotify(NOTIFY_END_THREAD);
    return false;
}

void CControlSocket::OnClose(int) { EndConnection(); }

void CControlSocket::OnReceive(int) {
    try {
        ReceiveChunk();
    } catch (const std::system_error& e) {  // file failures
        Log(std::string(e.what()).substr(0, 128), EventLevel::DIAGNOSTIC);
        thread_.PostQuit();
    } catch (...) {
        Log("Exception  #1", EventLevel::DIAGNOSTIC);
    }
}

void CControlSocket::ReceiveChunk() {
    const size_t maxRead = MaxRead(), maxBuffered = MaxBuffered();
    readBuffer_.resize(maxRead);
    char* chunk = readBuffer_.data();
    long n = ReadSome(chunk, maxRead);
    if (n < 0) {
        // A transport failure without a socket error (LastError 0, TLS) ends the thread unlogged.
        if (LastError() != EAGAIN) {
            if (LastError() != 0) Log(fmt::sprintf("OnReceive error: %d", LastError()), EventLevel::DIAGNOSTIC);
            thread_.PostQuit();
        }
        return;
    }
    if (n == 0) {
        EndConnection();
        return;
    }
    size_t got = static_cast<size_t>(n);
    std::string_view added(chunk, got);
    // Small receives count whole against the bound. A receive that can take more than the bound (TLS
    // gathers whole records, many command lines at once) counts only what would stay without a line end.
    size_t pending = maxRead > maxBuffered ? UnfinishedLength(receiveBuffer_, added) : receiveBuffer_.size() + got;
    if (pending > maxBuffered) {
        Log(fmt::sprintf("error command: %s", std::string(chunk, std::min<size_t>(got, 128))), EventLevel::DIAGNOSTIC);
        thread_.PostQuit();
        return;
    }
    thread_.CountControlReceived(got);
    TakeBytes(added);
    // While a command awaits its data connection, its caller goes on with the lines after the wait.
    if (!session_.AwaitingDataConnection()) AssembleLines();
}

bool CControlSocket::LineEndsDataWait() const {
    std::string_view rest = receiveBuffer_;
    for (size_t end; (end = rest.find("\r\n")) != std::string_view::npos; rest.remove_prefix(end + 2)) {
        std::string word = CommandWord(rest.substr(0, end));
        if (word == "ABOR" || word == "QUIT" || word == "BYE") return true;
    }
    return false;
}

void CControlSocket::TakeBytes(std::string_view added) {
    while (!added.empty()) {
        if (!cutting_) {
            size_t nul = added.find('\0');
            receiveBuffer_.append(added.substr(0, nul));
            if (nul == std::string_view::npos) return;
            cutting_ = true;
            added.remove_prefix(nul + 1);
            continue;
        }
        // A CR kept from the previous chunk ends the cut line when this chunk begins with LF.
        if (heldCr_) {
            heldCr_ = false;
            if (added.front() == '\n') {
                cutting_ = false;
                continue;
            }
            receiveBuffer_.pop_back();
        }
        size_t end = added.find("\r\n");
        if (end == std::string_view::npos) {
            if (added.back() == '\r') {
                receiveBuffer_.push_back('\r');
                heldCr_ = true;
            }
            return;
        }
        cutting_ = false;
        added.remove_prefix(end);
    }
}

void CControlSocket::AssembleLines() {
    // A transfer that has finished is closed before the next command line is looked at; an end request
    // among the removed notifications still ends the thread.
    auto notices = thread_.Loop().TakeThreadMessages(WM_FTP_NOTIFY);
    if (!notices.empty()) {
        for (const Message& m : notices)
            if (m.wParam == NOTIFY_END_THREAD) thread_.PostQuit();
        CloseDataConnection();
    }
    // One line at a time: while a command waits for its data connection, the lines after it stay in the
    // receive buffer, where the wait looks for ABOR and QUIT. Held commands stay there too.
    size_t end;
    while (!holdTimer_ && IsOpen() && (end = receiveBuffer_.find("\r\n")) != std::string::npos) {
        std::string line = receiveBuffer_.substr(0, end);
        receiveBuffer_.erase(0, end + 2);
        if (line.empty()) continue;
        thread_.NoteActivity();  // only a whole line restarts the idle time-out
        pendingLines_.push_back(std::move(line));
        try {
            ProcessCommand();
        } catch (...) {
            Log("Exception #2", EventLevel::DIAGNOSTIC);
            Close();
            thread_.PostQuit();
        }
    }
}

void CControlSocket::HoldCommands(std::chrono::steady_clock::time_point due, std::function<void()> then) {
    // Reading stops as well, so a client cannot pile up lines meanwhile. A TLS read has drained its
    // layer, so what arrives later is seen by the socket watch again.
    WantRead(false);
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(due - std::chrono::steady_clock::now());
    holdTimer_ = thread_.Loop().SetTimer(std::max(wait, std::chrono::milliseconds(0)), [this, then = std::move(then)] {
        holdTimer_ = 0;
        then();
        if (!IsOpen()) return;
        WantRead(true);
        AssembleLines();
    }, false);
}

bool CControlSocket::CountCommandBeforeLogin() {
    if (session_.CountCommandBeforeLogin(kMaxCommandsBeforeLogin)) return true;
    pendingLines_.clear();
    SendReply("421 Too many commands before login.");
    EndConnection();
    return false;
}

}  // namespace tw
