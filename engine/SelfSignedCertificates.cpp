#include "engine/SelfSignedCertificates.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <memory>

#include "engine/TlsContext.h"
#include "platform/FileSystem.h"

namespace tw {

namespace {

template <class T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using Key = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using Certificate = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using Bio = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;

constexpr long kCaDays = 3650;
constexpr long kServerDays = 825;  // what clients accept of a server certificate at most

std::string OpenSslError(const char* step) {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    char text[256] = "unknown error";
    if (code) ERR_error_string_n(code, text, sizeof text);
    return std::string(step) + ": " + text;
}

Key NewKey() { return Key(EVP_EC_gen("P-256")); }

bool AddExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    const bool ok = ext && X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    return ok;
}

// A certificate for `key` named `commonName`, valid from now for `days`, with a random serial.
Certificate NewCertificate(EVP_PKEY* key, const std::string& commonName, long days) {
    Certificate cert(X509_new());
    unsigned char serial[16];
    BIGNUM* number = nullptr;
    bool ok = cert && RAND_bytes(serial, sizeof serial) == 1;
    if (ok) {
        serial[0] &= 0x7F;  // a positive serial
        number = BN_bin2bn(serial, sizeof serial, nullptr);
        ok = number && BN_to_ASN1_INTEGER(number, X509_get_serialNumber(cert.get()));
    }
    BN_free(number);
    X509_NAME* name = cert ? X509_get_subject_name(cert.get()) : nullptr;
    ok = ok && X509_set_version(cert.get(), 2) == 1 && X509_gmtime_adj(X509_getm_notBefore(cert.get()), -300) &&
         X509_gmtime_adj(X509_getm_notAfter(cert.get()), days * 24 * 3600) &&
         X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8,
                                    reinterpret_cast<const unsigned char*>("Tarnwick FTP Server"), -1, -1, 0) == 1 &&
         X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                    reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0) == 1 &&
         X509_set_pubkey(cert.get(), key) == 1;
    return ok ? std::move(cert) : nullptr;
}

std::string Pem(X509* cert, EVP_PKEY* key) {
    Bio bio(BIO_new(BIO_s_mem()));
    if (!bio) return {};
    const bool ok = cert ? PEM_write_bio_X509(bio.get(), cert) == 1
                         : PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return ok && length > 0 ? std::string(data, static_cast<size_t>(length)) : std::string();
}

}  // namespace

bool MakeSelfSignedCertificates(const std::string& programDir, const CertificateSubject& subject, std::string& error) {
    const std::string keyPath = programDir + kServerKeyFile, certPath = programDir + kServerCertFile,
                      caPath = programDir + kRootCertFile;
    for (const std::string& path : {keyPath, certPath, caPath})
        if (PathExists(path) || EntrySize(path) >= 0) {
            error = path + " exists";
            return false;
        }
    ERR_clear_error();
    const std::string host = subject.dnsNames.empty() ? "localhost" : subject.dnsNames.front();
    std::string names;
    for (const std::string& dns : subject.dnsNames) names += (names.empty() ? "DNS:" : ",DNS:") + dns;
    for (const std::string& ip : subject.ipAddresses) names += (names.empty() ? "IP:" : ",IP:") + ip;

    Key caKey = NewKey(), serverKey = NewKey();
    if (!caKey || !serverKey) return error = OpenSslError("key generation"), false;
    Certificate ca = NewCertificate(caKey.get(), host + " CA", kCaDays);
    bool ok = ca && X509_set_issuer_name(ca.get(), X509_get_subject_name(ca.get())) == 1 &&
              AddExtension(ca.get(), ca.get(), NID_basic_constraints, "critical,CA:TRUE,pathlen:0") &&
              AddExtension(ca.get(), ca.get(), NID_key_usage, "critical,keyCertSign,cRLSign") &&
              AddExtension(ca.get(), ca.get(), NID_subject_key_identifier, "hash") &&
              X509_sign(ca.get(), caKey.get(), EVP_sha256()) > 0;
    if (!ok) return error = OpenSslError("CA certificate"), false;
    Certificate server = NewCertificate(serverKey.get(), host, kServerDays);
    ok = server && X509_set_issuer_name(server.get(), X509_get_subject_name(ca.get())) == 1 &&
         AddExtension(server.get(), ca.get(), NID_basic_constraints, "critical,CA:FALSE") &&
         AddExtension(server.get(), ca.get(), NID_key_usage, "critical,digitalSignature,keyAgreement") &&
         AddExtension(server.get(), ca.get(), NID_ext_key_usage, "serverAuth") &&
         AddExtension(server.get(), ca.get(), NID_authority_key_identifier, "keyid:always") &&
         (names.empty() || AddExtension(server.get(), ca.get(), NID_subject_alt_name, names)) &&
         X509_sign(server.get(), caKey.get(), EVP_sha256()) > 0;
    if (!ok) return error = OpenSslError("server certificate"), false;

    const std::pair<std::string, std::string> files[] = {{keyPath, Pem(nullptr, serverKey.get())},
                                                         {certPath, Pem(server.get(), nullptr)},
                                                         {caPath, Pem(ca.get(), nullptr)}};
    for (size_t i = 0; i < std::size(files); ++i) {
        const auto& [path, content] = files[i];
        const int e = content.empty() ? EIO : CreateFileExclusive(path, content, 0600);
        if (e != 0) {
            error = path + ": " + std::strerror(e);
            for (size_t j = 0; j < i; ++j) RemoveFile(files[j].first);
            return false;
        }
    }
    return true;
}

}  // namespace tw
