// Stores a composed mail: the message (<name>.eml, or whatever path the caller gives), the
// companion file <name>.cfg with section MailInfo, and the body as text <name>.txt. The message
// and the body are written atomically (temporary file, flush, rename), the companion through the
// configuration store, which is atomic too. A mail that cannot be built (an unreadable attachment,
// no usable sender or recipient, a refused input) leaves no message file at that path; its
// companion says why under MailInfo/BuildError. Besides the console's keys the companion keeps
// MailInfo/Charset, the character set asked for, so that a later edit of the mail keeps it. Any
// thread; blocks on file I/O.
#pragma once

#include <string>
#include <string_view>

#include "mime/mail_draft.h"

namespace relvo::mail {

// The path beside the message path whose file name has the given extension (".cfg", ".txt") in
// place of its own; a file name without one gets it appended.
std::string SiblingPath(std::string_view messagePath, std::string_view extension);

// True when the message was stored with its companion and body; false with the reason in the
// companion (when one could be written).
bool SaveDraft(int id, const MailDraft& draft, const std::string& messagePath);

}  // namespace relvo::mail
