// Open descriptors: UniqueFd owns one, and the calls below read, write, size and lock an open file by its
// descriptor. EINTR is retried and short transfers are continued; a failure returns false (or -1) and
// leaves the reason in errno.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

namespace tw {

// Owns a descriptor and closes it when destroyed or given another; move-only. A negative value is no
// descriptor (an opener's -errno may be kept in it) and is never closed.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        Reset(other.Release());
        return *this;
    }

    int Get() const { return fd_; }
    bool IsOpen() const { return fd_ >= 0; }
    // Gives the descriptor up without closing it.
    int Release() { return std::exchange(fd_, -1); }
    // Closes the descriptor held, if any, and takes `fd`.
    void Reset(int fd = -1);

private:
    int fd_ = -1;
};

// Shuts both directions of a connected socket down: a call waiting on it returns at once. The descriptor
// stays open.
void ShutdownSocket(int fd);

enum class OpenFor {
    READ,               // the file must exist
    READ_WRITE,         // the file must exist
    READ_WRITE_CREATE,  // created with `createMode` (less the umask) when missing
};

// Opens a file by path name, closed on exec; not open on failure.
UniqueFd OpenFile(const std::string& path, OpenFor access, int createMode = 0600);

// Reads up to `n` bytes at `pos`: the count, fewer only at the end of the file, or -1.
int64_t ReadFullAt(int fd, int64_t pos, void* buffer, size_t n);
// Writes all `n` bytes at `pos`.
bool WriteFullAt(int fd, int64_t pos, const void* data, size_t n);
// Writes all `n` bytes at the descriptor's position (at the end when it was opened to append).
bool WriteFull(int fd, const void* data, size_t n);
// Cuts or extends the file to `length` bytes.
bool TruncateFile(int fd, int64_t length);

struct FileStatus {
    int64_t size = 0;
    uint64_t links = 0;  // names it has; 0 once removed while open
    uint64_t device = 0;
    uint64_t inode = 0;
    unsigned mode = 0;  // type and permission bits
    bool IsRegular() const;
};
bool StatFile(int fd, FileStatus& status);

enum class LockKind { SHARED, EXCLUSIVE };

// Takes the advisory lock of the open file, or changes the one this descriptor holds, without waiting;
// false with errno EWOULDBLOCK while another descriptor holds a lock in the way. Closing the descriptor
// releases it.
bool TryLockFile(int fd, LockKind kind);

}  // namespace tw
