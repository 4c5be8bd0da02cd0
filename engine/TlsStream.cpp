#include "engine/TlsStream.h"

#include <openssl/err.h>

#include <algorithm>

#include "platform/MessageLoop.h"

namespace tw {

CTlsStream::CTlsStream(CEventSocket& socket, SSL_CTX* ctx) : socket_(socket), ssl_(ctx ? SSL_new(ctx) : nullptr) {
    if (ssl_ && SSL_set_fd(ssl_.get(), socket.Handle()) != 1) ssl_.reset();
    if (ssl_) SSL_set_accept_state(ssl_.get());
}

// SSL_get_error judges a call by the thread's error queue too, which must be empty before the call:
// anything else on the thread (a data connection's context that failed to load) may have left errors
// there, and a mere want of data would read as a failure. Hence ERR_clear_error before each call.

bool CTlsStream::WaitFor(int result, std::chrono::steady_clock::time_point deadline) {
    switch (SSL_get_error(ssl_.get(), result)) {
        case SSL_ERROR_WANT_READ: return socket_.WaitReady(FD_READ, deadline);
        case SSL_ERROR_WANT_WRITE: return socket_.WaitReady(FD_WRITE, deadline);
        default: return false;
    }
}

bool CTlsStream::Accept(std::chrono::steady_clock::time_point deadline) {
    if (!ssl_) return false;
    for (;;) {
        ERR_clear_error();
        int r = SSL_accept(ssl_.get());
        if (r == 1) return true;
        if (!WaitFor(r, deadline)) {
            ERR_clear_error();
            return false;
        }
    }
}

long CTlsStream::Read(void* buffer, size_t capacity, bool& wouldBlock) {
    wouldBlock = false;
    if (!ssl_) return -1;
    auto* out = static_cast<char*>(buffer);
    size_t total = 0;
    while (end_ == End::OPEN && total < capacity) {
        ERR_clear_error();
        int r = SSL_read(ssl_.get(), out + total, static_cast<int>(std::min<size_t>(capacity - total, 1 << 30)));
        if (r > 0) {
            total += static_cast<size_t>(r);
            continue;
        }
        int error = SSL_get_error(ssl_.get(), r);
        ERR_clear_error();
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
            wouldBlock = total == 0;
            return total > 0 ? static_cast<long>(total) : -1;
        }
        // Remembered before the bytes are returned: after a reset the socket reads as a plain close, and
        // what the next read finds there must not be taken for the end of the stream.
        end_ = error == SSL_ERROR_ZERO_RETURN ? End::CLOSED : End::FAILED;
    }
    if (total > 0) return static_cast<long>(total);
    return end_ == End::CLOSED ? 0 : -1;
}

bool CTlsStream::Holds() const { return ssl_ && (end_ != End::OPEN || SSL_has_pending(ssl_.get())); }

long CTlsStream::Write(const void* data, size_t length, bool& wouldBlock) {
    wouldBlock = false;
    if (!ssl_) return -1;
    ERR_clear_error();
    int r = SSL_write(ssl_.get(), data, static_cast<int>(std::min<size_t>(length, 1 << 30)));
    if (r > 0) return r;
    int error = SSL_get_error(ssl_.get(), r);
    ERR_clear_error();
    wouldBlock = error == SSL_ERROR_WANT_WRITE || error == SSL_ERROR_WANT_READ;
    return -1;
}

bool CTlsStream::WriteAll(const void* data, size_t length, std::chrono::milliseconds limit) {
    if (!ssl_) return false;
    auto deadline = std::chrono::steady_clock::now() + limit;
    auto* p = static_cast<const char*>(data);
    while (length > 0) {
        ERR_clear_error();
        int r = SSL_write(ssl_.get(), p, static_cast<int>(std::min<size_t>(length, 1 << 30)));
        if (r > 0) {
            p += r;
            length -= static_cast<size_t>(r);
        } else if (!WaitFor(r, deadline)) {
            ERR_clear_error();
            return false;
        }
    }
    return true;
}

void CTlsStream::Shutdown(bool sendAlert, std::chrono::milliseconds flushLimit) {
    if (!ssl_) return;
    if (sendAlert && end_ != End::FAILED) {  // a failed connection must not be shut down with the alert
        auto deadline = std::chrono::steady_clock::now() + flushLimit;
        int r;
        ERR_clear_error();
        while ((r = SSL_shutdown(ssl_.get())) < 0 && SSL_get_error(ssl_.get(), r) == SSL_ERROR_WANT_WRITE &&
               socket_.WaitReady(FD_WRITE, deadline)) {
        }
    } else
        SSL_set_shutdown(ssl_.get(), SSL_SENT_SHUTDOWN | SSL_RECEIVED_SHUTDOWN);
    ERR_clear_error();
    ssl_.reset();
}

}  // namespace tw
