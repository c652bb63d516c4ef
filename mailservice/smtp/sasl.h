// Pieces of SMTP AUTH (RFC 4954) with the PLAIN (RFC 4616) and LOGIN mechanisms: the PLAIN
// message and the password check. Pure code.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// AUTH exchanges travel in base64: its users decode with the engine's one codec.
#include "common/base64.h"

namespace relvo::mail::smtp {

struct PlainCredentials {
    std::string user;
    std::string password;
};

// "authzid NUL authcid NUL passwd", decoded. An authorization identity other than the user
// itself is refused: nobody may act for another account.
std::optional<PlainCredentials> ParsePlainMessage(std::string_view decoded);

// Compares in time that depends on neither the contents nor the lengths of the two texts.
bool PasswordsEqual(std::string_view given, std::string_view stored);

}  // namespace relvo::mail::smtp
