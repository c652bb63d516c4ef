// The queue view's copy of a mail for the diagnose dialog. No Qt.
#pragma once

#include <cstdint>
#include <string>

// Copies a queued or finished mail into the mail directory as queued-<id>.eml, with a companion
// of its own (sender and first recipient, MailId=0), so the diagnose dialog can send it without
// touching the queue's files. False with a reason when the mail cannot be read or written.
bool CopyForDiagnose(const std::string& dir, uint32_t id, std::string* copyPath,
                     std::string* error);
