// The two address rules shared by the compose and diagnose dialogs (and the engine's tests):
// the bare address inside a sender or recipient text, and the display name of such a text. Pure
// functions over UTF-8 text; no Qt, any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// The bare address of `"Name" <a@b.c>`, `Name <a@b.c>` or `a@b.c`, or "" when there is none.
// Only the text before the first line break counts, so a second line can never reach an SMTP
// command; a result holding angle brackets or control characters is no address either.
std::string ExtractMailAddress(std::optional<std::string_view> text);

// The display name of such a text: the quoted name, else the text before the last "<", else the
// local part of its address; "" when none of them is there.
std::string MailDisplayName(std::optional<std::string_view> text);
