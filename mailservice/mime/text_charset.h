// Character sets of composed mail: the name a caller gives (as "iso-2022-jp" or as the compose
// dialog's entry "Japanese (iso-2022-jp)"), conversion of UTF-8 text into it when every
// character fits, and the cleaning of one-line texts bound for headers. Any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace relvo::mail {

// The MIME name of the character set the text names, "utf-8" for an empty text; none when the
// name is malformed or the system cannot convert into it.
std::optional<std::string> ResolveCharsetName(std::string_view name);

// The UTF-8 text in the character set; none when a character does not fit it (or the text is
// not UTF-8).
std::optional<std::string> ConvertFromUtf8(std::string_view text, const std::string& charset);

// Line breaks made CRLF: lone LF, lone CR and CRLF each become one CRLF.
std::string WithCrlfLineBreaks(std::string_view text);

// One line: every control character (CR and LF included) becomes a blank, so that a text never
// starts a new header or profile line.
std::string OneLine(std::string_view text);

}  // namespace relvo::mail
