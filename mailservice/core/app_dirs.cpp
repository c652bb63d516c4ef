#include "core/app_dirs.h"

#include "common/app_paths.h"
#include "common/owner_only_directory.h"

namespace relvo::mail {

std::string AppDir() {
    return ApplicationDirectory();
}
std::string QueueDir() {
    return AppDir() + "/queue";
}
std::string LogDir() {
    return AppDir() + "/log";
}
std::string OldDir() {
    return AppDir() + "/old";
}
std::string QuarantineDir() {
    return AppDir() + "/quarantine";
}
std::string MailDir() {
    return AppDir() + "/mail";
}
std::string MailboxDir() {
    return AppDir() + "/mailbox";
}
std::string HelpDir() {
    return AppDir() + "/help";
}
std::string MainConfigPath() {
    return AppDir() + "/relvoconsole.cfg";
}

bool EnsureWorkingDirectories(std::string* error) {
    for (const std::string& dir : {MailDir(), LogDir(), OldDir(), QueueDir()}) {
        if (std::string problem = MakeOwnerOnlyDirectory(dir); !problem.empty()) {
            if (error) {
                *error = "Cannot create the directory " + dir + ": " + problem;
            }
            return false;
        }
    }
    return true;
}

}  // namespace relvo::mail
