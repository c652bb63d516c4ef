// Base64 (RFC 4648, the standard alphabet) for AUTH exchanges, MIME encoded words, DKIM
// signatures and key records. Pure code; any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// Strict base64 (padding required, no blanks); nullopt when the text is not base64.
std::optional<std::string> DecodeBase64(std::string_view text);
std::string EncodeBase64(std::string_view bytes);
