// The domains of a message's From field(s), as DMARC counts them: one per mailbox, in order, so
// that a caller can tell one author from none or several. Pure, any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace relvo::mail::policy {

// Mailboxes past this many are not listed: the message already has more than one author.
inline constexpr size_t kMaxFromMailboxes = 8;

// The domain of each mailbox in the values of the message's From fields (unfolded or not):
// `Name <a@example.com>`, `a@example.com (comment)`, lists and groups, with quoted strings and
// comments that may hold ',', '<' or '@'. A mailbox without '@' gives "" (no valid domain), so
// it still counts. Domains are returned as written; EvaluateDmarc checks and normalizes them.
std::vector<std::string> FromDomains(const std::vector<std::string_view>& fieldValues);

}  // namespace relvo::mail::policy
