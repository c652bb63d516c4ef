// The TLS server context for STARTTLS: the certificate and key the configuration names, or else a
// self-signed certificate made once and kept under the application directory (mode 0600).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <asio/ssl/context.hpp>

namespace relvo::mail::smtp {

struct TlsFiles {
    std::string certificate;
    std::string key;
};

// The names a self-made certificate carries: heloName (when it is a host name) and this machine's
// host name, without repeats.
std::vector<std::string> SelfSignedNames(const std::string& heloName);

// Keeps the self-signed pair when it is still valid and names exactly names; otherwise makes a new
// one (valid 397 days). False with a reason when the files cannot be made.
bool EnsureSelfSignedCertificate(const TlsFiles& files, const std::vector<std::string>& names,
                                 std::string* error);

// A server context over the given files: TLS 1.2 with forward-secret AEAD suites only, or TLS 1.3,
// in the server's order of preference; null with a reason on failure.
std::shared_ptr<asio::ssl::context> MakeServerTlsContext(const TlsFiles& files, std::string* error);

}  // namespace relvo::mail::smtp
