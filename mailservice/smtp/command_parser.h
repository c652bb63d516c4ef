// SMTP command lines (RFC 5321 with the extensions the service offers) turned into plain values.
// Pure code: no sockets, no allocation; every view points into the line given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace relvo::mail::smtp {

enum class Verb {
    kUnknown,
    kHelo,
    kEhlo,
    kMail,
    kRcpt,
    kData,
    kRset,
    kNoop,
    kQuit,
    kVrfy,
    kHelp,
    kStartTls,
    kAuth,
};

// Why a line was refused; each maps onto one reply (see the session).
enum class CommandError {
    kNone,
    kUnknownVerb,        // 500 5.5.1
    kBadCharacters,      // 500 5.5.2: control characters or a bare CR in a command line
    kSyntax,             // 501 5.5.4: arguments missing, superfluous or malformed
    kBadAddress,         // 501 5.1.3 (RCPT) / 5.1.7 (MAIL): the path is not an address
    kUnknownParameter,   // 555 5.5.4: a MAIL/RCPT parameter we do not offer
    kBadParameterValue,  // 501 5.5.4: SIZE/BODY with a value we cannot accept
};

enum class BodyType { kUnspecified, k7Bit, k8BitMime };

struct Command {
    Verb verb = Verb::kUnknown;
    CommandError error = CommandError::kNone;
    std::string_view argument;  // HELO/EHLO domain, VRFY/HELP text, AUTH mechanism
    // MAIL and RCPT: the mailbox without angle brackets and source route ("" = null path).
    std::string_view address;
    // MAIL parameters.
    bool hasSize = false;
    uint64_t size = 0;
    BodyType body = BodyType::kUnspecified;
    bool smtpUtf8 = false;
    // AUTH: the initial response when one was given ("=" stands for an empty one).
    std::string_view initialResponse;
    bool hasInitialResponse = false;
};

// Parses one command line given without its CRLF.
Command ParseCommand(std::string_view line);

// Finds the end of the next command line in buffer: returns the length of the line without its
// line end and sets lineEndLength (2 for CRLF, 1 for a bare LF, which callers refuse); returns
// npos while no LF is in the buffer.
size_t FindLineEnd(std::string_view buffer, size_t* lineEndLength);

}  // namespace relvo::mail::smtp
