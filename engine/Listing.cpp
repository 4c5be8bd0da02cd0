// Directory listings: LIST and NLST, the listing text, and its sending by CDataSocket.
#include "Listing.h"

#include <cerrno>
#include <fmt/format.h>

#include "engine/ConnectThread.h"
#include "engine/ControlSocket.h"
#include "engine/DataSocket.h"
#include "engine/FtpServer.h"
#include "engine/Messages.h"
#include "platform/FileSystem.h"
#include "platform/Text.h"

namespace tw {

namespace {

constexpr size_t kListingPiece = 4096;
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::string WithoutTrailingSlashes(std::string path) {
    while (!path.empty() && path.back() == '/') path.pop_back();
    return path;
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

void CControlSocket::OnList(const std::string& arg) { SendListing(arg, false); }

void CControlSocket::OnNlst(const std::string& arg) { SendListing(arg, true); }

void CControlSocket::SendListing(const std::string& arg, bool namesOnly) {
    if (RefuseWhileBusy()) return;
    std::string text;
    if (!BuildListing(arg, text, namesOnly)) return;
    SendReply("150 Accepted data connection.");
    if (!OpenDataConnection()) {
        CloseDataConnection();
        return;
    }
    // An empty listing ends like any other (over TLS with the close alert).
    LoginState = LISTING;
    dataSocket_->StartListing(std::move(text));
}

bool CControlSocket::BuildListing(const std::string& arg, std::string& text, bool namesOnly) {
    const std::string path = ListPathArgument(arg);
    CFtpServer& server = Thread().Server();
    std::string local;
    ResolveResult r =
        server.Access().ResolveDir(UserName, CurrentDir, path.empty() ? CurrentDir : path, ACCESS_DIR_LIST, local);
    if (r == PATH_DENIED) {
        SendReply("550 \"%s\": No permission.", path);
        return false;
    }
    if (r != PATH_OK) {
        SendReply("550 \"%s\": Directory not found.", path);
        return false;
    }
    const std::time_t now = server.Now();
    auto append = [&](const DirEntry& e) { text += namesOnly ? MaskControlBytes(e.name) + "\r\n" : ListLine(e, now); };

    DirEntry self;
    std::vector<DirEntry> entries;
    if (FindEntry(local, self)) {
        if (self.isDirectory)
            ListDirectory(local, entries);
        else
            entries.push_back(self);  // a file name lists that one file
    }
    for (DirEntry& e : entries) {
        // A link that leads out of everything the user may see tells nothing of its target.
        if (e.isLink && !server.Access().InUserTree(UserName, JoinPath(local, e.name)) &&
            !FindEntry(JoinPath(local, e.name), e, false))
            continue;
        append(e);
    }

    // The client root also shows the virtual folders of the user and of the user's groups whose
    // directories exist, whatever the rights on them.
    auto account = server.Access().Source().LoadAccount(UserName);
    if (!account || WithoutTrailingSlashes(local) != WithoutTrailingSlashes(account->homedir)) return true;
    std::vector<VirtualFolder> folders;
    if (auto own = server.Access().Source().LoadFolders(FolderOwner::User, account->id))
        folders = std::move(*own);
    for (int group : account->GroupIds())
        if (auto more = server.Access().Source().LoadFolders(FolderOwner::Group, group))
            folders.insert(folders.end(), more->begin(), more->end());
    for (const VirtualFolder& f : folders) {
        DirEntry e;
        std::string name(Trim(f.name));
        if (name.empty() || !FindEntry(f.dir, e)) continue;
        e.name = name;
        e.isDirectory = true;
        e.size = 0;
        append(e);
    }
    return true;
}

// ---- sending ----

void CDataSocket::StartListing(std::string text) {
    Begin(Kind::LISTING);
    listing_ = std::move(text);
    total_ = listing_.size();
    if (!IsOpen() && total_ > 0) {  // nothing to send cannot fail to arrive
        Finish(owner_.Replies().peerClosed, COUNTER_TRANSFER_FAILED);
        return;
    }
    WantWrite(true);
    SendListing();
}

void CDataSocket::SendListing() {
    while (position_ < total_) {
        size_t piece = static_cast<size_t>(std::min<uint64_t>(total_ - position_, kListingPiece));
        long n = WriteSome(listing_.data() + position_, piece);
        if (n < 0 && LastError() == EAGAIN) return;  // the next write event goes on
        if (n <= 0) {
            Finish(owner_.Replies().listingSendFailed, 0);
            return;
        }
        position_ += static_cast<uint64_t>(n);
        owner_.Thread().CountSent(static_cast<uint64_t>(n));
    }
    Finish("226 Transfer complete.", 0);
}

}  // namespace tw
