#include "common/mail_address.h"

#include <algorithm>
#include <cstring>

#include "common/ascii.h"
#include "common/utilities.h"

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

// atext of RFC 5322, widened by UTF-8 bytes for SMTPUTF8.
bool IsAtext(unsigned char c) {
    return IsAsciiAlnum(c) || c >= 0x80 || std::strchr("!#$%&'*+-/=?^_`{|}~", c) != nullptr;
}

// The text between the first and the last double quote, or before the last '<' when it does not
// start the text: the name a text gives explicitly, or none.
std::optional<std::string_view> ExplicitNamePart(std::string_view text) {
    const size_t firstQuote = text.find('"');
    const size_t lastQuote = text.rfind('"');
    if (firstQuote != std::string_view::npos && firstQuote != lastQuote) {
        return TrimBlanks(text.substr(firstQuote + 1, lastQuote - firstQuote - 1));
    }
    const size_t open = text.rfind('<');
    if (open != std::string_view::npos && open >= 1) {
        return TrimBlanks(text.substr(0, open));
    }
    return std::nullopt;
}

// The text up to its first line break; a break inside a closed pair of double quotes belongs to
// a display name and does not end the line.
std::string_view FirstLine(std::string_view text) {
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '"') {
            if (const size_t close = text.find('"', i + 1); close != std::string_view::npos) {
                i = close;
            }
        } else if (text[i] == '\r' || text[i] == '\n') {
            return text.substr(0, i);
        }
    }
    return text;
}

}  // namespace

std::string ExtractMailAddress(std::optional<std::string_view> text) {
    if (!text) {
        return {};
    }
    std::string_view rest = TrimBlanks(*text);
    // A lone CR or LF ends a line for an SMTP peer as well as CR LF does.
    rest = TrimBlanks(FirstLine(rest));
    if (const auto quote = rest.rfind('"'); quote != std::string_view::npos) {
        rest = TrimBlanks(rest.substr(quote + 1));
    }
    if (rest.empty()) {
        return {};
    }
    const std::string_view address = BetweenBrackets(rest);
    return IsBareAddress(address) ? std::string(address) : std::string();
}

std::string ExtractOneLineMailAddress(std::string_view text) {
    const std::string_view trimmed = TrimBlanks(text);
    return FirstLine(trimmed).size() == trimmed.size() ? ExtractMailAddress(trimmed)
                                                       : std::string();
}

std::string ExplicitDisplayName(std::string_view text) {
    return std::string(ExplicitNamePart(text).value_or(std::string_view()));
}

std::string MailDisplayName(std::optional<std::string_view> text) {
    if (!text) {
        return {};
    }
    if (const auto name = ExplicitNamePart(*text)) {
        return std::string(*name);
    }
    const std::string address = ExtractMailAddress(*text);
    return address.substr(0, address.find('@'));
}

std::vector<std::string> SplitRecipientList(std::string_view text) {
    std::vector<std::string> entries;
    bool inQuotes = false;
    bool inAngles = false;
    size_t start = 0;
    auto take = [&](size_t end) {
        const std::string_view entry = TrimBlanks(text.substr(start, end - start));
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
    if (local.empty() || local.size() > kMaxLocalPart || domain.empty() || domain.size() > 253 ||
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

bool IsValidLocalPart(std::string_view local) {
    if (local.empty() || local.size() > kMaxLocalPart) {
        return false;
    }
    if (local.front() == '"') {
        if (local.size() < 2 || local.back() != '"') {
            return false;
        }
        for (size_t i = 1; i + 1 < local.size(); ++i) {
            auto c = static_cast<unsigned char>(local[i]);
            if (c == '\\') {
                ++i;
                if (i + 1 >= local.size()) {
                    return false;
                }
                auto escaped = static_cast<unsigned char>(local[i]);
                if (escaped < 32 || escaped == 127) {
                    return false;
                }
            } else if (c == '"' || c < 32 || c == 127) {
                return false;
            }
        }
        return true;
    }
    bool atomStart = true;
    for (unsigned char c : local) {
        if (c == '.') {
            if (atomStart) {
                return false;
            }
            atomStart = true;
        } else if (IsAtext(c)) {
            atomStart = false;
        } else {
            return false;
        }
    }
    return !atomStart;
}

bool IsValidDomain(std::string_view domain) {
    if (domain.empty() || domain.size() > kMaxDomain) {
        return false;
    }
    if (domain.front() == '[') {
        if (domain.size() < 3 || domain.back() != ']') {
            return false;
        }
        for (unsigned char c : domain.substr(1, domain.size() - 2)) {
            if (c < 33 || c > 126 || c == '[' || c == ']' || c == '\\') {
                return false;
            }
        }
        return true;
    }
    size_t labelLength = 0;
    for (unsigned char c : domain) {
        if (c == '.') {
            if (labelLength == 0) {
                return false;
            }
            labelLength = 0;
        } else if (IsAsciiAlnum(c) || c == '-' || c >= 0x80) {
            if (++labelLength > 63) {
                return false;
            }
        } else {
            return false;
        }
    }
    return labelLength > 0;
}

bool IsValidMailbox(std::string_view mailbox) {
    if (mailbox.size() + 2 > kMaxPath) {
        return false;
    }
    size_t at = mailbox.rfind('@');
    if (at == std::string_view::npos) {
        return false;
    }
    return IsValidLocalPart(mailbox.substr(0, at)) && IsValidDomain(mailbox.substr(at + 1));
}

std::string_view MailboxDomain(std::string_view mailbox) {
    size_t at = mailbox.rfind('@');
    return at == std::string_view::npos ? std::string_view() : mailbox.substr(at + 1);
}

std::string_view MailboxLocalPart(std::string_view mailbox) {
    const size_t at = mailbox.rfind('@');
    return at == std::string_view::npos ? mailbox : mailbox.substr(0, at);
}
