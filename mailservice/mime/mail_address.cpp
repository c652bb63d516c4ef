#include "mime/mail_address.h"

#include <cstdint>

namespace relvo::mail {
namespace {

constexpr std::string_view kBlanks = " \t\r\n\v\f";

std::string_view Trim(std::string_view text) {
    const size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) {
        return {};
    }
    const size_t last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

}  // namespace

std::string ExtractMailAddress(std::string_view text) {
    text = Trim(text);
    if (const size_t lineBreak = text.find("\r\n"); lineBreak != std::string_view::npos) {
        text = text.substr(0, lineBreak);
    }
    if (const size_t quote = text.rfind('"'); quote != std::string_view::npos) {
        text = Trim(text.substr(quote + 1));
    }
    if (text.empty()) {
        return {};
    }
    const size_t open = text.find('<');
    const size_t start = open == std::string_view::npos ? 0 : open + 1;
    size_t end = text.size();
    if (start + 1 < text.size()) {
        if (const size_t close = text.find('>', start + 1); close != std::string_view::npos) {
            end = close;
        }
    }
    const std::string_view address = start < end ? Trim(text.substr(start, end - start)) : "";
    const size_t at = address.find('@');
    if (address.empty() || at == std::string_view::npos || at == 0 || at + 1 == address.size()) {
        return {};
    }
    return std::string(address);
}

std::string ExplicitDisplayName(std::string_view text) {
    const size_t firstQuote = text.find('"');
    const size_t lastQuote = text.rfind('"');
    if (firstQuote != std::string_view::npos && firstQuote != lastQuote) {
        return std::string(Trim(text.substr(firstQuote + 1, lastQuote - firstQuote - 1)));
    }
    const size_t open = text.rfind('<');
    if (open != std::string_view::npos && open >= 1) {
        return std::string(Trim(text.substr(0, open)));
    }
    return {};
}

std::vector<std::string> SplitRecipientList(std::string_view text) {
    std::vector<std::string> entries;
    bool inQuotes = false;
    bool inAngles = false;
    size_t start = 0;
    auto take = [&](size_t end) {
        const std::string_view entry = Trim(text.substr(start, end - start));
        if (!entry.empty()) {
            entries.emplace_back(entry);
        }
        start = end + 1;
    };
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"' && !inAngles) {
            inQuotes = !inQuotes;
        } else if (c == '<' && !inQuotes) {
            inAngles = true;
        } else if (c == '>' && !inQuotes) {
            inAngles = false;
        } else if ((c == ',' || c == ';') && !inQuotes && !inAngles) {
            take(i);
        }
    }
    take(text.size());
    return entries;
}

bool IsUsableMailAddress(std::string_view address) {
    const size_t at = address.find('@');
    if (at == std::string_view::npos || address.find('@', at + 1) != std::string_view::npos) {
        return false;
    }
    const std::string_view local = address.substr(0, at);
    const std::string_view domain = address.substr(at + 1);
    if (local.empty() || local.size() > 64 || domain.empty() || domain.size() > 253 ||
        domain.front() == '.' || domain.back() == '.' ||
        domain.find("..") != std::string_view::npos || !IsValidUtf8(address)) {
        return false;
    }
    for (const char c : address) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7f ||
            std::string_view("<>(),;:\"\\").find(c) != std::string_view::npos) {
            return false;
        }
    }
    return true;
}

bool IsValidUtf8(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        size_t length = 0;
        uint32_t codePoint = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if ((lead & 0xe0) == 0xc0) {
            length = 2;
            codePoint = lead & 0x1f;
        } else if ((lead & 0xf0) == 0xe0) {
            length = 3;
            codePoint = lead & 0x0f;
        } else if ((lead & 0xf8) == 0xf0) {
            length = 4;
            codePoint = lead & 0x07;
        } else {
            return false;
        }
        if (i + length > text.size()) {
            return false;
        }
        for (size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xc0) != 0x80) {
                return false;
            }
            codePoint = (codePoint << 6) | (next & 0x3f);
        }
        static constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (codePoint < kSmallest[length] || codePoint > 0x10ffff ||
            (codePoint >= 0xd800 && codePoint <= 0xdfff)) {
            return false;
        }
        i += length;
    }
    return true;
}

}  // namespace relvo::mail
