#include "common/owner_only_directory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/file_descriptor.h"

std::string MakeOwnerOnlyDirectory(const std::string& path) {
    // Made and set through the parent's and its own open descriptors, never by path again: a
    // name swapped for a link between the two steps cannot turn the mode change elsewhere.
    const size_t slash = path.find_last_of('/');
    const std::string parent = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    FileDescriptor parentFd(open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (parentFd.Get() < 0) {
        return std::strerror(errno);
    }
    if (name.empty() || mkdirat(parentFd.Get(), name.c_str(), S_IRWXU) == 0) {
        if (name.empty()) {
            return {};  // "dir/": the parent is the directory, and it is there
        }
        FileDescriptor made(
            openat(parentFd.Get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        // A default ACL on the parent can add to mkdir's mode; fchmod takes the ACL's mask along.
        if (made.Get() < 0 || fchmod(made.Get(), S_IRWXU) != 0) {
            return std::strerror(errno);
        }
        return {};
    }
    if (errno != EEXIST) {
        return std::strerror(errno);
    }
    struct stat info {};
    if (fstatat(parentFd.Get(), name.c_str(), &info, 0) == 0 && S_ISDIR(info.st_mode)) {
        return {};
    }
    return "something that is not a directory has that name";
}

std::string RestrictDirectoryToOwner(const std::string& path) {
    FileDescriptor dir(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (dir.Get() < 0 || fchmod(dir.Get(), S_IRWXU) != 0) {
        return std::strerror(errno);
    }
    return {};
}
