#include "common/owner_only_directory.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

std::string MakeOwnerOnlyDirectory(const std::string& path) {
    if (mkdir(path.c_str(), S_IRWXU) == 0) {
        // A default ACL on the parent can add to mkdir's mode; chmod takes the ACL's mask along.
        if (chmod(path.c_str(), S_IRWXU) != 0) {
            return std::strerror(errno);
        }
        return {};
    }
    if (errno != EEXIST) {
        return std::strerror(errno);
    }
    struct stat info {};
    if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        return {};
    }
    return "something that is not a directory has that name";
}
