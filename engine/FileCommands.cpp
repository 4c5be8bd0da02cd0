// Commands on the file tree that need no data connection: CWD, CDUP, PWD, MKD, RMD, DELE, RNFR, RNTO, SIZE,
// MDTM, MFMT.
#include <cerrno>
#include <optional>

#include "engine/ArgumentParsers.h"
#include "engine/ConnectThread.h"
#include "engine/ControlSocket.h"
#include "engine/FtpServer.h"
#include "engine/HiddenFiles.h"
#include "platform/DirectoryList.h"
#include "platform/PathBeneath.h"

namespace tw {

namespace {

CAccessModel& Access(CConnectThread& thread) { return thread.Server().Access(); }

// Copies the file `from` to a hidden file beside `to`, gives the copy the name `to` (never replacing a
// file that took the name meanwhile), then removes `from`. On any failure the copy is removed and the
// source stays; the source's removal failing undoes the move.
int MoveAcrossFileSystems(const PathBeneath& from, const PathBeneath& to) {
    CFile source, file;
    if (!source.Open(from, CFile::READ)) return source.LastError();
    int error = 0;
    std::optional<PathBeneath> copy = CreateHiddenBeside(to, file, error);
    if (!copy) return error;
    error = file.CopyFrom(source);
    if (int mode = source.Permissions(); mode >= 0) file.SetPermissions(mode);
    if (error == 0) error = RenameNoReplace(*copy, to);  // still open: its lock keeps a sweep off it
    file.Close();
    if (error != 0) {
        RemoveFile(*copy);
        return error;
    }
    error = RemoveFile(from);
    if (error != 0) RemoveFile(to);
    return error;
}

// Answers a path that did not resolve ("550 No permission." or `missing`); true when it resolved.
bool Resolved(CControlSocket& control, ResolveResult result, const char* missing) {
    if (result == PATH_OK) return true;
    control.SendReply(result == PATH_DENIED ? "550 No permission." : missing);
    return false;
}

// A path inside a quoted reply: its quotes doubled.
std::string QuotedPath(const std::string& path) {
    std::string quoted;
    for (char c : path) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted;
}

}  // namespace

void CControlSocket::OnCwd(const std::string& arg) {
    PathBeneath local;
    switch (Access(thread_).ResolveDir(session_.UserName, session_.CurrentDir, arg, ACCESS_DIR_LIST, local)) {
        case PATH_OK:
            session_.CurrentDir = Access(thread_).MapToClient(session_.UserName, local.Full());
            SendReply("250 CWD command successful \"%s\" is current directory.", session_.CurrentDir);
            break;
        case PATH_DENIED:
            SendReply("550 \"%s\": No permission.", arg);
            break;
        default:
            SendReply("550 \"%s\": CWD command failed. No permission.", arg);
            break;
    }
}

void CControlSocket::OnCdup(const std::string&) { OnCwd(".."); }

void CControlSocket::OnPwd(const std::string&) { SendReply("257 \"%s\" is current directory.", session_.CurrentDir); }

void CControlSocket::OnMkd(const std::string& arg) {
    if (!CAccessModel::IsCreatableName(arg)) {
        SendReply("553 File name not allowed.");
        return;
    }
    PathBeneath local;
    std::string rest;
    switch (Access(thread_).ResolveDir(session_.UserName, session_.CurrentDir, arg, ACCESS_DIR_CREATE, local, &rest)) {
        case PATH_OK:
            SendReply("550 Directory exists.");
            return;
        case PATH_DENIED:
            SendReply("550 can't create directory. No permission.");
            return;
        default:
            break;
    }
    // Every missing piece is created, so a success means the whole path exists. A piece that another
    // connection made meanwhile (clients upload on several at once) is taken as it is when it is a directory
    // beneath the root; when it was the last piece, the path existed after all.
    int error = MakeDirectory(local);
    bool made = error == 0;
    size_t start = 0;
    for (;;) {
        if (error == EEXIST && KindOf(local) == FileKind::Directory) error = 0;
        if (error != 0 || start >= rest.size()) break;
        size_t slash = rest.find('/', start);
        local = local.Child(rest.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
        error = MakeDirectory(local);
        made = error == 0;
        start = slash == std::string::npos ? rest.size() : slash + 1;
    }
    if (error != 0)
        SendReply("450 create directory error.");
    else if (!made)
        SendReply("550 Directory exists.");
    else
        SendReply("257 \"%s\" directory created.",
                  QuotedPath(Access(thread_).MapToClient(session_.UserName, local.Full())));
}

void CControlSocket::OnRmd(const std::string& arg) {
    PathBeneath local;
    auto result = Access(thread_).ResolveDir(session_.UserName, session_.CurrentDir, arg, ACCESS_DIR_REMOVE, local);
    if (!Resolved(*this, result, "550 Directory unavailable.")) return;
    int error = RemoveDirectory(local);
    if (error == 0)
        SendReply("250 Directory deleted.");
    else if (error == ENOTEMPTY || error == EEXIST)
        SendReply("550 Directory is not empty.");
    else
        SendReply("450 delete directory error.");
}

void CControlSocket::OnDele(const std::string& arg) {
    PathBeneath local;
    auto result = Access(thread_).ResolveFile(session_.UserName, session_.CurrentDir, arg, ACCESS_DELETE, local);
    if (!Resolved(*this, result, "550 File unavailable.")) return;
    std::string client = Access(thread_).MapToClient(session_.UserName, local.Full());
    // What the delete frees: a link's own size, not its target's.
    uint64_t size = static_cast<uint64_t>(std::max<int64_t>(EntrySize(local), 0));
    if (RemoveFile(local) != 0) {
        SendReply("450 delete file error: \"%s\".", client);
        return;
    }
    SendReply("250 File \"%s\" was deleted .", client);
    Access(thread_).Source().AddUsedQuota(session_.UserName, -QuotaKb(size));
}

void CControlSocket::OnRnfr(const std::string& arg) {
    PathBeneath local;
    if (Access(thread_).ResolveFile(session_.UserName, session_.CurrentDir, arg, ACCESS_RENAME, local) == PATH_OK) {
        session_.RenameSource = local;
        session_.RenameIsFile = true;
        SendReply("350 File exists, ready for destination name.");
        return;
    }
    auto result = Access(thread_).ResolveDir(session_.UserName, session_.CurrentDir, arg, ACCESS_DIR_RENAME, local);
    if (!Resolved(*this, result, "550 File/directory not found.")) return;
    session_.RenameSource = local;
    session_.RenameIsFile = false;
    SendReply("350 Directory exists, ready for destination name.");
}

void CControlSocket::OnRnto(const std::string& arg) {
    if (session_.RenameSource.empty()) {
        SendReply("503 Bad sequence of commands.");
        return;
    }
    if (!CAccessModel::IsCreatableName(arg)) {
        SendReply("553 File name not allowed.");
        return;
    }
    const char* kind = session_.RenameIsFile ? "File" : "Directory";
    const AccessOp op = session_.RenameIsFile ? ACCESS_RENAME : ACCESS_DIR_RENAME;
    CAccessModel& access = Access(thread_);
    PathBeneath local;
    ResolveResult result = session_.RenameIsFile
                               ? access.ResolveFile(session_.UserName, session_.CurrentDir, arg, op, local)
                               : access.ResolveDir(session_.UserName, session_.CurrentDir, arg, op, local);
    if (result == PATH_OK) {
        SendReply("550 %s already exists.", kind);
        return;
    }
    if (result == PATH_DENIED) {
        SendReply("550 No permission.");
        return;
    }
    // The target does not exist: it is the last piece of the target path in a directory that does, and
    // that directory must grant the rename right (else a move could place files where renaming is denied).
    std::string target = CAccessModel::FileClientPath(session_.CurrentDir, arg);
    size_t slash = target.rfind('/');
    std::string parent;
    PathBeneath parentLocal;
    if (target != "/") parent = slash == 0 ? "/" : target.substr(0, slash);
    bool placed = !parent.empty() && access.MapToLocal(session_.UserName, parent, parentLocal) &&
                  KindOf(parentLocal) == FileKind::Directory;
    if (placed && !access.CheckAccess(session_.UserName, parentLocal.Full(), op)) {
        SendReply("550 No permission.");
        return;
    }
    std::string client = access.MapToClient(session_.UserName, session_.RenameSource.Full());
    const char* lower = session_.RenameIsFile ? "file" : "directory";
    PathBeneath to = parentLocal.Child(target.substr(slash + 1));
    int error = placed ? RenameNoReplace(session_.RenameSource, to) : ENOENT;
    // Another file system (a folder on a data disk or a network mount): a file is copied and the source
    // removed; a directory is not moved.
    if (error == EXDEV && session_.RenameIsFile) error = MoveAcrossFileSystems(session_.RenameSource, to);
    if (error != 0) {
        SendReply("450 error rename the %s: \"%s\".", lower, client);
        return;
    }
    SendReply("250 %s \"%s\" renamed .", kind, client);
}

void CControlSocket::OnSize(const std::string& arg) {
    PathBeneath local;
    auto result = Access(thread_).ResolveFile(session_.UserName, session_.CurrentDir, arg, ACCESS_READ, local);
    if (Resolved(*this, result, "550 File unavailable."))
        SendReply("213 %lld", static_cast<long long>(std::max<int64_t>(FileSize(local), 0)));
}

void CControlSocket::OnMdtm(const std::string& arg) {
    PathBeneath local;
    auto result = Access(thread_).ResolveFile(session_.UserName, session_.CurrentDir, arg, ACCESS_READ, local);
    if (!Resolved(*this, result, "550 File unavailable.")) return;
    DirEntry entry;
    if (!FindEntry(local, entry)) {
        SendReply("550 File unavailable.");
        return;
    }
    SendReply("213 %s", FormatFtpTime(entry.lastWrite));
}

// "MFMT YYYYMMDDHHMMSS path": an existing file's last-write time, set where the write right is granted.
void CControlSocket::OnMfmt(const std::string& arg) {
    const size_t blank = arg.find(' ');
    std::time_t time;
    if (blank == std::string::npos || blank + 1 == arg.size() ||
        !ParseFtpTime(std::string_view(arg).substr(0, blank), time)) {
        SendReply("501 Syntax error in parameters or arguments.");
        return;
    }
    const std::string path = arg.substr(blank + 1);
    PathBeneath local;
    auto result = Access(thread_).ResolveFile(session_.UserName, session_.CurrentDir, path, ACCESS_WRITE, local);
    if (result == PATH_OK && KindOf(local) != FileKind::File) result = PATH_NO_FILE;
    if (!Resolved(*this, result, "550 File unavailable.")) return;
    if (SetModifiedTime(local, time) != 0) {
        SendReply("550 File unavailable.");
        return;
    }
    SendReply("213 Modify=%s; %s", FormatFtpTime(time), path);
}

}  // namespace tw
