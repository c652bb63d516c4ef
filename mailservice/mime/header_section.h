// Reading a message's header section as it came: where it ends and how many Received fields it
// has. Pure; any thread.
#pragma once

#include <cstddef>
#include <string_view>

namespace relvo::mail {

// The length of the header section with its last line end: up to the first empty line (CRLF or
// bare LF), or the whole text when there is none.
size_t HeaderSectionEnd(std::string_view message);

// The number of Received header fields in the message's header section.
size_t CountReceived(std::string_view message);

}  // namespace relvo::mail
