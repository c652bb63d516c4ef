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

#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>

#include "common/ascii.h"
#include "core/header_fields.h"

namespace relvo::mail::send {

namespace {

constexpr size_t kMaxKeyFileBytes = 16384;
constexpr size_t kBodyPiece = 65536;

// One library handle for every signature: the signed field list is a library option.
DKIM_LIB* SigningLibrary() {
    static DKIM_LIB* library = [] {
        DKIM_LIB* lib = dkim_init(nullptr, nullptr);
        if (lib == nullptr) {
            return lib;
        }
        static const char* signed_[] = {"from",         "to",         "cc",       "subject",
                                        "date",         "message-id", "reply-to", "mime-version",
                                        "content-type", nullptr};
        // From is signed once more than it appears, so that no From can be added later.
        static const char* oversigned[] = {"from", nullptr};
        // The library takes each list as the array itself, sized as a pointer.
        unsigned int flags = DKIM_LIBFLAGS_FIXCRLF;
        if (dkim_options(lib, DKIM_OP_SETOPT, DKIM_OPTS_SIGNHDRS, signed_, sizeof(char**)) !=
                DKIM_STAT_OK ||
            dkim_options(lib, DKIM_OP_SETOPT, DKIM_OPTS_OVERSIGNHDRS, oversigned, sizeof(char**)) !=
                DKIM_STAT_OK ||
            dkim_options(lib, DKIM_OP_SETOPT, DKIM_OPTS_FLAGS, &flags, sizeof flags) !=
                DKIM_STAT_OK) {
            dkim_close(lib);
            return static_cast<DKIM_LIB*>(nullptr);
        }
        return lib;
    }();
    return library;
}

struct DkimFree {
    void operator()(DKIM* dkim) const { dkim_free(dkim); }
};

std::string Trim(std::string_view text) {
    size_t begin = text.find_first_not_of(" \t\r\n");
    size_t end = text.find_last_not_of(" \t\r\n");
    return begin == std::string_view::npos ? "" : std::string(text.substr(begin, end - begin + 1));
}

std::string DomainOfAddress(std::string_view value) {
    size_t open = value.find('<');
    if (open != std::string_view::npos) {
        size_t close = value.find('>', open);
        value = value.substr(open + 1, close == std::string_view::npos ? close : close - open - 1);
    } else {
        value = value.substr(0, value.find(','));
    }
    std::string address = Trim(value);
    size_t at = address.rfind('@');
    if (at == std::string::npos) {
        return "";
    }
    std::string domain = AsciiLowerCopy(address.substr(at + 1));
    for (char c : domain) {
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.')) {
            return "";
        }
    }
    return domain;
}

// The key file's text and its algorithm; false with the reason when it cannot sign.
bool ParseKey(const std::string& path, std::string* pem, std::string* algorithm,
              std::string* problem) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        *problem = "cannot read the key file " + path;
        return false;
    }
    std::ostringstream text;
    text << file.rdbuf();
    *pem = text.str();
    if (pem->size() > kMaxKeyFileBytes) {
        *problem = "the key file " + path + " is too large";
        return false;
    }
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(
        BIO_new_mem_buf(pem->data(), static_cast<int>(pem->size())), BIO_free);
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr), EVP_PKEY_free);
    if (!key) {
        *problem = "the key file " + path + " holds no PEM private key";
        return false;
    }
    if (EVP_PKEY_id(key.get()) == EVP_PKEY_ED25519) {
        *algorithm = "ed25519-sha256";
        return true;
    }
    if (EVP_PKEY_id(key.get()) == EVP_PKEY_RSA && EVP_PKEY_bits(key.get()) >= 2048) {
        *algorithm = "rsa-sha256";
        return true;
    }
    *problem = "the key in " + path + " is neither Ed25519 nor RSA of 2048 bits or more";
    return false;
}

// A key file as last read: parsing a PEM key costs about a millisecond, so it is done again
// only when the file changes.
struct KnownKey {
    timespec modified{};
    off_t size = -1;
    std::string pem, algorithm, problem;
};

bool ReadKey(const std::string& path, std::string* pem, std::string* algorithm,
             std::string* problem) {
    static std::mutex mutex;
    static std::map<std::string, KnownKey> known;
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        *problem = "cannot read the key file " + path;
        return false;
    }
    std::lock_guard lock(mutex);
    KnownKey& key = known[path];
    if (key.size != info.st_size || key.modified.tv_sec != info.st_mtim.tv_sec ||
        key.modified.tv_nsec != info.st_mtim.tv_nsec) {
        key = KnownKey{info.st_mtim, info.st_size, "", "", ""};
        ParseKey(path, &key.pem, &key.algorithm, &key.problem);
    }
    *pem = key.pem;
    *algorithm = key.algorithm;
    *problem = key.problem;
    return problem->empty();
}

// Feeds the message to the signing handle: each header field, then the body in pieces.
DKIM_STAT FeedMessage(DKIM* dkim, std::string_view message) {
    DKIM_STAT status = DKIM_STAT_OK;
    size_t bodyStart = SplitHeaderFields(message, [&](std::string_view field) {
        while (!field.empty() && (field.back() == '\n' || field.back() == '\r')) {
            field.remove_suffix(1);
        }
        std::string copy(field);  // the library takes a writable buffer
        if (status == DKIM_STAT_OK) {
            status = dkim_header(dkim, reinterpret_cast<u_char*>(copy.data()), copy.size());
        }
    });
    if (status == DKIM_STAT_OK) {
        status = dkim_eoh(dkim);
    }
    for (size_t at = bodyStart; status == DKIM_STAT_OK && at < message.size(); at += kBodyPiece) {
        std::string_view piece = message.substr(at, kBodyPiece);
        status = dkim_body(dkim, reinterpret_cast<u_char*>(const_cast<char*>(piece.data())),
                           piece.size());
    }
    if (status == DKIM_STAT_OK) {
        status = dkim_eom(dkim, nullptr);
    }
    return status;
}

}  // namespace

std::string DkimKeyPath(const std::string& appDir, std::string_view domain,
                        std::string_view selector) {
    return appDir + "/dkim/" + AsciiLowerCopy(domain) + "/" + std::string(selector) + ".key";
}

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
    if (signature.selector.find_first_of("/\\") != std::string::npos ||
        signature.selector.find("..") != std::string::npos) {
        signature.problem = "the selector " + signature.selector + " is not a plain name";
        return signature;
    }
    std::string pem;
    if (!ReadKey(DkimKeyPath(appDir, domain, signature.selector), &pem, &signature.algorithm,
                 &signature.problem)) {
        return signature;
    }
    DKIM_LIB* library = SigningLibrary();
    if (library == nullptr) {
        signature.problem = "the DKIM library could not start";
        return signature;
    }
    DKIM_STAT status = DKIM_STAT_OK;
    std::unique_ptr<DKIM, DkimFree> dkim(dkim_sign(
        library, reinterpret_cast<const u_char*>("relvo"), nullptr,
        reinterpret_cast<u_char*>(pem.data()),
        reinterpret_cast<const u_char*>(signature.selector.c_str()),
        reinterpret_cast<const u_char*>(domain.c_str()), DKIM_CANON_RELAXED, DKIM_CANON_RELAXED,
        signature.algorithm == "rsa-sha256" ? DKIM_SIGN_RSASHA256 : DKIM_SIGN_ED25519SHA256, -1,
        &status));
    if (dkim != nullptr) {
        status = FeedMessage(dkim.get(), message);
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
