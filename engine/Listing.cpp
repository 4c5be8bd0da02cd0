// Directory listings: LIST, NLST, MLSD and MLST and the listing text, which the data socket sends
// (DataSocketTransfers.cpp).
#include "engine/Listing.h"

#include <fmt/format.h>

#include "engine/ArgumentParsers.h"
#include "engine/ConnectThread.h"
#include "engine/ControlSocket.h"
#include "engine/DataSocket.h"
#include "engine/FtpServer.h"
#include "engine/HiddenFiles.h"
#include "platform/PathBeneath.h"
#include "platform/Text.h"

namespace tw {

namespace {

constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::string WithoutTrailingSlashes(std::string path) {
    while (!path.empty() && path.back() == '/') path.pop_back();
    return path;
}

const char* FactName(unsigned fact) {
    switch (fact) {
        case FACT_TYPE:
            return "type";
        case FACT_SIZE:
            return "size";
        case FACT_MODIFY:
            return "modify";
        default:
            return "perm";
    }
}

}  // namespace

std::string FormatListDate(std::time_t fileTime, std::time_t now) {
    std::tm t{};
    localtime_r(&fileTime, &t);
    const char* month = kMonths[t.tm_mon >= 0 && t.tm_mon < 12 ? t.tm_mon : 0];
    if ((now - fileTime) / 86400 <= 356) return fmt::format(" {} {:02} {:02}:{:02} ", month, t.tm_mday, t.tm_hour, t.tm_min);
    return fmt::format(" {} {:02} {} ", month, t.tm_mday, t.tm_year + 1900);
}

std::string ListLine(const DirEntry& entry, std::time_t now) {
    return fmt::format("{} 1 user group {:>14}{}{}\r\n", entry.isDirectory ? "drwx------" : "-rwx------", entry.size,
                       FormatListDate(entry.lastWrite, now), MaskControlBytes(entry.name));
}

std::string MlstFeature(unsigned selected) {
    std::string line = "MLST ";
    for (unsigned fact = FACT_TYPE; fact <= FACT_PERM; fact <<= 1)
        line += std::string(FactName(fact)) + (selected & fact ? "*;" : ";");
    return line;
}

unsigned ParseMlstFacts(std::string_view list) {
    unsigned selected = 0;
    while (!list.empty()) {
        size_t end = list.find(';');
        std::string_view name = list.substr(0, end);
        for (unsigned fact = FACT_TYPE; fact <= FACT_PERM; fact <<= 1)
            if (EqualsNoCase(name, FactName(fact))) selected |= fact;
        if (end == std::string_view::npos) break;
        list.remove_prefix(end + 1);
    }
    return selected;
}

std::string MlstFactNames(unsigned selected) {
    std::string names;
    for (unsigned fact = FACT_TYPE; fact <= FACT_PERM; fact <<= 1)
        if (selected & fact) names += std::string(FactName(fact)) + ";";
    return names;
}

std::string PermLetters(const RightsSet& r, bool isDirectory, bool folderRoot) {
    std::string letters;
    auto add = [&](bool granted, char letter) {
        if (granted) letters += letter;
    };
    if (!isDirectory) {
        add(r.append, 'a'), add(r.del, 'd'), add(r.rename, 'f'), add(r.read, 'r'), add(r.write, 'w');
        return letters;
    }
    add(r.write, 'c'), add(r.dirRemove && !folderRoot, 'd'), add(r.dirList, 'e'), add(r.dirRename && !folderRoot, 'f');
    add(r.dirList, 'l'), add(r.dirCreate, 'm'), add(r.del, 'p');
    return letters;
}

std::string MlstLine(const DirEntry& entry, const std::string& perm, unsigned selected, std::string_view name) {
    std::string line;
    line.reserve(64 + name.size());
    if (selected & FACT_TYPE) line += entry.isDirectory ? "type=dir;" : "type=file;";
    if ((selected & FACT_SIZE) && !entry.isDirectory) {
        line += "size=";
        line += std::to_string(entry.size);
        line += ';';
    }
    if (selected & FACT_MODIFY) {
        line += "modify=";
        line += FormatFtpTime(entry.lastWrite);
        line += ';';
    }
    if (selected & FACT_PERM) {
        line += "perm=";
        line += perm;
        line += ';';
    }
    line += ' ';
    line += name;
    return line;
}

std::string ListPathArgument(const std::string& argument) {
    size_t i = 0;
    while (i < argument.size() && argument[i] == '-') {
        i = argument.find(' ', i);
        if (i == std::string::npos) return {};
        i = argument.find_first_not_of(' ', i);
        if (i == std::string::npos) return {};
    }
    return argument.substr(i);
}

// ---- handlers ----

void CControlSocket::OnList(const std::string& arg) { SendListing(arg, ListFormat::LONG); }

void CControlSocket::OnNlst(const std::string& arg) { SendListing(arg, ListFormat::NAMES); }

void CControlSocket::OnMlsd(const std::string& arg) { SendListing(arg, ListFormat::FACTS); }

void CControlSocket::SendListing(const std::string& arg, ListFormat format) {
    if (RefuseWhileBusy()) return;
    std::string text;
    if (!BuildListing(arg, text, format)) return;
    SendReply("150 Accepted data connection.");
    if (!OpenDataConnection()) {
        CloseDataConnection();
        return;
    }
    // An empty listing ends like any other (over TLS with the close alert).
    session_.TransferStarted(Session::TransferKind::LISTING);
    dataSocket_->StartListing(std::move(text));
}

bool CControlSocket::BuildListing(const std::string& arg, std::string& text, ListFormat format) {
    // MLSD takes no options: a leading "-" is part of a name there.
    const std::string path = format == ListFormat::FACTS ? arg : ListPathArgument(arg);
    CFtpServer& server = Thread().Server();
    CAccessModel& access = server.Access();
    PathBeneath local;
    ResolveResult r = access.ResolveDir(session_.UserName, session_.CurrentDir,
                                        path.empty() ? session_.CurrentDir : path, ACCESS_DIR_LIST, local);
    if (r == PATH_DENIED) {
        SendReply("550 \"%s\": No permission.", path);
        return false;
    }
    if (r != PATH_OK) {
        SendReply("550 \"%s\": Directory not found.", path);
        return false;
    }
    const std::time_t now = server.Now();
    DirEntry self;
    const bool found = FindEntry(local, self);
    // MLSD: the rights on the listed directory hold for its entries (nothing granted without a holder).
    std::string filePerm, dirPerm;
    if (format == ListFormat::FACTS) {
        if (found && !self.isDirectory) {
            SendReply("501 \"%s\": Not a directory.", path);
            return false;
        }
        RightsSet rights = access.RightsAt(session_.UserName, local.Full()).value_or(RightsSet{});
        filePerm = PermLetters(rights, false, false);
        dirPerm = PermLetters(rights, true, false);
    }
    auto append = [&](const DirEntry& e) {
        switch (format) {
            case ListFormat::LONG:
                text += ListLine(e, now);
                break;
            case ListFormat::NAMES:
                text += MaskControlBytes(e.name) + "\r\n";
                break;
            case ListFormat::FACTS:
                text += MlstLine(e, e.isDirectory ? dirPerm : filePerm, mlstFacts_, MaskControlBytes(e.name));
                text += "\r\n";
                break;
        }
    };

    if (found && self.isDirectory && format == ListFormat::NAMES) {
        // Names need no look at each entry.
        std::vector<std::string> names;
        ListNames(local, names);
        for (const std::string& name : names)
            if (!IsHiddenFileName(name)) text += MaskControlBytes(name) + "\r\n";
    } else if (found && self.isDirectory) {
        std::vector<DirEntry> entries;
        ListDirectory(local, entries);
        // A link that leads out of the directory's root comes listed from the link: nothing of its target.
        for (const DirEntry& e : entries)
            if (!IsHiddenFileName(e.name)) append(e);
    } else if (found) {
        append(self);  // a file name lists that one file
    }

    // The client root also shows the virtual folders of the user and of the user's groups whose
    // directories exist, whatever the rights on them.
    auto account = access.Source().LoadAccount(session_.UserName);
    if (!account || WithoutTrailingSlashes(local.Full()) != WithoutTrailingSlashes(account->homedir)) return true;
    std::vector<VirtualFolder> folders;
    if (auto own = access.Source().LoadFolders(FolderOwner::User, account->id)) folders = std::move(*own);
    for (int group : account->groups)
        if (auto more = access.Source().LoadFolders(FolderOwner::Group, group))
            folders.insert(folders.end(), more->begin(), more->end());
    for (const VirtualFolder& f : folders) {
        DirEntry e;
        std::string name(Trim(f.name));
        if (name.empty() || !FindEntry(PathBeneath{f.dir, ""}, e)) continue;
        e.name = name;
        e.isDirectory = true;
        e.size = 0;
        if (format == ListFormat::FACTS)
            dirPerm = PermLetters(access.RightsAt(session_.UserName, f.dir).value_or(RightsSet{}), true, true);
        append(e);
    }
    return true;
}

void CControlSocket::OnMlst(const std::string& arg) {
    CAccessModel& access = Thread().Server().Access();
    const std::string path = Trim(arg).empty() ? session_.CurrentDir : arg;
    PathBeneath local;
    ResolveResult r = access.ResolveDir(session_.UserName, session_.CurrentDir, path, ACCESS_DIR_LIST, local);
    DirEntry entry;
    if (r == PATH_DENIED) {
        SendReply("550 \"%s\": No permission.", path);
        return;
    }
    if (r != PATH_OK || !FindEntry(local, entry)) {
        SendReply("550 \"%s\": No such file or directory.", path);
        return;
    }
    const std::string client = CAccessModel::FileClientPath(session_.CurrentDir, path);
    const bool folderRoot = local.rel.empty();  // the home or a virtual folder's directory
    const RightsSet rights = access.RightsAt(session_.UserName, local.Full()).value_or(RightsSet{});
    const std::string perm = PermLetters(rights, entry.isDirectory, folderRoot);
    SendReply("250-Listing %s", client);
    SendReplyText(" " + MlstLine(entry, perm, mlstFacts_, client));
    SendReply("250 End.");
}

}  // namespace tw
