// The FTPS variants of the connection thread and the control socket: the plain classes over a TLS
// transport, with the FTPS limits, command table, data sockets and reply texts.
#pragma once

#include "engine/ConnectThread.h"
#include "engine/ControlSocket.h"
#include "engine/TlsStream.h"

namespace tw {

class CSslClientThread : public CConnectThread {
public:
    // Holds its own reference to the listener's context, so a stopped listener can free its own.
    CSslClientThread(CFtpServer& server, int socketHandle, SSL_CTX* ctx);
    ~CSslClientThread() override;

protected:
    std::unique_ptr<CControlSocket> CreateControlSocket() override;

private:
    SSL_CTX* ctx_;
};

class CSslControlSocket : public CControlSocket {
public:
    CSslControlSocket(CConnectThread& thread, SSL_CTX* ctx);
    ~CSslControlSocket() override;

    const DataReplies& Replies() const override;

protected:
    bool StartTransport() override;
    long ReadSome(void* buffer, size_t length) override;
    bool WriteAll(const std::string& bytes) override;
    void BeforeClose() override;
    std::span<const CommandRow> Commands() const override;
    std::unique_ptr<CDataSocket> CreateDataSocket() override;

private:
    SSL_CTX* ctx_;
    std::unique_ptr<CTlsStream> tls_;
};

}  // namespace tw
