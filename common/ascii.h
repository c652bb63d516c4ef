// ASCII text and case for protocol words, domains, configuration names and file extensions: never
// the locale's (the console sets one, and the engine runs inside the console). Bytes outside A-Z
// and a-z, UTF-8 among them, are left as they are.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// No byte of 0x80 or above: what SMTP without SMTPUTF8 or 8BITMIME may carry.
bool IsAsciiText(std::string_view text);

inline bool IsAsciiAlnum(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

inline char AsciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
}
inline char AsciiUpper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - ('a' - 'A')) : c;
}
std::string AsciiLowerCopy(std::string_view text);
std::string AsciiUpperCopy(std::string_view text);

// Compared eight bytes at a time: lookups by name are most of the cost of reading many values
// from the configuration store.
bool AsciiEqualNoCase(std::string_view a, std::string_view b);
bool AsciiStartsNoCase(std::string_view text, std::string_view prefix);

// For unordered containers keyed without regard to ASCII case; both take string_view lookups.
struct AsciiNoCaseHash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const;
};
struct AsciiNoCaseEqual {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const { return AsciiEqualNoCase(a, b); }
};
