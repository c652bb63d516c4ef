#include "common/profile_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/random.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "common/file_descriptor.h"

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
// that nothing was written since it last looked with one read of 8 bytes. They are read with
// pread, never through a mapping: a mapping faults (SIGBUS) once another program truncates the
// lock file, and any program may.
constexpr size_t kGenerationBytes = sizeof(uint64_t);
std::atomic<int64_t> recheckNanoseconds{
    std::chrono::duration_cast<std::chrono::nanoseconds>(kRecheckInterval).count()};

// Cheap (no system call) and good to one tick, which is all the interval needs.
int64_t CoarseNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return Nanoseconds(now);
}

std::string LockPathOf(const std::string& target) {
    return target + ".lock";
}

thread_local std::string lastWriteError;

void Fail(std::string message) {
    lastWriteError = std::move(message);
}

std::string SystemError(int error) {
    return std::strerror(error);
}

// Flags for every descriptor of a file the store does not control: opening a FIFO or a device
// must neither block nor make it our terminal; what is opened is checked with fstat.
constexpr int kOpenFlags = O_CLOEXEC | O_NONBLOCK | O_NOCTTY;

bool IsRegularFile(int fd) {
    struct stat info {};
    return fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
}

// A lock file's write generation, read through a descriptor kept open.
class GenerationView {
  public:
    explicit GenerationView(int fd) : fd_(fd) {}

    // None while the lock file is too short to hold one (no writer has counted in it since it
    // was created or cut).
    std::optional<uint64_t> Read() const {
        uint64_t generation = 0;
        ssize_t got;
        do {
            got = pread(fd_.Get(), &generation, kGenerationBytes, 0);
        } while (got < 0 && errno == EINTR);
        if (got != static_cast<ssize_t>(kGenerationBytes)) {
            return std::nullopt;
        }
        return generation;
    }

  private:
    FileDescriptor fd_;
};

std::optional<std::string> ResolveLinks(std::string path);

// None when there is no lock file yet, it is not a regular file or we may not read it: the
// caller then checks the file itself on every call.
std::shared_ptr<const GenerationView> OpenGenerationView(const std::string& path) {
    std::optional<std::string> target = ResolveLinks(path);
    if (!target) {
        return nullptr;
    }
    // Writers refuse a lock file that is a link: its counts are nobody's.
    FileDescriptor fd(open(LockPathOf(*target).c_str(), O_RDONLY | O_NOFOLLOW | kOpenFlags));
    if (fd.Get() < 0 || !IsRegularFile(fd.Get())) {
        return nullptr;
    }
    return std::make_shared<const GenerationView>(fd.Release());
}

struct CacheEntry {
    Identity identity;
    struct stat info {};
    LoadStatus status = LoadStatus::kLoaded;  // or kTooLarge, without a document
    std::shared_ptr<const Document> document;
    // None: no usable lock file, so every call checks the file.
    std::shared_ptr<const GenerationView> view;
    // The generation read before the check that last found the file unchanged, and its time;
    // none while the lock file holds none.
    std::optional<uint64_t> generation;
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

// The time is looked at first: it costs no system call.
bool Trusted(const CacheEntry& entry, int64_t now, int64_t interval) {
    return entry.view && entry.generation && now - entry.checkedAt < interval &&
           entry.view->Read() == entry.generation;
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

// Drops this thread's and the shared cache's parse of the file, so that its memory is free
// before a new one is built.
void Forget(const std::string& path) {
    for (RecentFile& recent : recentFiles.files) {
        if (recent.path == path) {
            recent.entry = {};
            recent.path.clear();
        }
    }
    std::lock_guard lock(cacheMutex);
    cache.erase(path);
}

LoadStatus StatusOfOpenError(int error) {
    if (error == ENXIO || error == EISDIR) {
        return LoadStatus::kNotAFile;
    }
    return error == ENOENT || error == ENOTDIR ? LoadStatus::kMissing : LoadStatus::kUnreadable;
}

// Reads the whole file, which is expected to have `expected` bytes but may have grown since.
// False when it cannot be read or holds more than a document may.
bool ReadAll(int fd, std::string& bytes, size_t expected, bool& tooLarge) {
    bytes.resize(expected + 1);
    size_t used = 0;
    for (;;) {
        if (used == bytes.size()) {
            if (bytes.size() > Document::kMaxBytes) {
                tooLarge = true;
                return false;
            }
            bytes.resize(std::min(bytes.size() * 2, Document::kMaxBytes + 1));
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
    tooLarge = used > Document::kMaxBytes;
    return !tooLarge;
}

// Reads and parses the file. The generation must have been read before the file is opened, so that
// a write racing with this read can only make the next call check again.
Loaded ReadAndCache(const std::string& path, std::shared_ptr<const GenerationView> view,
                    std::optional<uint64_t> generation, int64_t now) {
    Loaded loaded;
    FileDescriptor fd(open(path.c_str(), O_RDONLY | kOpenFlags));
    if (fd.Get() < 0) {
        loaded.status = StatusOfOpenError(errno);
        return loaded;
    }
    if (fstat(fd.Get(), &loaded.info) != 0) {
        loaded.status = LoadStatus::kUnreadable;
        return loaded;
    }
    if (!S_ISREG(loaded.info.st_mode)) {
        loaded.status = LoadStatus::kNotAFile;
        return loaded;
    }
    std::string bytes;
    bool tooLarge = static_cast<size_t>(loaded.info.st_size) > Document::kMaxBytes;
    struct stat after = loaded.info;
    if (!tooLarge) {
        if (!ReadAll(fd.Get(), bytes, static_cast<size_t>(loaded.info.st_size), tooLarge) &&
            !tooLarge) {
            loaded.status = LoadStatus::kUnreadable;
            return loaded;
        }
        if (fstat(fd.Get(), &after) != 0) {
            loaded.status = LoadStatus::kUnreadable;
            return loaded;
        }
    }
    if (!tooLarge) {
        loaded.document = std::make_shared<const Document>(std::move(bytes));
        tooLarge = loaded.document->TooLarge();
    }
    loaded.status = tooLarge ? LoadStatus::kTooLarge : LoadStatus::kLoaded;
    if (tooLarge) {
        loaded.document.reset();
    }
    // A file that changed while it was read is used once but not remembered. One too large is
    // remembered too, so that it is not read again on every call.
    if (IdentityOf(after) == IdentityOf(loaded.info)) {
        Remember(path, {IdentityOf(after), after, loaded.status, loaded.document, std::move(view),
                        generation, now, now});
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
// deletes it could let two writers lock two different files. It is opened without following a
// link and must be a regular file: writes through a link would count generations in whatever
// file it names, and a FIFO or device could block or be changed.
class FileLock {
  public:
    explicit FileLock(const std::string& path) : path_(LockPathOf(path)), fd_(OpenLockFile()) {
        if (fd_.Get() < 0) {
            return;
        }
        int result;
        do {
            result = flock(fd_.Get(), LOCK_EX);
        } while (result != 0 && errno == EINTR);
        locked_ = result == 0;
        if (!locked_) {
            Fail("cannot lock " + path_ + ": " + SystemError(errno));
        }
    }
    bool Locked() const { return locked_; }

    // Tells every reader that the file was replaced. Call after the rename, still locked. Without
    // write access to the lock file (another user's) readers notice at their next recheck.
    void CountWrite() {
        if (!locked_ || !writable_) {
            return;
        }
        uint64_t generation = 0;
        if (pread(fd_.Get(), &generation, kGenerationBytes, 0) ==
            static_cast<ssize_t>(kGenerationBytes)) {
            ++generation;
        } else {
            // Empty (an earlier version's, or cut by another program): a random start, so that a
            // reader that saw a count before the cut cannot meet the same count again.
            if (getrandom(&generation, sizeof generation, GRND_NONBLOCK) !=
                static_cast<ssize_t>(sizeof generation)) {
                generation = static_cast<uint64_t>(CoarseNow()) ^ (uint64_t(getpid()) << 40);
            }
        }
        [[maybe_unused]] ssize_t ignored = pwrite(fd_.Get(), &generation, kGenerationBytes, 0);
    }

  private:
    int OpenLockFile() {
        int fd = open(path_.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | kOpenFlags, kNewFileMode);
        writable_ = fd >= 0;
        if (fd < 0 && errno == EACCES) {
            // Another user's lock file can still be locked through a read-only descriptor.
            fd = open(path_.c_str(), O_RDONLY | O_NOFOLLOW | kOpenFlags);
        }
        if (fd < 0) {
            const int error = errno;
            struct stat info {};
            if (error == ELOOP && lstat(path_.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
                Fail(path_ + " is a symbolic link; the store writes no file through it");
            } else if (error == EISDIR || error == ENXIO) {
                Fail(path_ + " is not a regular file; the store does not write beside it");
            } else {
                Fail("cannot open " + path_ + ": " + SystemError(error));
            }
            return -1;
        }
        if (!IsRegularFile(fd)) {
            close(fd);
            Fail(path_ + " is not a regular file; the store does not write beside it");
            return -1;
        }
        return fd;
    }

    std::string path_;
    bool writable_ = false;
    FileDescriptor fd_;
    bool locked_ = false;
};

// Temporary files are named "<file>.tmp.<pid>.<n>", so that the next writer can tell one left by
// a writer that was killed (its process is gone) from one still being written. This process's own
// are those it is writing now.
std::mutex temporariesMutex;
std::unordered_set<std::string> temporariesInUse;

void MarkInUse(const std::string& temporary, bool inUse) {
    std::lock_guard lock(temporariesMutex);
    if (inUse) {
        temporariesInUse.insert(temporary);
    } else {
        temporariesInUse.erase(temporary);
    }
}

bool AllDigits(std::string_view text) {
    return !text.empty() && text.size() <= 18 &&
           text.find_first_not_of("0123456789") == std::string_view::npos;
}

// The writer's process id when the name is one of the file's temporary names.
std::optional<pid_t> WriterOf(std::string_view name, std::string_view prefix) {
    if (name.substr(0, prefix.size()) != prefix) {
        return std::nullopt;
    }
    name.remove_prefix(prefix.size());
    const size_t dot = name.find('.');
    if (dot == std::string_view::npos || !AllDigits(name.substr(0, dot)) ||
        !AllDigits(name.substr(dot + 1))) {
        return std::nullopt;
    }
    const long long pid = std::stoll(std::string(name.substr(0, dot)));
    if (pid <= 0 || pid > INT32_MAX) {
        return std::nullopt;
    }
    return static_cast<pid_t>(pid);
}

// Removes the temporary files of the file's writers that are gone: each holds a whole copy of the
// file, passwords included. Call under the file's lock. A process id reused since keeps its
// leftover until that process ends too.
void RemoveStaleTemporaries(const std::string& target) {
    const std::string directory = DirectoryOf(target);
    const size_t slash = target.find_last_of('/');
    const std::string prefix =
        (slash == std::string::npos ? target : target.substr(slash + 1)) + ".tmp.";
    DIR* listing = opendir(directory.c_str());
    if (!listing) {
        return;
    }
    const pid_t self = getpid();
    while (const dirent* entry = readdir(listing)) {
        std::optional<pid_t> writer = WriterOf(entry->d_name, prefix);
        if (!writer) {
            continue;
        }
        bool gone;
        if (*writer == self) {
            std::lock_guard lock(temporariesMutex);
            gone = temporariesInUse.count(directory + "/" + entry->d_name) == 0;
        } else {
            gone = kill(*writer, 0) != 0 && errno == ESRCH;
        }
        struct stat info {};
        if (gone && fstatat(dirfd(listing), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(info.st_mode)) {
            unlinkat(dirfd(listing), entry->d_name, 0);
        }
    }
    closedir(listing);
}

// Replaces the file. When `after` is given it receives, if it can, the new file's description as
// the rename left it.
bool Replace(const std::string& path, const std::string& bytes, const struct stat* previous,
             std::optional<struct stat>* after) {
    static std::atomic<unsigned> counter{0};
    std::string temporary;
    FileDescriptor fd(-1);
    // The directory part is kept as the cleanup spells it, so that it recognises our own names.
    const std::string directory = DirectoryOf(path);
    const size_t slash = path.find_last_of('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    // A name left by a crashed process with our process id is skipped, not overwritten.
    for (int attempt = 0; attempt < 3 && fd.Get() < 0; ++attempt) {
        temporary = directory + "/" + name + ".tmp." + std::to_string(getpid()) + "." +
                    std::to_string(counter++);
        MarkInUse(temporary, true);
        fd.Reset(open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kNewFileMode));
        if (fd.Get() < 0) {
            const int error = errno;
            MarkInUse(temporary, false);
            if (error != EEXIST) {
                Fail("cannot create a file beside " + path + ": " + SystemError(error));
                return false;
            }
        }
    }
    if (fd.Get() < 0) {
        Fail("cannot create a file beside " + path + ": names in use");
        return false;
    }
    bool written = WriteTemporary(fd.Get(), bytes, previous);
    int error = errno;
    // A second descriptor describes the file after the rename (which changes its change time,
    // and after which the path could already name someone else's file). The first is closed
    // before the rename so that a failing close still stops it.
    FileDescriptor kept(after ? dup(fd.Get()) : -1);
    if (!fd.Close() && written) {
        written = false;
        error = errno;
    }
    if (written && rename(temporary.c_str(), path.c_str()) != 0) {
        written = false;
        error = errno;
    }
    if (!written) {
        unlink(temporary.c_str());
        MarkInUse(temporary, false);
        Fail("cannot write " + path + ": " + SystemError(error));
        return false;
    }
    MarkInUse(temporary, false);
    struct stat info {};
    if (after && kept.Get() >= 0 && fstat(kept.Get(), &info) == 0) {
        *after = info;
    }
    SyncDirectory(path);
    return true;
}

// The file's current document; with `trustGeneration`, without looking at the file while the
// lock file's generation is unchanged and the last check is recent.
Loaded Load(const std::string& path, bool trustGeneration) {
    const int64_t now = CoarseNow();
    const int64_t interval = recheckNanoseconds.load(std::memory_order_relaxed);
    const uint64_t writes = localWrites.load(std::memory_order_acquire);
    if (trustGeneration) {
        if (const CacheEntry* recent = FindRecent(path, now, interval, writes)) {
            return {recent->status, recent->document, recent->info};
        }
    }
    std::optional<CacheEntry> cached;
    bool retryView = false;
    {
        std::lock_guard lock(cacheMutex);
        auto found = cache.find(path);
        if (found != cache.end()) {
            cached = found->second;
            if (!cached->view && now - cached->viewTriedAt >= interval) {
                retryView = true;
                found->second.viewTriedAt = now;
            }
        }
    }
    // The generation is read before the file is looked at, never after, and outside the mutex:
    // it takes a system call.
    std::shared_ptr<const GenerationView> view;
    std::optional<uint64_t> generation;
    bool viewMayBeStale = false;
    if (cached && cached->view) {
        view = cached->view;
        generation = view->Read();
        if (trustGeneration && generation && generation == cached->generation &&
            now - cached->checkedAt < interval) {
            KeepRecent(path, *cached, writes);
            return {cached->status, cached->document, cached->info};
        }
        viewMayBeStale = !generation || generation == cached->generation;
    }
    cached.reset();
    if (retryView) {
        view = OpenGenerationView(path);
        generation = view ? view->Read() : std::nullopt;
    }
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        Loaded loaded;
        loaded.status = StatusOfOpenError(errno);
        return loaded;
    }
    if (!S_ISREG(info.st_mode)) {
        Loaded loaded;
        loaded.status = LoadStatus::kNotAFile;
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
                if (trustGeneration && generation) {
                    KeepRecent(path, entry, writes);
                }
            }
            return {entry.status, entry.document, info};
        }
    }
    // A new or changed file. Changed with no write counted means another program edited it, or
    // the lock file was replaced and our view counts nothing any more: looking again costs little
    // next to the parse.
    if (!view || viewMayBeStale) {
        view = OpenGenerationView(path);
        generation = view ? view->Read() : std::nullopt;
    }
    return ReadAndCache(path, std::move(view), generation, now);
}

}  // namespace

const std::string& LastWriteError() {
    return lastWriteError;
}

void SetLastWriteError(std::string message) {
    Fail(std::move(message));
}

Loaded LoadDocument(const std::string& path) {
    return Load(path, true);
}

const Document* BorrowDocument(const std::string& path) {
    // Most calls end here, with no lock and no reference count touched, and one system call.
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

namespace {

std::string TooLargeMessage(const std::string& path) {
    return path + " is too large for a configuration file (more than " +
           std::to_string(Document::kMaxBytes >> 20) + " MiB, " +
           std::to_string(Document::kMaxLines) + " lines or " +
           std::to_string(Document::kMaxSections) + " sections)";
}

// The new bytes of the file, or none when nothing changed. Everything parsed for the edit is
// freed on return, before the caller parses the result.
std::optional<std::string> Edit(const Loaded& current, const std::function<void(Editor&)>& edit) {
    auto document = current.document ? current.document : std::make_shared<const Document>("");
    Editor editor(document);
    edit(editor);
    if (!editor.Changed()) {
        return std::nullopt;
    }
    return editor.Serialize();
}

}  // namespace

bool RewriteFile(const std::string& path, const std::function<void(Editor&)>& edit) {
    lastWriteError.clear();
    std::optional<std::string> target = ResolveLinks(path);
    if (!target) {
        Fail("cannot follow the symbolic links of " + path);
        return false;
    }
    FileLock lock(*target);
    if (!lock.Locked()) {
        return false;
    }
    RemoveStaleTemporaries(*target);
    // A writer always looks at the file: an edit made by another program must not be lost.
    Loaded current = Load(*target, false);
    switch (current.status) {
        case LoadStatus::kUnreadable:
            Fail("cannot read " + *target + "; it is left as it is");
            return false;
        case LoadStatus::kNotAFile:
            Fail(*target + " is not a regular file; the store neither reads nor replaces it");
            return false;
        case LoadStatus::kTooLarge:
            Fail(TooLargeMessage(*target) + "; it is left as it is");
            return false;
        case LoadStatus::kMissing:
        case LoadStatus::kLoaded:
            break;
    }
    std::optional<std::string> bytes = Edit(current, edit);
    if (!bytes) {
        return true;
    }
    const std::optional<struct stat> previous =
        current.status == LoadStatus::kLoaded ? std::optional(current.info) : std::nullopt;
    current = {};
    Forget(*target);
    // Parsed before it is written: a write must not leave a file that readers refuse.
    auto document = std::make_shared<const Document>(std::move(*bytes));
    if (document->TooLarge()) {
        Fail("the write would make " + TooLargeMessage(*target) + "; it is left as it is");
        return false;
    }
    std::optional<struct stat> written;
    const int64_t now = CoarseNow();
    if (!Replace(*target, document->Bytes(), previous ? &*previous : nullptr, &written)) {
        return false;
    }
    lock.CountWrite();
    if (written) {
        // This process reads what it wrote without parsing the file again. Still under the lock,
        // so the generation read here is the one this write left.
        auto view = OpenGenerationView(*target);
        std::optional<uint64_t> generation = view ? view->Read() : std::nullopt;
        Remember(*target, {IdentityOf(*written), *written, LoadStatus::kLoaded, std::move(document),
                           std::move(view), generation, now, now});
    }
    localWrites.fetch_add(1, std::memory_order_release);
    return true;
}

}  // namespace profile
