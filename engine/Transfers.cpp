// File transfers: RETR, STOR, APPE, REST and ABOR, and the download and upload steps of CDataSocket.
#include <algorithm>
#include <cerrno>
#include <climits>

#include "engine/ConnectThread.h"
#include "engine/ControlSocket.h"
#include "engine/DataSocket.h"
#include "engine/FtpServer.h"
#include "engine/HiddenFiles.h"
#include "engine/Messages.h"
#include "platform/PathBeneath.h"
#include "platform/Text.h"

namespace tw {

namespace {

// An unlimited transfer moves this much per system call, and at most kEventBudget per socket event so
// that the control connection and other events of the thread get their turn.
constexpr size_t kLargeBlock = 256 * 1024;
constexpr uint64_t kEventBudget = 8 * 1024 * 1024;
// A download keeps less than one segment queued unsent in its socket. Bytes queued beyond the congestion
// window are sent later by whichever core processes the client's acknowledgements, out of step with the
// connection thread's own sends: on loopback that reorders segments, causes spurious retransmissions and
// keeps the client waking for small pieces. With the queue this short, bytes are added only as the window
// lets them out.
constexpr int kUnsentLimit = 32 * 1024;
// A quota-limited or speed-limited upload is taken in blocks of this size: the block that reaches the
// quota is the one refused.
constexpr size_t kUploadBlock = 4096;

// Leading blanks, an optional sign and decimal digits, as far as they go; saturates at the 64-bit range.
// Text that is not a number reads as 0.
int64_t ReadOffset(const std::string& text) { return LeadingDecimal(text); }

constexpr const char* kRestartBeyondEnd = "554 Restart position beyond the end of the file.";

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
    // 64-bit, so that a file beyond 2 GiB resumes where the client asked.
    session_.RestartOffset = ReadOffset(arg);
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

// ---- downloads ----

void CDataSocket::StartDownload(const PathBeneath& path, int64_t restart) {
    Begin(Kind::DOWNLOAD);
    int64_t size;
    if (!IsOpen()) {  // the client closed or reset the connection before the transfer
        Finish(owner_.Replies().peerClosed, COUNTER_TRANSFER_FAILED);
        return;
    }
    if (!file_.Open(path, CFile::READ) || (size = file_.Size()) < 0) {
        Finish(owner_.Replies().fileOpenFailed, 0);
        return;
    }
    total_ = static_cast<uint64_t>(size);
    position_ = static_cast<uint64_t>(restart) < total_ ? static_cast<uint64_t>(restart) : 0;
    LimitUnsent(kUnsentLimit);
    WantWrite(true);
    SendFile();
}

long CDataSocket::SendFileBytes(size_t want, bool& wouldBlock) {
    wouldBlock = false;
    if (transport_.KernelCopy()) {
        long n = file_.SendTo(Handle(), position_, want);
        wouldBlock = n < 0 && file_.LastError() == EAGAIN;
        return n;
    }
    // A part that the send did not take is sent from the buffer next time, not read again.
    if (position_ < bufferedFrom_ || position_ >= bufferedFrom_ + buffered_) {
        buffer_.resize(std::min(want, kLargeBlock));
        long got = file_.ReadAt(buffer_.data(), buffer_.size(), position_);
        if (got <= 0) return got;
        bufferedFrom_ = position_;
        buffered_ = static_cast<size_t>(got);
    }
    size_t offset = static_cast<size_t>(position_ - bufferedFrom_);
    long n = WriteSome(buffer_.data() + offset, std::min(want, buffered_ - offset));
    wouldBlock = n < 0 && LastError() == EAGAIN;
    return n;
}

void CDataSocket::SendFile() {
    uint64_t budget = kEventBudget;
    while (position_ < total_) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(total_ - position_, kLargeBlock));
        if (pace_ && (want = static_cast<size_t>(pace_->Take(want))) == 0) {
            PauseWindow(false);
            return;
        }
        bool wouldBlock;
        long n = SendFileBytes(want, wouldBlock);
        if (pace_) pace_->Return(want - static_cast<size_t>(std::max(n, 0L)));
        if (wouldBlock) return;  // the next write event goes on
        if (n <= 0) {
            // A send or read error, or a file that shrank below the size it had at the start.
            Finish(owner_.Replies().fileSendFailed, COUNTER_SEND_FAILED);
            return;
        }
        position_ += static_cast<uint64_t>(n);
        owner_.CountSent(static_cast<uint64_t>(n));
        // The last block waits out its window too: the transfer ends when its last window does.
        if (pace_ && position_ == total_) {
            PauseWindow(false);
            return;
        }
        if (budget <= static_cast<uint64_t>(n)) return;  // level-triggered: the next write event goes on
        budget -= static_cast<uint64_t>(n);
    }
    Finish("226 Transfer complete.", COUNTER_FILE_SENT);
}

// ---- uploads ----

void CDataSocket::StartUpload(const PathBeneath& path, UploadStart start) {
    Begin(Kind::UPLOAD);
    if (!IsOpen()) {  // the client closed or reset the connection before the transfer
        Finish("426 Connection error.", COUNTER_TRANSFER_FAILED);
        return;
    }
    if (!owner_.UploadQuota().Charge(quota_, 0)) {
        Finish("452 Disk quota exceeded. Transfer aborted.", 0);
        return;
    }
    int error = 0;
    // Only a regular file is replaced, as only one is opened for writing in place.
    FileKind kind = KindOf(path);
    if (start.mode == UploadStart::TRUNCATE && (kind == FileKind::None || kind == FileKind::File)) {
        target_ = path;
        partial_ = CreateHiddenBeside(path, file_, error);
    }
    if (start.mode == UploadStart::TRUNCATE ? !partial_ : !file_.Open(path, CFile::WRITE_EXISTING)) {
        Finish("450 Can't access file.", COUNTER_TRANSFER_FAILED);
        return;
    }
    // The file may have shrunk since the command looked at it.
    const int64_t size = file_.Size();
    if (start.mode == UploadStart::RESUME && size < static_cast<int64_t>(start.offset)) {
        Finish(kRestartBeyondEnd, 0);
        return;
    }
    if (!partial_) {  // in place: the bill is the file's growth from here
        sizeBefore_ = static_cast<uint64_t>(std::max<int64_t>(size, 0));
        sizeNow_ = *sizeBefore_;
    }
    bool ready = start.mode == UploadStart::APPEND || file_.SetLength(start.offset);
    if (ready && start.mode != UploadStart::APPEND) sizeNow_ = start.offset;
    if (!ready || !file_.SeekToEnd()) {
        Finish("450 Can't access file.", COUNTER_TRANSFER_FAILED);
        return;
    }
    // Bytes already waiting arrive with the next read event.
}

void CDataSocket::ReceiveFile() {
    const size_t block = quota_.max || pace_ ? kUploadBlock : kLargeBlock;
    buffer_.resize(block);
    uint64_t budget = kEventBudget;
    while (kind_ == Kind::UPLOAD) {
        size_t want = block;
        if (pace_ && (want = static_cast<size_t>(pace_->Take(want))) == 0) {
            PauseWindow(true);
            return;
        }
        long n = ReadSome(buffer_.data(), want);
        if (pace_) pace_->Return(want - static_cast<size_t>(std::max(n, 0L)));
        if (n < 0) {
            if (LastError() == EAGAIN) return;
            Finish("426 Connection error.", COUNTER_TRANSFER_FAILED);
            return;
        }
        if (n == 0) {  // the client has closed its side: the file is complete
            if (CompleteUpload()) Finish("226 Transfer complete.", COUNTER_FILE_RECEIVED);
            return;
        }
        uint64_t got = static_cast<uint64_t>(n);
        owner_.CountReceived(got);
        // Checked with the user's other uploads in flight; a block that reaches the quota is not written.
        if (!owner_.UploadQuota().Charge(quota_, got)) {
            Finish("452 Disk quota exceeded. Transfer aborted.", 0);
            return;
        }
        if (!file_.Write(buffer_.data(), static_cast<size_t>(n))) {
            // A failed write may have stored a part.
            if (int64_t size = file_.Size(); size >= 0) sizeNow_ = static_cast<uint64_t>(size);
            Finish("450 Can't access file.", COUNTER_TRANSFER_FAILED);
            return;
        }
        sizeNow_ += got;
        if (budget <= got) {  // level-triggered: the next read event goes on
            ContinueReading();
            return;
        }
        budget -= got;
    }
}

bool CDataSocket::CompleteUpload() {
    if (!partial_) return true;
    // The new content keeps the old file's mode.
    if (int mode = FileMode(target_); mode >= 0) file_.SetPermissions(mode);
    // What the rename frees: the entry that the target names, a link not followed.
    int64_t replaced = EntrySize(target_);
    // Renamed while still open, so that its lock keeps a sweep off it until it has its name.
    const bool renamed = RenameReplace(*partial_, target_) == 0;
    file_.Close();
    if (!renamed) {
        Finish("450 Can't access file.", COUNTER_TRANSFER_FAILED);
        return false;
    }
    partial_.reset();
    replaced_ = static_cast<uint64_t>(std::max<int64_t>(replaced, 0));
    return true;
}

double CDataSocket::BilledKb() const {
    if (replaced_) return QuotaKb(sizeNow_) - QuotaKb(*replaced_);
    if (sizeBefore_) return QuotaKb(sizeNow_) - QuotaKb(*sizeBefore_);
    return 0;  // no file opened, or a hidden file discarded
}

void CDataSocket::DiscardPartial() {
    if (!partial_) return;
    file_.Close();
    RemoveFile(*partial_);
    partial_.reset();
}

}  // namespace tw
