#include "core/queue_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "common/clock.h"
#include "common/file_moves.h"
#include "common/owner_only_directory.h"
#include "core/arrival_channel.h"
#include "core/mail_ids.h"
#include "core/timestamp.h"

namespace relvo::mail {

using mailqueue::CompanionName;
using mailqueue::MessageName;
using mailqueue::TemporaryCompanionName;
using mailqueue::TemporaryMessageName;

namespace {

constexpr int kIdAttempts = 5;
constexpr size_t kCopyBuffer = 64 * 1024;

std::string SystemError(const char* what, int error) {
    return std::string(what) + ": " + std::strerror(error);
}

bool WriteVector(int fd, iovec* parts, int count) {
    while (count > 0) {
        ssize_t n = writev(fd, parts, count);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        size_t left = static_cast<size_t>(n);
        while (count > 0 && left >= parts->iov_len) {
            left -= parts->iov_len;
            ++parts;
            --count;
        }
        if (count > 0) {
            parts->iov_base = static_cast<char*>(parts->iov_base) + left;
            parts->iov_len -= left;
        }
    }
    return true;
}

bool WriteAll(int fd, const char* data, size_t length) {
    iovec part[1] = {{const_cast<char*>(data), length}};
    return WriteVector(fd, part, 1);
}

// Appends length bytes of from (read from its start) to to.
bool CopyFile(int from, int to, uint64_t length) {
    off64_t offset = 0;
    while (offset < static_cast<off64_t>(length)) {
        const size_t left = static_cast<size_t>(length - static_cast<uint64_t>(offset));
        ssize_t n = copy_file_range(from, &offset, to, nullptr, left, 0);
        if (n > 0) {
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n == 0 ||
            (errno != EXDEV && errno != ENOSYS && errno != EOPNOTSUPP && errno != EINVAL)) {
            return false;
        }
        // A file system that cannot copy in the kernel: read and write.
        char buffer[kCopyBuffer];
        ssize_t got = pread(from, buffer, std::min(left, sizeof buffer), offset);
        if (got <= 0 || !WriteAll(to, buffer, static_cast<size_t>(got))) {
            return false;
        }
        offset += got;
    }
    return true;
}

}  // namespace

Spool::~Spool() {
    if (fd >= 0) {
        close(fd);
    }
    if (!path.empty()) {
        unlink(path.c_str());
    }
}

QueueStore::QueueStore(std::string queueDir, ArrivalChannel* arrivals)
    : dir_(std::move(queueDir)), arrivals_(arrivals) {}

QueueStore::~QueueStore() {
    Close();
}

bool QueueStore::Open(std::string* error) {
    std::lock_guard lock(mutex_);
    if (open_) {
        return true;
    }
    if (std::string problem = MakeOwnerOnlyDirectory(dir_); !problem.empty()) {
        if (error) {
            *error = "Cannot create the queue directory " + dir_ + ": " + problem;
        }
        return false;
    }
    dirFd_ = open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd_ < 0) {
        if (error) {
            *error = SystemError(("Cannot open the queue directory " + dir_).c_str(), errno);
        }
        return false;
    }
    // Every process that writes the queue holds the writers' lock shared while it is open.
    // Only a process that can take it alone may judge what is left over: in another writer's
    // queue a message may stand renamed a moment before its companion.
    writersFd_ = openat(dirFd_, mailqueue::kWritersLock, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (writersFd_ < 0) {
        if (error) {
            *error = SystemError(("Cannot open the queue's lock in " + dir_).c_str(), errno);
        }
        close(dirFd_);
        dirFd_ = -1;
        return false;
    }
    if (flock(writersFd_, LOCK_EX | LOCK_NB) == 0) {
        RemoveLeftovers();
    }
    while (flock(writersFd_, LOCK_SH) != 0 && errno == EINTR) {
    }
    open_ = true;
    stopping_ = false;
    pool_ = FlushPool::Shared();
    return true;
}

void QueueStore::RemoveLeftovers() {
    // Leftovers of writes that a crash interrupted: temporary files, and messages whose
    // companion (written last) never arrived. Neither ever got its 250.
    std::vector<std::string> names;
    int scanFd = dup(dirFd_);
    DIR* listing = scanFd >= 0 ? fdopendir(scanFd) : nullptr;
    if (listing == nullptr) {
        if (scanFd >= 0) {
            close(scanFd);
        }
        return;
    }
    while (dirent* entry = readdir(listing)) {
        names.emplace_back(entry->d_name);
    }
    closedir(listing);
    std::sort(names.begin(), names.end());
    bool removed = false;
    for (const auto& name : names) {
        if (mailqueue::IsLeftover(name, names) && unlinkat(dirFd_, name.c_str(), 0) == 0) {
            removed = true;
        }
    }
    if (removed) {
        fsync(dirFd_);
    }
}

void QueueStore::Close() {
    std::unique_lock lock(mutex_);
    if (!open_ || stopping_) {
        return;  // closed, or another thread is closing it
    }
    stopping_ = true;
    idle_.wait(lock, [this] { return !writing_ && !placing_ && spoolJobs_.empty(); });
    open_ = false;
    std::shared_ptr<FlushPool> pool = std::move(pool_);
    close(writersFd_);
    writersFd_ = -1;
    close(dirFd_);
    dirFd_ = -1;
    lock.unlock();
    pool.reset();  // the last store of the process ends the pool here
}

void QueueStore::Drain() {
    std::unique_lock lock(mutex_);
    const uint64_t stores = taken_;
    const uint64_t jobs = spoolPosted_;
    idle_.wait(lock, [&] {
        return finished_ >= stores && (spoolJobs_.empty() || *spoolJobs_.begin() > jobs);
    });
}

void QueueStore::Store(Envelope envelope, std::string receivedHeader, std::string body, Done done) {
    Store(std::move(envelope), std::move(receivedHeader), nullptr, std::move(body),
          std::move(done));
}

void QueueStore::Store(Envelope envelope, std::string receivedHeader, SpoolPtr spool,
                       std::string body, Done done) {
    {
        std::lock_guard lock(mutex_);
        if (open_ && !stopping_) {
            pending_.push_back(Request{std::move(envelope), std::move(receivedHeader),
                                       std::move(body), std::move(done), std::move(spool)});
            ++taken_;
            if (!writing_) {
                writing_ = true;
                pool_->Post([this] { WriteBatches(); });
            }
            return;
        }
    }
    done(false, 0, "the queue is closed");
}

bool QueueStore::Post(std::function<void()> job) {
    std::lock_guard lock(mutex_);
    if (!open_ || stopping_) {
        return false;
    }
    const uint64_t number = ++spoolPosted_;
    spoolJobs_.insert(number);
    pool_->Post([this, number, job = std::move(job)]() mutable {
        job();
        job = nullptr;  // what it holds (a spool to remove) goes before Close or Drain return
        std::lock_guard ended(mutex_);
        spoolJobs_.erase(number);
        idle_.notify_all();
    });
    return true;
}

void QueueStore::Append(SpoolPtr spool, std::string text, size_t length, Appended done) {
    auto shared = std::make_shared<std::string>(std::move(text));
    auto job = [this, spool, shared, length, done] {
        std::string error;
        const bool ok = AppendNow(*spool, *shared, length, &error);
        done(ok, std::move(*shared), error);
    };
    if (!Post(job)) {
        done(false, std::move(*shared), "the queue is closed");
    }
}

void QueueStore::Drop(SpoolPtr spool) {
    if (spool) {
        Post([spool] {});  // closed: it goes here instead
    }
}

bool QueueStore::AppendNow(Spool& spool, const std::string& text, size_t length,
                           std::string* error) {
    if (spool.fd < 0) {
        spool.fd = CreateTemporaryMessage(&spool.id, error);
        if (spool.fd < 0) {
            return false;
        }
        spool.path = dir_ + "/" + TemporaryMessageName(spool.id);
    }
    if (!WriteAll(spool.fd, text.data(), length)) {
        *error = SystemError("cannot write the message file", errno);
        return false;
    }
    // Started now, the write-back leaves little for the flush before the 250.
    sync_file_range(spool.fd, static_cast<off64_t>(spool.size), static_cast<off64_t>(length),
                    SYNC_FILE_RANGE_WRITE);
    spool.size += length;
    return true;
}

uint64_t QueueStore::StoredCount() const {
    std::lock_guard lock(mutex_);
    return stored_;
}

uint64_t QueueStore::FlushRounds() const {
    std::lock_guard lock(mutex_);
    return rounds_;
}

void QueueStore::WriteBatches() {
    std::unique_lock lock(mutex_);
    while (!pending_.empty()) {
        std::vector<Request> batch;
        batch.swap(pending_);
        lock.unlock();
        std::vector<Prepared> prepared = WriteAndFlush(batch);
        lock.lock();
        for (auto& item : prepared) {
            flushed_.push_back(std::move(item));
        }
        if (!placing_) {
            placing_ = true;
            pool_->Post([this] { PlaceBatches(); });
        }
    }
    writing_ = false;
    idle_.notify_all();
}

void QueueStore::PlaceBatches() {
    std::unique_lock lock(mutex_);
    while (!flushed_.empty()) {
        std::vector<Prepared> items;
        items.swap(flushed_);
        lock.unlock();
        Place(items);
        const size_t finished = items.size();
        items.clear();  // the completions go before Drain may return
        lock.lock();
        finished_ += finished;
        idle_.notify_all();
    }
    placing_ = false;
    idle_.notify_all();
}

// The arrival of a batch, as the companion records it.
QueueStore::Arrival QueueStore::ArrivalNow() {
    const auto now = CurrentTime();
    std::string text = LocalTimestamp(now);
    text.pop_back();  // the line stamp's trailing blank
    return {std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count(),
            std::move(text)};
}

std::vector<QueueStore::Prepared> QueueStore::WriteAndFlush(std::vector<Request>& batch) {
    std::vector<Prepared> items(batch.size());
    const Arrival arrival = ArrivalNow();
    // 1. Write every message and companion under temporary names, and start their write-back at
    // once, so that the flushes below find the data on its way.
    for (size_t i = 0; i < batch.size(); ++i) {
        items[i].request = std::move(batch[i]);
        WriteTemporaryFiles(items[i], arrival);
    }
    // 2. Flush them all at once; the renames that follow must never expose a file whose bytes
    // are not on disk.
    FlushTemporaryFiles(items);
    return items;
}

void QueueStore::WriteTemporaryFiles(Prepared& item, const Arrival& arrival) {
    const Request& request = item.request;
    if (!mailqueue::CanStore(request.envelope)) {
        item.error = "the envelope cannot be stored";
        return;
    }
    size_t mailSize = 0;
    if (!WriteMessage(item, &mailSize)) {
        Discard(item);
        return;
    }
    sync_file_range(item.emlFd, 0, 0, SYNC_FILE_RANGE_WRITE);
    std::string companion = mailqueue::NewCompanionText(item.id, request.envelope, mailSize,
                                                        arrival.unixTime, arrival.text);
    item.cfgFd = openat(dirFd_, TemporaryCompanionName(item.id).c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    iovec companionPart[1] = {{companion.data(), companion.size()}};
    if (item.cfgFd < 0 || !WriteVector(item.cfgFd, companionPart, 1)) {
        item.error = SystemError("cannot write the companion file", errno);
        Discard(item);
        return;
    }
    sync_file_range(item.cfgFd, 0, 0, SYNC_FILE_RANGE_WRITE);
}

// The .eml under its temporary name: the header, the spooled text (the spool's own file when
// there is no header to put before it), the body. False with the item's error set.
bool QueueStore::WriteMessage(Prepared& item, size_t* mailSize) {
    Request& request = item.request;
    SpoolPtr spool = std::move(request.spool);
    const bool spooled = spool && spool->fd >= 0;
    iovec parts[2] = {
        {const_cast<char*>(request.receivedHeader.data()), request.receivedHeader.size()},
        {const_cast<char*>(request.body.data()), request.body.size()}};
    if (spooled && request.receivedHeader.empty()) {
        item.id = spool->id;
        item.emlFd = std::exchange(spool->fd, -1);
        spool->path.clear();
    } else {
        item.emlFd = CreateTemporaryMessage(&item.id, &item.error);
        if (item.emlFd < 0) {
            return false;
        }
    }
    // Header and body in one write unless spooled text goes between them.
    bool written;
    if (!spooled) {
        written = WriteVector(item.emlFd, parts, 2);
    } else if (request.receivedHeader.empty()) {
        written = WriteVector(item.emlFd, parts + 1, 1);
    } else {
        written = WriteVector(item.emlFd, parts, 1) &&
                  CopyFile(spool->fd, item.emlFd, spool->size) &&
                  WriteVector(item.emlFd, parts + 1, 1);
    }
    if (!written) {
        item.error = SystemError("cannot write the message file", errno);
        return false;
    }
    *mailSize = request.receivedHeader.size() + (spooled ? spool->size : 0) + request.body.size();
    return true;
}

// Reserves a mail id and creates its temporary message file, readable for a copy of a spool;
// -1 with error set.
int QueueStore::CreateTemporaryMessage(uint32_t* id, std::string* error) {
    for (int attempt = 0; attempt < kIdAttempts; ++attempt) {
        const uint32_t candidate = AllocateMailId();
        if (candidate == 0) {
            *error = "no mail id could be reserved";
            return -1;
        }
        // An id still in use (after the count wrapped) is skipped, never overwritten.
        if (faccessat(dirFd_, MessageName(candidate).c_str(), F_OK, 0) == 0 ||
            faccessat(dirFd_, CompanionName(candidate).c_str(), F_OK, 0) == 0) {
            continue;
        }
        int fd = openat(dirFd_, TemporaryMessageName(candidate).c_str(),
                        O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) {
            *id = candidate;
            return fd;
        }
        if (errno != EEXIST) {
            *error = SystemError("cannot create the message file", errno);
            return -1;
        }
    }
    *error = "no free mail id";
    return -1;
}

void QueueStore::FlushTemporaryFiles(std::vector<Prepared>& items) {
    std::vector<int> fds;
    fds.reserve(2 * items.size());
    for (const Prepared& item : items) {
        if (item.emlFd >= 0) {
            fds.push_back(item.emlFd);
            fds.push_back(item.cfgFd);
        }
    }
    std::vector<int> errors;
    pool_->FlushAll(fds, errors);
    size_t next = 0;
    for (Prepared& item : items) {
        if (item.emlFd < 0) {
            continue;
        }
        const int error = errors[next] != 0 ? errors[next] : errors[next + 1];
        next += 2;
        if (error != 0) {
            item.error = SystemError("cannot flush the queue files", error);
            Discard(item);
            continue;
        }
        close(item.emlFd);
        close(item.cfgFd);
        item.emlFd = item.cfgFd = -1;
        item.flushed = true;
    }
}

void QueueStore::Discard(Prepared& item) {
    if (item.emlFd >= 0) {
        close(item.emlFd);
        item.emlFd = -1;
    }
    if (item.cfgFd >= 0) {
        close(item.cfgFd);
        item.cfgFd = -1;
    }
    if (item.id != 0) {
        unlinkat(dirFd_, TemporaryMessageName(item.id).c_str(), 0);
        unlinkat(dirFd_, TemporaryCompanionName(item.id).c_str(), 0);
    }
}

// 3. Renames into place, the message before its companion, and one flush of the directory. It
// runs beside the writer, so one journal commit can carry this batch's renames and the next
// batch's data.
void QueueStore::Place(std::vector<Prepared>& items) {
    // Told to this process's SEND service once the directory is flushed.
    std::vector<uint32_t> ids;
    std::vector<const Prepared*> told;
    for (const Prepared& item : items) {
        if (item.flushed) {
            ids.push_back(item.id);
            told.push_back(&item);
        }
    }
    if (arrivals_ != nullptr) {
        arrivals_->Placing(dir_, ids);
    }
    bool renamed = false;
    for (Prepared& item : items) {
        if (item.flushed) {
            item.flushed = false;
            renamed = PlaceOne(item) || renamed;
        }
    }
    if (renamed && fsync(dirFd_) != 0) {
        TakeBackPlaced(items, SystemError("cannot flush the queue directory", errno));
    }
    uint64_t stored = 0;
    for (const Prepared& item : items) {
        stored += item.placed ? 1 : 0;
    }
    {
        std::lock_guard lock(mutex_);
        stored_ += stored;
        ++rounds_;
    }
    for (const Prepared* item : told) {
        if (arrivals_ != nullptr) {
            arrivals_->Settled(dir_, item->id, item->placed);
        }
    }
    for (Prepared& item : items) {
        item.request.done(item.placed, item.placed ? item.id : 0, item.error);
    }
}

bool QueueStore::HasFreeSpace(uint64_t minFree, bool* changed) {
    struct statvfs info {};
    const bool room = dirFd_ < 0 || fstatvfs(dirFd_, &info) != 0 ||
                      static_cast<uint64_t>(info.f_bavail) * info.f_frsize >= minFree;
    *changed = lowOnSpace_.exchange(!room) == room;
    return room;
}

bool QueueStore::PlaceOne(Prepared& item) {
    if (!RenameNoReplaceAt(dirFd_, TemporaryMessageName(item.id).c_str(), dirFd_,
                           MessageName(item.id).c_str())) {
        item.error = SystemError("cannot rename the message file", errno);
        unlinkat(dirFd_, TemporaryMessageName(item.id).c_str(), 0);
        unlinkat(dirFd_, TemporaryCompanionName(item.id).c_str(), 0);
        return false;
    }
    if (!RenameNoReplaceAt(dirFd_, TemporaryCompanionName(item.id).c_str(), dirFd_,
                           CompanionName(item.id).c_str())) {
        item.error = SystemError("cannot rename the companion file", errno);
        unlinkat(dirFd_, MessageName(item.id).c_str(), 0);
        unlinkat(dirFd_, TemporaryCompanionName(item.id).c_str(), 0);
        return false;
    }
    item.placed = true;
    return true;
}

// Not durable: the entries go again, so that the client's retry cannot double them.
void QueueStore::TakeBackPlaced(std::vector<Prepared>& items, const std::string& error) {
    for (Prepared& item : items) {
        if (item.placed) {
            unlinkat(dirFd_, CompanionName(item.id).c_str(), 0);
            unlinkat(dirFd_, MessageName(item.id).c_str(), 0);
            item.placed = false;
            item.error = error;
        }
    }
}

}  // namespace relvo::mail
