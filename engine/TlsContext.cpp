#include "engine/TlsContext.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/pkcs7.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

namespace tw {

namespace {

constexpr const char* kTls12Ciphers =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384:"
    "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";

struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using Bio = std::unique_ptr<BIO, BioFree>;

Bio OpenSource(const std::string& source, size_t length, std::string& error) {
    Bio bio(length > 0 ? BIO_new_mem_buf(source.data(), static_cast<int>(length)) : BIO_new_file(source.c_str(), "r"));
    if (!bio) {
        ERR_clear_error();  // a missing file must not be left for the thread's next TLS call to find
        error = length > 0 ? "Make Mem Bio Error" : "open CA certificate file error";
    }
    return bio;
}

X509* FromPkcs12(BIO* bio) {
    PKCS12* p12 = d2i_PKCS12_bio(bio, nullptr);
    if (!p12) return nullptr;
    X509* cert = nullptr;
    EVP_PKEY* key = nullptr;
    PKCS12_parse(p12, "", &key, &cert, nullptr);
    EVP_PKEY_free(key);
    PKCS12_free(p12);
    return cert;
}

X509* FromPkcs7(BIO* bio) {
    PKCS7* p7 = PEM_read_bio_PKCS7(bio, nullptr, nullptr, nullptr);
    if (!p7) {
        BIO_reset(bio);
        p7 = d2i_PKCS7_bio(bio, nullptr);
    }
    if (!p7) return nullptr;
    STACK_OF(X509)* certs = nullptr;
    int type = OBJ_obj2nid(p7->type);
    if (type == NID_pkcs7_signed && p7->d.sign)
        certs = p7->d.sign->cert;
    else if (type == NID_pkcs7_signedAndEnveloped && p7->d.signed_and_enveloped)
        certs = p7->d.signed_and_enveloped->cert;
    X509* cert = nullptr;
    if (certs && sk_X509_num(certs) > 0) {
        cert = sk_X509_value(certs, 0);
        X509_up_ref(cert);
    }
    PKCS7_free(p7);
    return cert;
}

// Accepts what the pre-verification accepted, and a failed certificate at depth 0 or 1.
int VerifyCallback(int preverified, X509_STORE_CTX* store) {
    if (preverified) return 1;
    return X509_STORE_CTX_get_error_depth(store) <= 1 ? 1 : 0;
}

int VerifyMode(int level) {
    switch (level) {
        case 1: return SSL_VERIFY_PEER;
        case 2: return SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT;
        case 3: return SSL_VERIFY_PEER | SSL_VERIFY_CLIENT_ONCE;
        default: return SSL_VERIFY_NONE;
    }
}

}  // namespace

X509* LoadCertificate(const std::string& source, size_t length, std::string& error) {
    Bio bio = OpenSource(source, length, error);
    if (!bio) return nullptr;
    // DER, PEM, PKCS#12 without password, PKCS#7 bundle: the first encoding that yields a certificate.
    X509* (*const readers[])(BIO*) = {
        [](BIO* b) { return d2i_X509_bio(b, nullptr); },
        [](BIO* b) { return PEM_read_bio_X509(b, nullptr, nullptr, nullptr); },
        FromPkcs12,
        FromPkcs7,
    };
    X509* cert = nullptr;
    for (auto* read : readers) {
        if ((cert = read(bio.get()))) break;
        BIO_reset(bio.get());
    }
    if (!cert) error = "unable to load certificate\n";
    ERR_clear_error();
    return cert;
}

EVP_PKEY* LoadPrivateKey(const std::string& source, size_t length, std::string& error) {
    Bio bio = OpenSource(source, length, error);
    if (!bio) return nullptr;
    EVP_PKEY* key = d2i_PrivateKey_bio(bio.get(), nullptr);
    if (!key) {
        BIO_reset(bio.get());
        // An empty pass phrase: a protected key never loads and never prompts.
        key = PEM_read_bio_PrivateKey(bio.get(), nullptr, [](char*, int, int, void*) { return 0; }, nullptr);
    }
    if (!key) error = "unable to load Private Key\n";
    ERR_clear_error();
    return key;
}

bool LoadRandomState(const char* file) {
    char name[200];
    const char* seed = file ? file : RAND_file_name(name, sizeof name);
    bool loaded = seed && RAND_load_file(seed, -1) > 0;
    ERR_clear_error();
    return loaded;
}

SslContext CreateSslContext(const std::string& certSource, size_t certLength, const std::string& keySource,
                            size_t keyLength, const std::string& caFile, int verifyLevel, std::string& error) {
    error.clear();
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS, nullptr);
    SslContext ctx(SSL_CTX_new(TLS_server_method()));
    if (!ctx) {
        error = "Create ctx error";
        return nullptr;
    }
    // No SSL_OP_IGNORE_UNEXPECTED_EOF: a TCP close without the close alert is a truncation (an upload cut
    // after whole records), never the end of a file.
    SSL_CTX_set_options(ctx.get(), SSL_OP_ALL | SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
    // TLS 1.2 only with forward secrecy and authenticated encryption; TLS 1.3 keeps its own suites.
    if (SSL_CTX_set_cipher_list(ctx.get(), kTls12Ciphers) != 1) {
        ERR_clear_error();
        error = "Create ctx error";
        return nullptr;
    }
    SSL_CTX_set_mode(ctx.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);

    std::string ignored;
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(LoadPrivateKey(keySource, keyLength, ignored), EVP_PKEY_free);
    if (!key) {
        error = "unable to load CA private key\n";
        return nullptr;
    }
    if (SSL_CTX_use_PrivateKey(ctx.get(), key.get()) != 1) {
        error = "adds private key to ctx error";
        return nullptr;
    }
    std::unique_ptr<X509, decltype(&X509_free)> cert(LoadCertificate(certSource, certLength, ignored), X509_free);
    if (!cert) {
        error = "unable to load CA certificate\n";
        return nullptr;
    }
    if (SSL_CTX_use_certificate(ctx.get(), cert.get()) != 1)
        error = "loads certificate into ctx error";
    else if (SSL_CTX_check_private_key(ctx.get()) != 1)
        error = "Private key does not match the certificate public key";
    else if (SSL_CTX_load_verify_locations(ctx.get(), caFile.c_str(), nullptr) != 1)
        error = "Couldn't read CA list";
    ERR_clear_error();
    if (!error.empty()) return nullptr;
    SSL_CTX_set_verify_depth(ctx.get(), 1);
    SSL_CTX_set_client_CA_list(ctx.get(), SSL_load_client_CA_file(caFile.c_str()));
    SSL_CTX_set_verify(ctx.get(), VerifyMode(verifyLevel), VerifyCallback);
    LoadRandomState(nullptr);  // the library seeds itself; a seed file only adds to it
    ERR_clear_error();
    return ctx;
}

void EndTlsOnThisThread() { OPENSSL_thread_stop(); }

SslContext CreateServerContext(const std::string& programDir, std::string& error) {
    return CreateSslContext(programDir + kServerCertFile, 0, programDir + kServerKeyFile, 0, programDir + kRootCertFile,
                            0, error);
}

}  // namespace tw
