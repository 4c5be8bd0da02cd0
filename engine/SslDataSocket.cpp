#include "SslDataSocket.h"

#include <algorithm>
#include <cerrno>

namespace tw {

namespace {

// A data client that has not completed its handshake by then has failed it.
constexpr auto kHandshakeLimit = std::chrono::milliseconds(4500);
// The most one read takes from the TLS layer.
constexpr size_t kReadLimit = 81920;
// How long the close alert may wait for room in the socket's send buffer.
constexpr auto kAlertFlushLimit = std::chrono::milliseconds(500);

}  // namespace

CSslDataSocket::CSslDataSocket(CControlSocket& owner, std::string programDir)
    : CDataSocket(owner), programDir_(std::move(programDir)) {}

CSslDataSocket::~CSslDataSocket() { Close(); }  // while this class's BeforeClose still runs

bool CSslDataSocket::PrepareTransport() {
    std::string error;  // not shown: the client gets the end point's own failure reply
    ctx_ = CreateServerContext(programDir_, error);
    if (!ctx_) return false;
    // No session tickets after the handshake: a client that finds bytes to read during an upload may
    // take them for the end of the transfer and stop sending.
    SSL_CTX_set_num_tickets(ctx_.get(), 0);
    return true;
}

bool CSslDataSocket::StartTransport() {
    tls_ = std::make_unique<CTlsStream>(*this, ctx_.get());
    if (tls_->Accept(std::chrono::steady_clock::now() + kHandshakeLimit)) return true;
    tls_.reset();
    return false;
}

long CSslDataSocket::ReadSome(void* buffer, size_t length) {
    bool wouldBlock = false;
    long n = tls_ ? tls_->Read(buffer, std::min(length, kReadLimit), wouldBlock) : -1;
    if (n < 0) SetLastError(wouldBlock ? EAGAIN : ECONNRESET);
    return n;
}

long CSslDataSocket::WriteSome(const void* data, size_t length) {
    bool wouldBlock = false;
    long n = tls_ ? tls_->Write(data, length, wouldBlock) : -1;
    if (n < 0) SetLastError(wouldBlock ? EAGAIN : EPIPE);
    return n;
}

void CSslDataSocket::BeforeClose() {
    if (tls_) tls_->Shutdown(SentEverything() || tls_->PeerClosed(), kAlertFlushLimit);
    tls_.reset();
}

}  // namespace tw
