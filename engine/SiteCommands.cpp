// SITE: its subcommands by table, CHMOD and HELP.
#include "engine/SiteCommands.h"

#include "engine/ConnectThread.h"
#include "engine/ControlSocket.h"
#include "engine/FtpServer.h"
#include "platform/PathBeneath.h"
#include "platform/Text.h"

namespace tw {

namespace {

constexpr const char* kSyntaxError = "501 Syntax error in parameters or arguments.";

void SiteChmod(CControlSocket& control, std::string_view arg);
void SiteHelp(CControlSocket& control, std::string_view) { SendSiteHelp(control); }

struct SiteCommand {
    const char* word;  // upper case
    void (*handler)(CControlSocket& control, std::string_view argument);
};

const SiteCommand kSiteCommands[] = {
    {"CHMOD", &SiteChmod},
    {"HELP", &SiteHelp},
};

// "SITE CHMOD mode path-name" (the path may hold blanks). The rights: a file needs the write right, a
// directory the right to create directories where it lies (the right by which clients make a directory and
// then give it its mode). The home and a virtual folder's own directory belong to the administrator and
// keep theirs. A link named as the path is refused, never followed; the server's hidden files are never
// named (the access model resolves no such piece).
void SiteChmod(CControlSocket& control, std::string_view arg) {
    const size_t blank = arg.find(' ');
    const std::optional<unsigned> mode = ParsePermissionMode(arg.substr(0, blank));
    if (!mode || blank == std::string_view::npos || blank + 1 == arg.size()) {
        control.SendReply(kSyntaxError);
        return;
    }
    const std::string path(arg.substr(blank + 1));
    CAccessModel& access = control.Thread().Server().Access();
    const Session& session = control.State();
    PathBeneath local;
    ResolveResult result = access.ResolveFile(session.UserName, session.CurrentDir, path, ACCESS_WRITE, local);
    // The write right of a file judges a missing name too; a directory, or nothing, is looked up as one.
    if (result != PATH_DENIED && KindOf(local) != FileKind::File) {
        result = access.ResolveDir(session.UserName, session.CurrentDir, path, ACCESS_DIR_CREATE, local);
        if (result == PATH_OK && local.rel.empty()) result = PATH_DENIED;
    }
    // Nothing mapped (a hidden piece on the way): as absent as a name that never was.
    if (local.empty()) result = PATH_NO_FILE;
    if (result == PATH_DENIED)
        control.SendReply("550 No permission.");
    else if (result != PATH_OK)
        control.SendReply("550 File/directory not found.");
    else if (ChangeMode(local, *mode) != 0)
        control.SendReply("550 SITE CHMOD command failed.");
    else
        control.SendReply("200 SITE CHMOD command successful.");
}

}  // namespace

std::optional<unsigned> ParsePermissionMode(std::string_view text) {
    if (text.empty() || text.size() > 4) return std::nullopt;
    unsigned mode = 0;
    for (char c : text) {
        if (c < '0' || c > '7') return std::nullopt;
        mode = mode * 8 + static_cast<unsigned>(c - '0');
    }
    if (mode > 0777) return std::nullopt;
    return mode;
}

void SendSiteHelp(CControlSocket& control) {
    control.SendReply("214-The following SITE commands are recognized:");
    for (const SiteCommand& command : kSiteCommands) control.SendReplyText(std::string(" ") + command.word);
    control.SendReply("214 Help OK.");
}

void CControlSocket::OnSite(const std::string& arg) {
    const std::string_view text = Trim(arg);
    const size_t blank = text.find(' ');
    const std::string_view word = text.substr(0, blank);
    const std::string_view rest = blank == std::string_view::npos ? std::string_view() : Trim(text.substr(blank));
    for (const SiteCommand& command : kSiteCommands) {
        if (EqualsNoCase(word, command.word)) {
            command.handler(*this, rest);
            return;
        }
    }
    SendReply("504 SITE command not implemented.");
}

}  // namespace tw
