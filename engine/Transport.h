// CTransport: the byte stream of one control or data connection over its socket. It is plain TCP until
// StartTls succeeds (at accept on the TLS listener, after AUTH TLS on the plain one, when a protected data
// connection is made) and TLS from then on, until EndTls.
//
// Failures read as the socket's own: a failed Read or Write gives -1 and `error`, which is EAGAIN when the
// call would block, the socket's errno for a TCP failure, and 0 for a failure in the TLS layer (which has
// no system error to show). A TLS stream ends only with the peer's close alert (CTlsStream).
//
// Ownership and threads: a member of its socket, which outlives it; used on the socket's thread only.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "engine/TlsStream.h"
#include "platform/EventSocket.h"

namespace tw {

class CTransport {
public:
    // The handshake bound and the session tickets differ between the two.
    enum class Channel { CONTROL, DATA };
    // The most one Read takes from the TLS layer.
    static constexpr size_t kTlsReadLimit = 81920;

    explicit CTransport(CEventSocket& socket) : socket_(socket) {}

    bool IsTls() const { return tls_ != nullptr; }
    // Runs the server handshake with a connection made from `ctx`, within the channel's bound (10 s for
    // control, 4.5 s for data connections). On failure the transport stays plain and the caller ends the
    // connection: the bytes it has seen are no use either way.
    bool StartTls(SSL_CTX* ctx, Channel channel);
    // Reads what is there, up to `length` bytes; 0 is the end of the stream.
    long Read(void* buffer, size_t length, int& error);
    // One non-blocking write: the bytes taken (a TLS retry after EAGAIN passes the same bytes again), or -1.
    long Write(const void* data, size_t length, int& error);
    // Hands over every byte of a reply, within the reply send limit; false finds the connection dead.
    bool WriteAll(const std::string& bytes);
    // Whether bytes or the peer's end have been taken from the socket that no read has returned yet: no
    // socket event announces them.
    bool Holds() const { return tls_ && tls_->Holds(); }
    // The peer has ended its TLS stream with the close alert.
    bool PeerClosed() const { return tls_ && tls_->PeerClosed(); }
    // Whether file bytes may go to the socket by a kernel copy (plain TCP only).
    bool KernelCopy() const { return !tls_; }
    // Ends TLS, with the close alert (waiting at most `flushLimit` for room) or silently; a plain
    // transport has nothing to end.
    void EndTls(bool sendAlert, std::chrono::milliseconds flushLimit = {});

private:
    CEventSocket& socket_;
    std::unique_ptr<CTlsStream> tls_;  // from a successful handshake to EndTls
};

}  // namespace tw
