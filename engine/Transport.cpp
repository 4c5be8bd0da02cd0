#include "engine/Transport.h"

#include <algorithm>
#include <cerrno>

namespace tw {

namespace {

// A client that has not completed its handshake by then has failed it.
constexpr std::chrono::milliseconds kControlHandshakeLimit{10000};
constexpr std::chrono::milliseconds kDataHandshakeLimit{4500};
// A reply that cannot be handed over within this time finds the connection dead.
constexpr std::chrono::milliseconds kReplySendLimit{60000};

}  // namespace

bool CTransport::StartTls(SSL_CTX* ctx, Channel channel) {
    auto tls = std::make_unique<CTlsStream>(socket_, ctx);
    // No session tickets after a data handshake: a client that finds bytes to read during an upload may
    // take them for the end of the transfer and stop sending.
    if (channel == Channel::DATA && tls->Valid()) tls->SendNoTickets();
    const auto limit = channel == Channel::CONTROL ? kControlHandshakeLimit : kDataHandshakeLimit;
    if (!tls->Accept(std::chrono::steady_clock::now() + limit)) return false;
    tls_ = std::move(tls);
    return true;
}

long CTransport::Read(void* buffer, size_t length, int& error) {
    if (!tls_) {
        long n = socket_.Receive(buffer, length);
        error = socket_.LastError();
        return n;
    }
    bool wouldBlock = false;
    long n = tls_->Read(buffer, std::min(length, kTlsReadLimit), wouldBlock);
    error = wouldBlock ? EAGAIN : 0;
    return n;
}

long CTransport::Write(const void* data, size_t length, int& error) {
    if (!tls_) {
        long n = socket_.Send(data, length);
        error = socket_.LastError();
        return n;
    }
    bool wouldBlock = false;
    long n = tls_->Write(data, length, wouldBlock);
    error = wouldBlock ? EAGAIN : 0;
    return n;
}

bool CTransport::WriteAll(const std::string& bytes) {
    return tls_ ? tls_->WriteAll(bytes.data(), bytes.size(), kReplySendLimit)
                : socket_.SendAll(bytes.data(), bytes.size(), kReplySendLimit);
}

void CTransport::EndTls(bool sendAlert, std::chrono::milliseconds flushLimit) {
    if (tls_) tls_->Shutdown(sendAlert, flushLimit);
    tls_.reset();
}

}  // namespace tw
