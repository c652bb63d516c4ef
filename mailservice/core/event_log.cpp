#include "core/event_log.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "common/clock.h"
#include "common/owner_only_directory.h"
#include "core/timestamp.h"

namespace relvo::mail {

namespace {

// Beyond this much unwritten text (a disk that stalls) lines are dropped rather than kept in
// memory or waited for.
constexpr size_t kMaxBufferedBytes = 16 * 1024 * 1024;
constexpr auto kWritePeriod = std::chrono::milliseconds(100);
// One event is one line of bounded length, whatever text a caller hands in.
constexpr size_t kMaxLineLength = 4096;

std::chrono::year_month_day LocalDate(std::chrono::system_clock::time_point when) {
    std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    std::tm parts{};
    localtime_r(&seconds, &parts);
    return std::chrono::year_month_day{std::chrono::year{parts.tm_year + 1900},
                                       std::chrono::month{static_cast<unsigned>(parts.tm_mon + 1)},
                                       std::chrono::day{static_cast<unsigned>(parts.tm_mday)}};
}

int DateNumber(std::chrono::year_month_day date) {
    return static_cast<int>(date.year()) * 10000 + static_cast<int>(unsigned(date.month())) * 100 +
           static_cast<int>(unsigned(date.day()));
}

bool WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Debugging is asked for in the environment, so that it needs no setting a user could leave on.
bool DebugRequested() {
    const char* value = std::getenv("RELVO_DEBUG_LOG");
    return value != nullptr && std::string_view(value) == "1";
}

}  // namespace

EventLog::EventLog(std::string logDir, std::string prefix)
    : logDir_(std::move(logDir)), prefix_(std::move(prefix)) {
    worker_ = std::thread([this] { Run(); });
}

EventLog::~EventLog() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    worker_.join();
}

void EventLog::Configure(bool enabled, int keepDays) {
    debug_.store(DebugRequested(), std::memory_order_relaxed);
    {
        std::lock_guard lock(mutex_);
        enabled_ = enabled;
        keepDays_ = keepDays;
        lastDateKey_ = LocalDateKey(CurrentTime());
    }
    if (enabled) {
        DeleteOldFiles(logDir_, prefix_, keepDays, CurrentTime());
    }
}

void EventLog::SetWindow(RelvoMailWindow* window, unsigned int message) {
    std::lock_guard lock(mutex_);
    window_.SetWindow(window, message);
    hasWindow_ = window != nullptr;
}

void EventLog::Line(std::string_view text) {
    const auto now = CurrentTime();
    const auto second = std::chrono::time_point_cast<std::chrono::seconds>(now);
    std::lock_guard lock(mutex_);
    if (!enabled_ && !hasWindow_) {
        return;
    }
    // One conversion to local time per second, not per line.
    if (second != stampSecond_ || stampText_.empty()) {
        stampSecond_ = second;
        stampText_ = LocalTimestamp(now);
        stampDateKey_ = LocalDateKey(now);
    }
    if (bufferedBytes_ + text.size() > kMaxBufferedBytes) {
        ++dropped_;
        return;
    }
    if (pending_.empty() || pending_.back().dateKey != stampDateKey_) {
        pending_.push_back(Chunk{stampDateKey_, {}, {}});
    }
    Chunk& chunk = pending_.back();
    chunk.lineStarts.push_back(chunk.text.size());
    chunk.text.append(stampText_);
    const size_t textStart = chunk.text.size();
    const bool cut = text.size() > kMaxLineLength;
    chunk.text.append(text.substr(0, kMaxLineLength));
    // A line break inside the text would forge a line of its own.
    for (size_t i = textStart; i < chunk.text.size(); ++i) {
        if (chunk.text[i] == '\r' || chunk.text[i] == '\n' || chunk.text[i] == '\0') {
            chunk.text[i] = ' ';
        }
    }
    if (cut) {
        chunk.text.append("...");
    }
    chunk.text.append("\r\n");
    bufferedBytes_ += chunk.text.size() - chunk.lineStarts.back();
    ++appended_;
}

void EventLog::Flush() {
    std::unique_lock lock(mutex_);
    const unsigned long long target = appended_;
    flushRequested_ = true;
    wake_.notify_all();
    flushed_.wait(lock, [&] { return written_ >= target || stopping_; });
}

void EventLog::Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait_for(lock, kWritePeriod, [this] { return stopping_ || flushRequested_; });
        flushRequested_ = false;
        std::vector<Chunk> chunks;
        chunks.swap(pending_);
        const unsigned long long count = appended_;
        const unsigned long long dropped = dropped_;
        dropped_ = 0;
        bufferedBytes_ = 0;
        const bool enabled = enabled_;
        const int keepDays = keepDays_;
        const bool stopping = stopping_;
        const auto now = CurrentTime();
        std::string today = LocalDateKey(now);
        const bool newDay = today != lastDateKey_;
        lastDateKey_ = today;
        lock.unlock();

        if (newDay && enabled) {
            DeleteOldFiles(logDir_, prefix_, keepDays, now);
        }
        if (dropped > 0) {
            std::string note = LocalTimestamp(now) + std::to_string(dropped) +
                               " log lines dropped: the log directory is too slow\r\n";
            chunks.push_back(Chunk{LocalDateKey(now), note, {0}});
        }
        WriteChunks(chunks, enabled);

        lock.lock();
        written_ = count;
        flushed_.notify_all();
        if (stopping && pending_.empty()) {
            break;
        }
    }
    lock.unlock();
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
}

// Never through a link planted at the file's name, nor into a FIFO or device: those are refused,
// once a day on the window and on standard error, since the file itself cannot say it.
int EventLog::OpenDailyFile(const std::string& dateKey) {
    const std::string path = logDir_ + "/" + prefix_ + dateKey + ".txt";
    const int flags =
        O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
    int fd = open(path.c_str(), flags, 0640);
    if (fd < 0 && errno == ENOENT) {
        MakeOwnerOnlyDirectory(logDir_);
        fd = open(path.c_str(), flags, 0640);
    }
    struct stat info {};
    const bool refused = (fd < 0 && errno == ELOOP) ||
                         (fd >= 0 && (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)));
    if (!refused) {
        return fd;
    }
    if (fd >= 0) {
        close(fd);
    }
    if (refusedDateKey_ != dateKey) {
        refusedDateKey_ = dateKey;
        const std::string note =
            "Log file " + path +
            " is a symbolic link or not a regular file; nothing is written to it";
        std::fprintf(stderr, "%s\n", note.c_str());
        if (window_.HasWindow()) {
            window_.Post(LocalTimestamp(CurrentTime()) + note);
        }
    }
    return -1;
}

void EventLog::WriteChunks(std::vector<Chunk>& chunks, bool toFile) {
    for (Chunk& chunk : chunks) {
        if (toFile) {
            if (fd_ < 0 || fdDateKey_ != chunk.dateKey) {
                if (fd_ >= 0) {
                    close(fd_);
                }
                fd_ = OpenDailyFile(chunk.dateKey);
                fdDateKey_ = chunk.dateKey;
            }
            if (fd_ >= 0) {
                WriteAll(fd_, chunk.text.data(), chunk.text.size());
            }
        }
        if (window_.HasWindow()) {
            // The window takes lines without their line end; the text is turned into a string per
            // line in place.
            for (size_t i = 0; i < chunk.lineStarts.size(); ++i) {
                size_t start = chunk.lineStarts[i];
                size_t end =
                    i + 1 < chunk.lineStarts.size() ? chunk.lineStarts[i + 1] : chunk.text.size();
                window_.Post(std::string_view(chunk.text).substr(start, end - start - 2));
            }
        }
    }
}

int EventLog::DeleteOldFiles(const std::string& dir, const std::string& prefix, int keepDays,
                             std::chrono::system_clock::time_point now) {
    if (keepDays < 1) {
        keepDays = 1;
    }
    const auto oldestKept = std::chrono::year_month_day{std::chrono::sys_days{LocalDate(now)} -
                                                        std::chrono::days{keepDays - 1}};
    const int oldestKeptNumber = DateNumber(oldestKept);
    DIR* listing = opendir(dir.c_str());
    if (listing == nullptr) {
        return 0;
    }
    int deleted = 0;
    while (dirent* entry = readdir(listing)) {
        std::string_view name = entry->d_name;
        // Only this service's own daily files: <prefix>YYYYMMDD.txt.
        if (name.size() != prefix.size() + 12 || name.substr(0, prefix.size()) != prefix ||
            name.substr(prefix.size() + 8) != ".txt") {
            continue;
        }
        int number = 0;
        bool digits = true;
        for (char c : name.substr(prefix.size(), 8)) {
            digits = digits && c >= '0' && c <= '9';
            number = number * 10 + (c - '0');
        }
        if (digits && number < oldestKeptNumber &&
            unlinkat(dirfd(listing), entry->d_name, 0) == 0) {
            ++deleted;
        }
    }
    closedir(listing);
    return deleted;
}

}  // namespace relvo::mail
