#include "mailtools/mail_address.h"

#include <algorithm>

#include "config/utilities.h"

namespace {

bool IsControl(char c) {
    auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7f;
}

// The address part of a trimmed text: between the first "<" and the next ">" after it, or the
// whole text when there is no "<".
std::string_view BetweenBrackets(std::string_view text) {
    const auto open = text.find('<');
    const size_t start = open == std::string_view::npos ? 0 : open + 1;
    size_t end = text.size();
    if (start + 1 < text.size()) {
        end = std::min(text.find('>', start + 1), text.size());
    }
    return TrimBlanks(text.substr(start, end - start));
}

bool IsBareAddress(std::string_view address) {
    const auto at = address.find('@');
    if (address.empty() || at == std::string_view::npos || at == 0 || at + 1 == address.size()) {
        return false;
    }
    return std::none_of(address.begin(), address.end(),
                        [](char c) { return c == '<' || c == '>' || IsControl(c); });
}

}  // namespace

std::string ExtractMailAddress(std::optional<std::string_view> text) {
    if (!text) {
        return {};
    }
    std::string_view rest = TrimBlanks(*text);
    // A lone CR or LF ends a line for an SMTP peer as well as CR LF does.
    rest = TrimBlanks(rest.substr(0, rest.find_first_of("\r\n")));
    if (const auto quote = rest.rfind('"'); quote != std::string_view::npos) {
        rest = TrimBlanks(rest.substr(quote + 1));
    }
    if (rest.empty()) {
        return {};
    }
    const std::string_view address = BetweenBrackets(rest);
    return IsBareAddress(address) ? std::string(address) : std::string();
}

std::string MailDisplayName(std::optional<std::string_view> text) {
    if (!text) {
        return {};
    }
    std::string_view rest = *text;
    const auto firstQuote = rest.find('"');
    const auto lastQuote = rest.rfind('"');
    if (firstQuote != std::string_view::npos && firstQuote != lastQuote) {
        rest = TrimBlanks(rest.substr(firstQuote + 1, lastQuote - firstQuote - 1));
        if (!rest.empty()) {
            return std::string(rest);
        }
    }
    if (const auto bracket = rest.rfind('<'); bracket != std::string_view::npos && bracket >= 1) {
        rest = TrimBlanks(rest.substr(0, bracket));
        if (!rest.empty()) {
            return std::string(rest);
        }
    }
    const std::string address = ExtractMailAddress(rest);
    return address.substr(0, address.find('@'));
}
