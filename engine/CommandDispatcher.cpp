// Dispatch of one command line, and the commands that need no file system or data connection.
#include <algorithm>
#include <cctype>

#include "engine/CommandTable.h"
#include "engine/ConnectThread.h"
#include "engine/ControlSocket.h"
#include "engine/FtpServer.h"
#include "engine/Messages.h"
#include "platform/Text.h"

namespace tw {

namespace {

// A PASS line, in any case and after any leading blanks.
bool IsPassLine(const std::string& line) {
    size_t start = line.find_first_not_of(' ');
    if (start == std::string::npos) return false;
    size_t end = line.find(' ', start);
    return EqualsNoCase(std::string_view(line).substr(start, end == std::string::npos ? end : end - start), "PASS");
}

}  // namespace

std::span<const CommandRow> CControlSocket::Commands() const { return PlainCommandTable(); }

bool CControlSocket::GetNextCommand(std::string& command, std::string& argument) {
    if (pendingLines_.empty()) return false;
    std::string line = std::move(pendingLines_.front());
    pendingLines_.pop_front();

    // A password never reaches a log or a host.
    const std::string shown = IsPassLine(line) ? "PASS ***" : line;
    Log(">> " + shown, 1);
    thread_.Server().ReportCommand(thread_.Id(), CurrentDir, shown);

    size_t blank = line.find(' ');
    command = line.substr(0, blank);
    argument = blank == std::string::npos ? std::string() : line.substr(blank + 1);
    if (command.empty()) return false;
    std::transform(command.begin(), command.end(), command.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    // Bytes a client puts before ABOR to interrupt a transfer are ignored.
    if (command.size() >= 4 && command.compare(command.size() - 4, 4, "ABOR") == 0) command = "ABOR";
    return true;
}

void CControlSocket::ProcessCommand() {
    std::string command, argument;
    if (!CountCommandBeforeLogin() || !GetNextCommand(command, argument)) return;
    const CommandRow* row = FindCommand(Commands(), command);
    if (row && row->needsArgument && argument.empty()) {
        SendReply("501 Syntax error in parameters or arguments.");
        return;
    }
    bool loginFree = command == "USER" || command == "PASS" || command == "QUIT" || command == "BYE";
    if (!loginFree && LoginState == NOT_LOGGED_IN) {
        SendReply("530 Please login with USER and PASS.");
        return;
    }
    if (!row || !row->handler) {
        SendReply("502 Command not implemented.");
        return;
    }
    (this->*row->handler)(argument);
}

void CControlSocket::OnNoop(const std::string&) { SendReply("200 NOOP command successful."); }

void CControlSocket::OnSyst(const std::string&) { SendReply("215 UNIX."); }

void CControlSocket::OnType(const std::string& arg) {
    if (arg == "A" || arg == "a")
        SendReply("200 Type is now ASCII");
    else
        SendReply("200 Type is now %s", arg);
}

void CControlSocket::OnProt(const std::string&) { SendReply("200 PROT command OK."); }

void CControlSocket::OnPbsz(const std::string&) { SendReply("200 PBSZ command OK."); }

void CControlSocket::OnHelp(const std::string&) { SendReply("501 Bad command."); }

void CControlSocket::OnQuit(const std::string&) {
    SendReply("220 %s", thread_.Server().GetGoodbye());
    EndConnection();
}

}  // namespace tw
