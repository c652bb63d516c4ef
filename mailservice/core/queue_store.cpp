#include "core/queue_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/clock.h"
#include "core/mail_ids.h"
#include "core/timestamp.h"

namespace relvo::mail {

namespace {

// The store returns at most this many characters of a value.
constexpr size_t kMaxCompanionValue = 1023;
constexpr int kIdAttempts = 5;
constexpr const char* kWritersLock = ".writers.lock";
// Flushes in flight at once (with the writer's own): a batch of 16 messages is flushed in one
// go and shares the journal commits, where flushes one after another pay a commit each.
constexpr int kFlushThreads = 31;

std::string SystemError(const char* what, int error) {
    return std::string(what) + ": " + std::strerror(error);
}

bool IsBlankOrQuote(char c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '"' || c == '\'';
}

// Whether a value comes back from the store exactly as written (after the quoting below).
bool IsCompanionValue(const std::string& value) {
    return value.size() <= kMaxCompanionValue - 2 &&
           value.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos;
}

// The store trims blanks and strips one pair of surrounding quotes: a value that would lose
// either is written inside a pair of quotes, which the reader removes.
void AppendValueLine(std::string& text, std::string_view key, const std::string& value) {
    text.append(key);
    text.push_back('=');
    if (!value.empty() && (IsBlankOrQuote(value.front()) || IsBlankOrQuote(value.back()))) {
        text.push_back('"');
        text.append(value);
        text.push_back('"');
    } else {
        text.append(value);
    }
    text.append("\r\n");
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

bool EndsWith(std::string_view text, std::string_view end) {
    return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

// "<digits>" before the given extension, as a file of ours would be named.
bool IsIdName(std::string_view name, std::string_view extension) {
    if (!EndsWith(name, extension) || name.size() == extension.size()) {
        return false;
    }
    for (char c : name.substr(0, name.size() - extension.size())) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

std::string TempName(uint32_t id, const char* extension) {
    return std::to_string(id) + extension + ".tmp";
}

std::string FinalName(uint32_t id, const char* extension) {
    return std::to_string(id) + extension;
}

}  // namespace

QueueStore::QueueStore(std::string queueDir) : dir_(std::move(queueDir)) {}

QueueStore::~QueueStore() {
    Close();
}

bool QueueStore::Open(std::string* error) {
    std::lock_guard lock(mutex_);
    if (open_) {
        return true;
    }
    if (mkdir(dir_.c_str(), 0700) != 0 && errno != EEXIST) {
        if (error) {
            *error = SystemError(("Cannot create the queue directory " + dir_).c_str(), errno);
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
    writersFd_ = openat(dirFd_, kWritersLock, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
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
    flusher_ = std::make_unique<FlushPool>(kFlushThreads);
    writerDone_ = false;
    worker_ = std::thread([this] { Run(); });
    placer_ = std::thread([this] { RunPlacer(); });
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
        bool leftover = IsIdName(name, ".eml.tmp") || IsIdName(name, ".cfg.tmp");
        if (!leftover && IsIdName(name, ".eml")) {
            const std::string companion = name.substr(0, name.size() - 4) + ".cfg";
            leftover = !std::binary_search(names.begin(), names.end(), companion);
        }
        if (leftover && unlinkat(dirFd_, name.c_str(), 0) == 0) {
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
    lock.unlock();
    wake_.notify_all();
    worker_.join();
    lock.lock();
    writerDone_ = true;
    lock.unlock();
    placeWake_.notify_all();
    placer_.join();
    lock.lock();
    open_ = false;
    flusher_.reset();
    close(writersFd_);
    writersFd_ = -1;
    close(dirFd_);
    dirFd_ = -1;
}

void QueueStore::Store(Envelope envelope, std::string receivedHeader, std::string body, Done done) {
    {
        std::lock_guard lock(mutex_);
        if (open_ && !stopping_) {
            pending_.push_back(Request{std::move(envelope), std::move(receivedHeader),
                                       std::move(body), std::move(done)});
            wake_.notify_one();
            return;
        }
    }
    done(false, 0, "the queue is closed");
}

uint64_t QueueStore::StoredCount() const {
    std::lock_guard lock(mutex_);
    return stored_;
}

uint64_t QueueStore::FlushRounds() const {
    std::lock_guard lock(mutex_);
    return rounds_;
}

void QueueStore::Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !pending_.empty(); });
        if (pending_.empty()) {
            break;  // stopping, and everything handed in is written
        }
        std::vector<Request> batch;
        batch.swap(pending_);
        lock.unlock();
        std::vector<Prepared> prepared = WriteAndFlush(batch);
        lock.lock();
        for (auto& item : prepared) {
            flushed_.push_back(std::move(item));
        }
        placeWake_.notify_one();
    }
}

void QueueStore::RunPlacer() {
    std::unique_lock lock(mutex_);
    for (;;) {
        placeWake_.wait(lock, [this] { return writerDone_ || !flushed_.empty(); });
        if (flushed_.empty()) {
            break;  // the writer has ended and everything is placed
        }
        std::vector<Prepared> items;
        items.swap(flushed_);
        lock.unlock();
        Place(items);
        lock.lock();
    }
}

std::string QueueStore::CompanionText(uint32_t id, const Envelope& envelope, size_t mailSize,
                                      std::int64_t arrivalUnix, const std::string& arrivalText) {
    namespace keys = companion_keys;
    std::string text;
    text.reserve(256 + envelope.recipients.size() * 64);
    text.append("[").append(keys::kSection).append("]\r\n");
    AppendValueLine(text, "MailId", std::to_string(id));
    AppendValueLine(text, "MailFrom", envelope.mailFrom);
    AppendValueLine(text, "RcptToNumber", std::to_string(envelope.recipients.size()));
    for (size_t i = 0; i < envelope.recipients.size(); ++i) {
        AppendValueLine(text, "RcptTo" + std::to_string(i), envelope.recipients[i]);
    }
    AppendValueLine(text, keys::kArrivalTime, arrivalText);
    AppendValueLine(text, keys::kArrivalUnix, std::to_string(arrivalUnix));
    AppendValueLine(text, keys::kClientAddress, envelope.clientAddress);
    AppendValueLine(text, keys::kHeloName, envelope.heloName);
    AppendValueLine(text, keys::kAuthUser, envelope.authUser);
    AppendValueLine(text, keys::kMailSize, std::to_string(mailSize));
    AppendValueLine(text, keys::kTries, "0");
    AppendValueLine(text, keys::kNextTry, "0");
    for (size_t i = 0; i < envelope.recipients.size(); ++i) {
        AppendValueLine(text, keys::kRcptStatusPrefix + std::to_string(i), keys::kStatePending);
    }
    return text;
}

std::vector<QueueStore::Prepared> QueueStore::WriteAndFlush(std::vector<Request>& batch) {
    std::vector<Prepared> items(batch.size());
    const auto now = CurrentTime();
    const std::int64_t arrivalUnix =
        std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
    std::string arrivalText = LocalTimestamp(now);
    arrivalText.pop_back();  // the line stamp's trailing blank

    auto discard = [this](Prepared& item) {
        if (item.emlFd >= 0) {
            close(item.emlFd);
            item.emlFd = -1;
        }
        if (item.cfgFd >= 0) {
            close(item.cfgFd);
            item.cfgFd = -1;
        }
        if (item.id != 0) {
            unlinkat(dirFd_, TempName(item.id, ".eml").c_str(), 0);
            unlinkat(dirFd_, TempName(item.id, ".cfg").c_str(), 0);
        }
    };

    // 1. Write every message and companion under temporary names, and start their write-back at
    // once, so that the flushes below find the data on its way.
    for (size_t i = 0; i < batch.size(); ++i) {
        Prepared& item = items[i];
        item.request = std::move(batch[i]);
        const Request& request = item.request;
        bool valid = !request.envelope.recipients.empty() &&
                     IsCompanionValue(request.envelope.mailFrom) &&
                     IsCompanionValue(request.envelope.clientAddress) &&
                     IsCompanionValue(request.envelope.heloName) &&
                     IsCompanionValue(request.envelope.authUser);
        for (const auto& recipient : request.envelope.recipients) {
            valid = valid && IsCompanionValue(recipient);
        }
        if (!valid) {
            item.error = "the envelope cannot be stored";
            continue;
        }
        for (int attempt = 0; attempt < kIdAttempts && item.emlFd < 0; ++attempt) {
            uint32_t id = AllocateMailId();
            if (id == 0) {
                item.error = "no mail id could be reserved";
                break;
            }
            // An id still in use (after the count wrapped) is skipped, never overwritten.
            if (faccessat(dirFd_, FinalName(id, ".eml").c_str(), F_OK, 0) == 0 ||
                faccessat(dirFd_, FinalName(id, ".cfg").c_str(), F_OK, 0) == 0) {
                continue;
            }
            int fd = openat(dirFd_, TempName(id, ".eml").c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            if (fd >= 0) {
                item.id = id;
                item.emlFd = fd;
            } else if (errno != EEXIST) {
                item.error = SystemError("cannot create the message file", errno);
                break;
            }
        }
        if (item.emlFd < 0) {
            if (item.error.empty()) {
                item.error = "no free mail id";
            }
            continue;
        }
        iovec parts[2] = {
            {const_cast<char*>(request.receivedHeader.data()), request.receivedHeader.size()},
            {const_cast<char*>(request.body.data()), request.body.size()}};
        if (!WriteVector(item.emlFd, parts, 2)) {
            item.error = SystemError("cannot write the message file", errno);
            discard(item);
            continue;
        }
        sync_file_range(item.emlFd, 0, 0, SYNC_FILE_RANGE_WRITE);
        const size_t mailSize = request.receivedHeader.size() + request.body.size();
        std::string companion =
            CompanionText(item.id, request.envelope, mailSize, arrivalUnix, arrivalText);
        item.cfgFd = openat(dirFd_, TempName(item.id, ".cfg").c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        iovec companionPart[1] = {{companion.data(), companion.size()}};
        if (item.cfgFd < 0 || !WriteVector(item.cfgFd, companionPart, 1)) {
            item.error = SystemError("cannot write the companion file", errno);
            discard(item);
            continue;
        }
        sync_file_range(item.cfgFd, 0, 0, SYNC_FILE_RANGE_WRITE);
    }

    // 2. Flush them all at once; the renames that follow must never expose a file whose bytes
    // are not on disk.
    std::vector<int> fds;
    fds.reserve(2 * items.size());
    for (const Prepared& item : items) {
        if (item.emlFd >= 0) {
            fds.push_back(item.emlFd);
            fds.push_back(item.cfgFd);
        }
    }
    std::vector<int> errors;
    flusher_->FlushAll(fds, errors);
    size_t next = 0;
    for (Prepared& item : items) {
        if (item.emlFd < 0) {
            continue;
        }
        const int error = errors[next] != 0 ? errors[next] : errors[next + 1];
        next += 2;
        if (error != 0) {
            item.error = SystemError("cannot flush the queue files", error);
            discard(item);
            continue;
        }
        close(item.emlFd);
        close(item.cfgFd);
        item.emlFd = item.cfgFd = -1;
        item.flushed = true;
    }
    return items;
}

// 3. Renames into place, the message before its companion, and one flush of the directory. It
// runs beside the writer, so one journal commit can carry this batch's renames and the next
// batch's data.
void QueueStore::Place(std::vector<Prepared>& items) {
    bool renamed = false;
    for (Prepared& item : items) {
        if (!item.flushed) {
            continue;
        }
        item.flushed = false;
        if (renameat(dirFd_, TempName(item.id, ".eml").c_str(), dirFd_,
                     FinalName(item.id, ".eml").c_str()) != 0) {
            item.error = SystemError("cannot rename the message file", errno);
            unlinkat(dirFd_, TempName(item.id, ".eml").c_str(), 0);
            unlinkat(dirFd_, TempName(item.id, ".cfg").c_str(), 0);
            continue;
        }
        if (renameat(dirFd_, TempName(item.id, ".cfg").c_str(), dirFd_,
                     FinalName(item.id, ".cfg").c_str()) != 0) {
            item.error = SystemError("cannot rename the companion file", errno);
            unlinkat(dirFd_, FinalName(item.id, ".eml").c_str(), 0);
            unlinkat(dirFd_, TempName(item.id, ".cfg").c_str(), 0);
            continue;
        }
        item.placed = true;
        renamed = true;
    }
    if (renamed && fsync(dirFd_) != 0) {
        // Not durable: take the entries back so that the client's retry cannot double them.
        const std::string error = SystemError("cannot flush the queue directory", errno);
        for (Prepared& item : items) {
            if (item.placed) {
                unlinkat(dirFd_, FinalName(item.id, ".cfg").c_str(), 0);
                unlinkat(dirFd_, FinalName(item.id, ".eml").c_str(), 0);
                item.placed = false;
                item.error = error;
            }
        }
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
    for (Prepared& item : items) {
        item.request.done(item.placed, item.placed ? item.id : 0, item.error);
    }
}

}  // namespace relvo::mail
