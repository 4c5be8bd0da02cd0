// The transfer steps of CDataSocket: a listing sent, a file sent from its position, a file written from
// what arrives; downloads and uploads paced by the speed budget, uploads held to the quota.
#include <algorithm>
#include <cerrno>

#include "engine/DataSocket.h"
#include "engine/HiddenFiles.h"
#include "engine/Messages.h"
#include "platform/PathBeneath.h"

namespace tw {

namespace {

// A listing is written in pieces of this size.
constexpr size_t kListingPiece = 4096;
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

}  // namespace

// ---- listings ----

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
        owner_.CountSent(static_cast<uint64_t>(n));
    }
    Finish("226 Transfer complete.", 0);
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
