#include "smtp/command_parser.h"

#include <cstring>

namespace relvo::mail::smtp {
namespace {

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (Lower(a[i]) != Lower(b[i])) {
            return false;
        }
    }
    return true;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

bool IsAlnum(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// atext of RFC 5322, widened by UTF-8 bytes for SMTPUTF8.
bool IsAtext(unsigned char c) {
    return IsAlnum(c) || c >= 0x80 || std::strchr("!#$%&'*+-/=?^_`{|}~", c) != nullptr;
}

std::string_view TrimSpaces(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

// Splits off the first blank-separated word of text.
std::string_view NextWord(std::string_view* text) {
    *text = TrimSpaces(*text);
    size_t end = text->find_first_of(" \t");
    std::string_view word = text->substr(0, end);
    text->remove_prefix(end == std::string_view::npos ? text->size() : end);
    return word;
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
        } else if (IsAlnum(c) || c == '-' || c >= 0x80) {
            if (++labelLength > 63) {
                return false;
            }
        } else {
            return false;
        }
    }
    return labelLength > 0;
}

// Parses "<[route:]mailbox>" at the start of text; sets address and leaves text after the '>'.
// The null path "<>" is allowed only when allowNull.
bool ParsePath(std::string_view* text, bool allowNull, std::string_view* address) {
    std::string_view rest = *text;
    if (rest.empty() || rest.front() != '<') {
        return false;
    }
    rest.remove_prefix(1);
    // A source route is accepted and ignored (RFC 5321 4.1.1.3).
    if (!rest.empty() && rest.front() == '@') {
        size_t colon = rest.find(':');
        size_t close = rest.find('>');
        if (colon == std::string_view::npos || colon > close) {
            return false;
        }
        rest.remove_prefix(colon + 1);
    }
    // The closing '>' is the first one outside a quoted local part.
    bool quoted = false;
    size_t end = 0;
    for (; end < rest.size(); ++end) {
        char c = rest[end];
        if (quoted && c == '\\') {
            ++end;
        } else if (c == '"') {
            quoted = !quoted;
        } else if (c == '>' && !quoted) {
            break;
        }
    }
    if (end >= rest.size()) {
        return false;
    }
    std::string_view mailbox = rest.substr(0, end);
    if (mailbox.empty() ? !allowNull : !IsValidMailbox(mailbox)) {
        return false;
    }
    *address = mailbox;
    text->remove_prefix(static_cast<size_t>(rest.data() - text->data()) + end + 1);
    return true;
}

bool ParseDecimal(std::string_view digits, uint64_t* value) {
    if (digits.empty() || digits.size() > 20) {
        return false;
    }
    uint64_t result = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') {
            return false;
        }
        uint64_t digit = static_cast<uint64_t>(c - '0');
        if (result > (UINT64_MAX - digit) / 10) {
            return false;
        }
        result = result * 10 + digit;
    }
    *value = result;
    return true;
}

bool IsValidParameter(std::string_view keyword, std::string_view value, bool hasValue) {
    if (keyword.empty() || !IsAlnum(static_cast<unsigned char>(keyword.front()))) {
        return false;
    }
    for (unsigned char c : keyword) {
        if (!IsAlnum(c) && c != '-') {
            return false;
        }
    }
    if (hasValue && value.empty()) {
        return false;
    }
    for (unsigned char c : value) {
        if (c < 33 || c > 126 || c == '=') {
            return false;
        }
    }
    return true;
}

void ParseMailParameters(std::string_view params, Command* command) {
    while (true) {
        std::string_view param = NextWord(&params);
        if (param.empty()) {
            return;
        }
        size_t equals = param.find('=');
        bool hasValue = equals != std::string_view::npos;
        std::string_view keyword = param.substr(0, equals);
        std::string_view value = hasValue ? param.substr(equals + 1) : std::string_view();
        if (!IsValidParameter(keyword, value, hasValue)) {
            command->error = CommandError::kSyntax;
            return;
        }
        if (EqualsNoCase(keyword, "SIZE")) {
            if (!hasValue || !ParseDecimal(value, &command->size)) {
                command->error = CommandError::kBadParameterValue;
                return;
            }
            command->hasSize = true;
        } else if (EqualsNoCase(keyword, "BODY")) {
            if (EqualsNoCase(value, "7BIT")) {
                command->body = BodyType::k7Bit;
            } else if (EqualsNoCase(value, "8BITMIME")) {
                command->body = BodyType::k8BitMime;
            } else {
                command->error = CommandError::kBadParameterValue;
                return;
            }
        } else if (EqualsNoCase(keyword, "SMTPUTF8")) {
            if (hasValue) {
                command->error = CommandError::kBadParameterValue;
                return;
            }
            command->smtpUtf8 = true;
        } else if (EqualsNoCase(keyword, "AUTH")) {
            // RFC 4954 lets clients name the original submitter; it carries nothing we use.
        } else {
            command->error = CommandError::kUnknownParameter;
            return;
        }
    }
}

// "FROM:" / "TO:" followed by a path and, for MAIL, parameters.
void ParseMailOrRcpt(std::string_view rest, Command* command) {
    bool isMail = command->verb == Verb::kMail;
    std::string_view keyword = isMail ? "FROM:" : "TO:";
    rest = TrimSpaces(rest);
    if (!StartsWithNoCase(rest, keyword)) {
        command->error = CommandError::kSyntax;
        return;
    }
    rest.remove_prefix(keyword.size());
    // Many clients put a blank after the colon; RFC 5321 does not, but it harms nothing.
    rest = TrimSpaces(rest);
    if (rest.empty() || rest.front() != '<') {
        command->error = CommandError::kSyntax;
        return;
    }
    if (!ParsePath(&rest, isMail, &command->address)) {
        command->error = CommandError::kBadAddress;
        return;
    }
    if (!rest.empty() && rest.front() != ' ' && rest.front() != '\t') {
        command->error = CommandError::kSyntax;
        return;
    }
    if (isMail) {
        ParseMailParameters(rest, command);
    } else if (!TrimSpaces(rest).empty()) {
        // No RCPT extension (such as DSN) is offered.
        command->error = CommandError::kUnknownParameter;
    }
}

struct VerbName {
    std::string_view name;
    Verb verb;
};

constexpr VerbName kVerbs[] = {
    {"HELO", Verb::kHelo}, {"EHLO", Verb::kEhlo},         {"MAIL", Verb::kMail},
    {"RCPT", Verb::kRcpt}, {"DATA", Verb::kData},         {"RSET", Verb::kRset},
    {"NOOP", Verb::kNoop}, {"QUIT", Verb::kQuit},         {"VRFY", Verb::kVrfy},
    {"HELP", Verb::kHelp}, {"STARTTLS", Verb::kStartTls}, {"AUTH", Verb::kAuth},
};

}  // namespace

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

size_t FindLineEnd(std::string_view buffer, size_t* lineEndLength) {
    const void* found = std::memchr(buffer.data(), '\n', buffer.size());
    if (found == nullptr) {
        return std::string_view::npos;
    }
    size_t lf = static_cast<size_t>(static_cast<const char*>(found) - buffer.data());
    if (lf > 0 && buffer[lf - 1] == '\r') {
        *lineEndLength = 2;
        return lf - 1;
    }
    *lineEndLength = 1;
    return lf;
}

Command ParseCommand(std::string_view line) {
    Command command;
    for (unsigned char c : line) {
        if ((c < 32 && c != '\t') || c == 127) {
            command.error = CommandError::kBadCharacters;
            return command;
        }
    }
    std::string_view rest = line;
    std::string_view verb = NextWord(&rest);
    for (const VerbName& known : kVerbs) {
        if (EqualsNoCase(verb, known.name)) {
            command.verb = known.verb;
            break;
        }
    }
    rest = TrimSpaces(rest);
    switch (command.verb) {
        case Verb::kUnknown:
            command.error = CommandError::kUnknownVerb;
            break;
        case Verb::kHelo:
        case Verb::kEhlo:
            command.argument = NextWord(&rest);
            // Some clients add a comment after the name; only the name matters.
            if (command.argument.empty()) {
                command.error = CommandError::kSyntax;
            }
            break;
        case Verb::kMail:
        case Verb::kRcpt:
            ParseMailOrRcpt(rest, &command);
            break;
        case Verb::kData:
        case Verb::kRset:
        case Verb::kQuit:
        case Verb::kStartTls:
            if (!rest.empty()) {
                command.error = CommandError::kSyntax;
            }
            break;
        case Verb::kVrfy:
            command.argument = rest;
            if (rest.empty()) {
                command.error = CommandError::kSyntax;
            }
            break;
        case Verb::kNoop:
        case Verb::kHelp:
            command.argument = rest;
            break;
        case Verb::kAuth: {
            command.argument = NextWord(&rest);
            std::string_view response = NextWord(&rest);
            if (command.argument.empty() || !TrimSpaces(rest).empty()) {
                command.error = CommandError::kSyntax;
            } else if (!response.empty()) {
                command.hasInitialResponse = true;
                command.initialResponse = response;
            }
            break;
        }
    }
    return command;
}

}  // namespace relvo::mail::smtp
