#include "core/mail_ids.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <memory>

#include "common/app_paths.h"
#include "core/app_dirs.h"

namespace relvo::mail {

namespace {

constexpr uint32_t kLargestId = 0x7FFFFFFF;  // ids are signed 32-bit in the companion files

// The largest "<digits>.<anything>" name in the directory.
uint32_t LargestIdIn(const std::string& dir) {
    uint32_t largest = 0;
    DIR* listing = opendir(dir.c_str());
    if (listing == nullptr) {
        return 0;
    }
    while (dirent* entry = readdir(listing)) {
        const char* name = entry->d_name;
        uint64_t value = 0;
        auto [end, error] =
            std::from_chars(name, name + std::char_traits<char>::length(name), value);
        if (error == std::errc() && end != name && *end == '.' && value <= kLargestId &&
            value > largest) {
            largest = static_cast<uint32_t>(value);
        }
    }
    closedir(listing);
    return largest;
}

bool WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = pwrite(fd, text.data() + done, text.size() - done, static_cast<off_t>(done));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return ftruncate(fd, static_cast<off_t>(text.size())) == 0;
}

}  // namespace

MailIdAllocator::MailIdAllocator(std::string stateFile, std::vector<std::string> scanDirs,
                                 uint32_t blockSize)
    : stateFile_(std::move(stateFile)),
      scanDirs_(std::move(scanDirs)),
      blockSize_(blockSize == 0 ? 1 : blockSize) {}

uint32_t MailIdAllocator::Next() {
    std::lock_guard lock(mutex_);
    if (next_ == 0 || next_ >= end_) {
        if (!ReserveBlock()) {
            return 0;
        }
    }
    return next_++;
}

bool MailIdAllocator::ReserveBlock() {
    int fd = open(stateFile_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        return false;
    }
    // The lock makes read-advance-write one step for every process of this directory.
    while (flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            close(fd);
            return false;
        }
    }
    char text[32] = {};
    ssize_t length = pread(fd, text, sizeof text - 1, 0);
    uint64_t first = 0;
    if (length > 0) {
        auto [end, error] = std::from_chars(text, text + length, first);
        if (error != std::errc() || end == text) {
            first = 0;
        }
    }
    if (first == 0 || first > kLargestId) {
        // No usable state: start above every id already on disk.
        uint64_t largest = 0;
        for (const auto& dir : scanDirs_) {
            largest = std::max<uint64_t>(largest, LargestIdIn(dir));
        }
        first = largest + 1;
        if (first > kLargestId) {
            first = 1;
        }
    }
    uint64_t end = std::min<uint64_t>(first + blockSize_, uint64_t{kLargestId} + 1);
    // Past the largest id the count starts again at 1; the queue refuses to overwrite an id
    // still in use.
    uint64_t stored = end > kLargestId ? 1 : end;
    bool ok = WriteAll(fd, std::to_string(stored) + "\n") && fdatasync(fd) == 0;
    flock(fd, LOCK_UN);
    close(fd);
    if (!ok) {
        return false;
    }
    next_ = static_cast<uint32_t>(first);
    end_ = static_cast<uint32_t>(end);
    return true;
}

uint32_t AllocateMailId() {
    static std::mutex mutex;
    static std::shared_ptr<MailIdAllocator> allocator;
    static unsigned long long version = 0;
    static pid_t owner = 0;
    std::shared_ptr<MailIdAllocator> current;
    {
        std::lock_guard lock(mutex);
        // A new application directory (tests, relvoserver's --data-dir) needs its own state,
        // and a forked child must not hand out the rest of its parent's block.
        if (!allocator || version != ApplicationPathsVersion() || owner != getpid()) {
            version = ApplicationPathsVersion();
            owner = getpid();
            allocator = std::make_shared<MailIdAllocator>(
                AppDir() + "/mailid.next",
                std::vector<std::string>{QueueDir(), MailDir(), OldDir()}, 1000);
        }
        current = allocator;
    }
    return current->Next();
}

}  // namespace relvo::mail
