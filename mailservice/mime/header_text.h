// Header values in their written form (what follows "Name:", lines joined by "\n" + blank, ending
// in "\n"), folded so that no line passes 78 characters where the text allows it. Non-ASCII text
// becomes RFC 2047 encoded words in UTF-8, each at most 75 characters and holding whole
// characters only; file names become RFC 2231 parameters split between characters. Written here
// because GMime 3.2 makes longer words and splits parameters inside a character. Pure; any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "mime/message_composer.h"

namespace relvo::mail {

// Unstructured text such as a subject; nameLength is the header name's length.
std::string FormatUnstructured(std::string_view text, size_t nameLength);

// Mailboxes, one a line: a display name (quoted, or encoded words) and the address in angle
// brackets.
std::string FormatMailboxes(const std::vector<Mailbox>& mailboxes, size_t nameLength);

// "<value>; <parameter>=..." for Content-Type and Content-Disposition with a file name.
std::string FormatWithFileName(std::string_view value, std::string_view parameter,
                               std::string_view fileName);

// The encoded words of a UTF-8 text: the first at most firstWidth characters long (but room for
// at least 28), the others at most 75. A phrase (a display name) is split next to blanks where
// it can.
std::vector<std::string> EncodedWords(std::string_view text, size_t firstWidth,
                                      bool phrase = false);

}  // namespace relvo::mail
