#include "tables/account_file.h"

#include <QIODevice>
#include <QSaveFile>
#include <QString>
#include <algorithm>
#include <cstdint>

#include "common/profile_store.h"
#include "common/utilities.h"

namespace {

// Code points of 0x80-0x9F in Windows-1252; the undefined five keep their own value.
constexpr char16_t kWindows1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

bool IsFieldBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

// Index of the first character at or after i that is not a blank between fields.
size_t SkipBlanks(std::string_view text, size_t i) {
    while (i < text.size() && IsFieldBlank(text[i])) {
        ++i;
    }
    return i;
}

// Whether the quote at i closes its field: only blanks follow it before a comma or the end.
bool ClosesField(std::string_view text, size_t i) {
    const size_t next = SkipBlanks(text, i + 1);
    return next == text.size() || text[next] == ',';
}

// A quoted field from its opening quote at i; `end` receives where the field's text stops. Two
// quotes in a row stand for one; a lone quote that does not close the field is kept, as files of
// older versions hold such quotes undoubled.
std::string QuotedField(std::string_view text, size_t i, size_t& end) {
    std::string field;
    for (++i; i < text.size(); ++i) {
        if (text[i] != '"') {
            field += text[i];
        } else if (i + 1 < text.size() && text[i + 1] == '"') {
            field += '"';
            ++i;
        } else if (ClosesField(text, i)) {
            end = SkipBlanks(text, i + 1);
            return field;
        } else {
            field += '"';
        }
    }
    end = text.size();  // never closed: the rest of the line is the value
    return field;
}

// Like atoi: blanks, an optional sign, digits; only whether the number is above 0 matters, so a
// long run of digits cannot overflow.
bool LeadingNumberIsPositive(std::string_view text) {
    size_t i = text.find_first_not_of(" \t\r\n\v\f");
    if (i == std::string_view::npos) {
        return false;
    }
    bool negative = false;
    if (text[i] == '+' || text[i] == '-') {
        negative = text[i] == '-';
        ++i;
    }
    bool nonZero = false;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        nonZero = nonZero || text[i] != '0';
    }
    return nonZero && !negative;
}

bool HasControlCharacter(std::string_view text) {
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<uint8_t>(text[i]);
        if (c < 0x20 || c == 0x7F) {
            return true;
        }
        // C1 controls, U+0080-U+009F, are C2 80-C2 9F in UTF-8.
        if (c == 0xC2 && i + 1 < text.size() && static_cast<uint8_t>(text[i + 1]) <= 0x9F &&
            static_cast<uint8_t>(text[i + 1]) >= 0x80) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::string Windows1252ToUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() * 2);
    for (char c : bytes) {
        const auto byte = static_cast<uint8_t>(c);
        if (byte >= 0x80 && byte <= 0x9F) {
            AppendUtf8(out, kWindows1252High[byte - 0x80]);
        } else {
            AppendUtf8(out, byte);  // the rest is Latin-1
        }
    }
    return out;
}

std::string DecodeAccountLine(std::string_view bytes) {
    return IsValidUtf8(bytes) ? std::string(bytes) : Windows1252ToUtf8(bytes);
}

std::vector<std::string> SplitAccountFields(std::string_view text) {
    std::vector<std::string> fields;
    size_t i = SkipBlanks(text, 0);
    if (i == text.size()) {
        return fields;
    }
    for (;;) {
        i = SkipBlanks(text, i);
        size_t end = i;
        if (i < text.size() && text[i] == '"') {
            fields.push_back(QuotedField(text, i, end));
        } else {
            end = std::min(text.find(',', i), text.size());
            size_t last = end;
            while (last > i && IsFieldBlank(text[last - 1])) {
                --last;
            }
            fields.emplace_back(text.substr(i, last - i));
        }
        if (end >= text.size()) {
            return fields;
        }
        i = end + 1;  // past the comma
    }
}

std::optional<AccountLine> ParseAccountLine(std::string_view text) {
    const std::vector<std::string> fields = SplitAccountFields(text);
    if (fields.size() < 2) {
        return std::nullopt;
    }
    AccountLine line;
    line.name = fields[0];
    line.password = fields[1];
    if (fields.size() > 2) {
        line.description = fields[2];
    }
    if (fields.size() > 3) {
        line.enabled = LeadingNumberIsPositive(fields[3]) ? 1 : 0;
    }
    return line;
}

std::string QuoteAccountValue(std::string_view value) {
    std::string quoted;
    quoted.reserve(value.size() + 2);
    quoted += '"';
    for (char c : value) {
        quoted += c;
        if (c == '"') {
            quoted += '"';
        }
    }
    quoted += '"';
    return quoted;
}

std::string FormatAccountLine(const AccountRecord& account) {
    static constexpr std::string_view kSeparator = ", \t";
    std::string line;
    line.reserve(account.name.size() + account.password.size() + account.description.size() + 32);
    line += QuoteAccountValue(account.name);
    line += kSeparator;
    line += QuoteAccountValue(account.password);
    line += kSeparator;
    line += QuoteAccountValue(account.description);
    line += kSeparator;
    line += QuoteAccountValue(std::to_string(account.enabled));
    line += "\r\n";
    return line;
}

bool IsStorableAccountName(std::string_view name) {
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    if (name.empty() || blank(name.front()) || blank(name.back()) || HasControlCharacter(name) ||
        name.find('=') != std::string_view::npos || name.front() == ';' || name.front() == '[') {
        return false;
    }
    return IsStorableKey(name) && IsStorableKey(std::string(name) + "_Password");
}

bool AccountFileReader::Next(std::string& line) {
    if (device_.atEnd()) {
        return false;
    }
    const QByteArray bytes = device_.readLine();
    if (bytes.isEmpty()) {
        return false;  // nothing more could be read
    }
    std::string_view text(bytes.constData(), static_cast<size_t>(bytes.size()));
    if (first_ && text.starts_with("\xEF\xBB\xBF")) {
        text.remove_prefix(3);
    }
    first_ = false;
    if (text.ends_with('\n')) {
        text.remove_suffix(1);
    }
    line.assign(text);
    return true;
}

AccountFileResult WriteAccountFile(const QString& path,
                                   const std::vector<AccountRecord>& accounts) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        return {false, file.errorString().toStdString()};
    }
    // Every password is in it: readable by its owner only, whatever the umask or an earlier file
    // allowed. Set before any byte is written.
    if (!file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
        file.cancelWriting();
        return {false, file.errorString().toStdString()};
    }
    std::string chunk;
    for (const AccountRecord& account : accounts) {
        chunk += FormatAccountLine(account);
        // Written in pieces of about 64 KiB: few system calls, little memory.
        if (chunk.size() >= 65536) {
            if (file.write(chunk.data(), static_cast<qint64>(chunk.size())) !=
                static_cast<qint64>(chunk.size())) {
                return {false, file.errorString().toStdString()};
            }
            chunk.clear();
        }
    }
    if (!chunk.empty() && file.write(chunk.data(), static_cast<qint64>(chunk.size())) !=
                              static_cast<qint64>(chunk.size())) {
        return {false, file.errorString().toStdString()};
    }
    if (!file.commit()) {
        return {false, file.errorString().toStdString()};
    }
    return {true, {}};
}
