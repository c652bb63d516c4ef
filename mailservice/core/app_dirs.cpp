#include "core/app_dirs.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "common/app_paths.h"

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
    struct Wanted {
        std::string path;
        mode_t mode;
    };
    // The queue holds other people's mail: owner only.
    const Wanted wanted[] = {
        {MailDir(), 0755}, {LogDir(), 0755}, {OldDir(), 0700}, {QueueDir(), 0700}};
    for (const auto& dir : wanted) {
        if (mkdir(dir.path.c_str(), dir.mode) == 0 || errno == EEXIST) {
            struct stat info {};
            if (stat(dir.path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
                continue;
            }
            errno = ENOTDIR;
        }
        if (error) {
            *error = "Cannot create the directory " + dir.path + ": " + std::strerror(errno);
        }
        return false;
    }
    return true;
}

}  // namespace relvo::mail
