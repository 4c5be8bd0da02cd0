// USER and PASS.
#include "engine/ConnectThread.h"
#include "engine/ControlSocket.h"
#include "engine/FtpServer.h"
#include "platform/Text.h"

namespace tw {

void CControlSocket::OnUser(const std::string& arg) {
    session_.LoggedOut(thread_.Server().Now());
    session_.ClientAddress = PeerAddress();
    // ForceTLS: refused before any password comes, and with no name kept, so a PASS finds nobody to check.
    if (thread_.Server().ForceTls() >= 1 && !transport_.IsTls() && !EqualsNoCase(arg, "anonymous")) {
        session_.UserName.clear();
        SendReply("530 Login requires TLS: use AUTH TLS.");
        return;
    }
    session_.UserName = arg;
    thread_.Server().ReportUser(thread_.Id(), session_.UserName, session_.ClientAddress);
    SendReply("331 username ok, need password.");
}

void CControlSocket::OnPass(const std::string& arg) {
    if (session_.UserName.empty()) {
        SendReply("503 Please login with USER.");
        return;
    }
    CFtpServer& server = thread_.Server();
    // Every failure is answered at the same time after the PASS arrived, however long the check took,
    // so the answer tells nothing of whether the user exists.
    const auto due = std::chrono::steady_clock::now() + std::chrono::milliseconds(server.LoginFailDelay());
    auto account = server.Access().Source().LoadAccount(session_.UserName);
    const std::string accountName = account ? account->userid : std::string();
    // A locked account is refused before its password is looked at, unless the address is one it knows.
    bool accepted = account && account->enabled && !server.IsBanned(session_.ClientAddress) &&
                    !server.IsAccountLocked(accountName, session_.ClientAddress) &&
                    ((EqualsNoCase(session_.UserName, "anonymous") && account->password.empty()) ||
                     PasswordMatches(arg, account->password));
    if (!accepted) {
        // The name as typed (the line's control bytes are masked) and the address last, for log watchers
        // to anchor on: a name cannot put an address after it.
        Log(fmt::sprintf("Login failed: user '%s' from %s.", session_.UserName, session_.ClientAddress),
            EventLevel::EVENT);
        const bool banned = server.RecordLoginFailure(session_.ClientAddress, accountName);
        const int maxFails = server.MaxLoginFails();
        // Counted for the whole connection: logins that succeed in between do not reset it.
        const bool last = banned || (session_.CountLoginFailure() >= maxFails && maxFails > 0);
        HoldCommands(due, [this, last] {
            if (!last) {
                SendReply("530 username or password incorrect.");  // UserName stays: another PASS may follow
                return;
            }
            SendReply("421 Too many failed logins.");
            EndConnection();
        });
        return;
    }
    server.RecordLoginSuccess(session_.ClientAddress, accountName);
    session_.CurrentDir.assign(1, '/');  // not = "/": GCC 12 warns falsely (-Wrestrict) on that assignment
    session_.LoggedIn();
    SendReply("230 User logged in. proceed.");
}

}  // namespace tw
