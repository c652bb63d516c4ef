// ASCII text and case for protocol words, domains, configuration names and file extensions: never
// the locale's (the console sets one, and the engine runs inside the console). Bytes outside A-Z
// and a-z, UTF-8 among them, are left as they are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

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

// The pieces of text between separators, empty ones included ("a\t\tb" gives 3); views into text.
std::vector<std::string_view> SplitAt(std::string_view text, char separator);

namespace ascii_detail {

inline constexpr uint64_t kOnes = 0x0101010101010101ull;
inline constexpr uint64_t kHighBits = 0x8080808080808080ull;

// The eight bytes with ASCII capitals made small; each byte on its own, no carries between them.
inline uint64_t FoldWord(uint64_t word) {
    const uint64_t low = word & ~kHighBits;
    const uint64_t fromA = low + (0x80 - 'A') * kOnes;      // high bit: byte >= 'A'
    const uint64_t pastZ = low + (0x80 - 'Z' - 1) * kOnes;  // high bit: byte > 'Z'
    const uint64_t capitals = fromA & ~pastZ & ~word & kHighBits;
    return word | (capitals >> 2);
}

inline uint64_t LoadWord(const char* data) {
    uint64_t word;
    std::memcpy(&word, data, sizeof word);
    return word;
}

// All bytes of a text shorter than eight, in one word (bytes may repeat; the length tells apart).
inline uint64_t LoadShort(const char* data, size_t size) {
    if (size >= 4) {
        uint32_t first;
        uint32_t last;
        std::memcpy(&first, data, 4);
        std::memcpy(&last, data + size - 4, 4);
        return first | (uint64_t{last} << 32);
    }
    if (size == 0) {
        return 0;
    }
    return uint64_t{static_cast<unsigned char>(data[0])} |
           uint64_t{static_cast<unsigned char>(data[size / 2])} << 8 |
           uint64_t{static_cast<unsigned char>(data[size - 1])} << 16;
}

}  // namespace ascii_detail

// Compared eight bytes at a time, and inline: lookups by name are most of the cost of reading
// many values from the configuration store.
inline bool AsciiEqualNoCase(std::string_view a, std::string_view b) {
    using namespace ascii_detail;
    const size_t size = a.size();
    if (size != b.size()) {
        return false;
    }
    auto same = [](uint64_t x, uint64_t y) { return x == y || FoldWord(x) == FoldWord(y); };
    if (size < 8) {
        return same(LoadShort(a.data(), size), LoadShort(b.data(), size));
    }
    for (size_t i = 0; i + 8 < size; i += 8) {
        if (!same(LoadWord(a.data() + i), LoadWord(b.data() + i))) {
            return false;
        }
    }
    // The last eight bytes, overlapping what was compared when the size is not a multiple of 8.
    return same(LoadWord(a.data() + size - 8), LoadWord(b.data() + size - 8));
}
bool AsciiStartsNoCase(std::string_view text, std::string_view prefix);

// For unordered containers keyed without regard to ASCII case; both take string_view lookups.
struct AsciiNoCaseHash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const {
        using namespace ascii_detail;
        constexpr uint64_t kMultiplier = 0x9E3779B97F4A7C15ull;
        const size_t size = text.size();
        uint64_t hash = size * kMultiplier;
        auto mix = [&hash](uint64_t word) {
            hash = (hash ^ FoldWord(word)) * kMultiplier;
            hash ^= hash >> 32;
        };
        if (size < 8) {
            mix(LoadShort(text.data(), size));
        } else {
            for (size_t i = 0; i + 8 < size; i += 8) {
                mix(LoadWord(text.data() + i));
            }
            mix(LoadWord(text.data() + size - 8));
        }
        // Slots are picked by the low bits: let every input bit reach them.
        hash ^= hash >> 33;
        hash *= 0xFF51AFD7ED558CCDull;
        hash ^= hash >> 33;
        return static_cast<size_t>(hash);
    }
};
struct AsciiNoCaseEqual {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const { return AsciiEqualNoCase(a, b); }
};
