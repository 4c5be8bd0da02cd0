// Data connections of a control connection: PORT, EPRT, PASV (and P@SW), EPSV, opening and dropping. On an
// IPv6 control connection only EPRT and EPSV work (RFC 2428).
#include <algorithm>
#include <cerrno>

#include "engine/ConnectThread.h"
#include "engine/ControlSocket.h"
#include "engine/DataSocket.h"
#include "engine/FtpServer.h"
#include "engine/Messages.h"
#include "platform/IpAddress.h"
#include "platform/Text.h"

namespace tw {

namespace {

constexpr auto kDataConnectionWait = std::chrono::milliseconds(10000);

// The network protocol of the control connection as RFC 2428 numbers it: 2 for IPv6, 1 for IPv4. The data
// connection uses the same one, since it runs between the same two addresses.
int NetworkProtocol(const CControlSocket& control) {
    const auto peer = ParseIpAddress(control.PeerAddress());
    return peer && peer->v6 ? 2 : 1;
}

const char* UnsupportedProtocol(int protocol) {
    return protocol == 2 ? "522 Network protocol not supported, use (2)"
                         : "522 Network protocol not supported, use (1)";
}

// PORT and PASV carry IPv4 addresses only.
bool RefusedOnIpv6(CControlSocket& control) {
    if (NetworkProtocol(control) != 2) return false;
    control.SendReply("425 Use EPSV or EPRT on an IPv6 connection.");
    return true;
}

}  // namespace

std::unique_ptr<CDataSocket> CControlSocket::CreateDataSocket() {
    DataOwner& owner = *this;  // a private base: converted here, not inside make_unique
    return std::make_unique<CDataSocket>(owner);
}

// ---- the data socket's owner ----

MessageLoop& CControlSocket::Loop() { return thread_.Loop(); }

std::string CControlSocket::ProgramDir() const { return thread_.Server().ProgramDir(); }

CRateBudget& CControlSocket::RateBudget() { return thread_.Server().RateBudget(); }

CUploadQuota& CControlSocket::UploadQuota() { return thread_.Server().UploadQuota(); }

void CControlSocket::CountSent(uint64_t n) { thread_.CountSent(n); }

void CControlSocket::CountReceived(uint64_t n) { thread_.CountReceived(n); }

void CControlSocket::TransferEnded(const char* reply, int counter) {
    // USER during a transfer logged the connection out; the end of the transfer does not log it back in.
    session_.TransferEnded();
    SendReplyText(reply);
    if (counter) thread_.Server().PostToWindow(WM_FTP_NOTIFY, NOTIFY_COUNTER, counter);
    thread_.PostNotify(NOTIFY_CLOSE_DATA);
}

const DataReplies& CControlSocket::Replies() const {
    static constexpr DataReplies kPlain{
        "425 Can't open data connection.", "425 Can't open data connection.", "425 Can't build data connection.",
        "425 Can't build data connection.", "426 Connection closed.",           "426 Connection closed.",
        "426 Connection closed.",           "426 Connection closed.",
    };
    // The TLS listener's clients see numbered texts (explicit TLS keeps the plain ones).
    static constexpr DataReplies kNumbered{
        "425 Can't open data connection 1.", "425 Can't open data connection 2.", "425 port ip error.",
        "425 Can't build data connection 1.", "426 Connection closed 1.",           "426 Connection closed 2.",
        "426 Connection closed 3.",           "426 Connection closed 4.",
    };
    return thread_.IsTls() ? kNumbered : kPlain;
}

void CControlSocket::OnPort(const std::string& arg) {
    if (RefuseAfterEpsvAll() || RefusedOnIpv6(*this)) return;
    ActiveAddress target;
    AddressParse parsed = ParsePortArgument(arg, target);
    SetActiveAddress(parsed, target, "200 Port command successful.", "501 Syntax error: Invalid parameter.");
}

void CControlSocket::OnEprt(const std::string& arg) {
    if (RefuseAfterEpsvAll()) return;
    ActiveAddress target;
    AddressParse parsed = ParseEprtArgument(arg, target);
    SetActiveAddress(parsed, target, "200 EPRT command successful.", "501 Syntax error in parameters or arguments.");
}

void CControlSocket::SetActiveAddress(AddressParse parsed, const ActiveAddress& target, const char* accepted,
                                      const char* syntaxError) {
    if (parsed == AddressParse::SYNTAX) {
        SendReply(syntaxError);
        return;
    }
    const int protocol = NetworkProtocol(*this);
    if (parsed == AddressParse::UNSUPPORTED_FAMILY || (parsed == AddressParse::OK && target.ipv6 != (protocol == 2))) {
        SendReply(UnsupportedProtocol(protocol));
        return;
    }
    // Against FTP bounce: the server connects only back to the client's own address, and never to a
    // privileged port. Both texts are in AddressText's form, a v4-mapped address as IPv4. The unspecified
    // IPv6 address, which some clients send from a data socket bound to no address, names the client.
    const std::string client = PeerAddress();
    if (parsed != AddressParse::OK || (target.address != client && target.address != "::") || target.port < 1024) {
        SendReply("504 Command not implemented for that parameter.");
        return;
    }
    session_.PortAddress = client;
    session_.PortNumber = target.port;
    session_.PassiveMode = false;
    SendReply(accepted);
}

bool CControlSocket::RefuseAfterEpsvAll() {
    if (epsvAll_) SendReply("520 EPSV ALL in effect.");
    return epsvAll_;
}

void CControlSocket::OnPasv(const std::string&) {
    if (RefuseAfterEpsvAll() || RefusedOnIpv6(*this)) return;
    int port = OpenPassivePort();
    if (!port) return;
    std::string address = Thread().Server().GetPassiveAddress();
    if (address.empty()) address = LocalAddress();  // the address the client reached us on
    std::replace(address.begin(), address.end(), '.', ',');
    SendReply("227 Entering Passive Mode (%s,%d,%d).", address, port / 256, port % 256);
    session_.PassiveMode = true;
}

void CControlSocket::OnEpsv(const std::string& arg) {
    const std::string_view protocol = Trim(arg);
    if (EqualsNoCase(protocol, "ALL")) {
        epsvAll_ = true;
        SendReply("200 EPSV ALL command successful.");
        return;
    }
    const int own = NetworkProtocol(*this);
    if (!protocol.empty() && protocol != (own == 2 ? "2" : "1")) {
        SendReply(UnsupportedProtocol(own));
        return;
    }
    // The client connects to the address of the control connection; only the port is told.
    int port = OpenPassivePort();
    if (!port) return;
    SendReply("229 Entering Extended Passive Mode (|||%d|)", port);
    session_.PassiveMode = true;
}

int CControlSocket::OpenPassivePort() {
    CloseDataConnection();
    int low, high;
    Thread().Server().GetPassivePorts(low, high);
    // Bound before it becomes the data socket, so nothing dispatched during a retry can drop it.
    auto socket = CreateDataSocket();
    CDataSocket::PassiveResult bound = socket->BindPassivePort(low, high);
    if (bound == CDataSocket::PassiveResult::BIND_FAILED) {
        CloseDataConnection();
        SendReply("425 Can't create data socket.");
        return 0;
    }
    if (bound == CDataSocket::PassiveResult::LISTEN_FAILED || !socket->PrepareTransport()) {
        SendReply("425 Can't listen on data socket.");
        return 0;
    }
    dataSocket_ = std::move(socket);
    return dataSocket_->LocalPort();
}

bool CControlSocket::OpenDataConnection() {
    if (RefuseClearData()) return false;  // PROT C after the data connection was set up
    if (!session_.PassiveMode) {
        if (session_.PortAddress.empty() || session_.PortNumber == -1) {
            SendReply(Replies().noPortAddress);
            return false;
        }
        DropDataSocket();  // one left from an earlier PASV
        dataSocket_ = CreateDataSocket();
        if (!dataSocket_->ConnectTo(session_.PortAddress, session_.PortNumber)) {
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
    // Event-driven wait on this thread's loop. The control socket stays watched: a client that is gone or
    // that aborts is noticed at once, and other lines wait in the receive buffer.
    CDataSocket* socket = dataSocket_.get();
    bool interrupted = false;
    session_.DataWaitStarted();
    bool ready = Thread().Loop().RunFor(
        kDataConnectionWait,
        [&] {
            if (!IsOpen() || LineEndsDataWait()) return interrupted = true;
            return dataSocket_.get() != socket || socket->Connected() || socket->AcceptFailed();
        },
        Handle());
    session_.DataWaitEnded();
    if (interrupted) {
        // The transfer command ends here; the ABOR or QUIT that ended it is handled next, in line.
        if (IsOpen()) SendReply("426 Data connection closed.");
        return false;
    }
    if (dataSocket_.get() != socket || socket->AcceptFailed()) {  // dropped while waiting, or out of descriptors
        SendReply("425 Can't build data connection.");
        return false;
    }
    // A transport that cannot start (a failed handshake) ends as a connection that never came.
    const char* notReady = session_.PassiveMode ? "425 Can't open data connection." : Replies().noConnection;
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
    session_.PortAddress.clear();
    session_.PortNumber = -1;
    session_.RestartOffset = 0;
    session_.PassiveMode = false;
    // Whatever ran on the connection is over (an ABOR after this has nothing to abort).
    session_.TransferEnded();
}

void CControlSocket::DropDataSocket() {
    if (!dataSocket_) return;
    const std::string account = dataSocket_->QuotaAccount();
    const CUploadQuota::Ticket quota = dataSocket_->Quota();
    // Quota settlement: the KB the upload left stored, billed to the account that started it. An
    // unfinished hidden file, removed with the socket, stores nothing.
    const double kb = dataSocket_->BilledKb();
    dataSocket_.reset();  // closes the network socket and the file, and removes an unfinished upload
    // A drop that this socket (or an earlier one) has posted is done now; handled later it would drop
    // the next data connection, made by a command of the same segment.
    for (const Message& m : Thread().Loop().TakeThreadMessages(WM_FTP_NOTIFY))
        if (m.wParam != NOTIFY_CLOSE_DATA) Thread().PostNotify(m.wParam);
    CFtpServer& server = Thread().Server();
    server.UploadQuota().End(server.Access().Source(), account, quota, kb);
}

}  // namespace tw
