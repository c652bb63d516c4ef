// The TLS server context for STARTTLS: the certificate and key the configuration names, or else a
// self-signed certificate made once and kept under the application directory (mode 0600).
#pragma once

#include <memory>
#include <string>

#include <asio/ssl/context.hpp>

namespace relvo::mail::smtp {

struct TlsFiles {
    std::string certificate;
    std::string key;
};

// Makes (or keeps) the self-signed pair in directory for hostName; false with a reason when the
// files cannot be made.
bool EnsureSelfSignedCertificate(const TlsFiles& files, const std::string& hostName,
                                 std::string* error);

// A server context over the given files (TLS 1.2 and later); null with a reason on failure.
std::shared_ptr<asio::ssl::context> MakeServerTlsContext(const TlsFiles& files, std::string* error);

}  // namespace relvo::mail::smtp
