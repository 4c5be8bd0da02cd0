// Data connections of a control connection: PORT, PASV (and P@SW), opening and dropping.
#include <algorithm>
#include <cerrno>

#include "engine/ConnectThread.h"
#include "engine/ControlSocket.h"
#include "engine/DataSocket.h"
#include "engine/FtpServer.h"
#include "engine/Messages.h"
#include "platform/Text.h"

namespace tw {

namespace {

constexpr auto kDataConnectionWait = std::chrono::milliseconds(10000);

}  // namespace

std::unique_ptr<CDataSocket> CControlSocket::CreateDataSocket() { return std::make_unique<CDataSocket>(*this); }

const DataReplies& CControlSocket::Replies() const {
    static constexpr DataReplies kPlain{
        "421 Failed to create connection.", "421 Failed to create connection.", "425 Can't build data connection.",
        "425 Can't build data connection.", "426 Connection closed.",           "426 Connection closed.",
        "426 Connection closed.",           "426 Connection closed.",
    };
    return kPlain;
}

void CControlSocket::OnPort(const std::string& arg) {
    std::vector<std::string_view> pieces;
    std::string_view rest = arg;
    for (;;) {
        size_t comma = rest.find(',');
        pieces.push_back(Trim(rest.substr(0, comma)));
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
    }
    if (pieces.size() != 6) {
        SendReply("501 Syntax error: Invalid parameter.");
        return;
    }
    int v[6];
    for (int i = 0; i < 6; ++i) v[i] = ByteValue(pieces[i]);
    // Against FTP bounce: the server connects only back to the client's own address, and never to a
    // privileged port.
    std::string address = fmt::format("{}.{}.{}.{}", v[0], v[1], v[2], v[3]);
    int port = v[4] * 256 + v[5];
    if (std::any_of(std::begin(v), std::end(v), [](int x) { return x < 0; }) || address != PeerAddress() ||
        port < 1024) {
        SendReply("504 Command not implemented for that parameter.");
        return;
    }
    PortAddress = address;
    PortNumber = port;
    PassiveMode = false;
    SendReply("200 Port command successful.");
}

void CControlSocket::OnPasv(const std::string&) {
    CloseDataConnection();
    int low, high;
    Thread().Server().GetPassivePorts(low, high);
    // Bound before it becomes the data socket, so nothing dispatched during a retry can drop it.
    auto socket = CreateDataSocket();
    CDataSocket::PassiveResult bound = socket->BindPassivePort(low, high);
    if (bound == CDataSocket::PassiveResult::BIND_FAILED) {
        CloseDataConnection();
        SendReply("421 Create socket error.");
        return;
    }
    if (bound == CDataSocket::PassiveResult::LISTEN_FAILED || !socket->PrepareTransport()) {
        SendReply("421 Failed to listen on socket.");
        return;
    }
    dataSocket_ = std::move(socket);
    std::string address = Thread().Server().GetPassiveAddress();
    if (address.empty()) address = LocalAddress();  // the address the client reached us on
    std::replace(address.begin(), address.end(), '.', ',');
    int port = dataSocket_->LocalPort();
    SendReply("227 Entering Passive Mode (%s,%d,%d).", address, port / 256, port % 256);
    PassiveMode = true;
}

bool CControlSocket::OpenDataConnection() {
    if (!PassiveMode) {
        if (PortAddress.empty() || PortNumber == -1) {
            SendReply(Replies().noPortAddress);
            return false;
        }
        DropDataSocket();  // one left from an earlier PASV
        dataSocket_ = CreateDataSocket();
        if (!dataSocket_->ConnectTo(PortAddress, PortNumber)) {
            bool noSocket = IsResourceShortage(dataSocket_->LastError());
            SendReply(noSocket ? Replies().noSocket : "425 Can't build data connection.");
            return false;
        }
        // Without its transport the socket never connects, and the wait below runs out.
        if (!dataSocket_->PrepareTransport()) dataSocket_->Close();
    } else if (!dataSocket_) {
        SendReply("425 Can't build data connection.");
        return false;
    }
    // Event-driven wait on this thread's loop; this handler's own socket is not re-entered meanwhile.
    CDataSocket* socket = dataSocket_.get();
    bool ready = Thread().Loop().RunFor(kDataConnectionWait, [&] {
        return dataSocket_.get() != socket || socket->Connected() || socket->AcceptFailed();
    });
    if (dataSocket_.get() != socket || socket->AcceptFailed()) {  // dropped while waiting, or out of descriptors
        SendReply("425 Can't build data connection.");
        return false;
    }
    // A transport that cannot start (a failed handshake) ends as a connection that never came.
    const char* notReady = PassiveMode ? "421 Failed to create connection." : Replies().noConnection;
    if (!ready) {
        SendReply(notReady);
        return false;
    }
    if (socket->ConnectFailed()) return false;  // it has had its 425 reply
    if (!socket->StartTransport()) {
        SendReply(notReady);
        return false;
    }
    return true;
}

void CControlSocket::CloseDataConnection() {
    if (!dataSocket_) return;
    DropDataSocket();
    PortAddress.clear();
    PortNumber = -1;
    RestartOffset = 0;
    PassiveMode = false;
    // Whatever ran on the connection is over (an ABOR after this has nothing to abort).
    if (LoginState != NOT_LOGGED_IN) LoginState = LOGGED_IN;
}

void CControlSocket::DropDataSocket() {
    if (!dataSocket_) return;
    const std::string account = dataSocket_->QuotaAccount();
    uint64_t quotaMax = dataSocket_->QuotaMax();
    uint64_t counted = dataSocket_->QuotaCounted();
    dataSocket_.reset();  // closes the network socket and the file
    // A drop that this socket (or an earlier one) has posted is done now; handled later it would drop
    // the next data connection, made by a command of the same segment.
    for (const Message& m : Thread().Loop().TakeThreadMessages(WM_FTP_NOTIFY))
        if (m.wParam != NOTIFY_CLOSE_DATA) Thread().PostNotify(m.wParam);
    // Quota settlement: what the upload received, a started KB counted in full, billed to the account
    // that started it.
    if (quotaMax != 0 && counted != 0) Thread().Server().Access().Source().AddUsedQuota(account, QuotaKb(counted));
}

}  // namespace tw
