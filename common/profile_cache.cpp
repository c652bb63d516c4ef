#include "common/profile_cache.h"

#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <ctime>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "common/file_descriptor.h"

namespace profile {

namespace detail {

int64_t Nanoseconds(const timespec& time) {
    return static_cast<int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

// Cheap (no system call) and good to one tick, which is all the interval needs.
int64_t CoarseNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return Nanoseconds(now);
}

std::string LockPathOf(const std::string& target) {
    return target + ".lock";
}

bool IsRegularFile(int fd) {
    struct stat info {};
    return fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
}

std::string DirectoryOf(const std::string& path) {
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace detail

using namespace detail;

namespace {

constexpr size_t kMaxCachedFiles = 16;
constexpr int kMaxLinkHops = 40;

struct Identity {
    dev_t device;
    ino_t inode;
    off_t size;
    int64_t modified;
    int64_t changed;
    bool operator==(const Identity&) const = default;
};

Identity IdentityOf(const struct stat& info) {
    return {info.st_dev, info.st_ino, info.st_size, Nanoseconds(info.st_mtim),
            Nanoseconds(info.st_ctim)};
}

std::atomic<int64_t> recheckNanoseconds{
    std::chrono::duration_cast<std::chrono::nanoseconds>(kRecheckInterval).count()};

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

}  // namespace

namespace detail {

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

void RememberWrite(const std::string& path, const struct stat& written,
                   std::shared_ptr<const Document> document, int64_t writtenAt) {
    auto view = OpenGenerationView(path);
    std::optional<uint64_t> generation = view ? view->Read() : std::nullopt;
    Remember(path, {IdentityOf(written), written, LoadStatus::kLoaded, std::move(document),
                    std::move(view), generation, writtenAt, writtenAt});
}

void CountLocalWrite() {
    localWrites.fetch_add(1, std::memory_order_release);
}

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

}  // namespace detail

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

}  // namespace profile
