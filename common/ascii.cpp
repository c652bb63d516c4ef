#include "common/ascii.h"

#include <cstdint>
#include <cstring>

namespace {

constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHighBits = 0x8080808080808080ull;

// The eight bytes with ASCII capitals made small; each byte on its own, no carries between them.
uint64_t FoldWord(uint64_t word) {
    const uint64_t low = word & ~kHighBits;
    const uint64_t fromA = low + (0x80 - 'A') * kOnes;      // high bit: byte >= 'A'
    const uint64_t pastZ = low + (0x80 - 'Z' - 1) * kOnes;  // high bit: byte > 'Z'
    const uint64_t capitals = fromA & ~pastZ & ~word & kHighBits;
    return word | (capitals >> 2);
}

uint64_t LoadWord(const char* data) {
    uint64_t word;
    std::memcpy(&word, data, sizeof word);
    return word;
}

// All bytes of a text shorter than eight, in one word (bytes may repeat; the length tells apart).
uint64_t LoadShort(const char* data, size_t size) {
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

}  // namespace

bool IsAsciiText(std::string_view text) {
    for (const char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            return false;
        }
    }
    return true;
}

std::string AsciiLowerCopy(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        c = AsciiLower(c);
    }
    return lower;
}

std::string AsciiUpperCopy(std::string_view text) {
    std::string upper(text);
    for (char& c : upper) {
        c = AsciiUpper(c);
    }
    return upper;
}

bool AsciiEqualNoCase(std::string_view a, std::string_view b) {
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

bool AsciiStartsNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && AsciiEqualNoCase(text.substr(0, prefix.size()), prefix);
}

size_t AsciiNoCaseHash::operator()(std::string_view text) const {
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
