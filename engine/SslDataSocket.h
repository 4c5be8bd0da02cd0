// CSslDataSocket: the data connection of an FTPS client, the plain data socket over TLS. The server is
// always the TLS server, in passive and in active mode, and each data connection has its own context,
// built from the program directory's files when the end point is made.
//
// Threads: owned by its CSslControlSocket and used only on the connection thread.
#pragma once

#include <memory>
#include <string>

#include "engine/DataSocket.h"
#include "engine/TlsStream.h"

namespace tw {

class CSslDataSocket : public CDataSocket {
public:
    CSslDataSocket(CControlSocket& owner, std::string programDir);
    ~CSslDataSocket() override;

    bool PrepareTransport() override;
    // The handshake, bounded in time; the connection thread waits on this socket meanwhile.
    bool StartTransport() override;

protected:
    long ReadSome(void* buffer, size_t length) override;
    long WriteSome(const void* data, size_t length) override;
    bool KernelCopy() const override { return false; }
    bool TransportHolds() const override { return tls_ && tls_->Holds(); }
    // After the last byte of a listing or download the client gets the close alert, which strict clients
    // need to tell a complete file from a cut one; so does a client that has ended its upload with its own
    // alert (and may wait for the answer). Anything else closes without it.
    void BeforeClose() override;

private:
    std::string programDir_;
    SslContext ctx_;
    std::unique_ptr<CTlsStream> tls_;  // from the start of the handshake to the close
};

}  // namespace tw
