#include "tables/config_read_check.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/profile_file.h"

std::optional<std::string> ConfigReadProblemReason(const std::string& path) {
    switch (profile::LoadDocument(path).status) {
        case profile::LoadStatus::kMissing:
        case profile::LoadStatus::kLoaded:
            return std::nullopt;
        case profile::LoadStatus::kNotAFile:
            return "it is not a regular file";
        case profile::LoadStatus::kTooLarge:
            return "it is larger than a configuration file may be";
        case profile::LoadStatus::kUnreadable:
            break;
    }
    // The loader says only that the file could not be read; opening it again gives the reason.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return std::strerror(errno);
    }
    close(fd);
    return "reading it failed";
}
