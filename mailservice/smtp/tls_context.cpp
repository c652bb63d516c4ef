#include "smtp/tls_context.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

namespace relvo::mail::smtp {
namespace {

std::string OpenSslError() {
    unsigned long code = ERR_get_error();
    char text[256] = "unknown error";
    if (code != 0) {
        ERR_error_string_n(code, text, sizeof text);
    }
    ERR_clear_error();
    return text;
}

// Writes a PEM object to a new file readable by the owner only, replacing it atomically.
template <typename Writer>
bool WritePrivateFile(const std::string& path, Writer write, std::string* error) {
    std::string temporary = path + ".tmp";
    // A fresh file, never one planted at that name (a link would take the key elsewhere).
    unlink(temporary.c_str());
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = "cannot create " + temporary;
        return false;
    }
    fchmod(fd, 0600);
    FILE* file = fdopen(fd, "w");
    bool ok = file != nullptr && write(file) == 1;
    ok = file != nullptr && std::fflush(file) == 0 && fsync(fileno(file)) == 0 && ok;
    if (file != nullptr) {
        std::fclose(file);
    } else {
        close(fd);
    }
    if (!ok || std::rename(temporary.c_str(), path.c_str()) != 0) {
        unlink(temporary.c_str());
        *error = "cannot write " + path + ": " + OpenSslError();
        return false;
    }
    return true;
}

constexpr long kValidDays = 397;  // what public certificates may have at most
// Forward-secret AEAD suites for TLS 1.2; TLS 1.3 has only AEAD suites.
constexpr const char* kTls12Ciphers =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";

// Letters, digits, '-' and '.', at most 253: nothing that could add a second name to the
// certificate's name list.
bool IsHostName(const std::string& name) {
    if (name.empty() || name.size() > 253) {
        return false;
    }
    for (char c : name) {
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                             (c >= '0' && c <= '9') || c == '-' || c == '.';
        if (!allowed) {
            return false;
        }
    }
    return true;
}

// The DNS names of the certificate's subjectAltName, in order.
std::vector<std::string> DnsNamesOf(X509* certificate) {
    std::vector<std::string> names;
    auto* list = static_cast<GENERAL_NAMES*>(
        X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr));
    for (int i = 0; list != nullptr && i < sk_GENERAL_NAME_num(list); ++i) {
        const GENERAL_NAME* entry = sk_GENERAL_NAME_value(list, i);
        if (entry->type == GEN_DNS) {
            const ASN1_IA5STRING* text = entry->d.dNSName;
            names.emplace_back(reinterpret_cast<const char*>(ASN1_STRING_get0_data(text)),
                               static_cast<size_t>(ASN1_STRING_length(text)));
        }
    }
    GENERAL_NAMES_free(list);
    return names;
}

X509* ReadCertificate(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return nullptr;
    }
    X509* certificate = PEM_read_X509(file, nullptr, nullptr, nullptr);
    std::fclose(file);
    return certificate;
}

// Whether the pair on disk can be kept: readable, not expired, naming exactly names.
bool UsableSelfSigned(const TlsFiles& files, const std::vector<std::string>& names) {
    if (access(files.key.c_str(), R_OK) != 0) {
        return false;
    }
    X509* certificate = ReadCertificate(files.certificate);
    if (certificate == nullptr) {
        ERR_clear_error();
        return false;
    }
    const bool current = X509_cmp_current_time(X509_get0_notAfter(certificate)) > 0 &&
                         X509_cmp_current_time(X509_get0_notBefore(certificate)) < 0;
    const bool named = DnsNamesOf(certificate) == names;
    X509_free(certificate);
    return current && named;
}

bool SetSerialNumber(X509* certificate) {
    unsigned char serial[16];
    std::FILE* random = std::fopen("/dev/urandom", "rb");
    size_t got = random != nullptr ? std::fread(serial, 1, sizeof serial, random) : 0;
    if (random != nullptr) {
        std::fclose(random);
    }
    if (got != sizeof serial) {
        return false;
    }
    serial[0] &= 0x7f;  // positive
    BIGNUM* number = BN_bin2bn(serial, static_cast<int>(got), nullptr);
    bool ok = number != nullptr && BN_to_ASN1_INTEGER(number, X509_get_serialNumber(certificate));
    BN_free(number);
    return ok;
}

bool SetNames(X509* certificate, const std::vector<std::string>& names) {
    X509_NAME* subject = X509_get_subject_name(certificate);
    std::string commonName = names.front().substr(0, 64);
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1,
                               0);
    X509_set_issuer_name(certificate, subject);
    std::string san;
    for (const std::string& name : names) {
        san += (san.empty() ? "DNS:" : ",DNS:") + name;
    }
    X509_EXTENSION* extension =
        X509V3_EXT_conf_nid(nullptr, nullptr, NID_subject_alt_name, san.c_str());
    bool ok = extension != nullptr && X509_add_ext(certificate, extension, -1) == 1;
    X509_EXTENSION_free(extension);
    return ok;
}

// A certificate for names signed by key itself.
X509* MakeCertificate(EVP_PKEY* key, const std::vector<std::string>& names) {
    X509* certificate = X509_new();
    bool ok = certificate != nullptr && X509_set_version(certificate, 2) == 1 &&
              SetSerialNumber(certificate) &&
              X509_gmtime_adj(X509_getm_notBefore(certificate), -3600) != nullptr &&
              X509_gmtime_adj(X509_getm_notAfter(certificate), kValidDays * 24 * 3600) != nullptr &&
              X509_set_pubkey(certificate, key) == 1 && SetNames(certificate, names) &&
              X509_sign(certificate, key, EVP_sha256()) > 0;
    if (!ok) {
        X509_free(certificate);
        return nullptr;
    }
    return certificate;
}

}  // namespace

std::vector<std::string> SelfSignedNames(const std::string& heloName) {
    std::vector<std::string> names;
    if (IsHostName(heloName)) {
        names.push_back(heloName);
    }
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) == 0 && IsHostName(host) &&
        (names.empty() || names.front() != host)) {
        names.emplace_back(host);
    }
    if (names.empty()) {
        names.emplace_back("localhost");
    }
    return names;
}

bool EnsureSelfSignedCertificate(const TlsFiles& files, const std::vector<std::string>& names,
                                 std::string* error) {
    if (UsableSelfSigned(files, names)) {
        return true;
    }
    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
    X509* certificate = key != nullptr ? MakeCertificate(key, names) : nullptr;
    bool ok = certificate != nullptr;
    ok = ok && WritePrivateFile(
                   files.key,
                   [key](FILE* f) {
                       return PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr);
                   },
                   error);
    ok = ok && WritePrivateFile(
                   files.certificate,
                   [certificate](FILE* f) { return PEM_write_X509(f, certificate); }, error);
    if (!ok && error->empty()) {
        *error = "cannot make a self-signed certificate: " + OpenSslError();
    }
    X509_free(certificate);
    EVP_PKEY_free(key);
    return ok;
}

std::shared_ptr<asio::ssl::context> MakeServerTlsContext(const TlsFiles& files,
                                                         std::string* error) {
    auto context = std::make_shared<asio::ssl::context>(asio::ssl::context::tls_server);
    asio::error_code ec;
    context->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                             asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                             asio::ssl::context::no_tlsv1_1 | asio::ssl::context::no_compression,
                         ec);
    SSL_CTX* native = context->native_handle();
    // Clients choose among what is offered, in our order; no CBC suite (padding oracles).
    SSL_CTX_set_options(native, SSL_OP_CIPHER_SERVER_PREFERENCE);
    if (!ec && (SSL_CTX_set_min_proto_version(native, TLS1_2_VERSION) != 1 ||
                SSL_CTX_set_cipher_list(native, kTls12Ciphers) != 1)) {
        *error = "cannot set the TLS versions and suites: " + OpenSslError();
        return nullptr;
    }
    if (!ec) {
        context->use_certificate_chain_file(files.certificate, ec);
    }
    if (ec) {
        *error = "cannot load the TLS certificate " + files.certificate + ": " + ec.message();
        return nullptr;
    }
    context->use_private_key_file(files.key, asio::ssl::context::pem, ec);
    if (ec) {
        *error = "cannot load the TLS key " + files.key + ": " + ec.message();
        return nullptr;
    }
    if (SSL_CTX_check_private_key(context->native_handle()) != 1) {
        *error =
            "the TLS key " + files.key + " does not belong to the certificate " + files.certificate;
        return nullptr;
    }
    return context;
}

}  // namespace relvo::mail::smtp
