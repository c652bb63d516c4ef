#include "app/startup_checks.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

#include "common/owner_only_directory.h"

std::string FileReadProblem(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return errno == ENOENT ? std::string() : std::strerror(errno);
    }
    // Opening succeeds for a directory; reading says what is wrong with it.
    char byte;
    const std::string problem = read(fd, &byte, 1) < 0 ? std::strerror(errno) : "";
    close(fd);
    return problem;
}

std::string WorkingDirectoryProblem(const std::string& path) {
    return MakeOwnerOnlyDirectory(path);
}
