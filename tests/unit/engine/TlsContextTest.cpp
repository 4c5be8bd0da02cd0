// The TLS context over certificate sets made with the openssl command.
#include "engine/TlsContext.h"

#include "tests/unit/engine/FtpTestServer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace tw {
namespace {

namespace fs = std::filesystem;

class TlsContextTest : public ::testing::Test {
protected:
    static fs::path dir;

    static void SetUpTestSuite() {
        dir = fs::temp_directory_path() / ("tlsctx_" + std::to_string(getpid()));
        fs::create_directories(dir);
        ASSERT_TRUE(test::MakeCertificates(dir.string()));
    }
    static void TearDownTestSuite() { fs::remove_all(dir); }

    static std::string P(const char* name) { return (dir / name).string(); }
    static std::string Create(const char* cert, const char* key, const char* ca) {
        std::string error;
        SslContext ctx = CreateSslContext(P(cert), 0, P(key), 0, P(ca), 0, error);
        EXPECT_EQ(ctx == nullptr, !error.empty());
        return ctx ? "ok" : error;
    }
    static std::string Slurp(const char* name) {
        std::ifstream in(P(name), std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
};
fs::path TlsContextTest::dir;

TEST_F(TlsContextTest, AMatchingSetBuildsAContext) {
    EXPECT_EQ(Create("ServerCert.pem", "ServerKey.pem", "RootCert.pem"), "ok");
    std::string error;
    EXPECT_TRUE(CreateServerContext(dir.string() + "/", error)) << error;
}

TEST_F(TlsContextTest, CertificatesInDerPkcs12AndPkcs7AndDerKeysAreAccepted) {
    EXPECT_EQ(Create("cert.der", "ServerKey.pem", "RootCert.pem"), "ok");
    EXPECT_EQ(Create("cert.p12", "ServerKey.pem", "RootCert.pem"), "ok");
    EXPECT_EQ(Create("bundle.p7b", "ServerKey.pem", "RootCert.pem"), "ok");  // the first of the bundle
    EXPECT_EQ(Create("ServerCert.pem", "key.der", "RootCert.pem"), "ok");
}

TEST_F(TlsContextTest, EachFailureHasItsOwnText) {
    EXPECT_EQ(Create("ServerCert.pem", "missing.pem", "RootCert.pem"), "unable to load CA private key\n");
    EXPECT_EQ(Create("ServerCert.pem", "locked.pem", "RootCert.pem"), "unable to load CA private key\n");
    EXPECT_EQ(Create("ServerCert.pem", "RootCert.pem", "RootCert.pem"), "unable to load CA private key\n");
    EXPECT_EQ(Create("missing.pem", "ServerKey.pem", "RootCert.pem"), "unable to load CA certificate\n");
    EXPECT_EQ(Create("ServerKey.pem", "ServerKey.pem", "RootCert.pem"), "unable to load CA certificate\n");
    EXPECT_EQ(Create("other.pem", "ServerKey.pem", "RootCert.pem"),
              "Private key does not match the certificate public key");
    EXPECT_EQ(Create("ServerCert.pem", "ServerKey.pem", "missing.pem"), "Couldn't read CA list");
}

TEST_F(TlsContextTest, LoadersReadBuffersAndReportTheirOwnTexts) {
    std::string error;
    std::string pem = Slurp("ServerCert.pem");
    X509* cert = LoadCertificate(pem, pem.size(), error);
    ASSERT_NE(cert, nullptr);
    X509_free(cert);
    EXPECT_EQ(LoadCertificate("garbage", 7, error), nullptr);
    EXPECT_EQ(error, "unable to load certificate\n");
    EXPECT_EQ(LoadPrivateKey(P("missing.pem"), 0, error), nullptr);
    EXPECT_EQ(error, "open CA certificate file error");
    std::string der = Slurp("key.der");
    EVP_PKEY* key = LoadPrivateKey(der, der.size(), error);
    ASSERT_NE(key, nullptr);
    EVP_PKEY_free(key);
}

}  // namespace
}  // namespace tw
