#include "send/transport/dkim_signer.h"

// The library's header uses C's boolean type.
#define _Bool bool
#include <opendkim/dkim.h>
#undef _Bool
#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "common/ascii.h"
#include "common/base64.h"
#include "common/dkim_key_file.h"
#include "common/mail_address.h"
#include "core/header_fields.h"

namespace relvo::mail::send {

namespace {

constexpr size_t kMaxKeyFileBytes = 16384;
constexpr size_t kBodyPiece = 65536;
constexpr const char* kEd25519 = "ed25519-sha256";
constexpr const char* kRsaSha256 = "rsa-sha256";

const char* kSignedFields[] = {"from",       "to",       "cc",           "subject",      "date",
                               "message-id", "reply-to", "mime-version", "content-type", nullptr};
// From is signed once more than it appears, so that no From can be added later.
const char* kOversignedFields[] = {"from", nullptr};

// A library instance with flags, set up further by setup (false: it failed); null on failure.
template <typename Setup>
DKIM_LIB* NewLibrary(unsigned int flags, Setup setup) {
    DKIM_LIB* lib = dkim_init(nullptr, nullptr);
    if (lib == nullptr) {
        return nullptr;
    }
    if (!setup(lib) ||
        dkim_options(lib, DKIM_OP_SETOPT, DKIM_OPTS_FLAGS, &flags, sizeof flags) != DKIM_STAT_OK) {
        dkim_close(lib);
        return nullptr;
    }
    return lib;
}

// The library only hashes; the signature is ours. Signing through the library would parse the
// PEM key for every message (about a millisecond for RSA), and for Ed25519 it never frees the key
// it loads nor the signature it makes. So a verifying handle is given a signature field of our
// own first, and the header and body hashes it computes for that field are what we sign with the
// key parsed once (ReadKey). It asks for no key: signatures are checked at the end of the
// message, where the key lookup fails at once.
DKIM_CBSTAT NoKey(DKIM*, DKIM_SIGINFO*, u_char*, size_t) {
    return DKIM_CBSTAT_ERROR;
}

DKIM_LIB* HashingLibrary() {
    static DKIM_LIB* library =
        NewLibrary(DKIM_LIBFLAGS_FIXCRLF | DKIM_LIBFLAGS_DELAYSIGPROC,
                   [](DKIM_LIB* lib) { return dkim_set_key_lookup(lib, NoKey) == DKIM_STAT_OK; });
    return library;
}

struct DkimFree {
    void operator()(DKIM* dkim) const { dkim_free(dkim); }
};

// The domain of the first address a From value names, in lower case; "" when it names none.
std::string DomainOfAddress(std::string_view value) {
    std::string unfolded;  // a folded field's lines are one value
    for (char c : value) {
        if (c != '\r' && c != '\n') {
            unfolded += c;
        }
    }
    const std::vector<std::string> entries = SplitRecipientList(unfolded);
    if (entries.empty()) {
        return "";
    }
    std::string domain = AsciiLowerCopy(MailboxDomain(ExtractMailAddress(entries.front())));
    for (char c : domain) {
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.')) {
            return "";
        }
    }
    return domain;
}

// A key file parsed: the key and its algorithm, or why it cannot sign.
struct SigningKey {
    std::string algorithm, problem;
    std::shared_ptr<EVP_PKEY> key;  // used by several signers at once, read only
};

// Which file a key came from: a replaced file (a new inode), or one rewritten in place (its
// time or size), is parsed again.
struct KeyFileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = -1;
    timespec modified{};

    static KeyFileIdentity Of(const struct stat& info) {
        return {info.st_dev, info.st_ino, info.st_size, info.st_mtim};
    }
    bool operator==(const KeyFileIdentity& other) const {
        return device == other.device && inode == other.inode && size == other.size &&
               modified.tv_sec == other.modified.tv_sec &&
               modified.tv_nsec == other.modified.tv_nsec;
    }
};

// Parses the key file; identity receives what was read (the open file's, not the path's of an
// earlier look).
SigningKey ParseKey(const std::string& path, KeyFileIdentity* identity) {
    SigningKey result;
    // Not blocking: a FIFO put in the key's place must not hold a delivery.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        const bool opened = fd >= 0;
        if (opened) {
            close(fd);
        }
        result.problem = opened ? "the key file " + path + " is not a regular file"
                                : "cannot read the key file " + path;
        return result;
    }
    *identity = KeyFileIdentity::Of(info);
    std::string pem;
    char buffer[4096];
    ssize_t got = 0;
    while (pem.size() <= kMaxKeyFileBytes && (got = read(fd, buffer, sizeof buffer)) != 0) {
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            break;
        }
        pem.append(buffer, static_cast<size_t>(got));
    }
    close(fd);
    OPENSSL_cleanse(buffer, sizeof buffer);
    if (got < 0) {
        result.problem = "cannot read the key file " + path;
        return result;
    }
    if (pem.size() > kMaxKeyFileBytes) {
        result.problem = "the key file " + path + " is too large";
        return result;
    }
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(
        BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), BIO_free);
    std::shared_ptr<EVP_PKEY> key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr),
                                  EVP_PKEY_free);
    OPENSSL_cleanse(pem.data(), pem.size());
    if (!key) {
        result.problem = "the key file " + path + " holds no PEM private key";
    } else if (EVP_PKEY_id(key.get()) == EVP_PKEY_ED25519) {
        result.algorithm = kEd25519;
        result.key = key;
    } else if (EVP_PKEY_id(key.get()) == EVP_PKEY_RSA && EVP_PKEY_bits(key.get()) >= 2048) {
        result.algorithm = kRsaSha256;
        result.key = key;
    } else {
        result.problem = "the key in " + path + " is neither Ed25519 nor RSA of 2048 bits or more";
    }
    return result;
}

// The key of a file, parsed once and again only when the file changes: parsing a PEM key costs
// about a millisecond, signing with the parsed key a fraction of that. One stat per message.
SigningKey ReadKey(const std::string& path) {
    struct KnownKey {
        KeyFileIdentity identity;
        SigningKey key;
    };
    static std::mutex mutex;
    static std::map<std::string, KnownKey> known;
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        return SigningKey{"", "cannot read the key file " + path, nullptr};
    }
    {
        std::lock_guard lock(mutex);
        auto found = known.find(path);
        if (found != known.end() && found->second.identity == KeyFileIdentity::Of(info)) {
            return found->second.key;
        }
    }
    // Parsed outside the lock, so that signers with other keys do not wait; two signers that
    // find the same change both parse it, and either result is the file's.
    KeyFileIdentity identity;
    SigningKey key = ParseKey(path, &identity);
    std::lock_guard lock(mutex);
    known[path] = KnownKey{identity, key};
    return key;
}

bool IsSignatureField(std::string_view field) {
    return AsciiLowerCopy(HeaderFieldName(field)) == AsciiLowerCopy(DKIM_SIGNHEADER);
}

// Feeds the message to a handle: each header field, then (when body) the body in pieces. A
// verifying handle gets ownField first, in place of the message's own signature fields.
DKIM_STAT FeedMessage(DKIM* dkim, std::string_view message, std::string_view ownField = {},
                      bool body = true) {
    DKIM_STAT status = DKIM_STAT_OK;
    auto header = [&](std::string_view field) {
        while (!field.empty() && (field.back() == '\n' || field.back() == '\r')) {
            field.remove_suffix(1);
        }
        std::string copy(field);  // the library takes a writable buffer
        if (status == DKIM_STAT_OK) {
            status = dkim_header(dkim, reinterpret_cast<u_char*>(copy.data()), copy.size());
        }
    };
    if (!ownField.empty()) {
        header(ownField);
    }
    size_t bodyStart = SplitHeaderFields(message, [&](std::string_view field) {
        if (ownField.empty() || !IsSignatureField(field)) {
            header(field);
        }
    });
    if (status == DKIM_STAT_OK) {
        status = dkim_eoh(dkim);
    }
    for (size_t at = bodyStart; body && status == DKIM_STAT_OK && at < message.size();
         at += kBodyPiece) {
        std::string_view piece = message.substr(at, kBodyPiece);
        status = dkim_body(dkim, reinterpret_cast<u_char*>(const_cast<char*>(piece.data())),
                           piece.size());
    }
    return status;
}

// The header and body hashes the library computes for the message under field (a complete
// signature field whose b= holds anything); false when it would not. Without the body, only the
// header hash is of use.
bool Hashes(std::string_view message, const std::string& field, bool body, std::string* header,
            std::string* bodyHash) {
    DKIM_LIB* library = HashingLibrary();
    DKIM_STAT status = DKIM_STAT_OK;
    std::unique_ptr<DKIM, DkimFree> dkim(
        library == nullptr
            ? nullptr
            : dkim_verify(library, reinterpret_cast<const u_char*>("relvo"), nullptr, &status));
    if (dkim == nullptr || FeedMessage(dkim.get(), message, field, body) != DKIM_STAT_OK) {
        return false;
    }
    dkim_eom(dkim.get(), nullptr);  // no key, no verdict: the hashes are done all the same
    DKIM_SIGINFO** signatures = nullptr;
    int count = 0;
    // A field the library refused has no hashes, and asking for them aborts the process.
    if (dkim_getsiglist(dkim.get(), &signatures, &count) != DKIM_STAT_OK || count != 1 ||
        (dkim_sig_geterror(signatures[0]) != DKIM_SIGERROR_UNKNOWN &&
         dkim_sig_geterror(signatures[0]) != DKIM_SIGERROR_OK)) {
        return false;
    }
    void* headerData = nullptr;
    void* bodyData = nullptr;
    size_t headerLength = 0, bodyLength = 0;
    if (dkim_sig_gethashes(signatures[0], &headerData, &headerLength, &bodyData, &bodyLength) !=
            DKIM_STAT_OK ||
        headerData == nullptr || bodyData == nullptr) {
        return false;
    }
    header->assign(static_cast<const char*>(headerData), headerLength);
    bodyHash->assign(static_cast<const char*>(bodyData), bodyLength);
    return true;
}

// Signs the header hash: Ed25519 over the hash itself, RSA as PKCS #1 v1.5 with SHA-256.
bool SignHash(const std::string& algorithm, EVP_PKEY* key, const std::string& hash,
              std::string* signature) {
    const auto* data = reinterpret_cast<const unsigned char*>(hash.data());
    size_t length = 0;
    if (algorithm == kEd25519) {
        std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                        EVP_MD_CTX_free);
        unsigned char bytes[64];
        length = sizeof bytes;
        if (!context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key) != 1 ||
            EVP_DigestSign(context.get(), bytes, &length, data, hash.size()) != 1) {
            return false;
        }
        signature->assign(reinterpret_cast<const char*>(bytes), length);
        return true;
    }
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> context(
        EVP_PKEY_CTX_new(key, nullptr), EVP_PKEY_CTX_free);
    if (!context || EVP_PKEY_sign_init(context.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_CTX_set_signature_md(context.get(), EVP_sha256()) != 1 ||
        EVP_PKEY_sign(context.get(), nullptr, &length, data, hash.size()) != 1) {
        return false;
    }
    signature->resize(length);
    if (EVP_PKEY_sign(context.get(), reinterpret_cast<unsigned char*>(signature->data()), &length,
                      data, hash.size()) != 1) {
        return false;
    }
    signature->resize(length);
    return true;
}

// The signature field for the message by algorithm (rsa-sha256 or ed25519-sha256), with the
// fields kSignedFields and kOversignedFields name; "" when it cannot be made.
std::string SignWithKey(std::string_view message, const std::string& domain,
                        const std::string& selector, const std::string& algorithm, EVP_PKEY* key) {
    std::vector<std::string> names;
    SplitHeaderFields(message, [&](std::string_view field) {
        std::string name = AsciiLowerCopy(HeaderFieldName(field));
        for (const char** signed_ = kSignedFields; *signed_ != nullptr; ++signed_) {
            if (name == *signed_) {
                names.emplace_back(HeaderFieldName(field));
            }
        }
    });
    for (const char** oversigned = kOversignedFields; *oversigned != nullptr; ++oversigned) {
        names.emplace_back(*oversigned);
    }
    auto field = [&](const std::string& bodyHash) {
        std::string text = DKIM_SIGNHEADER ": v=1; a=" + algorithm +
                           "; c=relaxed/relaxed;\r\n\td=" + domain + "; s=" + selector +
                           "; t=" + std::to_string(std::time(nullptr)) + ";\r\n\tbh=" + bodyHash +
                           ";\r\n\th=";
        size_t lineStart = text.size() - 3;
        for (size_t i = 0; i < names.size(); ++i) {
            if (i > 0 && text.size() - lineStart + names[i].size() > 76) {
                text += "\r\n\t";
                lineStart = text.size() - 1;
            }
            text += names[i] + (i + 1 < names.size() ? ":" : ";\r\n\tb=");
        }
        return text;
    };
    // The body hash first, under a placeholder; then the header hash, under the real one.
    const std::string placeholder = EncodeBase64(std::string(32, '\0'));
    std::string headerHash, bodyHash;
    if (!Hashes(message, field(placeholder) + placeholder, true, &headerHash, &bodyHash)) {
        return "";
    }
    std::string text = field(EncodeBase64(bodyHash));
    if (!Hashes(message, text + placeholder, false, &headerHash, &bodyHash)) {
        return "";
    }
    std::string signature;
    if (!SignHash(algorithm, key, headerHash, &signature)) {
        return "";
    }
    // The signature folded like the rest of the field, so that no line grows past 78.
    const std::string encoded = EncodeBase64(signature);
    for (size_t at = 0; at < encoded.size(); at += 72) {
        text += (at > 0 ? "\r\n\t" : "") + encoded.substr(at, 72);
    }
    return text + "\r\n";
}

}  // namespace

std::string FromDomain(std::string_view message) {
    std::string domain;
    SplitHeaderFields(message, [&](std::string_view field) {
        if (domain.empty() && AsciiLowerCopy(HeaderFieldName(field)) == "from") {
            domain = DomainOfAddress(field.substr(field.find(':') + 1));
        }
    });
    return domain;
}

std::string SigningDomain(std::string_view message, const EngineConfig& config) {
    std::string domain = FromDomain(message);
    const LocalDomain* local = domain.empty() ? nullptr : config.FindLocalDomain(domain);
    return local == nullptr || local->dkimSelector.empty() ? "" : domain;
}

DkimSignature SignMessage(std::string_view message, const EngineConfig& config,
                          const std::string& appDir) {
    DkimSignature signature;
    std::string domain = SigningDomain(message, config);
    if (domain.empty()) {
        return signature;
    }
    signature.domain = domain;
    signature.selector = config.FindLocalDomain(domain)->dkimSelector;
    // A name of DNS labels: a path into the key directory, or a tag of the field, is refused.
    if (signature.selector.find_first_not_of("abcdefghijklmnopqrstuvwxyz"
                                             "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_.") !=
            std::string::npos ||
        signature.selector.find("..") != std::string::npos || signature.selector[0] == '.') {
        signature.problem = "the selector " + signature.selector + " is not a plain name";
        return signature;
    }
    SigningKey key = ReadKey(DkimKeyFile(appDir, domain, signature.selector));
    signature.algorithm = key.algorithm;
    signature.problem = key.problem;
    if (!signature.problem.empty()) {
        return signature;
    }
    signature.field =
        SignWithKey(message, domain, signature.selector, signature.algorithm, key.key.get());
    if (signature.field.empty()) {
        signature.problem = "signing failed: the message could not be hashed";
    }
    return signature;
}

bool FirstKeyProblem(const std::string& domain, const std::string& problem) {
    static std::mutex mutex;
    static std::set<std::string> seen;
    std::lock_guard lock(mutex);
    return seen.insert(domain + '\n' + problem).second;
}

}  // namespace relvo::mail::send
