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
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
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

}  // namespace

bool EnsureSelfSignedCertificate(const TlsFiles& files, const std::string& hostName,
                                 std::string* error) {
    if (access(files.certificate.c_str(), R_OK) == 0 && access(files.key.c_str(), R_OK) == 0) {
        return true;
    }
    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
    X509* certificate = X509_new();
    bool ok = key != nullptr && certificate != nullptr;
    if (ok) {
        X509_set_version(certificate, 2);
        unsigned char serial[16];
        std::FILE* random = std::fopen("/dev/urandom", "rb");
        size_t got = random != nullptr ? std::fread(serial, 1, sizeof serial, random) : 0;
        if (random != nullptr) {
            std::fclose(random);
        }
        serial[0] &= 0x7f;  // positive
        BIGNUM* number = BN_bin2bn(serial, static_cast<int>(got), nullptr);
        ok = number != nullptr && BN_to_ASN1_INTEGER(number, X509_get_serialNumber(certificate));
        BN_free(number);
        X509_gmtime_adj(X509_getm_notBefore(certificate), -3600);
        X509_gmtime_adj(X509_getm_notAfter(certificate), 10L * 365 * 24 * 3600);
        X509_set_pubkey(certificate, key);
        X509_NAME* name = X509_get_subject_name(certificate);
        std::string commonName = hostName.substr(0, 64);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(commonName.c_str()), -1,
                                   -1, 0);
        X509_set_issuer_name(certificate, name);
        std::string san = "DNS:" + commonName;
        X509_EXTENSION* extension =
            X509V3_EXT_conf_nid(nullptr, nullptr, NID_subject_alt_name, san.c_str());
        if (extension != nullptr) {
            X509_add_ext(certificate, extension, -1);
            X509_EXTENSION_free(extension);
        }
        ok = ok && X509_sign(certificate, key, EVP_sha256()) > 0;
    }
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
