// CTlsStream: the server side of one TLS connection over a non-blocking socket, for the control and the
// data connections of FTPS clients. Waits are event-driven waits on the socket with a deadline.
//
// The end of a stream is exact and sticky: only the peer's close alert (close_notify) is an end of file.
// A reset, a TCP close without the alert, any other alert or a protocol failure is a failure, and every
// read after the end reports the same end again. Bytes that came before the end are returned first.
//
// Threads: used only on the thread that owns the socket.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

#include "engine/TlsContext.h"
#include "platform/EventSocket.h"

namespace tw {

class CTlsStream {
public:
    // A stream over `socket` (which must outlive it) with a connection made from `ctx`.
    CTlsStream(CEventSocket& socket, SSL_CTX* ctx);

    bool Valid() const { return ssl_ != nullptr; }
    // Before Accept: the handshake issues no session tickets.
    void SendNoTickets() { SSL_set_num_tickets(ssl_.get(), 0); }
    // Runs the server handshake until done, failed or `deadline`.
    bool Accept(std::chrono::steady_clock::time_point deadline);
    // Reads what is there, in the TLS layer and on the socket, up to `capacity` bytes. Returns the byte
    // count, 0 once the peer's close alert has come, -1 on failure; `wouldBlock` tells a mere lack of data.
    long Read(void* buffer, size_t capacity, bool& wouldBlock);
    // Whether a Read would return without the socket: the TLS layer holds bytes it has taken from the
    // socket, or the stream has ended.
    bool Holds() const;
    // The peer has sent its close alert (and nothing failed before it).
    bool PeerClosed() const { return end_ == End::CLOSED; }
    // One non-blocking write: the bytes taken (a retry after `wouldBlock` passes the same bytes again),
    // or -1.
    long Write(const void* data, size_t length, bool& wouldBlock);
    // Writes every byte, waiting for the socket for at most `limit` in all.
    bool WriteAll(const void* data, size_t length, std::chrono::milliseconds limit);
    // Ends the TLS connection, with the close alert (waiting at most `flushLimit` for room to send it;
    // the peer's alert is not awaited) or silently; always silently after a failure.
    void Shutdown(bool sendAlert, std::chrono::milliseconds flushLimit = {});

private:
    // Waits for what the last failed call asked for; false when it was no wait but an error or time-out.
    bool WaitFor(int result, std::chrono::steady_clock::time_point deadline);

    enum class End { OPEN, CLOSED, FAILED };

    CEventSocket& socket_;
    SslConnection ssl_;
    End end_ = End::OPEN;
};

}  // namespace tw
