#include "ControlSocket.h"

#include <stdexcept>
#include <string_view>
#include <system_error>

#include "engine/ConnectThread.h"
#include "engine/FtpServer.h"
#include "engine/Messages.h"

namespace tw {

namespace {

// A reply that cannot be handed over within this time finds the connection dead.
constexpr std::chrono::seconds kReplySendLimit{60};

// The length of what stays without a line end once `added` is appended to `buffer` (which holds none)
// and the complete lines are cut off.
size_t UnfinishedLength(const std::string& buffer, std::string_view added) {
    size_t end = added.rfind("\r\n");
    if (end != std::string_view::npos) return added.size() - end - 2;
    if (!buffer.empty() && buffer.back() == '\r' && !added.empty() && added.front() == '\n') return added.size() - 1;
    return buffer.size() + added.size();
}

}  // namespace

CControlSocket::CControlSocket(CConnectThread& thread) : thread_(thread) {}

CControlSocket::~CControlSocket() {
    CloseDataConnection();
    Close();
}

void CControlSocket::Log(const std::string& text, int level) { thread_.Server().NotifyText(level, text); }

void CControlSocket::EndConnection() {
    Close();
    thread_.PostNotify(NOTIFY_END_THREAD);
}

long CControlSocket::ReadSome(void* buffer, size_t length) { return Receive(buffer, length); }

bool CControlSocket::WriteAll(const std::string& bytes) { return SendAll(bytes.data(), bytes.size(), kReplySendLimit); }

bool CControlSocket::SendReplyText(const std::string& text) {
    if (!IsOpen() || PeerGone()) {
        Log("Connection is not active, disconnected.", 2);
        Close();
    } else if (WriteAll(text + "\r\n")) {
        Log(text, 2);
        thread_.CountSent(text.size() + 2);
        return true;
    } else {
        Close();
        Log("Connection is not active, disconnected.", 2);
    }
    thread_.PostNotify(NOTIFY_END_THREAD);
    return false;
}

void CControlSocket::OnClose(int) { EndConnection(); }

void CControlSocket::OnReceive(int) {
    try {
        ReceiveChunk();
    } catch (const std::system_error& e) {  // file failures
        Log(std::string(e.what()).substr(0, 128), 3);
        thread_.PostQuit();
    } catch (...) {
        Log("Exception  #1", 3);
    }
}

void CControlSocket::ReceiveChunk() {
    readBuffer_.resize(maxRead_);
    char* chunk = readBuffer_.data();
    long n = ReadSome(chunk, maxRead_);
    if (n < 0) {
        // A transport failure without a socket error (LastError 0, TLS) ends the thread unlogged.
        if (LastError() != EAGAIN) {
            if (LastError() != 0) Log(fmt::sprintf("OnReceive error: %d", LastError()), 3);
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
    size_t pending = maxRead_ > maxBuffered_ ? UnfinishedLength(receiveBuffer_, added) : receiveBuffer_.size() + got;
    if (pending > maxBuffered_) {
        Log(fmt::sprintf("error command: %s", std::string(chunk, std::min<size_t>(got, 128))), 3);
        thread_.PostQuit();
        return;
    }
    thread_.CountReceived(got);
    TakeBytes(added);
    if (!waitingForData_) AssembleLines();  // else the waiting command's caller goes on with them
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
    size_t end;
    while (IsOpen() && (end = receiveBuffer_.find("\r\n")) != std::string::npos) {
        std::string line = receiveBuffer_.substr(0, end);
        receiveBuffer_.erase(0, end + 2);
        if (line.empty()) continue;
        pendingLines_.push_back(std::move(line));
        try {
            ProcessCommand();
        } catch (...) {
            Log("Exception #2", 3);
            Close();
            thread_.PostQuit();
        }
    }
}

}  // namespace tw
