#include "send/transport/tls_policy.h"

#include <openssl/x509.h>

#include <memory>
#include <mutex>

#include "core/net_ranges.h"
#include "send/transport/smtp_client.h"

namespace relvo::mail::send {

asio::ssl::context& ClientTlsContext() {
    static std::once_flag once;
    static std::unique_ptr<asio::ssl::context> context;
    std::call_once(once, [] {
        context = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_client);
        context->set_options(asio::ssl::context::default_workarounds |
                             asio::ssl::context::no_sslv2 | asio::ssl::context::no_sslv3 |
                             asio::ssl::context::no_compression);
        SSL_CTX_set_min_proto_version(context->native_handle(), TLS1_2_VERSION);
        asio::error_code ignored;
        context->set_default_verify_paths(ignored);
    });
    return *context;
}

void ApplyTlsPolicy(TlsStream& stream, const ClientTarget& target) {
    asio::error_code ec;
    if (!target.hostName.empty() && target.hostName != target.address) {
        SSL_set_tlsext_host_name(stream.native_handle(), target.hostName.c_str());
    }
    if (target.verifyCertificate || VerifiedTlsRequired(target)) {
        stream.set_verify_mode(asio::ssl::verify_peer, ec);
        stream.set_verify_callback(asio::ssl::host_name_verification(target.hostName), ec);
    } else {
        stream.set_verify_mode(asio::ssl::verify_none, ec);
    }
}

std::string CertificateOutcome(const SSL* ssl) {
    long verify = SSL_get_verify_result(ssl);
    return verify == X509_V_OK ? "certificate trusted" : X509_verify_cert_error_string(verify);
}

bool PlainPasswordAllowed(std::string_view address) {
    return IsLoopbackOrPrivate(address);
}

bool VerifiedTlsRequired(const ClientTarget& target) {
    return target.requireTls && !IsLoopbackOrPrivate(target.address);
}

}  // namespace relvo::mail::send
