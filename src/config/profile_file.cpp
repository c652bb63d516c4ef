#include "config/profile_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <ctime>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <utility>

namespace profile {

namespace {

constexpr size_t kMaxCachedFiles = 16;
constexpr int kMaxLinkHops = 40;
// The file holds relay passwords: only its owner may read a new one.
constexpr mode_t kNewFileMode = 0600;

struct Identity {
    dev_t device;
    ino_t inode;
    off_t size;
    int64_t modified;
    int64_t changed;
    bool operator==(const Identity&) const = default;
};

int64_t Nanoseconds(const timespec& time) {
    return static_cast<int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

Identity IdentityOf(const struct stat& info) {
    return {info.st_dev, info.st_ino, info.st_size, Nanoseconds(info.st_mtim),
            Nanoseconds(info.st_ctim)};
}

struct CacheEntry {
    Identity identity;
    std::shared_ptr<const Document> document;
};

std::mutex cacheMutex;
std::unordered_map<std::string, CacheEntry> cache;

class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int Get() const { return fd_; }
    void Reset(int fd) {
        Close();
        fd_ = fd;
    }
    // Closes now, reporting whether the close succeeded.
    bool Close() {
        int fd = std::exchange(fd_, -1);
        return fd >= 0 && close(fd) == 0;
    }

  private:
    int fd_;
};

LoadStatus StatusOfOpenError(int error) {
    return error == ENOENT || error == ENOTDIR ? LoadStatus::kMissing : LoadStatus::kUnreadable;
}

bool ReadAll(int fd, std::string& bytes, size_t expected) {
    bytes.resize(expected + 1);
    size_t used = 0;
    for (;;) {
        if (used == bytes.size()) {
            if (bytes.size() > Document::kMaxBytes) {
                return false;
            }
            bytes.resize(bytes.size() * 2);
        }
        ssize_t got = read(fd, bytes.data() + used, bytes.size() - used);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return false;
        }
        if (got == 0) {
            break;
        }
        used += static_cast<size_t>(got);
    }
    bytes.resize(used);
    return used <= Document::kMaxBytes;
}

Loaded ReadAndCache(const std::string& path) {
    Loaded loaded;
    FileDescriptor fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.Get() < 0) {
        loaded.status = StatusOfOpenError(errno);
        return loaded;
    }
    std::string bytes;
    struct stat after {};
    if (fstat(fd.Get(), &loaded.info) != 0 || !S_ISREG(loaded.info.st_mode) ||
        static_cast<size_t>(loaded.info.st_size) > Document::kMaxBytes ||
        !ReadAll(fd.Get(), bytes, static_cast<size_t>(loaded.info.st_size)) ||
        fstat(fd.Get(), &after) != 0) {
        loaded.status = LoadStatus::kUnreadable;
        return loaded;
    }
    loaded.status = LoadStatus::kLoaded;
    loaded.document = std::make_shared<const Document>(std::move(bytes));
    // A file that changed while it was read is used once but not remembered.
    if (IdentityOf(after) == IdentityOf(loaded.info)) {
        std::lock_guard lock(cacheMutex);
        if (cache.size() >= kMaxCachedFiles && cache.find(path) == cache.end()) {
            cache.erase(cache.begin());
        }
        cache[path] = {IdentityOf(after), loaded.document};
    }
    return loaded;
}

std::string DirectoryOf(const std::string& path) {
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The file a path finally names, following symbolic links (also to a target that is missing).
std::optional<std::string> ResolveLinks(std::string path) {
    for (int hop = 0; hop < kMaxLinkHops; ++hop) {
        struct stat info {};
        if (lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
            return path;
        }
        std::string target(static_cast<size_t>(info.st_size) + 256, '\0');
        ssize_t length = readlink(path.c_str(), target.data(), target.size());
        if (length <= 0 || static_cast<size_t>(length) >= target.size()) {
            return std::nullopt;
        }
        target.resize(static_cast<size_t>(length));
        path = target.front() == '/' || path.find('/') == std::string::npos
                   ? target
                   : DirectoryOf(path) + "/" + target;
    }
    return std::nullopt;
}

bool WriteAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t written = write(fd, bytes.data() + done, bytes.size() - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        done += static_cast<size_t>(written);
    }
    return true;
}

// Every rewrite moves the modification time forward, so a cache keyed on the file's identity
// cannot mistake a new file for the old one even if the inode number is reused within one tick.
bool SetModificationTime(int fd, const struct stat* previous) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    timespec times[2] = {{0, UTIME_OMIT}, now};
    if (previous && Nanoseconds(previous->st_mtim) >= Nanoseconds(now)) {
        times[1] = previous->st_mtim;
        if (++times[1].tv_nsec == 1000000000) {
            times[1].tv_nsec = 0;
            ++times[1].tv_sec;
        }
    }
    return futimens(fd, times) == 0;
}

bool WriteTemporary(int fd, const std::string& bytes, const struct stat* previous) {
    if (!WriteAll(fd, bytes)) {
        return false;
    }
    mode_t mode = previous ? (previous->st_mode & 07777) : kNewFileMode;
    if (fchmod(fd, mode) != 0) {
        return false;
    }
    if (previous && (previous->st_uid != geteuid() || previous->st_gid != getegid())) {
        // Keeps the owner when we may (running as root); otherwise the writer becomes the owner.
        [[maybe_unused]] int ignored = fchown(fd, previous->st_uid, previous->st_gid);
    }
    return SetModificationTime(fd, previous) && fsync(fd) == 0;
}

void SyncDirectory(const std::string& path) {
    FileDescriptor directory(open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.Get() >= 0) {
        fsync(directory.Get());
    }
}

// Held for the whole read-modify-write; the lock file is never deleted, because a process that
// deletes it could let two writers lock two different files.
class FileLock {
  public:
    explicit FileLock(const std::string& path) : fd_(OpenLockFile(path + ".lock")) {
        if (fd_.Get() < 0) {
            return;
        }
        int result;
        do {
            result = flock(fd_.Get(), LOCK_EX);
        } while (result != 0 && errno == EINTR);
        locked_ = result == 0;
    }
    bool Locked() const { return locked_; }

  private:
    static int OpenLockFile(const std::string& path) {
        int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, kNewFileMode);
        // Another user's lock file can still be locked through a read-only descriptor.
        return fd >= 0 || errno != EACCES ? fd : open(path.c_str(), O_RDONLY | O_CLOEXEC);
    }

    FileDescriptor fd_;
    bool locked_ = false;
};

}  // namespace

Loaded LoadDocument(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        Loaded loaded;
        loaded.status = StatusOfOpenError(errno);
        return loaded;
    }
    {
        std::lock_guard lock(cacheMutex);
        auto found = cache.find(path);
        if (found != cache.end() && found->second.identity == IdentityOf(info)) {
            return {LoadStatus::kLoaded, found->second.document, info};
        }
    }
    return ReadAndCache(path);
}

bool ReplaceFileAtomically(const std::string& path, const std::string& bytes,
                           const struct stat* previous) {
    static std::atomic<unsigned> counter{0};
    std::string temporary;
    FileDescriptor fd(-1);
    // A name left by a crashed process with our process id is skipped, not overwritten.
    for (int attempt = 0; attempt < 3 && fd.Get() < 0; ++attempt) {
        temporary = path + ".tmp." + std::to_string(getpid()) + "." + std::to_string(counter++);
        fd.Reset(open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kNewFileMode));
        if (fd.Get() < 0 && errno != EEXIST) {
            return false;
        }
    }
    if (fd.Get() < 0) {
        return false;
    }
    bool written = WriteTemporary(fd.Get(), bytes, previous);
    written = fd.Close() && written;
    if (!written || rename(temporary.c_str(), path.c_str()) != 0) {
        unlink(temporary.c_str());
        return false;
    }
    SyncDirectory(path);
    return true;
}

bool RewriteFile(const std::string& path, const std::function<void(Editor&)>& edit) {
    std::optional<std::string> target = ResolveLinks(path);
    if (!target) {
        return false;
    }
    FileLock lock(*target);
    if (!lock.Locked()) {
        return false;
    }
    Loaded current = LoadDocument(*target);
    if (current.status == LoadStatus::kUnreadable) {
        return false;
    }
    auto document = current.document ? current.document : std::make_shared<const Document>("");
    Editor editor(document);
    edit(editor);
    if (!editor.Changed()) {
        return true;
    }
    return ReplaceFileAtomically(*target, editor.Serialize(),
                                 current.status == LoadStatus::kLoaded ? &current.info : nullptr);
}

}  // namespace profile
