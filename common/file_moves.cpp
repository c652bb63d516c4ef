#include "common/file_moves.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>

bool RenameNoReplaceAt(int fromDir, const char* from, int toDir, const char* to) {
#ifdef RENAME_NOREPLACE
    if (renameat2(fromDir, from, toDir, to, RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return false;
    }
#endif
    // A file system without the flag: a second name that fails when taken, then the first goes.
    if (linkat(fromDir, from, toDir, to, 0) != 0) {
        return false;
    }
    unlinkat(fromDir, from, 0);
    return true;
}

bool RenameNoReplace(const std::string& from, const std::string& to) {
    return RenameNoReplaceAt(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str());
}
