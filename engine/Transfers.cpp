// File transfers: RETR, STOR, APPE, REST and ABOR; the data socket moves the bytes (DataSocketTransfers.cpp).
#include <algorithm>

#include "engine/ConnectThread.h"
#include "engine/ControlSocket.h"
#include "engine/DataSocket.h"
#include "engine/FtpServer.h"
#include "platform/PathBeneath.h"
#include "platform/Text.h"

namespace tw {

namespace {

// How STOR (after REST `restart`, 0 when none was given) or APPE opens its file. A negative restart
// point is no position in the file and stores the whole file, as it sends the whole file on RETR.
UploadStart PlanUpload(bool append, int64_t restart) {
    if (append) return {UploadStart::APPEND, 0};
    if (restart > 0) return {UploadStart::RESUME, static_cast<uint64_t>(restart)};
    return {UploadStart::TRUNCATE, 0};
}

}  // namespace

// ---- handlers ----

void CControlSocket::OnRest(const std::string& arg) {
    // 64-bit, so that a file beyond 2 GiB resumes where the client asked: leading blanks, a sign and the
    // digits as far as they go, saturated; text that is no number reads as 0.
    session_.RestartOffset = LeadingDecimal(arg);
    SendReply("350 Restarting at byte offset %d.", session_.RestartOffset);
}

void CControlSocket::OnRetr(const std::string& arg) {
    if (RefuseWhileBusy()) return;
    PathBeneath local;
    ResolveResult r =
        Thread().Server().Access().ResolveFile(session_.UserName, session_.CurrentDir, arg, ACCESS_READ, local);
    if (r == PATH_DENIED) {
        SendReply("550 No permission.");
        return;
    }
    if (r != PATH_OK) {
        SendReply("550 File not found.");
        return;
    }
    SendReply("150 File status okay; about to open data connection.");
    if (!OpenDataConnection()) {
        CloseDataConnection();
        return;
    }
    session_.TransferStarted(Session::TransferKind::DOWNLOAD);
    if (auto account = Thread().Server().Access().Source().LoadAccount(session_.UserName))
        if (account->downloadLimit && account->downloadSpeed > 0)
            dataSocket_->SetRateLimit(session_.UserName, CRateBudget::Direction::DOWNLOAD,
                                      static_cast<uint64_t>(account->downloadSpeed) * 1024);
    dataSocket_->StartDownload(local, session_.RestartOffset);
}

void CControlSocket::OnStor(const std::string& arg) { StoreFile(arg, false); }

void CControlSocket::OnAppe(const std::string& arg) { StoreFile(arg, true); }

void CControlSocket::StoreFile(const std::string& arg, bool append) {
    if (RefuseWhileBusy()) return;
    if (!CAccessModel::IsCreatableName(arg)) {
        SendReply("553 File name not allowed.");
        return;
    }
    PathBeneath local;
    ResolveResult r = Thread().Server().Access().ResolveFile(session_.UserName, session_.CurrentDir, arg,
                                                             append ? ACCESS_APPEND : ACCESS_WRITE, local);
    if (r == PATH_DENIED) {
        SendReply("550 No permission.");
        return;
    }
    if (r != PATH_OK) {
        SendReply("550 Filename unavailable.");
        return;
    }
    // A restart point past the end would leave a hole the client never sent: refused, nothing changed.
    const UploadStart start = PlanUpload(append, session_.RestartOffset);
    const int64_t size = std::max<int64_t>(FileSize(local), 0);
    if (start.mode == UploadStart::RESUME && static_cast<int64_t>(start.offset) > size) {
        SendReply(kRestartBeyondEnd);
        return;
    }
    SendReply("150 File status okay; about to open data connection.");
    if (!OpenDataConnection()) {
        CloseDataConnection();
        return;
    }
    session_.TransferStarted(Session::TransferKind::UPLOAD);
    CUploadQuota::Ticket quota;
    CFtpServer& server = Thread().Server();
    if (auto account = server.UploadQuota().Begin(server.Access().Source(), session_.UserName, quota))
        if (account->uploadLimit && account->uploadSpeed > 0)
            dataSocket_->SetRateLimit(session_.UserName, CRateBudget::Direction::UPLOAD,
                                      static_cast<uint64_t>(account->uploadSpeed) * 1024);
    dataSocket_->SetQuota(session_.UserName, quota);
    dataSocket_->StartUpload(local, start);
}

void CControlSocket::OnAbor(const std::string&) {
    if (dataSocket_) {
        if (session_.Transferring()) SendReply("426 Data connection closed.");
        // Dropped here rather than by a posted notification, which a command later in the same
        // segment could otherwise find acting on its new data connection.
        CloseDataConnection();
    }
    SendReply("226 ABOR command successful.");
}

bool CControlSocket::RefuseWhileBusy() {
    // A second transfer command would interleave its bytes with the running one on the same connection.
    if (!dataSocket_ || !dataSocket_->Busy()) return false;
    SendReply("425 Can't build data connection.");
    return true;
}

}  // namespace tw
