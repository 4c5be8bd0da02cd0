// A certificate set for a server that has none: a new key, a self-signed CA and a server certificate that the
// CA signs, written as the program directory's three files (TlsContext.h), readable by their owner only.
// A client that trusts RootCert.pem then verifies the server by every name and address it was made for.
#pragma once

#include <string>
#include <vector>

namespace tw {

struct CertificateSubject {
    std::vector<std::string> dnsNames;     // host names, the first also the certificate's common name
    std::vector<std::string> ipAddresses;  // IPv4 or IPv6 addresses in text form
};

// Writes ServerKey.pem, ServerCert.pem and RootCert.pem into `programDir` (ending in "/"). Nothing is written
// when any of them exists; the CA's own key is never stored, so nothing else can be signed with it.
// False with `error` (naming the file or the step) on failure; files written before a failure are removed.
bool MakeSelfSignedCertificates(const std::string& programDir, const CertificateSubject& subject, std::string& error);

}  // namespace tw
