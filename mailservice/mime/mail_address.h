// Address rules of the mail builder: the bare address and display name in a text such as
// `"Name" <user@example.com>`, the split of a recipients text into its addresses, and whether an
// address can go into an envelope and a header unchanged. Pure functions; any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace relvo::mail {

// The bare address in a text made of a quoted display name and an address in angle brackets,
// or in a bare address; "" when there is none (the console's compose rule, kept identical so
// that both sides name the same envelope address).
std::string ExtractMailAddress(std::string_view text);

// The display name the text gives explicitly (between its first and last double quote, else
// before its last '<'); "" when it gives none.
std::string ExplicitDisplayName(std::string_view text);

// The entries of a recipients text, split at ',' and ';' outside quotes and angle brackets,
// trimmed; empty entries are dropped.
std::vector<std::string> SplitRecipientList(std::string_view text);

// Whether the address is one mailbox that can be written into an envelope and a header as it
// is: one '@' with a local part of at most 64 and a domain of at most 253 bytes, valid UTF-8,
// no blank, control character or separator that would end the address early.
bool IsUsableMailAddress(std::string_view address);

// Whether the text is valid UTF-8 (no overlong forms, no surrogates).
bool IsValidUtf8(std::string_view text);

}  // namespace relvo::mail
