// Table file access and its rollback journal (format in TableFile.h).
#include "recordengine/TableFile.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "platform/FileSystem.h"

namespace tw {

namespace {

constexpr char kJournalMagic[8] = {'T', 'W', 'J', 'R', 'N', 'L', '0', '3'};
constexpr int64_t kJournalPreamble = 48;
constexpr int64_t kEntryHeader = 16;
constexpr int64_t kFingerprintBytes = 16384;  // the header and then some

struct JournalEntry {
    int64_t pos;
    std::vector<uint8_t> bytes;
};

int64_t EntrySize(int64_t length) { return kEntryHeader + (length + 7) / 8 * 8 + 8; }

void PutInt64(uint8_t* p, int64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(static_cast<uint64_t>(v) >> (8 * i));
}

int64_t GetInt64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v |= static_cast<uint64_t>(p[i]) << (8 * i);
    return static_cast<int64_t>(v);
}

// FNV-1a over 8-byte words: tells tables apart, no defence against crafted bytes.
uint64_t Fingerprint(const std::vector<uint8_t>& bytes) {
    uint64_t h = 0xcbf29ce484222325ULL;
    for (size_t i = 0; i < bytes.size(); i += 8) {
        uint8_t word[8] = {};
        std::memcpy(word, bytes.data() + i, std::min<size_t>(8, bytes.size() - i));
        h = (h ^ static_cast<uint64_t>(GetInt64(word))) * 0x100000001b3ULL;
    }
    return h ^ bytes.size();
}

}  // namespace

CTableFile::~CTableFile() { Close(); }

bool CTableFile::Fail(const std::string& what) {
    error_ = what + ": " + std::strerror(errno);
    return false;
}

bool CTableFile::Lock(LockKind kind, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (TryLockFile(fd_.Get(), kind)) return true;
        if (errno != EWOULDBLOCK) return Fail("can't lock the table");
        if (std::chrono::steady_clock::now() >= deadline) {
            error_ = "the table is in use by another program (no lock within " + std::to_string(timeoutMs) + " ms)";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

FileOpenResult CTableFile::Open(const std::string& path, FileAccess access, int lockTimeoutMs) {
    Close();
    path_ = path;
    journalPath_ = path + "-journal";
    access_ = access;
    const OpenFor openFor = access == FileAccess::Read     ? OpenFor::READ
                            : access == FileAccess::Create ? OpenFor::READ_WRITE_CREATE
                                                           : OpenFor::READ_WRITE;
    fd_ = OpenFile(path, openFor, 0600);  // tables hold passwords
    if (!fd_.IsOpen()) {
        Fail("can't open " + path);
        return FileOpenResult::OpenFailed;
    }
    if (!Lock(access == FileAccess::Read ? LockKind::SHARED : LockKind::EXCLUSIVE, lockTimeoutMs)) {
        fd_.Reset();
        return FileOpenResult::LockFailed;
    }
    bool ok = true;
    if (access == FileAccess::Create) {
        // A journal left from an earlier table must not be applied to the new one.
        ok = TruncateFile(fd_.Get(), 0) || Fail("can't truncate " + path);
        if (ok && !RemoveJournal()) ok = Fail("can't remove " + journalPath_);
    } else if (JournalIsHot()) {
        if (access == FileAccess::Read) {
            // Undoing the dead writer's change needs write access and the exclusive lock.
            fd_ = OpenFile(path, OpenFor::READ_WRITE);
            if (!fd_.IsOpen()) {
                Fail("can't open " + path + " to undo an interrupted change");
                return FileOpenResult::OpenFailed;
            }
            ok = Lock(LockKind::EXCLUSIVE, lockTimeoutMs) && (!JournalIsHot() || Recover(true)) &&
                 Lock(LockKind::SHARED, lockTimeoutMs);
        } else {
            ok = Recover(true);
        }
    }
    FileStatus st;
    if (ok && !StatFile(fd_.Get(), st)) ok = Fail("can't stat " + path);
    if (!ok) {
        fd_.Reset();
        return FileOpenResult::IoFailed;
    }
    size_ = st.size;
    device_ = st.device;
    inode_ = st.inode;
    return FileOpenResult::Ok;
}

void CTableFile::Close() {
    if (!fd_.IsOpen()) return;
    if (inChange_) Rollback();
    if (journalFd_.IsOpen()) {
        RemoveJournal();
        journalFd_.Reset();
    }
    fd_.Reset();  // releases the lock
    size_ = 0;
    inChange_ = false;
}

bool CTableFile::ReadAt(int64_t pos, void* buf, size_t n) {
    int64_t got = ReadSome(pos, buf, n);
    if (got < 0) return false;
    if (static_cast<size_t>(got) != n) {
        error_ = "short read at " + std::to_string(pos);
        return false;
    }
    return true;
}

int64_t CTableFile::ReadSome(int64_t pos, void* buf, size_t n) {
    if (pos < 0) {
        error_ = "negative file position";
        return -1;
    }
    const int64_t got = ReadFullAt(fd_.Get(), pos, buf, n);
    if (got < 0) Fail("read error");
    return got;
}

bool CTableFile::WriteAt(int64_t pos, const void* buf, size_t n) {
    if (!IsWritable()) {
        error_ = "the table is open for reading only";
        return false;
    }
    if (pos < 0) {
        error_ = "negative file position";
        return false;
    }
    if (!inChange_) {
        if (!journalFd_.IsOpen()) {
            journalFd_ = OpenFile(journalPath_, OpenFor::READ_WRITE_CREATE, 0600);
            if (!journalFd_.IsOpen()) return Fail("can't create " + journalPath_);
            // Entries of an older journal file must never match a change of ours.
            changeNumber_ = (static_cast<uint64_t>(std::random_device{}()) << 32) ^ std::random_device{}();
        }
        ++changeNumber_;
        std::vector<uint8_t> prefix;
        if (!ReadPrefix(size_, prefix)) return false;
        uint8_t pre[kJournalPreamble];
        std::memcpy(pre, kJournalMagic, 8);
        PutInt64(pre + 8, size_);
        PutInt64(pre + 16, static_cast<int64_t>(changeNumber_));
        PutInt64(pre + 24, static_cast<int64_t>(device_));
        PutInt64(pre + 32, static_cast<int64_t>(inode_));
        PutInt64(pre + 40, static_cast<int64_t>(Fingerprint(prefix)));
        if (!WriteFullAt(journalFd_.Get(), 0, pre, sizeof pre)) return Fail("can't write " + journalPath_);
        journalSize_ = kJournalPreamble;
        changeBase_ = size_;
        inChange_ = true;
    }
    if (pos < changeBase_ && !JournalSave(pos, n)) return false;
    if (!WriteFullAt(fd_.Get(), pos, buf, n)) return Fail("write error");
    size_ = std::max<int64_t>(size_, pos + static_cast<int64_t>(n));
    return true;
}

bool CTableFile::EndPosition(int64_t bytes, int32_t& pos) {
    if (size_ > INT32_MAX - bytes) {
        error_ = "the table file has reached its largest size";
        return false;
    }
    pos = static_cast<int32_t>(size_);
    return true;
}

bool CTableFile::JournalSave(int64_t pos, size_t n) {
    const size_t keep = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(n), changeBase_ - pos));
    std::vector<uint8_t> entry(static_cast<size_t>(EntrySize(static_cast<int64_t>(keep))), 0);
    const int64_t got = ReadFullAt(fd_.Get(), pos, entry.data() + kEntryHeader, keep);
    if (got < 0) return Fail("read error");
    entry.resize(static_cast<size_t>(EntrySize(got)));  // bytes past the end vanish anyway
    PutInt64(entry.data(), pos);
    for (int i = 0; i < 4; ++i) entry[8 + i] = static_cast<uint8_t>(got >> (8 * i));
    PutInt64(entry.data() + entry.size() - 8, static_cast<int64_t>(changeNumber_));
    if (!WriteFullAt(journalFd_.Get(), journalSize_, entry.data(), entry.size()))
        return Fail("can't write " + journalPath_);
    journalSize_ += static_cast<int64_t>(entry.size());
    return true;
}

bool CTableFile::Commit() {
    if (!inChange_) return true;
    const uint8_t clear[8] = {};
    if (!WriteFullAt(journalFd_.Get(), 0, clear, sizeof clear)) return Fail("can't write " + journalPath_);
    inChange_ = false;
    return true;
}

bool CTableFile::Rollback() {
    if (!inChange_) return true;
    if (!Recover(false)) return false;
    inChange_ = false;
    return true;
}

bool CTableFile::RemoveJournal() {
    const int error = RemoveFile(journalPath_);
    return error == 0 || error == ENOENT;
}

bool CTableFile::JournalIsHot() {
    const UniqueFd fd = OpenFile(journalPath_, OpenFor::READ);
    if (!fd.IsOpen()) return false;
    uint8_t magic[8];
    return ReadFullAt(fd.Get(), 0, magic, 8) == 8 && std::memcmp(magic, kJournalMagic, 8) == 0;
}

bool CTableFile::ReadPrefix(int64_t base, std::vector<uint8_t>& bytes) {
    bytes.resize(static_cast<size_t>(std::min(base, kFingerprintBytes)));
    const int64_t got = ReadFullAt(fd_.Get(), 0, bytes.data(), bytes.size());
    if (got < 0) return Fail("read error");
    bytes.resize(static_cast<size_t>(got));
    return true;
}

bool CTableFile::Recover(bool leftover) {
    UniqueFd leftoverJournal;  // opened here when no change of ours has the journal open
    if (!journalFd_.IsOpen()) {
        leftoverJournal = OpenFile(journalPath_, OpenFor::READ_WRITE);
        if (!leftoverJournal.IsOpen()) return Fail("can't open " + journalPath_);
    }
    const int fd = leftoverJournal.IsOpen() ? leftoverJournal.Get() : journalFd_.Get();
    std::vector<JournalEntry> entries;
    uint8_t pre[kJournalPreamble];
    const int64_t got = ReadFullAt(fd, 0, pre, sizeof pre);
    bool ok = got >= 0;
    if (got == kJournalPreamble && std::memcmp(pre, kJournalMagic, 8) == 0) {
        const int64_t base = GetInt64(pre + 8);
        const int64_t change = GetInt64(pre + 16);
        FileStatus st;
        ok = StatFile(fd, st);
        const int64_t end = ok ? st.size : 0;
        for (int64_t at = kJournalPreamble; ok && at + kEntryHeader <= end;) {
            uint8_t head[kEntryHeader];
            ok = ReadFullAt(fd, at, head, sizeof head) == kEntryHeader;
            const int64_t pos = GetInt64(head);
            const uint32_t len = static_cast<uint32_t>(head[8]) | static_cast<uint32_t>(head[9]) << 8 |
                                 static_cast<uint32_t>(head[10]) << 16 | static_cast<uint32_t>(head[11]) << 24;
            const int64_t size = EntrySize(len);
            uint8_t trailer[8];
            if (!ok || pos < 0 || at + size > end || ReadFullAt(fd, at + size - 8, trailer, 8) != 8 ||
                GetInt64(trailer) != change)
                break;  // the end of this change's entries
            JournalEntry e{pos, std::vector<uint8_t>(len)};
            ok = ReadFullAt(fd, at + kEntryHeader, e.bytes.data(), len) == len;
            entries.push_back(std::move(e));
            at += size;
        }
        bool ours = !leftover;
        if (ok && leftover) {
            // The table as the dead writer found it: its first bytes now, with the entries undone.
            FileStatus table;
            std::vector<uint8_t> prefix;
            ok = StatFile(fd_.Get(), table) && ReadPrefix(base, prefix);
            ours = ok && base > 0 && static_cast<uint64_t>(GetInt64(pre + 24)) == table.device &&
                   static_cast<uint64_t>(GetInt64(pre + 32)) == table.inode && table.size >= base &&
                   static_cast<int64_t>(prefix.size()) == std::min(base, kFingerprintBytes);
            const int64_t covered = static_cast<int64_t>(prefix.size());
            for (auto it = entries.rbegin(); ours && it != entries.rend(); ++it) {
                if (it->pos < covered)
                    std::memcpy(prefix.data() + it->pos, it->bytes.data(),
                                static_cast<size_t>(
                                    std::min<int64_t>(static_cast<int64_t>(it->bytes.size()), covered - it->pos)));
            }
            ours = ours && static_cast<uint64_t>(GetInt64(pre + 40)) == Fingerprint(prefix);
        }
        for (auto it = entries.rbegin(); ok && ours && it != entries.rend(); ++it)
            ok = WriteFullAt(fd_.Get(), it->pos, it->bytes.data(), it->bytes.size());
        ok = ok && (!ours || (base >= 0 && TruncateFile(fd_.Get(), base)));
        if (ok && ours) size_ = base;
    }
    const uint8_t clear[8] = {};
    ok = ok && WriteFullAt(fd, 0, clear, sizeof clear);
    if (!ok) Fail("can't undo an interrupted change of " + path_);
    if (ok && leftoverJournal.IsOpen()) RemoveJournal();
    return ok;
}

}  // namespace tw
