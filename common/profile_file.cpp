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
#include "common/profile_cache.h"

namespace profile {

using namespace detail;

namespace {

// The file holds relay passwords: only its owner may read a new one.
constexpr mode_t kNewFileMode = 0600;

thread_local std::string lastWriteError;

void Fail(std::string message) {
    lastWriteError = std::move(message);
}

std::string SystemError(int error) {
    return std::strerror(error);
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

bool WriteTemporary(int fd, const std::string& bytes, const struct stat* previous, Flush flush) {
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
    return SetModificationTime(fd, previous) && (flush != Flush::kToDisk || fsync(fd) == 0);
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
    bool Writable() const { return writable_; }

    // Names, after the generation, the temporary file a writer is about to create under this
    // lock, so that the next writer can remove it should this one be killed: one write instead
    // of a listing of the whole directory per write.
    void RecordTemporary(pid_t writer, uint64_t counter) {
        if (!locked_ || !writable_) {
            return;
        }
        [[maybe_unused]] ssize_t ignored;
        if (ReadGeneration()) {
            const std::array<uint64_t, 2> record = {static_cast<uint64_t>(writer), counter};
            ignored = pwrite(fd_.Get(), record.data(), sizeof record, kGenerationBytes);
        } else {
            // The record must not leave a zero generation in front of it.
            const std::array<uint64_t, 3> record = {FreshGeneration(),
                                                    static_cast<uint64_t>(writer), counter};
            ignored = pwrite(fd_.Get(), record.data(), sizeof record, 0);
        }
    }

    // The temporary named by the last writer that did not finish, if any.
    std::optional<std::pair<pid_t, uint64_t>> RecordedTemporary() const {
        std::array<uint64_t, 2> record = {};
        if (!locked_ || pread(fd_.Get(), record.data(), sizeof record, kGenerationBytes) !=
                            static_cast<ssize_t>(sizeof record)) {
            return std::nullopt;
        }
        if (record[0] == 0 || record[0] > INT32_MAX) {
            return std::nullopt;
        }
        return std::pair(static_cast<pid_t>(record[0]), record[1]);
    }

    // Tells every reader that the file was replaced. Call after the rename, still locked. Without
    // write access to the lock file (another user's) readers notice at their next recheck.
    void CountWrite() {
        if (!locked_ || !writable_) {
            return;
        }
        std::optional<uint64_t> generation = ReadGeneration();
        // The temporary this write recorded is renamed into place: its record is cleared with
        // the same write.
        const std::array<uint64_t, 3> counted = {generation ? *generation + 1 : FreshGeneration(),
                                                 0, 0};
        [[maybe_unused]] ssize_t ignored = pwrite(fd_.Get(), counted.data(), sizeof counted, 0);
    }

  private:
    std::optional<uint64_t> ReadGeneration() const {
        uint64_t generation = 0;
        if (pread(fd_.Get(), &generation, kGenerationBytes, 0) !=
            static_cast<ssize_t>(kGenerationBytes)) {
            return std::nullopt;
        }
        return generation;
    }

    // For a lock file without a count (new, an earlier version's, or cut by another program): a
    // random start, so that a reader that saw a count before the cut cannot meet it again.
    static uint64_t FreshGeneration() {
        uint64_t generation = 0;
        if (getrandom(&generation, sizeof generation, GRND_NONBLOCK) !=
            static_cast<ssize_t>(sizeof generation)) {
            generation = static_cast<uint64_t>(CoarseNow()) ^ (uint64_t(getpid()) << 40);
        }
        return generation;
    }

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

constexpr std::string_view kTemporaryInfix = ".tmp.";

std::string TemporaryName(const std::string& file, pid_t writer, uint64_t counter) {
    return file + std::string(kTemporaryInfix) + std::to_string(writer) + "." +
           std::to_string(counter);
}

bool AllDigits(std::string_view text) {
    return !text.empty() && text.size() <= 18 &&
           text.find_first_not_of("0123456789") == std::string_view::npos;
}

// A name the store gives its temporaries, split: the file it belongs to and its writer.
struct TemporaryOf {
    std::string file;
    pid_t writer;
};

std::optional<TemporaryOf> ParseTemporaryName(std::string_view name) {
    const size_t infix = name.rfind(kTemporaryInfix);
    if (infix == std::string_view::npos || infix == 0) {
        return std::nullopt;
    }
    std::string_view tail = name.substr(infix + kTemporaryInfix.size());
    const size_t dot = tail.find('.');
    if (dot == std::string_view::npos || !AllDigits(tail.substr(0, dot)) ||
        !AllDigits(tail.substr(dot + 1))) {
        return std::nullopt;
    }
    const long long pid = std::stoll(std::string(tail.substr(0, dot)));
    if (pid <= 0 || pid > INT32_MAX) {
        return std::nullopt;
    }
    return TemporaryOf{std::string(name.substr(0, infix)), static_cast<pid_t>(pid)};
}

// Whether the writer of a temporary in `directory` is gone: another process that no longer
// runs, or this one when none of its threads is writing it. A process id reused since keeps its
// leftover until that process ends too.
bool WriterGone(pid_t writer, const std::string& directory, const std::string& name) {
    if (writer == getpid()) {
        std::lock_guard lock(temporariesMutex);
        return temporariesInUse.count(directory + "/" + name) == 0;
    }
    return kill(writer, 0) != 0 && errno == ESRCH;
}

// Removes one temporary of a writer that is gone; only a regular file. True when removed.
bool RemoveIfStale(int directoryFd, const std::string& directory, const std::string& name,
                   pid_t writer) {
    struct stat info {};
    if (!WriterGone(writer, directory, name) ||
        fstatat(directoryFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(info.st_mode)) {
        return false;
    }
    return unlinkat(directoryFd, name.c_str(), 0) == 0;
}

// Each stale temporary holds a whole copy of its file, passwords included. A directory is listed
// once per process, at its first write: what the listing finds is kept by the file it belongs
// to and removed under that file's lock at its next write. A writer killed later is named in the
// lock file it held (FileLock::RecordTemporary), so later writes list nothing.
constexpr size_t kMostRememberedTemporaries = 4096;
std::mutex sweepMutex;
std::unordered_set<std::string> sweptDirectories;
std::unordered_map<std::string, std::vector<TemporaryOf>> staleByFile;  // by the file's path
size_t rememberedTemporaries = 0;

std::string BaseNameOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// How staleByFile names a file, the same whichever way its path was spelled.
std::string StaleKey(const std::string& directory, const std::string& file) {
    return directory + "/" + file;
}

// Calls `found` with each name in the directory that is one of the store's temporaries.
template <typename Found>
void ListTemporaries(const std::string& directory, Found found) {
    DIR* listing = opendir(directory.c_str());
    if (!listing) {
        return;
    }
    while (const dirent* entry = readdir(listing)) {
        if (std::optional<TemporaryOf> temporary = ParseTemporaryName(entry->d_name)) {
            found(dirfd(listing), std::string(entry->d_name), *temporary);
        }
    }
    closedir(listing);
}

// Under sweepMutex.
void ListDirectoryOnce(const std::string& directory) {
    if (!sweptDirectories.insert(directory).second) {
        return;
    }
    ListTemporaries(directory, [&directory](int, const std::string& name, const TemporaryOf& of) {
        if (rememberedTemporaries < kMostRememberedTemporaries &&
            WriterGone(of.writer, directory, name)) {
            staleByFile[StaleKey(directory, of.file)].push_back({name, of.writer});
            ++rememberedTemporaries;
        }
    });
}

// Removes the temporary files of the file's writers that are gone. Call while no other writer of
// the file can run: under its lock, when there is one.
void RemoveStaleTemporaries(const std::string& target, const FileLock* lock) {
    const std::string directory = DirectoryOf(target);
    std::vector<TemporaryOf> stale;  // here: the temporaries' own names
    {
        std::lock_guard guard(sweepMutex);
        ListDirectoryOnce(directory);
        if (auto found = staleByFile.find(StaleKey(directory, BaseNameOf(target)));
            found != staleByFile.end()) {
            stale = std::move(found->second);
            rememberedTemporaries -= stale.size();
            staleByFile.erase(found);
        }
    }
    if (lock && !lock->Writable()) {
        // Another user's lock file records nothing: this file's temporaries are looked for.
        const std::string file = BaseNameOf(target);
        ListTemporaries(directory, [&](int, const std::string& name, const TemporaryOf& of) {
            if (of.file == file) {
                stale.push_back({name, of.writer});
            }
        });
    }
    if (auto recorded = lock ? lock->RecordedTemporary() : std::nullopt) {
        stale.push_back({TemporaryName(BaseNameOf(target), recorded->first, recorded->second),
                         recorded->first});
    }
    if (stale.empty()) {
        return;
    }
    FileDescriptor directoryFd(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (const TemporaryOf& temporary : stale) {
        RemoveIfStale(directoryFd.Get(), directory, temporary.file, temporary.writer);
    }
}

enum class Overwrite { kDone, kFailed, kNotPossible };

// Writes the bytes over the file's own when it is still the file `previous` describes and the
// blocks it has already hold them, so that a full disk cannot stop the write half-way.
Overwrite OverwriteInPlace(const std::string& path, const std::string& bytes,
                           const struct stat& previous, std::optional<struct stat>* after) {
    FileDescriptor fd(
        open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat info {};
    if (fd.Get() < 0 || fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        info.st_dev != previous.st_dev || info.st_ino != previous.st_ino ||
        static_cast<uint64_t>(info.st_blocks) * 512 < bytes.size()) {
        return Overwrite::kNotPossible;
    }
    if (!WriteAll(fd.Get(), bytes) || ftruncate(fd.Get(), static_cast<off_t>(bytes.size())) != 0 ||
        !SetModificationTime(fd.Get(), &previous)) {
        Fail("cannot write " + path + ": " + SystemError(errno));
        return Overwrite::kFailed;
    }
    if (after && fstat(fd.Get(), &info) == 0) {
        *after = info;
    }
    if (!fd.Close()) {
        Fail("cannot write " + path + ": " + SystemError(errno));
        return Overwrite::kFailed;
    }
    return Overwrite::kDone;
}

// Replaces the file. When `after` is given it receives, if it can, the new file's description as
// the rename left it.
bool Replace(const std::string& path, const std::string& bytes, const struct stat* previous,
             std::optional<struct stat>* after, FileLock* lock, Flush flush) {
    if (flush == Flush::kInPlace && previous) {
        Overwrite overwritten = OverwriteInPlace(path, bytes, *previous, after);
        if (overwritten != Overwrite::kNotPossible) {
            return overwritten == Overwrite::kDone;
        }
    }
    static std::atomic<unsigned> counter{0};
    std::string temporary;
    FileDescriptor fd(-1);
    // The directory part is kept as the cleanup spells it, so that it recognises our own names.
    const std::string directory = DirectoryOf(path);
    const size_t slash = path.find_last_of('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    // A name left by a crashed process with our process id is skipped, not overwritten.
    for (int attempt = 0; attempt < 3 && fd.Get() < 0; ++attempt) {
        const unsigned number = counter++;
        temporary = directory + "/" + TemporaryName(name, getpid(), number);
        MarkInUse(temporary, true);
        if (lock) {
            lock->RecordTemporary(getpid(), number);
        }
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
    bool written = WriteTemporary(fd.Get(), bytes, previous, flush);
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
    if (flush == Flush::kToDisk) {
        SyncDirectory(path);
    }
    return true;
}

}  // namespace

const std::string& LastWriteError() {
    return lastWriteError;
}

void SetLastWriteError(std::string message) {
    Fail(std::move(message));
}

int RemoveStaleTemporariesIn(const std::string& directory) {
    int removed = 0;
    ListTemporaries(directory,
                    [&](int directoryFd, const std::string& name, const TemporaryOf& of) {
                        removed += RemoveIfStale(directoryFd, directory, name, of.writer) ? 1 : 0;
                    });
    return removed;
}

bool ReplaceFileAtomically(const std::string& path, const std::string& bytes,
                           const struct stat* previous) {
    return Replace(path, bytes, previous, nullptr, nullptr, Flush::kToDisk);
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

bool RewriteFile(const std::string& path, const std::function<void(Editor&)>& edit, Flush flush,
                 Writers writers) {
    lastWriteError.clear();
    std::optional<std::string> target = ResolveLinks(path);
    if (!target) {
        Fail("cannot follow the symbolic links of " + path);
        return false;
    }
    std::optional<FileLock> lock;
    struct stat lockInfo {};
    if (writers == Writers::kLockFile || lstat(LockPathOf(*target).c_str(), &lockInfo) == 0) {
        lock.emplace(*target);
        if (!lock->Locked()) {
            return false;
        }
    }
    FileLock* held = lock ? &*lock : nullptr;
    RemoveStaleTemporaries(*target, held);
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
    if (!Replace(*target, document->Bytes(), previous ? &*previous : nullptr, &written, held,
                 flush)) {
        return false;
    }
    if (held) {
        held->CountWrite();
    }
    if (written) {
        RememberWrite(*target, *written, std::move(document), now);
    }
    CountLocalWrite();
    return true;
}

}  // namespace profile
