#include "config/profile_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
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

// The lock file's first 8 bytes count the writes made through the store, so a reader can tell
// that nothing was written since it last looked without a system call.
constexpr size_t kGenerationBytes = sizeof(uint64_t);
std::atomic<int64_t> recheckNanoseconds{
    std::chrono::duration_cast<std::chrono::nanoseconds>(kRecheckInterval).count()};

// Cheap (no system call) and good to a few milliseconds, which is all the interval needs.
int64_t CoarseNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return Nanoseconds(now);
}

std::string LockPathOf(const std::string& target) {
    return target + ".lock";
}

// A read-only shared mapping of a lock file's write generation.
class GenerationView {
  public:
    explicit GenerationView(const void* mapped) : word_(static_cast<const uint64_t*>(mapped)) {}
    ~GenerationView() { munmap(const_cast<uint64_t*>(word_), kGenerationBytes); }
    GenerationView(const GenerationView&) = delete;
    GenerationView& operator=(const GenerationView&) = delete;

    // Pairs with the writer's release: a generation seen here means its rename is visible.
    uint64_t Load() const { return __atomic_load_n(word_, __ATOMIC_ACQUIRE); }

  private:
    const uint64_t* word_;
};

std::optional<std::string> ResolveLinks(std::string path);

// None when there is no lock file yet, it is too short (no writer has counted in it) or we may
// not read it: the caller then checks the file itself on every call.
std::shared_ptr<const GenerationView> OpenGenerationView(const std::string& path) {
    std::optional<std::string> target = ResolveLinks(path);
    if (!target) {
        return nullptr;
    }
    int fd = open(LockPathOf(*target).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    struct stat info {};
    void* mapped = MAP_FAILED;
    // Mapping past the end of a shorter file would fault on the first load.
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
        static_cast<size_t>(info.st_size) >= kGenerationBytes) {
        mapped = mmap(nullptr, kGenerationBytes, PROT_READ, MAP_SHARED, fd, 0);
    }
    close(fd);
    if (mapped == MAP_FAILED) {
        return nullptr;
    }
    return std::make_shared<const GenerationView>(mapped);
}

struct CacheEntry {
    Identity identity;
    struct stat info {};
    std::shared_ptr<const Document> document;
    // None: no usable lock file, so every call checks the file.
    std::shared_ptr<const GenerationView> view;
    // The generation read before the check that last found the file unchanged, and its time.
    uint64_t generation = 0;
    int64_t checkedAt = 0;
    // When opening the lock file was last tried for an entry without a view.
    int64_t viewTriedAt = 0;
};

std::mutex cacheMutex;
std::unordered_map<std::string, CacheEntry> cache;

// Writes this process made through the store, counted once the cache holds what they wrote: a
// thread's own copies below must not outlive them even when the lock file could not count them.
std::atomic<uint64_t> localWrites{0};

// Each thread's copies of the entries of the last few files it read, trusted under the same rule
// as the shared cache but without its mutex and map: reads come in long runs against one file.
struct RecentFile {
    std::string path;
    CacheEntry entry;  // always with a view
    uint64_t localWrites = 0;
};
constexpr size_t kRecentFiles = 4;
struct RecentFiles {
    std::array<RecentFile, kRecentFiles> files;
    size_t next = 0;
};
thread_local RecentFiles recentFiles;

bool Trusted(const CacheEntry& entry, int64_t now, int64_t interval) {
    return entry.view && entry.view->Load() == entry.generation && now - entry.checkedAt < interval;
}

const CacheEntry* FindRecent(const std::string& path, int64_t now, int64_t interval,
                             uint64_t writes) {
    for (const RecentFile& recent : recentFiles.files) {
        if (recent.localWrites == writes && recent.path == path &&
            Trusted(recent.entry, now, interval)) {
            return &recent.entry;
        }
    }
    return nullptr;
}

void KeepRecent(const std::string& path, const CacheEntry& entry, uint64_t writes) {
    RecentFile* slot = nullptr;
    for (RecentFile& recent : recentFiles.files) {
        if (recent.path == path) {
            slot = &recent;
        }
    }
    if (!slot) {
        slot = &recentFiles.files[recentFiles.next++ % kRecentFiles];
        slot->path = path;
    }
    slot->entry = entry;
    slot->localWrites = writes;
}

void Remember(const std::string& path, CacheEntry entry) {
    std::lock_guard lock(cacheMutex);
    if (cache.size() >= kMaxCachedFiles && cache.find(path) == cache.end()) {
        cache.erase(cache.begin());
    }
    cache[path] = std::move(entry);
}

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

// Reads and parses the file. The generation must have been read before the file is opened, so that
// a write racing with this read can only make the next call check again.
Loaded ReadAndCache(const std::string& path, std::shared_ptr<const GenerationView> view,
                    uint64_t generation, int64_t now) {
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
        Remember(path, {IdentityOf(after), after, loaded.document, std::move(view), generation, now,
                        now});
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
    explicit FileLock(const std::string& path) : fd_(OpenLockFile(LockPathOf(path))) {
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

    // Tells every reader that the file was replaced. Call after the rename, still locked. Without
    // write access to the lock file (another user's) readers notice at their next recheck.
    void CountWrite() {
        struct stat info {};
        if (!locked_ || !writable_ || fstat(fd_.Get(), &info) != 0) {
            return;
        }
        // Lock files of earlier versions are empty; only writers, under the lock, extend them.
        if (static_cast<size_t>(info.st_size) < kGenerationBytes &&
            ftruncate(fd_.Get(), static_cast<off_t>(kGenerationBytes)) != 0) {
            return;
        }
        void* mapped =
            mmap(nullptr, kGenerationBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd_.Get(), 0);
        if (mapped == MAP_FAILED) {
            return;
        }
        __atomic_add_fetch(static_cast<uint64_t*>(mapped), 1, __ATOMIC_RELEASE);
        munmap(mapped, kGenerationBytes);
    }

  private:
    int OpenLockFile(const std::string& path) {
        int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, kNewFileMode);
        writable_ = fd >= 0;
        // Another user's lock file can still be locked through a read-only descriptor.
        return fd >= 0 || errno != EACCES ? fd : open(path.c_str(), O_RDONLY | O_CLOEXEC);
    }

    bool writable_ = false;
    FileDescriptor fd_;
    bool locked_ = false;
};

// Replaces the file. When `after` is given it receives, if it can, the new file's description as
// the rename left it.
bool Replace(const std::string& path, const std::string& bytes, const struct stat* previous,
             std::optional<struct stat>* after) {
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
    // A second descriptor describes the file after the rename (which changes its change time,
    // and after which the path could already name someone else's file). The first is closed
    // before the rename so that a failing close still stops it.
    FileDescriptor kept(after ? dup(fd.Get()) : -1);
    written = fd.Close() && written;
    if (!written || rename(temporary.c_str(), path.c_str()) != 0) {
        unlink(temporary.c_str());
        return false;
    }
    struct stat info {};
    if (after && kept.Get() >= 0 && fstat(kept.Get(), &info) == 0) {
        *after = info;
    }
    SyncDirectory(path);
    return true;
}

// The file's current document; with `trustGeneration`, without a system call while the lock
// file's generation is unchanged and the last check is recent.
Loaded Load(const std::string& path, bool trustGeneration) {
    const int64_t now = CoarseNow();
    const int64_t interval = recheckNanoseconds.load(std::memory_order_relaxed);
    const uint64_t writes = localWrites.load(std::memory_order_acquire);
    if (trustGeneration) {
        if (const CacheEntry* recent = FindRecent(path, now, interval, writes)) {
            return {LoadStatus::kLoaded, recent->document, recent->info};
        }
    }
    std::shared_ptr<const GenerationView> view;
    uint64_t generation = 0;
    bool viewMayBeStale = false;
    bool retryView = false;
    {
        std::lock_guard lock(cacheMutex);
        auto found = cache.find(path);
        if (found != cache.end()) {
            CacheEntry& entry = found->second;
            if (entry.view) {
                generation = entry.view->Load();
                if (trustGeneration && generation == entry.generation &&
                    now - entry.checkedAt < interval) {
                    KeepRecent(path, entry, writes);
                    return {LoadStatus::kLoaded, entry.document, entry.info};
                }
                view = entry.view;
                viewMayBeStale = generation == entry.generation;
            } else if (now - entry.viewTriedAt >= interval) {
                retryView = true;
                entry.viewTriedAt = now;
            }
        }
    }
    // The generation is read before the file is looked at, never after.
    if (retryView) {
        view = OpenGenerationView(path);
        generation = view ? view->Load() : 0;
    }
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
            CacheEntry& entry = found->second;
            if (view) {
                entry.view = view;
                entry.generation = generation;
                entry.checkedAt = now;
                if (trustGeneration) {
                    KeepRecent(path, entry, writes);
                }
            }
            return {LoadStatus::kLoaded, entry.document, info};
        }
    }
    // A new or changed file. Changed with no write counted means another program edited it, or
    // the lock file was replaced and our view counts nothing any more: looking again costs little
    // next to the parse.
    if (!view || viewMayBeStale) {
        view = OpenGenerationView(path);
        generation = view ? view->Load() : 0;
    }
    return ReadAndCache(path, std::move(view), generation, now);
}

}  // namespace

Loaded LoadDocument(const std::string& path) {
    return Load(path, true);
}

const Document* BorrowDocument(const std::string& path) {
    // Most calls end here, with no lock, no system call and no reference count touched.
    if (const CacheEntry* recent =
            FindRecent(path, CoarseNow(), recheckNanoseconds.load(std::memory_order_relaxed),
                       localWrites.load(std::memory_order_acquire))) {
        return recent->document.get();
    }
    thread_local std::shared_ptr<const Document> lent;
    lent = Load(path, true).document;
    return lent.get();
}

std::chrono::nanoseconds SetRecheckIntervalForTesting(std::chrono::nanoseconds interval) {
    return std::chrono::nanoseconds(
        recheckNanoseconds.exchange(static_cast<int64_t>(interval.count())));
}

bool ReplaceFileAtomically(const std::string& path, const std::string& bytes,
                           const struct stat* previous) {
    return Replace(path, bytes, previous, nullptr);
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
    // A writer always looks at the file: an edit made by another program must not be lost.
    Loaded current = Load(*target, false);
    if (current.status == LoadStatus::kUnreadable) {
        return false;
    }
    auto document = current.document ? current.document : std::make_shared<const Document>("");
    Editor editor(document);
    edit(editor);
    if (!editor.Changed()) {
        return true;
    }
    std::string bytes = editor.Serialize();
    std::optional<struct stat> written;
    const int64_t now = CoarseNow();
    if (!Replace(*target, bytes, current.status == LoadStatus::kLoaded ? &current.info : nullptr,
                 &written)) {
        return false;
    }
    lock.CountWrite();
    if (written && bytes.size() <= Document::kMaxBytes) {
        // This process reads what it wrote without parsing the file again. Still under the lock,
        // so the generation read here is the one this write left.
        auto view = OpenGenerationView(*target);
        const uint64_t generation = view ? view->Load() : 0;
        Remember(*target, {IdentityOf(*written), *written,
                           std::make_shared<const Document>(std::move(bytes)), std::move(view),
                           generation, now, now});
    }
    localWrites.fetch_add(1, std::memory_order_release);
    return true;
}

}  // namespace profile
