// One open table file: positioned reads and writes, an advisory lock held from Open to Close, and a
// rollback journal that makes every change of the table all-or-nothing across a crash.
//
// The journal lives beside the table ("<table>-journal") while the table is open for writing. Before a byte
// of the table below the size it had when the change began is overwritten, its old contents go to the
// journal; bytes past that size need no saving, since undoing truncates the table back to it.
//   offset 0   8   magic "TWJRNL03", zero when no change is pending
//   offset 8   8   table size when the change began (int64)
//   offset 16  8   change number (uint64)
//   offset 24  8   device and
//   offset 32  8   inode of the table file
//   offset 40  8   fingerprint of the table's first 16 KiB (all of it when shorter) when the change began
//   then entries: int64 offset, int32 length n, 4 zero bytes, the n old bytes, zeros up to a multiple of
//   8, and the change number again
// Each entry is one write, so a writer killed in the middle of it leaves its trailing change number
// unwritten (writes fill the file in order); the journal file is reused, and entries of earlier changes
// behind the last one carry other numbers. Commit clears the magic. A set magic found by Open belongs to a
// writer that died mid-change. When the table is still the file that writer changed (same device and
// inode, not shorter than the saved size, and its first bytes with the entries undone give the
// fingerprint), the entries are written back in reverse order and the table is truncated to the saved
// size; a table put in its place since (a backup restored, say) keeps its bytes and the journal is dropped,
// as is one saved at size 0 (an interrupted Create, whose undoing would only empty the file).
//
// Failure policy: EINTR is retried, short transfers are continued, errno is turned into Error() at once.
// Every member returns false (or -1) on failure and leaves the reason in Error(). One thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Descriptor.h"

namespace tw {

enum class FileAccess { Read, ReadWrite, Create };

enum class FileOpenResult { Ok, OpenFailed, LockFailed, IoFailed };

class CTableFile {
public:
    CTableFile() = default;
    ~CTableFile();
    CTableFile(const CTableFile&) = delete;
    CTableFile& operator=(const CTableFile&) = delete;

    // Read takes a shared lock, ReadWrite and Create an exclusive one, waiting at most lockTimeoutMs.
    // Create empties the file once the lock is held.
    FileOpenResult Open(const std::string& path, FileAccess access, int lockTimeoutMs);
    // Undoes an uncommitted change, releases the lock and removes the journal.
    void Close();

    bool IsWritable() const { return access_ != FileAccess::Read; }
    int64_t Size() const { return size_; }

    bool ReadAt(int64_t pos, void* buf, size_t n);       // exactly n bytes
    int64_t ReadSome(int64_t pos, void* buf, size_t n);  // up to n bytes, fewer only at the end of the file
    bool WriteAt(int64_t pos, const void* buf, size_t n);
    // The position for `bytes` new bytes at the end of the file; fails when it would pass the 31-bit
    // positions a table can address.
    bool EndPosition(int64_t bytes, int32_t& pos);

    bool Commit();    // the writes since the last Commit/Rollback become permanent
    bool Rollback();  // the writes since the last Commit/Rollback are undone

    const std::string& Error() const { return error_; }

private:
    bool Fail(const std::string& what);
    bool Lock(LockKind kind, int timeoutMs);
    bool JournalSave(int64_t pos, size_t n);
    bool RemoveJournal();  // true when it is gone, also when there was none
    bool JournalIsHot();
    bool ReadPrefix(int64_t base, std::vector<uint8_t>& bytes);
    // leftover: the journal was found by Open, so it is applied only to the table it was written for.
    bool Recover(bool leftover);

    UniqueFd fd_;
    UniqueFd journalFd_;
    FileAccess access_ = FileAccess::Read;
    std::string path_;
    std::string journalPath_;
    int64_t size_ = 0;
    bool inChange_ = false;
    int64_t changeBase_ = 0;  // table size when the current change began
    int64_t journalSize_ = 0;
    uint64_t changeNumber_ = 0;
    uint64_t device_ = 0;
    uint64_t inode_ = 0;
    std::string error_;
};

}  // namespace tw
