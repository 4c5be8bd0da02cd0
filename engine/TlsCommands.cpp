// The TLS commands of the control connection (RFC 4217: AUTH, PBSZ, PROT) and the ForceTLS policy.
#include "engine/ConnectThread.h"
#include "engine/ControlSocket.h"
#include "engine/FtpServer.h"
#include "platform/Text.h"

namespace tw {

namespace {

constexpr const char* kNeedsAuth = "503 Use AUTH TLS first.";

bool IsTlsMechanism(std::string_view name) {
    return EqualsNoCase(name, "TLS") || EqualsNoCase(name, "SSL") || EqualsNoCase(name, "TLS-C");
}

}  // namespace

bool CControlSocket::TlsAvailable() const { return thread_.TlsContext() != nullptr; }

bool CControlSocket::IsAnonymous() const {
    return session_.IsLoggedIn() && EqualsNoCase(session_.UserName, "anonymous");
}

void CControlSocket::OnAuth(const std::string& arg) {
    if (transport_.IsTls()) {
        SendReply("503 TLS is already in use.");
        return;
    }
    if (session_.IsLoggedIn()) {
        SendReply("503 AUTH must come before login.");
        return;
    }
    if (!IsTlsMechanism(Trim(arg))) {
        SendReply("504 Unknown security mechanism.");
        return;
    }
    if (!TlsAvailable()) {
        SendReply("431 TLS is not available.");
        return;
    }
    if (!SendReply("234 AUTH TLS successful.")) return;
    // Whatever came in clear after AUTH may have been put there by someone between the client and us: it
    // is dropped unseen, so only what arrives over TLS is ever executed. A login begun in clear starts again.
    receiveBuffer_.clear();
    pendingLines_.clear();
    cutting_ = heldCr_ = false;
    session_.UserName.clear();
    // A failed handshake (a time-out, bytes that are no TLS, a stop meanwhile) leaves nothing to talk over.
    if (!thread_.StartTls()) EndConnection();
}

void CControlSocket::OnPbsz(const std::string&) {
    if (!transport_.IsTls()) {
        SendReply(kNeedsAuth);
        return;
    }
    SendReply("200 PBSZ command OK.");
}

void CControlSocket::OnProt(const std::string& arg) {
    if (!transport_.IsTls()) {
        SendReply(kNeedsAuth);
        return;
    }
    // Clear data beside a protected control connection is the client's choice, except on the TLS listener,
    // where every data connection is protected.
    const std::string_view level = Trim(arg);
    if (EqualsNoCase(level, "P") || (EqualsNoCase(level, "C") && !thread_.IsTls())) {
        protectData_ = EqualsNoCase(level, "P");
        SendReply("200 PROT command OK.");
    } else {
        SendReply("536 Requested PROT level not supported by mechanism.");
    }
}

bool CControlSocket::RefuseClearData() {
    if (protectData_ || thread_.Server().ForceTls() < 2 || IsAnonymous()) return false;
    SendReply("521 Data connections must be protected: use PROT P.");
    return true;
}

}  // namespace tw
