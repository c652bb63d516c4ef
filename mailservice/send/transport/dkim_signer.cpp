#include "send/transport/dkim_signer.h"

// The library's header uses C's boolean type.
#define _Bool bool
#include <opendkim/dkim.h>
#undef _Bool
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <sys/stat.h>
#include <cctype>
#include <ctime>

#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
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

const char* kSignedFields[] = {"from",       "to",       "cc",           "subject",      "date",
                               "message-id", "reply-to", "mime-version", "content-type", nullptr};
// From is signed once more than it appears, so that no From can be added later.
const char* kOversignedFields[] = {"from", nullptr};

// One library handle for every RSA signature: the signed field list is a library option.
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

DKIM_LIB* SigningLibrary() {
    static DKIM_LIB* library = NewLibrary(DKIM_LIBFLAGS_FIXCRLF, [](DKIM_LIB* lib) {
        // The library takes each list as the array itself, sized as a pointer.
        return dkim_options(lib, DKIM_OP_SETOPT, DKIM_OPTS_SIGNHDRS, kSignedFields,
                            sizeof(char**)) == DKIM_STAT_OK &&
               dkim_options(lib, DKIM_OP_SETOPT, DKIM_OPTS_OVERSIGNHDRS, kOversignedFields,
                            sizeof(char**)) == DKIM_STAT_OK;
    });
    return library;
}

// The library signs with Ed25519 too, but never frees the key it loads for it nor the signature it
// makes (about 470 bytes a signature). So for Ed25519 it only hashes, through a verifying handle:
// a signature field of our own goes first, and the header and body hashes the library computes
// for it are what we sign. It asks for no key: signatures are checked at the end of the message,
// where the key lookup fails at once.
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

// A key file: its text and algorithm, the key itself for Ed25519, or why it cannot sign.
struct SigningKey {
    std::string pem, algorithm, problem;
    std::shared_ptr<EVP_PKEY> ed25519;
};

SigningKey ParseKey(const std::string& path) {
    SigningKey result;
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        result.problem = "cannot read the key file " + path;
        return result;
    }
    std::ostringstream text;
    text << file.rdbuf();
    result.pem = text.str();
    if (result.pem.size() > kMaxKeyFileBytes) {
        result.problem = "the key file " + path + " is too large";
        return result;
    }
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(
        BIO_new_mem_buf(result.pem.data(), static_cast<int>(result.pem.size())), BIO_free);
    std::shared_ptr<EVP_PKEY> key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr),
                                  EVP_PKEY_free);
    if (!key) {
        result.problem = "the key file " + path + " holds no PEM private key";
    } else if (EVP_PKEY_id(key.get()) == EVP_PKEY_ED25519) {
        result.algorithm = kEd25519;
        result.ed25519 = key;
    } else if (EVP_PKEY_id(key.get()) == EVP_PKEY_RSA && EVP_PKEY_bits(key.get()) >= 2048) {
        result.algorithm = "rsa-sha256";
    } else {
        result.problem = "the key in " + path + " is neither Ed25519 nor RSA of 2048 bits or more";
    }
    return result;
}

// A key file as last read: parsing a PEM key costs about a millisecond, so it is done again
// only when the file changes.
struct KnownKey {
    timespec modified{};
    off_t size = -1;
    SigningKey key;
};

SigningKey ReadKey(const std::string& path) {
    static std::mutex mutex;
    static std::map<std::string, KnownKey> known;
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        return SigningKey{"", "", "cannot read the key file " + path, nullptr};
    }
    std::lock_guard lock(mutex);
    KnownKey& entry = known[path];
    if (entry.size != info.st_size || entry.modified.tv_sec != info.st_mtim.tv_sec ||
        entry.modified.tv_nsec != info.st_mtim.tv_nsec) {
        entry = KnownKey{info.st_mtim, info.st_size, ParseKey(path)};
    }
    return entry.key;
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

// The ed25519-sha256 signature field for the message, with the fields the library would sign.
std::string SignEd25519(std::string_view message, const std::string& domain,
                        const std::string& selector, EVP_PKEY* key) {
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
        std::string text = DKIM_SIGNHEADER ": v=1; a=" + std::string(kEd25519) +
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
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                    EVP_MD_CTX_free);
    unsigned char signature[64];
    size_t length = sizeof signature;
    if (!context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key) != 1 ||
        EVP_DigestSign(context.get(), signature, &length,
                       reinterpret_cast<const unsigned char*>(headerHash.data()),
                       headerHash.size()) != 1) {
        return "";
    }
    return text + EncodeBase64(std::string_view(reinterpret_cast<const char*>(signature), length)) +
           "\r\n";
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

DkimSignature SignMessage(std::string_view message, const EngineConfig& config,
                          const std::string& appDir) {
    DkimSignature signature;
    std::string domain = FromDomain(message);
    const LocalDomain* local = domain.empty() ? nullptr : config.FindLocalDomain(domain);
    if (local == nullptr || local->dkimSelector.empty()) {
        return signature;
    }
    signature.domain = domain;
    signature.selector = local->dkimSelector;
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
    if (key.ed25519 != nullptr) {
        signature.field = SignEd25519(message, domain, signature.selector, key.ed25519.get());
        if (signature.field.empty()) {
            signature.problem = "signing failed: the message could not be hashed";
        }
        return signature;
    }
    DKIM_LIB* library = SigningLibrary();
    if (library == nullptr) {
        signature.problem = "the DKIM library could not start";
        return signature;
    }
    DKIM_STAT status = DKIM_STAT_OK;
    std::unique_ptr<DKIM, DkimFree> dkim(
        dkim_sign(library, reinterpret_cast<const u_char*>("relvo"), nullptr,
                  reinterpret_cast<u_char*>(key.pem.data()),
                  reinterpret_cast<const u_char*>(signature.selector.c_str()),
                  reinterpret_cast<const u_char*>(domain.c_str()), DKIM_CANON_RELAXED,
                  DKIM_CANON_RELAXED, DKIM_SIGN_RSASHA256, -1, &status));
    if (dkim != nullptr) {
        status = FeedMessage(dkim.get(), message);
    }
    if (status == DKIM_STAT_OK) {
        status = dkim_eom(dkim.get(), nullptr);
    }
    u_char* value = nullptr;
    size_t length = 0;
    if (status == DKIM_STAT_OK) {
        status = dkim_getsighdr_d(dkim.get(), sizeof DKIM_SIGNHEADER + 1, &value, &length);
    }
    if (status != DKIM_STAT_OK || value == nullptr) {
        const char* why = dkim != nullptr ? dkim_geterror(dkim.get()) : nullptr;
        signature.problem =
            std::string("signing failed: ") + (why != nullptr ? why : dkim_getresultstr(status));
        return signature;
    }
    // The library folds with bare LF; the message's lines end with CRLF.
    std::string field = DKIM_SIGNHEADER ": ";
    for (std::string_view rest(reinterpret_cast<const char*>(value), length); !rest.empty();
         rest.remove_prefix(1)) {
        if (rest.front() == '\n' && field.back() != '\r') {
            field += '\r';
        }
        field += rest.front();
    }
    signature.field = field + "\r\n";
    return signature;
}

bool FirstKeyProblem(const std::string& domain, const std::string& problem) {
    static std::mutex mutex;
    static std::set<std::string> seen;
    std::lock_guard lock(mutex);
    return seen.insert(domain + '\n' + problem).second;
}

}  // namespace relvo::mail::send
