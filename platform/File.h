// CFile: a file handle for transfers. 64-bit positions; every call reports failure by its result and
// keeps errno in LastError(); EINTR is retried.
//
// Threads: used by one thread at a time (the connection thread that opened it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/Descriptor.h"
#include "platform/PathBeneath.h"

namespace tw {

class CFile {
public:
    enum Mode {
        READ,            // read only; the file must exist
        WRITE_EXISTING,  // write; created when missing, never truncated on open
        CREATE_NEW,      // write; created here, failing with EEXIST when the name is taken
        APPEND,          // write, every write at the end (one write is never interleaved); created when missing
    };

    CFile() = default;
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;

    // Opens a regular file beneath its root (PathBeneath.h); anything else fails with EINVAL. A file it
    // creates gets `createMode` (less the umask).
    bool Open(const PathBeneath& path, Mode mode, int createMode = 0644);
    void Close();
    bool IsOpen() const { return fd_.IsOpen(); }
    int LastError() const { return lastError_; }

    // Reads up to `length` bytes at `offset`: the count, 0 at the end of the file, -1 on failure.
    long ReadAt(void* buffer, size_t length, uint64_t offset);
    // Writes every byte at the current position; false on failure (a full disk included).
    bool Write(const void* data, size_t length);
    bool SeekToEnd();
    // Cuts or extends the file to `length` bytes.
    bool SetLength(uint64_t length);
    // Size in bytes, or -1 on failure.
    int64_t Size();
    // Copies up to `count` bytes from `offset` to the stream socket `socketFd` in the kernel: bytes handed
    // over, 0 at the end of the file, -1 on failure (LastError EAGAIN: the socket would block).
    long SendTo(int socketFd, uint64_t offset, size_t count);
    // Copies every byte of `source`, from its start, to this file at its position, in the kernel; 0 or
    // the errno value.
    int CopyFrom(CFile& source);
    // Takes the exclusive advisory lock of the file without waiting (released when it is closed); false
    // (LastError EWOULDBLOCK) while another open of it holds one.
    bool TryLock();
    // True while the file still has a name (a file removed while open has none).
    bool HasName();
    // The permission bits, or -1; and setting them.
    int Permissions();
    bool SetPermissions(int mode);

private:
    UniqueFd fd_;
    int lastError_ = 0;
};

}  // namespace tw
