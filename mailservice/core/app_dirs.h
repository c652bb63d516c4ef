// Directories and files of the engine under the application directory. Every call reads the
// application directory afresh, so a test or relvoserver that overrides it is followed at once.
#pragma once

#include <string>

namespace relvo::mail {

std::string AppDir();          // the application directory, no trailing '/'
std::string QueueDir();        // <app>/queue: received mail waiting for the SEND service
std::string LogDir();          // <app>/log: the daily logs
std::string OldDir();          // <app>/old: delivered and failed mail
std::string QuarantineDir();   // <app>/quarantine: queue entries that cannot be read
std::string MailDir();         // <app>/mail: mails stored by the compose dialog (never queued)
std::string MailboxDir();      // <app>/mailbox: Maildirs of local domains without a server
std::string HelpDir();         // <app>/help
std::string MainConfigPath();  // <app>/relvoconsole.cfg, the file the console edits

// Creates mail, log, old and queue (queue with mode 0700). False and a reason naming the
// directory when one cannot be made.
bool EnsureWorkingDirectories(std::string* error);

}  // namespace relvo::mail
