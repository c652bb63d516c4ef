#include "tables/dkim_setup.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "common/app_paths.h"
#include "common/ascii.h"
#include "common/base64.h"
#include "common/dkim_key_file.h"
#include "common/owner_only_directory.h"
#include "common/profile_file.h"
#include "common/profile_store.h"
#include "engine/engine_binding.h"

namespace {

using KeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using BioPtr = std::unique_ptr<BIO, decltype(&BIO_free)>;

KeyPtr MakeKey(DkimKeyType type) {
    EVP_PKEY* key = type == DkimKeyType::kEd25519
                        ? EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519")
                        : EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t{2048});
    return KeyPtr(key, EVP_PKEY_free);
}

std::optional<std::string> PrivatePem(EVP_PKEY* key) {
    BioPtr bio(BIO_new(BIO_s_mem()), BIO_free);
    if (!bio ||
        PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        return std::nullopt;
    }
    char* data = nullptr;
    long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<size_t>(size));
}

bool EnsurePrivateDirectory(const std::filesystem::path& dir, std::string* error) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec || !RestrictDirectoryToOwner(dir.string()).empty()) {
        *error = "cannot make the directory " + dir.string();
        return false;
    }
    return true;
}

std::string WithoutBlanks(std::string text) {
    text.erase(std::remove_if(text.begin(), text.end(),
                              [](unsigned char c) { return std::isspace(c) != 0; }),
               text.end());
    return text;
}

}  // namespace

bool IsPlainDkimName(const std::string& name) {
    return !name.empty() && name.front() != '.' && name.back() != '.' &&
           name.find("..") == std::string::npos &&
           std::all_of(name.begin(), name.end(), [](unsigned char c) {
               return std::isalnum(c) != 0 || c == '-' || c == '_' || c == '.';
           });
}

std::string DkimSelectorOf(const std::string& domain) {
    return ProfileGetString("DomainInfo", domain + "_DkimSelector", "", ".cfg");
}

std::string NewDkimSelector(const std::string& domain, std::chrono::system_clock::time_point now) {
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm day{};
    gmtime_r(&seconds, &day);
    char text[32];
    std::strftime(text, sizeof text, "relvo%Y%m%d", &day);
    std::string selector = text;
    for (char suffix = 'b';
         std::filesystem::exists(DkimKeyFile(ApplicationDirectory(), domain, selector)) &&
         suffix <= 'z';
         ++suffix) {
        selector = std::string(text) + suffix;
    }
    return selector;
}

std::optional<std::string> GenerateDkimKey(const std::string& domain, DkimKeyType type,
                                           std::string* error) {
    if (!IsPlainDkimName(domain)) {
        *error = "the domain name " + domain + " cannot name a key directory";
        return std::nullopt;
    }
    std::string selector = NewDkimSelector(domain, std::chrono::system_clock::now());
    std::filesystem::path file = DkimKeyFile(ApplicationDirectory(), domain, selector);
    KeyPtr key = MakeKey(type);
    std::optional<std::string> pem = key ? PrivatePem(key.get()) : std::nullopt;
    if (!pem) {
        *error = "the key could not be made";
        return std::nullopt;
    }
    if (!EnsurePrivateDirectory(file.parent_path().parent_path(), error) ||
        !EnsurePrivateDirectory(file.parent_path(), error)) {
        return std::nullopt;
    }
    // A new file: the store's atomic write makes it with mode 0600.
    if (!profile::ReplaceFileAtomically(file.string(), *pem, nullptr)) {
        *error = "cannot write " + file.string();
        return std::nullopt;
    }
    if (!ProfileSetString("DomainInfo", domain + "_DkimSelector", selector, ".cfg")) {
        *error = ProfileLastWriteError();
        return std::nullopt;
    }
    return selector;
}

std::optional<std::string> DkimRecordFor(const std::string& keyFile, std::string* error) {
    std::ifstream in(keyFile, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    std::string pem = text.str();
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), BIO_free);
    KeyPtr key(in ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr,
               EVP_PKEY_free);
    if (!key) {
        *error = "no private key in " + keyFile;
        return std::nullopt;
    }
    if (EVP_PKEY_id(key.get()) == EVP_PKEY_ED25519) {
        unsigned char raw[32];
        size_t size = sizeof raw;
        if (EVP_PKEY_get_raw_public_key(key.get(), raw, &size) != 1) {
            *error = "unreadable Ed25519 key in " + keyFile;
            return std::nullopt;
        }
        return "v=DKIM1; k=ed25519; p=" +
               EncodeBase64(std::string_view(reinterpret_cast<const char*>(raw), size));
    }
    if (EVP_PKEY_id(key.get()) != EVP_PKEY_RSA || EVP_PKEY_bits(key.get()) < 2048) {
        *error = "the key in " + keyFile + " is neither Ed25519 nor RSA of 2048 bits or more";
        return std::nullopt;
    }
    unsigned char* der = nullptr;
    int size = i2d_PUBKEY(key.get(), &der);
    if (size <= 0) {
        *error = "unreadable RSA key in " + keyFile;
        return std::nullopt;
    }
    std::string record =
        "v=DKIM1; k=rsa; p=" + EncodeBase64(std::string_view(reinterpret_cast<const char*>(der),
                                                             static_cast<size_t>(size)));
    OPENSSL_free(der);
    return record;
}

std::string SpfSuggestion(const std::vector<std::string>& addresses) {
    std::string record = "v=spf1 a mx";
    for (const std::string& address : addresses) {
        record += (address.find(':') != std::string::npos ? " ip6:" : " ip4:") + address;
    }
    return record + " -all";
}

std::string DmarcSuggestion(const std::string& domain) {
    return "v=DMARC1; p=none; rua=mailto:postmaster@" + AsciiLowerCopy(domain);
}

std::vector<std::string> MachineAddresses() {
    std::vector<std::string> addresses;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return addresses;
    }
    for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr) {
            continue;
        }
        char text[INET6_ADDRSTRLEN] = {};
        if (entry->ifa_addr->sa_family == AF_INET) {
            const in_addr& a = reinterpret_cast<sockaddr_in*>(entry->ifa_addr)->sin_addr;
            if ((ntohl(a.s_addr) >> 24) != 127) {
                inet_ntop(AF_INET, &a, text, sizeof text);
            }
        } else if (entry->ifa_addr->sa_family == AF_INET6) {
            const in6_addr& a = reinterpret_cast<sockaddr_in6*>(entry->ifa_addr)->sin6_addr;
            if (!IN6_IS_ADDR_LOOPBACK(&a) && !IN6_IS_ADDR_LINKLOCAL(&a)) {
                inet_ntop(AF_INET6, &a, text, sizeof text);
            }
        }
        if (text[0] != '\0' &&
            std::find(addresses.begin(), addresses.end(), text) == addresses.end()) {
            addresses.push_back(text);
        }
    }
    freeifaddrs(list);
    return addresses;
}

PublishedCheck CheckPublishedRecord(const std::string& name, const std::string& record,
                                    const std::string& dnsServer) {
    PublishedCheck check;
    engine::TxtAnswer answer = engine::LookupTxt(name, dnsServer);
    switch (answer.status) {
        case engine::TxtAnswer::Status::kNoEngine:
            check.outcome = PublishedCheck::Outcome::kNoEngine;
            check.text = "The record cannot be checked: " + answer.problem + ".";
            return check;
        case engine::TxtAnswer::Status::kLookupFailed:
            check.text =
                "The DNS lookup of " + name + " failed (" + answer.problem + "); try again later.";
            return check;
        case engine::TxtAnswer::Status::kNoRecord:
            check.outcome = PublishedCheck::Outcome::kMissing;
            check.text = "No TXT record is published at " + name + ".";
            return check;
        case engine::TxtAnswer::Status::kFound:
            break;
    }
    for (const std::string& published : answer.records) {
        if (WithoutBlanks(published) == WithoutBlanks(record)) {
            check.outcome = PublishedCheck::Outcome::kMatches;
            check.text = "The record published at " + name + " matches.";
            return check;
        }
    }
    check.outcome = PublishedCheck::Outcome::kDiffers;
    check.text = "The record published at " + name + " differs from the one above.";
    return check;
}
