// Mail addresses, one set of rules for the console's dialogs, the SMTP parser, routing and the
// mail builder:
// - the texts people type: the bare address and the display name in `"Name" <a@b.c>`,
//   `Name <a@b.c>` or `a@b.c`, and the entries of a recipients text;
// - what may go into an envelope and a header as it is;
// - the grammar of RFC 5321 for the paths a client sends, and a mailbox's two halves.
// Pure functions over UTF-8 text; no Qt, any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Length limits of RFC 5321 4.5.3.1.
inline constexpr size_t kMaxLocalPart = 64;
inline constexpr size_t kMaxDomain = 255;
inline constexpr size_t kMaxPath = 256;

// The bare address of `"Name" <a@b.c>`, `Name <a@b.c>` or `a@b.c`, or "" when there is none (or
// no text). Only the text before the first line break (outside a quoted name) counts, so a second
// line can never reach an SMTP command; a result holding angle brackets or control characters is
// no address either.
std::string ExtractMailAddress(std::optional<std::string_view> text);

// The address of a text that must stay one line, as a header's mailbox does: "" when a line
// break outside a quoted display name would start a second line (such a text is refused, not cut).
std::string ExtractOneLineMailAddress(std::string_view text);

// The display name the text gives explicitly (between its first and last double quote, else
// before its last '<'); "" when it gives none.
std::string ExplicitDisplayName(std::string_view text);

// The name to show for such a text: the explicit display name, else the local part of its
// address; "" when neither is there.
std::string MailDisplayName(std::optional<std::string_view> text);

// The entries of a recipients text, split at ',' and ';' outside quotes and angle brackets,
// trimmed; empty entries are dropped.
std::vector<std::string> SplitRecipientList(std::string_view text);

// Whether the address is one mailbox that can be written into an envelope and a header as it
// is: one '@' with a local part of at most 64 and a domain of at most 253 bytes, valid UTF-8,
// no blank, control character or separator that would end the address early.
bool IsUsableMailAddress(std::string_view address);

// A mailbox of RFC 5321 (local-part "@" domain, local part dot-atom or quoted string, domain
// names or an address literal); bytes of 0x80 and above are accepted as UTF-8 for SMTPUTF8.
bool IsValidMailbox(std::string_view mailbox);
bool IsValidLocalPart(std::string_view local);
bool IsValidDomain(std::string_view domain);

// The domain of a mailbox (after its last '@'), "" when it has none.
std::string_view MailboxDomain(std::string_view mailbox);
// The local part of a mailbox (before its last '@'), the whole text when it has no '@'.
std::string_view MailboxLocalPart(std::string_view mailbox);
