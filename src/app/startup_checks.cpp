#include "app/startup_checks.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

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
    std::error_code error;
    const auto status = std::filesystem::symlink_status(path, error);
    if (std::filesystem::exists(status)) {
        if (std::filesystem::is_directory(std::filesystem::status(path, error))) {
            return {};
        }
        return "something that is not a directory has that name";
    }
    if (!std::filesystem::create_directory(path, error) && error) {
        return error.message();
    }
    return {};
}
