// CTlsStream: the server side of one TLS connection over a non-blocking socket, for the control and the
// data connections of FTPS clients. Waits are event-driven waits on the socket with a deadline.
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
    // Runs the server handshake until done, failed or `deadline`.
    bool Accept(std::chrono::steady_clock::time_point deadline);
    // Reads what is there, in the TLS layer and on the socket, up to `capacity` bytes. Returns the byte
    // count, 0 when the peer has closed, -1 on failure; `wouldBlock` tells a mere lack of data.
    long Read(void* buffer, size_t capacity, bool& wouldBlock);
    // Whether the TLS layer holds bytes or the peer's close alert that it has read from the socket and
    // no Read has returned yet.
    bool Holds() const;
    // One non-blocking write: the bytes taken (a retry after `wouldBlock` passes the same bytes again),
    // or -1.
    long Write(const void* data, size_t length, bool& wouldBlock);
    // Writes every byte, waiting for the socket for at most `limit` in all.
    bool WriteAll(const void* data, size_t length, std::chrono::milliseconds limit);
    // Ends the TLS connection, with the close alert (waiting at most `flushLimit` for room to send it;
    // the peer's alert is not awaited) or silently.
    void Shutdown(bool sendAlert, std::chrono::milliseconds flushLimit = {});

private:
    // Waits for what the last failed call asked for; false when it was no wait but an error or time-out.
    bool WaitFor(int result, std::chrono::steady_clock::time_point deadline);

    CEventSocket& socket_;
    SslConnection ssl_;
};

}  // namespace tw
