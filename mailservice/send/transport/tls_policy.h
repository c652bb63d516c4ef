// The sending side's TLS rules: one client context with the system's trusted certificates, the
// name sent (SNI) and the certificate check a target asks for, and where a password may go
// without TLS. The context is made once, by whichever thread needs it first.
#pragma once

#include <openssl/ssl.h>

#include <asio/ip/tcp.hpp>
#include <asio/ssl.hpp>
#include <string>
#include <string_view>

namespace relvo::mail::send {

struct ClientTarget;

using TlsStream = asio::ssl::stream<asio::ip::tcp::socket&>;

// Client contexts are costly to make (the trusted certificates are loaded once).
asio::ssl::context& ClientTlsContext();

// Sends the host name (not a bare address) for SNI, and checks the peer's certificate against it
// when the target asks for that.
void ApplyTlsPolicy(TlsStream& stream, const ClientTarget& target);

// "certificate trusted", or why the peer's chain was not.
std::string CertificateOutcome(const SSL* ssl);

// Whether a password may go to this peer over an unencrypted connection.
bool PlainPasswordAllowed(std::string_view address);

// Whether the conversation with target must stop unless STARTTLS (or TLS from the first byte)
// brings a verified session: a target that asks for it, outside loopback and private networks.
bool VerifiedTlsRequired(const ClientTarget& target);

}  // namespace relvo::mail::send
