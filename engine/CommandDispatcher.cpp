// Dispatch of one command line, and the commands that need no file system or data connection.
#include <algorithm>
#include <cctype>
#include <vector>

#include "engine/CommandTable.h"
#include "engine/ConnectThread.h"
#include "engine/ControlSocket.h"
#include "engine/FtpServer.h"
#include "engine/Listing.h"
#include "engine/Messages.h"
#include "engine/SiteCommands.h"
#include "platform/Text.h"

namespace tw {

namespace {

constexpr size_t kHelpWordsPerLine = 8;

// A PASS line, in any case and after any leading blanks.
bool IsPassLine(const std::string& line) {
    size_t start = line.find_first_not_of(' ');
    if (start == std::string::npos) return false;
    size_t end = line.find(' ', start);
    return EqualsNoCase(std::string_view(line).substr(start, end == std::string::npos ? end : end - start), "PASS");
}

}  // namespace

std::span<const CommandRow> CControlSocket::Commands() const {
    return thread_.IsTls() ? TlsListenerCommandTable() : PlainCommandTable();
}

bool CControlSocket::GetNextCommand(std::string& command, std::string& argument) {
    if (pendingLines_.empty()) return false;
    std::string line = std::move(pendingLines_.front());
    pendingLines_.pop_front();

    // A password never reaches a log or a host.
    const std::string shown = IsPassLine(line) ? "PASS ***" : line;
    Log(">> " + shown, EventLevel::COMMAND);
    thread_.Server().ReportCommand(thread_.Id(), session_.CurrentDir, shown);

    size_t blank = line.find(' ');
    command = CommandWord(line);
    argument = blank == std::string::npos ? std::string() : line.substr(blank + 1);
    return !command.empty();
}

std::string CControlSocket::CommandWord(std::string_view line) {
    std::string command(line.substr(0, line.find(' ')));
    std::transform(command.begin(), command.end(), command.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    // Bytes a client puts before ABOR to interrupt a transfer are ignored.
    if (command.size() >= 4 && command.compare(command.size() - 4, 4, "ABOR") == 0) command = "ABOR";
    return command;
}

void CControlSocket::ProcessCommand() {
    std::string command, argument;
    if (!CountCommandBeforeLogin() || !GetNextCommand(command, argument)) return;
    // RFC 959: RNTO renames only what the command straight before it, RNFR, named; any other command drops it.
    if (command != "RNTO" || previousCommand_ != "RNFR") session_.RenameSource.clear();
    previousCommand_ = command;
    const CommandRow* row = FindCommand(Commands(), command);
    if (row && row->needsArgument && argument.empty()) {
        SendReply("501 Syntax error in parameters or arguments.");
        return;
    }
    if (!(row && row->Has(kBeforeLogin)) && !session_.IsLoggedIn()) {
        SendReply("530 Please login with USER and PASS.");
        return;
    }
    if (!row || !row->handler) {
        SendReply("502 Command not implemented.");
        return;
    }
    if (row->Has(kSetsDataEndpoint) && (RefuseWhileBusy() || RefuseClearData())) return;
    (this->*row->handler)(argument);
}

void CControlSocket::OnNoop(const std::string&) { SendReply("200 NOOP command successful."); }

// The conventional answer: clients switch to binary transfers only when they see it.
void CControlSocket::OnSyst(const std::string&) { SendReply("215 UNIX Type: L8"); }

void CControlSocket::OnType(const std::string& arg) {
    if (arg == "A" || arg == "a")
        SendReply("200 Type is now ASCII");
    else
        SendReply("200 Type is now %s", arg);
}

void CControlSocket::OnMode(const std::string& arg) {
    if (EqualsNoCase(Trim(arg), "S"))
        SendReply("200 Mode set to S.");
    else
        SendReply("504 Command not implemented for that parameter.");
}

void CControlSocket::OnStru(const std::string& arg) {
    if (EqualsNoCase(Trim(arg), "F"))
        SendReply("200 Structure set to F.");
    else
        SendReply("504 Command not implemented for that parameter.");
}

void CControlSocket::OnHelp(const std::string& arg) {
    const std::string_view asked = Trim(arg);
    if (!asked.empty()) {
        std::string word(asked);
        std::transform(word.begin(), word.end(), word.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        if (word == "SITE")
            SendSiteHelp(*this);
        else if (const CommandRow* row = FindCommand(Commands(), word))
            SendReply("214 %s", row->help);
        else
            SendReply("501 Bad command.");
        return;
    }
    SendReply("214-The following commands are recognized:");
    // Like FEAT, the TLS commands only where TLS can be set up.
    std::vector<const char*> words;
    for (const CommandRow& row : Commands())
        if (!row.Has(kNeedsTls) || TlsAvailable()) words.push_back(row.word);
    for (size_t first = 0; first < words.size(); first += kHelpWordsPerLine) {
        std::string line;
        for (size_t i = first; i < std::min(words.size(), first + kHelpWordsPerLine); ++i)
            line += fmt::format(" {:<5}", words[i]);
        while (line.back() == ' ') line.pop_back();
        SendReplyText(line);
    }
    SendReply("214 Help OK.");
}

void CControlSocket::OnFeat(const std::string&) {
    SendReply("211-Features:");
    for (const CommandRow& row : Commands()) {
        if (!row.feature || (row.Has(kNeedsTls) && !TlsAvailable())) continue;
        const std::string_view feature = row.feature;
        SendReplyText(" " + (feature == "MLST" ? MlstFeature(mlstFacts_) : std::string(feature)));
    }
    SendReply("211 End");
}

void CControlSocket::OnOpts(const std::string& arg) {
    const std::string_view text = Trim(arg);
    const size_t blank = text.find(' ');
    const std::string_view option = text.substr(0, blank);
    const std::string_view value = blank == std::string_view::npos ? std::string_view() : Trim(text.substr(blank));
    // File names are UTF-8 bytes on this platform and pass through as they are.
    if (EqualsNoCase(option, "UTF8") && (value.empty() || EqualsNoCase(value, "ON"))) {
        SendReply("200 Always in UTF8 mode.");
    } else if (EqualsNoCase(option, "MLST")) {
        mlstFacts_ = ParseMlstFacts(value);
        const std::string names = MlstFactNames(mlstFacts_);
        SendReplyText(names.empty() ? "200 MLST OPTS" : "200 MLST OPTS " + names);
    } else {
        SendReply("501 Option not understood.");
    }
}

void CControlSocket::OnQuit(const std::string&) {
    SendReply("220 %s", thread_.Server().GetGoodbye());
    EndConnection();
}

}  // namespace tw
