// Delivery into a local domain's Maildir, for a domain that has no server of its own. Blocking
// file work (each file and directory flushed): run it off the I/O threads.
#pragma once

#include <string>

namespace relvo::mail::send {

// Writes the message into mailboxDir/<domain>/<local part>/ as a Maildir (tmp, then new, each
// flushed). False with a reason on failure or for a local part that is no file name.
bool WriteMaildir(const std::string& mailboxDir, const std::string& recipient,
                  const std::string& mailFrom, const std::string& message, std::string* error);

}  // namespace relvo::mail::send
