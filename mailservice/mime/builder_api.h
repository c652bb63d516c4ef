// The mail builder behind the engine's C entry points RelvoMail_CreateMail .. RelvoMail_SaveMailAs.
// Texts are UTF-8 and need only live for the call. Every function returns non-zero when it did
// what was asked; a refused input also makes the mail's save fail, with the reason in the
// companion file, so nothing the caller gave is left out silently. Any thread.
#pragma once

namespace relvo::mail {

// A new mail whose body should use the character set named by charset ("iso-2022-jp", or the
// compose dialog's "Japanese (iso-2022-jp)"; empty: UTF-8). Its id, unique within the
// application directory across processes and restarts; 0 when the set is unknown, no id could be
// reserved or too many mails are in progress.
int BuilderCreateMail(const char* charset);

// The sender text as composed, such as `"Name" <user@example.com>` (replaces an earlier one).
int BuilderSetFrom(int id, const char* sender);

// Adds recipients: addresses separated by ',' or ';', each bare or with a display name.
int BuilderAddRecipients(int id, const char* recipients);

int BuilderSetSubject(int id, const char* subject);
int BuilderSetMailBody(int id, const char* body);

// Adds a file to attach; it is read when the mail is saved.
int BuilderAttachFile(int id, const char* path);

// Writes the message to path (an absolute path), the companion file and the body file beside it.
int BuilderSaveMailAs(int id, const char* path);

}  // namespace relvo::mail
