#include "smtp/command_parser.h"

#include <cstring>

#include "common/ascii.h"
#include "common/mail_address.h"

namespace relvo::mail::smtp {
namespace {

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
    if (keyword.empty() || !IsAsciiAlnum(static_cast<unsigned char>(keyword.front()))) {
        return false;
    }
    for (unsigned char c : keyword) {
        if (!IsAsciiAlnum(c) && c != '-') {
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
        if (AsciiEqualNoCase(keyword, "SIZE")) {
            if (!hasValue || !ParseDecimal(value, &command->size)) {
                command->error = CommandError::kBadParameterValue;
                return;
            }
            command->hasSize = true;
        } else if (AsciiEqualNoCase(keyword, "BODY")) {
            if (AsciiEqualNoCase(value, "7BIT")) {
                command->body = BodyType::k7Bit;
            } else if (AsciiEqualNoCase(value, "8BITMIME")) {
                command->body = BodyType::k8BitMime;
            } else {
                command->error = CommandError::kBadParameterValue;
                return;
            }
        } else if (AsciiEqualNoCase(keyword, "SMTPUTF8")) {
            if (hasValue) {
                command->error = CommandError::kBadParameterValue;
                return;
            }
            command->smtpUtf8 = true;
        } else if (AsciiEqualNoCase(keyword, "AUTH")) {
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
    if (!AsciiStartsNoCase(rest, keyword)) {
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

Verb FindVerb(std::string_view word) {
    for (const VerbName& known : kVerbs) {
        if (AsciiEqualNoCase(word, known.name)) {
            return known.verb;
        }
    }
    return Verb::kUnknown;
}

bool HasControlCharacters(std::string_view line) {
    for (unsigned char c : line) {
        if ((c < 32 && c != '\t') || c == 127) {
            return true;
        }
    }
    return false;
}

// The mechanism and, when given, the initial response.
void ParseAuth(std::string_view rest, Command* command) {
    command->argument = NextWord(&rest);
    std::string_view response = NextWord(&rest);
    if (command->argument.empty() || !TrimSpaces(rest).empty()) {
        command->error = CommandError::kSyntax;
    } else if (!response.empty()) {
        command->hasInitialResponse = true;
        command->initialResponse = response;
    }
}

// What follows the verb, already trimmed.
void ParseArguments(std::string_view rest, Command* command) {
    switch (command->verb) {
        case Verb::kUnknown:
            command->error = CommandError::kUnknownVerb;
            break;
        case Verb::kHelo:
        case Verb::kEhlo:
            command->argument = NextWord(&rest);
            // Some clients add a comment after the name; only the name matters.
            if (command->argument.empty()) {
                command->error = CommandError::kSyntax;
            }
            break;
        case Verb::kMail:
        case Verb::kRcpt:
            ParseMailOrRcpt(rest, command);
            break;
        case Verb::kData:
        case Verb::kRset:
        case Verb::kQuit:
        case Verb::kStartTls:
            if (!rest.empty()) {
                command->error = CommandError::kSyntax;
            }
            break;
        case Verb::kVrfy:
            command->argument = rest;
            if (rest.empty()) {
                command->error = CommandError::kSyntax;
            }
            break;
        case Verb::kNoop:
        case Verb::kHelp:
            command->argument = rest;
            break;
        case Verb::kAuth:
            ParseAuth(rest, command);
            break;
    }
}

}  // namespace

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
    if (HasControlCharacters(line)) {
        command.error = CommandError::kBadCharacters;
        return command;
    }
    std::string_view rest = line;
    command.verb = FindVerb(NextWord(&rest));
    ParseArguments(TrimSpaces(rest), &command);
    return command;
}

}  // namespace relvo::mail::smtp
