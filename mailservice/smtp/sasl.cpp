#include "smtp/sasl.h"

#include <openssl/crypto.h>
#include <openssl/sha.h>

#include <array>

#include "common/ascii.h"

namespace relvo::mail::smtp {

std::optional<PlainCredentials> ParsePlainMessage(std::string_view decoded) {
    size_t first = decoded.find('\0');
    if (first == std::string_view::npos) {
        return std::nullopt;
    }
    size_t second = decoded.find('\0', first + 1);
    if (second == std::string_view::npos ||
        decoded.find('\0', second + 1) != std::string_view::npos) {
        return std::nullopt;
    }
    std::string_view authzid = decoded.substr(0, first);
    std::string_view user = decoded.substr(first + 1, second - first - 1);
    std::string_view password = decoded.substr(second + 1);
    if (user.empty() || (!authzid.empty() && !AsciiEqualNoCase(authzid, user))) {
        return std::nullopt;
    }
    return PlainCredentials{std::string(user), std::string(password)};
}

bool PasswordsEqual(std::string_view given, std::string_view stored) {
    // Digests of equal length hide the stored password's length from the timing.
    std::array<unsigned char, SHA256_DIGEST_LENGTH> a{};
    std::array<unsigned char, SHA256_DIGEST_LENGTH> b{};
    SHA256(reinterpret_cast<const unsigned char*>(given.data()), given.size(), a.data());
    SHA256(reinterpret_cast<const unsigned char*>(stored.data()), stored.size(), b.data());
    return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace relvo::mail::smtp
