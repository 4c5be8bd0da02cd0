// USER and PASS.
#include "engine/ConnectThread.h"
#include "engine/ControlSocket.h"
#include "engine/FtpServer.h"
#include "platform/Text.h"

namespace tw {

void CControlSocket::OnUser(const std::string& arg) {
    if (LoginState != NOT_LOGGED_IN) {  // the login defences start afresh for the next login
        loginClock_ = thread_.Server().Now();
        commandsBeforeLogin_ = 1;  // this USER
    }
    LoginState = NOT_LOGGED_IN;  // logged out until the next good PASS
    ClientAddress = PeerAddress();
    // ForceTLS: refused before any password comes, and with no name kept, so a PASS finds nobody to check.
    if (thread_.Server().ForceTls() >= 1 && !transport_.IsTls() && !EqualsNoCase(arg, "anonymous")) {
        UserName.clear();
        SendReply("530 Login requires TLS: use AUTH TLS.");
        return;
    }
    UserName = arg;
    thread_.Server().ReportUser(thread_.Id(), UserName, ClientAddress);
    SendReply("331 username ok, need password.");
}

void CControlSocket::OnPass(const std::string& arg) {
    if (UserName.empty()) {
        SendReply("503 Please login with USER.");
        return;
    }
    CFtpServer& server = thread_.Server();
    // Every failure is answered at the same time after the PASS arrived, however long the check took,
    // so the answer tells nothing of whether the user exists.
    const auto due = std::chrono::steady_clock::now() + std::chrono::milliseconds(server.LoginFailDelay());
    auto account = server.Access().Source().LoadAccount(UserName);
    const std::string accountName = account ? account->userid : std::string();
    // A locked account is refused before its password is looked at, unless the address is one it knows.
    bool accepted = account && account->enabled && !server.IsBanned(ClientAddress) &&
                    !server.IsAccountLocked(accountName, ClientAddress) &&
                    ((EqualsNoCase(UserName, "anonymous") && account->password.empty()) ||
                     PasswordMatches(arg, account->password));
    if (!accepted) {
        // The name as typed (the line's control bytes are masked) and the address last, for log watchers
        // to anchor on: a name cannot put an address after it.
        Log(fmt::sprintf("Login failed: user '%s' from %s.", UserName, ClientAddress), EventLevel::EVENT);
        const bool banned = server.RecordLoginFailure(ClientAddress, accountName);
        const int maxFails = server.MaxLoginFails();
        // Counted for the whole connection: logins that succeed in between do not reset it.
        const bool last = banned || (++loginFails_ >= maxFails && maxFails > 0);
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
    server.RecordLoginSuccess(ClientAddress, accountName);
    commandsBeforeLogin_ = 0;
    CurrentDir.assign(1, '/');  // not = "/": GCC 12 warns falsely (-Wrestrict) on that assignment
    LoginState = LOGGED_IN;
    SendReply("230 User logged in. proceed.");
}

}  // namespace tw
