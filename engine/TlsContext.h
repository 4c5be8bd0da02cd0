// The TLS server context of the FTPS listener and of every FTPS data connection, built from the
// certificate, key and CA files of the program directory.
#pragma once

#include <openssl/ssl.h>

#include <memory>
#include <string>

namespace tw {

struct SslCtxFree {
    void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
using SslContext = std::unique_ptr<SSL_CTX, SslCtxFree>;

struct SslFree {
    void operator()(SSL* ssl) const { SSL_free(ssl); }
};
using SslConnection = std::unique_ptr<SSL, SslFree>;

// The three files in the program directory.
constexpr const char* kServerCertFile = "ServerCert.pem";
constexpr const char* kServerKeyFile = "ServerKey.pem";
constexpr const char* kRootCertFile = "RootCert.pem";

// Builds a server context: TLS 1.2 or later, no renegotiation, the system's cipher policy, the key and
// certificate (each DER or PEM; the certificate also PKCS#12 without password or the first of a PKCS#7
// bundle), the CA file as verification locations and CA names. A source with length 0 is a file path,
// otherwise a buffer of that many bytes. Verification level 0 requests no client certificate; 1 to 3
// request one with the modes of the level. On failure returns nothing and `error` holds the reason.
SslContext CreateSslContext(const std::string& certSource, size_t certLength, const std::string& keySource,
                            size_t keyLength, const std::string& caFile, int verifyLevel, std::string& error);

// The context of the program directory's three files.
SslContext CreateServerContext(const std::string& programDir, std::string& error);

X509* LoadCertificate(const std::string& source, size_t length, std::string& error);
EVP_PKEY* LoadPrivateKey(const std::string& source, size_t length, std::string& error);
// Adds the seed file `file` (nullptr: the library's default seed file) to the generator; false when
// nothing was loaded. Silent either way.
bool LoadRandomState(const char* file);

// Frees the calling thread's TLS library state now rather than at the thread's exit, which a detached
// thread may not reach before the process ends.
void EndTlsOnThisThread();

}  // namespace tw
