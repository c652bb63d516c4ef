// Delivery into a local domain's Maildir, for a domain that has no server of its own. Blocking
// file work (each file and directory flushed): run it off the I/O threads.
#pragma once

#include <string>
#include <string_view>

namespace relvo::mail {
class EngineConfig;
}

namespace relvo::mail::send {

// The mailbox a local recipient is stored under: the account it names (compared without regard
// to case) in the account's own spelling; else the address in lower case.
std::string LocalMailboxName(const EngineConfig& config, std::string_view recipient);

// Writes the message into mailboxDir/<domain in lower case>/<local part>/ of mailbox as a Maildir:
// a unique name written in tmp/, flushed, linked into new/. The file starts with Return-Path and
// Delivered-To and has LF line ends, as mail readers expect of a Maildir; the queue's CRLF bytes
// are converted while they are copied. False with a reason on failure or for a local part that
// is no file name. With a folder ("Junk"), the message goes into that Maildir++ folder of the
// mailbox, <mailbox>/.<folder>/, made with the Maildir layout (and the mailbox's own) when missing.
bool WriteMaildir(const std::string& mailboxDir, const std::string& mailbox,
                  const std::string& mailFrom, const std::string& message, std::string* error,
                  const std::string& folder = "");

// The Maildir++ folder quarantined mail is stored in.
inline constexpr const char* kJunkFolder = "Junk";

// The message with every CRLF turned into LF, written to fd through a small buffer.
bool WriteWithLineFeeds(int fd, std::string_view message);

}  // namespace relvo::mail::send
