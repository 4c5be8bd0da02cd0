// USER and PASS.
#include "engine/ConnectThread.h"
#include "engine/ControlSocket.h"
#include "engine/FtpServer.h"
#include "platform/Text.h"

namespace tw {

void CControlSocket::OnUser(const std::string& arg) {
    LoginState = NOT_LOGGED_IN;  // logged out until the next good PASS
    UserName = arg;
    RenameSource.clear();  // it was checked for the account before
    ClientAddress = PeerAddress();
    thread_.Server().ReportUser(thread_.Id(), UserName, ClientAddress);
    SendReply("331 username ok, need password.");
}

void CControlSocket::OnPass(const std::string& arg) {
    if (UserName.empty()) {
        SendReply("503 Please login with USER.");
        return;
    }
    auto account = thread_.Server().Access().Source().LoadAccount(UserName);
    std::string given = !arg.empty() && arg[0] == ',' ? DecodeScrambledText(arg) : arg;
    bool accepted = account && account->status == 1 &&
                    ((EqualsNoCase(UserName, "anonymous") && account->password.empty()) || given == account->password);
    if (!accepted) {
        SendReply("530 username or password incorrect.");  // UserName stays: another PASS may follow
        return;
    }
    CurrentDir.assign(1, '/');  // not = "/": GCC 12 warns falsely (-Wrestrict) on that assignment
    LoginState = LOGGED_IN;
    SendReply("230 User logged in. proceed.");
}

}  // namespace tw
