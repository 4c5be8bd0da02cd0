#include "SslConnection.h"

#include <cerrno>

#include "engine/CommandTable.h"
#include "engine/FtpServer.h"
#include "engine/SslDataSocket.h"

namespace tw {

namespace {

// A client that has not completed its handshake by then is closed without a word.
constexpr std::chrono::seconds kHandshakeLimit{10};
constexpr std::chrono::seconds kReplySendLimit{60};

}  // namespace

CSslClientThread::CSslClientThread(CFtpServer& server, int socketHandle, SSL_CTX* ctx)
    : CConnectThread(server, socketHandle, true), ctx_(ctx) {
    SSL_CTX_up_ref(ctx_);
}

CSslClientThread::~CSslClientThread() { SSL_CTX_free(ctx_); }

std::unique_ptr<CControlSocket> CSslClientThread::CreateControlSocket() {
    return std::make_unique<CSslControlSocket>(*this, ctx_);
}

CSslControlSocket::CSslControlSocket(CConnectThread& thread, SSL_CTX* ctx) : CControlSocket(thread), ctx_(ctx) {
    maxRead_ = 81920;
    maxBuffered_ = 8192;
}

CSslControlSocket::~CSslControlSocket() { Close(); }  // with the close alert, while this class still exists

bool CSslControlSocket::StartTransport() {
    // The handshake runs on the connection's own thread, so a slow client holds up nobody else; a stop
    // ends it early by shutting the socket down (CConnectThread::RequestQuit).
    tls_ = std::make_unique<CTlsStream>(*this, ctx_);
    if (tls_->Accept(std::chrono::steady_clock::now() + kHandshakeLimit)) return true;
    tls_.reset();
    return false;
}

long CSslControlSocket::ReadSome(void* buffer, size_t length) {
    bool wouldBlock = false;
    long n = tls_ ? tls_->Read(buffer, length, wouldBlock) : -1;
    if (n < 0) SetLastError(wouldBlock ? EAGAIN : 0);  // a TLS failure has no error number to log
    return n;
}

bool CSslControlSocket::WriteAll(const std::string& bytes) {
    return tls_ && tls_->WriteAll(bytes.data(), bytes.size(), kReplySendLimit);
}

void CSslControlSocket::BeforeClose() {
    if (tls_) tls_->Shutdown(true);
    tls_.reset();
}

std::span<const CommandRow> CSslControlSocket::Commands() const { return SslCommandTable(); }

std::unique_ptr<CDataSocket> CSslControlSocket::CreateDataSocket() {
    return std::make_unique<CSslDataSocket>(*this, Thread().Server().ProgramDir());
}

const DataReplies& CSslControlSocket::Replies() const {
    static constexpr DataReplies kNumbered{
        "421 Failed to create connection 1.", "421 Failed to create connection 2.", "425 port ip error.",
        "425 Can't build data connection 1.", "426 Connection closed 1.",           "426 Connection closed 2.",
        "426 Connection closed 3.",           "426 Connection closed 4.",
    };
    return kNumbered;
}

}  // namespace tw
