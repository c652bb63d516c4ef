#include "policy/from_field.h"

namespace relvo::mail::policy {
namespace {

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

// One mailbox's text, comments already taken out: the address in angle brackets if there are any,
// else the whole; its domain is what follows the last '@' outside quotes.
std::string DomainOf(std::string_view mailbox, const std::vector<bool>& quoted) {
    size_t begin = 0;
    size_t end = mailbox.size();
    for (size_t i = 0; i < mailbox.size(); ++i) {
        if (!quoted[i] && mailbox[i] == '<') {
            begin = i + 1;
            const size_t close = mailbox.find('>', begin);
            end = close == std::string_view::npos ? mailbox.size() : close;
            break;
        }
    }
    size_t at = std::string_view::npos;
    for (size_t i = begin; i < end; ++i) {
        if (!quoted[i] && mailbox[i] == '@') {
            at = i;
        }
    }
    return at == std::string_view::npos ? std::string()
                                        : std::string(Trim(mailbox.substr(at + 1, end - at - 1)));
}

}  // namespace

std::vector<std::string> FromDomains(const std::vector<std::string_view>& fieldValues) {
    std::vector<std::string> domains;
    for (std::string_view value : fieldValues) {
        // The mailbox being read, without comments and line breaks, and which of its bytes were
        // inside a quoted string (there '@', '<' and ',' mean nothing).
        std::string mailbox;
        std::vector<bool> quoted;
        bool inQuotes = false;
        int commentDepth = 0;
        auto finish = [&] {
            if (!Trim(mailbox).empty() && domains.size() < kMaxFromMailboxes) {
                domains.push_back(DomainOf(mailbox, quoted));
            }
            mailbox.clear();
            quoted.clear();
        };
        for (size_t i = 0; i < value.size(); ++i) {
            const char c = value[i];
            if (c == '\r' || c == '\n') {
                continue;
            }
            if (c == '\\' && (inQuotes || commentDepth > 0) && i + 1 < value.size()) {
                if (inQuotes) {
                    mailbox += value[i + 1];
                    quoted.push_back(true);
                }
                ++i;
            } else if (commentDepth > 0) {
                commentDepth += c == '(' ? 1 : c == ')' ? -1 : 0;
            } else if (c == '"') {
                inQuotes = !inQuotes;
            } else if (inQuotes) {
                mailbox += c;
                quoted.push_back(true);
            } else if (c == '(') {
                commentDepth = 1;
            } else if (c == ',' || c == ';') {
                finish();
            } else if (c == ':' && mailbox.find('<') == std::string::npos) {
                // A group's display name ("team: a@x, b@y;"): what follows are its mailboxes.
                mailbox.clear();
                quoted.clear();
            } else {
                mailbox += c;
                quoted.push_back(false);
            }
        }
        finish();
    }
    return domains;
}

}  // namespace relvo::mail::policy
