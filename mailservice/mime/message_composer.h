// Writes one composed mail as an RFC 5322 / MIME message with GMime: From, To, Subject, Date,
// Message-ID, MIME-Version; non-ASCII header text as RFC 2047 words in UTF-8 (header_text.h); the
// body as text/plain in the character set given; attachments in base64 with RFC 2231 file names.
// Lines end in CRLF. Any thread (GMime is used under one process-wide lock).
#pragma once

#include <string>
#include <vector>

namespace relvo::mail {

struct Mailbox {
    std::string displayName;  // "" for none
    std::string address;      // a usable address (IsUsableMailAddress)
};

struct AttachmentContent {
    std::string fileName;  // UTF-8, without directory
    std::string bytes;
};

struct MessageContent {
    Mailbox from;
    std::vector<Mailbox> to;
    std::string subject;      // one line, UTF-8
    std::string bodyCharset;  // MIME name of the set bodyBytes are in
    std::string bodyBytes;    // CRLF lines, already in bodyCharset
    std::vector<AttachmentContent> attachments;
};

std::string ComposeMessage(const MessageContent& content);

// The media type mail readers expect for a file name's extension; application/octet-stream for
// one not known.
std::string MediaTypeForFileName(const std::string& fileName);

}  // namespace relvo::mail
