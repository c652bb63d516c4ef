#include "core/service_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/ascii.h"
#include "core/app_dirs.h"

namespace relvo::mail {

namespace {

std::string ReadSmallFile(const std::string& path, size_t limit) {
    std::string text;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return text;
    }
    text.resize(limit);
    ssize_t n = read(fd, text.data(), limit);
    close(fd);
    text.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return text;
}

// "process 1234 (relvoserver)" from the holder's record, as far as it can be told.
std::string HolderText(int fd) {
    char record[32] = {};
    ssize_t n = pread(fd, record, sizeof record - 1, 0);
    long pid = n > 0 ? std::strtol(record, nullptr, 10) : 0;
    if (pid <= 0) {
        return "another process";
    }
    std::string text = "process " + std::to_string(pid);
    std::string command = ReadSmallFile("/proc/" + std::to_string(pid) + "/comm", 64);
    while (!command.empty() && (command.back() == '\n' || command.back() == '\0')) {
        command.pop_back();
    }
    if (!command.empty()) {
        text += " (" + command + ")";
    }
    return text;
}

}  // namespace

std::unique_ptr<ServiceLock> ServiceLock::Acquire(std::string_view name, std::string* whyNot) {
    return AcquireIn(AppDir(), name, whyNot);
}

std::unique_ptr<ServiceLock> ServiceLock::AcquireIn(const std::string& directory,
                                                    std::string_view name, std::string* whyNot) {
    const std::string path = directory + "/" + std::string(name) + "service.lock";
    // Each Acquire opens the file anew: the lock belongs to this open file, so a second Acquire in
    // the same process is refused as one in another process is.
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        if (whyNot) {
            *whyNot = "Cannot open " + path + ": " + std::strerror(errno);
        }
        return nullptr;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int error = errno;
        if (whyNot) {
            if (error == EWOULDBLOCK) {
                *whyNot = "The " + AsciiUpperCopy(name) + " service of " + directory +
                          " is already running in " + HolderText(fd) + "; stop it there first.";
            } else {
                *whyNot = "Cannot lock " + path + ": " + std::strerror(error);
            }
        }
        close(fd);
        return nullptr;
    }
    std::string record = std::to_string(getpid()) + "\n";
    if (ftruncate(fd, 0) != 0 || pwrite(fd, record.data(), record.size(), 0) < 0) {
        // The lock holds all the same; only the refusal line of another process is poorer.
    }
    return std::unique_ptr<ServiceLock>(new ServiceLock(fd));
}

ServiceLock::~ServiceLock() {
    if (fd_ >= 0) {
        if (ftruncate(fd_, 0) != 0) {
            // Nothing to do: the lock goes with the descriptor either way.
        }
        close(fd_);
    }
}

}  // namespace relvo::mail
