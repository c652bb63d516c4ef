#include "mime/header_text.h"

#include <algorithm>
#include <cctype>

#include "common/base64.h"

namespace relvo::mail {
namespace {

constexpr size_t kLineWidth = 78;
constexpr size_t kWordWidth = 75;  // RFC 2047 §2
// Room for 12 bytes: enough for a run of whole characters that needs no padding.
constexpr size_t kNarrowestWord = 28;
constexpr std::string_view kWordStart = "=?UTF-8?B?";
constexpr std::string_view kWordEnd = "?=";

// Length of the UTF-8 character starting with this byte (1 for a stray continuation byte).
size_t CharacterLength(unsigned char lead) {
    if (lead >= 0xf0) {
        return 4;
    }
    if (lead >= 0xe0) {
        return 3;
    }
    return lead >= 0xc0 ? 2 : 1;
}

bool IsPrintableAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7f; });
}

// How many bytes from the start go into the next encoded word of the width: whole characters,
// and where it can, a multiple of three bytes, so that the word needs no '=' padding, which some
// readers (GMime 3.2) take for the end of all the words that follow. In a phrase the word also
// ends next to a blank where it can: some readers (Python's email) put a blank between the words
// of a display name.
size_t BytesForWord(std::string_view text, size_t width, bool phrase) {
    const size_t digits = width > kWordStart.size() + kWordEnd.size()
                              ? (width - kWordStart.size() - kWordEnd.size()) / 4 * 4
                              : 0;
    const size_t capacity = digits / 4 * 3;
    size_t taken = 0;
    size_t atBlank = 0;
    size_t atBlankUnpadded = 0;
    size_t unpadded = 0;
    while (taken < text.size()) {
        const size_t next =
            std::min(text.size(), taken + CharacterLength(static_cast<unsigned char>(text[taken])));
        if (next > capacity) {
            break;
        }
        taken = next;
        unpadded = taken % 3 == 0 ? taken : unpadded;
        if (!phrase || text[taken - 1] == ' ' || (taken < text.size() && text[taken] == ' ')) {
            atBlank = taken;
            atBlankUnpadded = taken % 3 == 0 ? taken : atBlankUnpadded;
        }
    }
    if (taken == 0) {
        return std::min(text.size(), CharacterLength(static_cast<unsigned char>(text[0])));
    }
    for (const size_t choice :
         {taken == text.size() ? taken : 0, atBlankUnpadded, atBlank, unpadded}) {
        if (choice > 0) {
            return choice;
        }
    }
    return taken;
}

std::string JoinFolded(const std::vector<std::string>& pieces) {
    std::string out = " ";
    for (size_t i = 0; i < pieces.size(); ++i) {
        out += (i == 0 ? "" : "\n ") + pieces[i];
    }
    return out + "\n";
}

// Plain ASCII folded at blanks; a blank that starts a continuation line stays part of the text.
std::string FoldAscii(std::string_view text, size_t firstWidth) {
    std::string out = " ";
    size_t lineLength = kLineWidth - firstWidth;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(' ', start + 1);
        end = end == std::string_view::npos ? text.size() : end;
        const std::string_view token = text.substr(start, end - start);
        if (lineLength + token.size() > kLineWidth && start > 0) {
            out += "\n";
            lineLength = 0;
        }
        out += token;
        lineLength += token.size();
        start = end;
    }
    return out + "\n";
}

// "=?" in plain text would be taken for the start of an encoded word.
bool LooksEncoded(std::string_view text) {
    return text.find("=?") != std::string_view::npos;
}

// ASCII names go in quotes, which keep every blank as written; others, and any "=?" that a reader
// might decode, go as encoded words.
std::string DisplayName(std::string_view name, size_t firstWidth) {
    if (IsPrintableAscii(name) && !LooksEncoded(name) && name.size() + 2 <= firstWidth) {
        std::string quoted = "\"";
        for (const char c : name) {
            quoted += (c == '"' || c == '\\') ? std::string{'\\', c} : std::string(1, c);
        }
        return quoted + "\"";
    }
    std::string out;
    for (const std::string& word : EncodedWords(name, firstWidth, true)) {
        out += (out.empty() ? "" : "\n ") + word;
    }
    return out;
}

std::string PercentEncoded(std::string_view bytes) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte) ||
            std::string_view("!#$&+-.^_`|~").find(c) != std::string_view::npos) {
            out += c;
        } else {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        }
    }
    return out;
}

}  // namespace

std::vector<std::string> EncodedWords(std::string_view text, size_t firstWidth, bool phrase) {
    std::vector<std::string> words;
    size_t width = std::clamp(firstWidth, kNarrowestWord, kWordWidth);
    while (!text.empty()) {
        const size_t take = BytesForWord(text, width, phrase);
        words.push_back(std::string(kWordStart) + EncodeBase64(text.substr(0, take)) +
                        std::string(kWordEnd));
        text.remove_prefix(take);
        width = kWordWidth;
    }
    return words;
}

std::string FormatUnstructured(std::string_view text, size_t nameLength) {
    const size_t firstWidth = kLineWidth - nameLength - 2;
    const size_t firstToken = std::min(text.size(), text.find(' ', 1));
    size_t longestToken = 0;
    for (size_t start = 0; start < text.size();) {
        const size_t end = std::min(text.size(), text.find(' ', start + 1));
        longestToken = std::max(longestToken, end - start);
        start = end;
    }
    // Outer blanks are not kept by readers of plain text; encoded, they are.
    const bool plain = IsPrintableAscii(text) && !LooksEncoded(text) && firstToken <= firstWidth &&
                       longestToken < kLineWidth &&
                       (text.empty() || (text.back() != ' ' && text.front() != ' '));
    return plain ? FoldAscii(text, firstWidth) : JoinFolded(EncodedWords(text, firstWidth));
}

std::string FormatMailboxes(const std::vector<Mailbox>& mailboxes, size_t nameLength) {
    std::string out = " ";
    size_t lineLength = nameLength + 2;
    for (size_t i = 0; i < mailboxes.size(); ++i) {
        const Mailbox& mailbox = mailboxes[i];
        if (!mailbox.displayName.empty()) {
            const std::string name = DisplayName(mailbox.displayName, kLineWidth - lineLength);
            out += name;
            const size_t lastBreak = name.rfind('\n');
            lineLength =
                lastBreak == std::string::npos ? lineLength + name.size() : name.size() - lastBreak;
            const bool fits = lineLength + mailbox.address.size() + 3 <= kLineWidth;
            out += fits ? " " : "\n ";
            lineLength = fits ? lineLength + 1 : 1;
        }
        out += "<" + mailbox.address + ">";
        out += i + 1 < mailboxes.size() ? ",\n " : "\n";
        lineLength = 1;
    }
    return out;
}

std::string FormatWithFileName(std::string_view value, std::string_view parameter,
                               std::string_view fileName) {
    std::string out = " " + std::string(value) + ";\n\t";
    const bool quotable = IsPrintableAscii(fileName) &&
                          fileName.find_first_of("\"\\") == std::string_view::npos &&
                          fileName.size() + parameter.size() + 4 <= kLineWidth;
    if (quotable) {
        return out + std::string(parameter) + "=\"" + std::string(fileName) + "\"\n";
    }
    // RFC 2231: numbered pieces, the first with the character set, each of whole characters.
    size_t index = 0;
    while (!fileName.empty()) {
        std::string head = std::string(parameter) + "*" + std::to_string(index) +
                           "*=" + (index == 0 ? "UTF-8''" : "");
        size_t take = 0;
        std::string encoded;
        while (take < fileName.size()) {
            const size_t length =
                std::min(fileName.size() - take,
                         CharacterLength(static_cast<unsigned char>(fileName[take])));
            const std::string piece = PercentEncoded(fileName.substr(take, length));
            if (!encoded.empty() &&
                1 + head.size() + encoded.size() + piece.size() + 1 > kLineWidth) {
                break;
            }
            encoded += piece;
            take += length;
        }
        fileName.remove_prefix(take);
        out += head + encoded + (fileName.empty() ? "\n" : ";\n\t");
        ++index;
    }
    return out;
}

}  // namespace relvo::mail
