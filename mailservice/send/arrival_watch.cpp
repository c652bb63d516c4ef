#include "send/arrival_watch.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/app_dirs.h"
#include "core/event_log.h"

namespace relvo::mail::send {

namespace {

// How often the queue directory is listed: a safety net while it is watched.
constexpr std::chrono::milliseconds kWatchedScanInterval(30000);
constexpr std::chrono::milliseconds kUnwatchedScanInterval(1000);

}  // namespace

ArrivalWatch::ArrivalWatch(asio::io_context& io, ArrivalChannel& channel, std::string queueDir,
                           EventLog& log, std::optional<std::chrono::milliseconds> scanInterval,
                           Handlers handlers)
    : io_(io),
      channel_(channel),
      queueDir_(std::move(queueDir)),
      log_(log),
      chosenInterval_(scanInterval),
      handlers_(std::move(handlers)),
      interval_(scanInterval.value_or(kUnwatchedScanInterval)) {}

ArrivalWatch::~ArrivalWatch() {
    Stop();
}

void ArrivalWatch::Start() {
    Watch();
    interval_ = chosenInterval_.value_or(watch_ ? kWatchedScanInterval : kUnwatchedScanInterval);
    // Entries this process's receiving side queues come straight here.
    channel_.Listen([this](const std::string& dir, uint32_t id) {
        if (dir == queueDir_) {
            handlers_.arrived(id);
        }
    });
}

void ArrivalWatch::Stop() {
    channel_.Listen(nullptr);
}

ArrivalWatch::Found ArrivalWatch::Look(Steady::time_point now) {
    Found found;
    if (now >= nextListing_ || relist_.exchange(false)) {
        nextListing_ = now + interval_;
        found.listed = List();
    }
    found.retries = mailqueue::TakeRetryRequests(queueDir_, &retrySeen_);
    return found;
}

// One listing of the queue directory: what was not known (mail queued while the service was off,
// or missed by the watch) is then learned by the dispatcher.
std::vector<uint32_t> ArrivalWatch::List() {
    std::vector<uint32_t> refused;
    std::vector<std::string> strays;
    std::vector<uint32_t> ids = mailqueue::ListEntryIds(queueDir_, &refused, &strays);
    SayRefusedOnce(refused);
    QuarantineStrays(strays);
    // What this process is placing is handed over once it is flushed.
    std::erase_if(ids, [this](uint32_t id) { return channel_.PlacingHere(queueDir_, id); });
    return ids;
}

void ArrivalWatch::SayRefusedOnce(const std::vector<uint32_t>& ids) {
    for (uint32_t id : ids) {
        if (refusedLinks_.insert(id).second) {
            log_.Line("Mail " + std::to_string(id) +
                      ": its companion is a symbolic link or not a regular file; skipped");
        }
    }
}

// Companions under a name the queue never writes ("0212.cfg") are no entry anybody would send:
// they go to quarantine/ as soon as a listing sees them.
void ArrivalWatch::QuarantineStrays(const std::vector<std::string>& strays) {
    for (const std::string& name : strays) {
        if (unmovable_.count(name) != 0) {
            continue;  // told once; a later listing would only repeat the line
        }
        bool moved = mailqueue::MoveStrayToQuarantine(queueDir_, QuarantineDir(), name);
        if (!moved && unmovable_.size() < 1000) {
            unmovable_.insert(name);
        }
        log_.Line("Queue file " + name + " names no entry; " +
                  (moved ? "moved to quarantine" : "could not be moved to quarantine"));
    }
}

// Mail queued by other processes: its companion is renamed into the queue directory. Without a
// watch the listing runs often.
void ArrivalWatch::Watch() {
    int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd >= 0 && inotify_add_watch(fd, queueDir_.c_str(), IN_MOVED_TO | IN_ONLYDIR) < 0) {
        const int error = errno;
        close(fd);
        fd = -1;
        errno = error;
    }
    if (fd < 0) {
        log_.Line("The queue directory cannot be watched (" + std::string(strerror(errno)) +
                  "); it is looked at every second");
        return;
    }
    watch_ = std::make_unique<asio::posix::stream_descriptor>(io_, fd);
    AwaitEvents();
}

void ArrivalWatch::AwaitEvents() {
    watch_->async_wait(asio::posix::stream_descriptor::wait_read, [this](asio::error_code e) {
        if (!e && ReadEvents()) {
            AwaitEvents();
        }
    });
}

// False when the watch has ended (the directory went): the listing then carries on alone.
bool ArrivalWatch::ReadEvents() {
    alignas(inotify_event) char buffer[16384];
    for (;;) {
        ssize_t got = read(watch_->native_handle(), buffer, sizeof buffer);
        if (got <= 0) {
            return got < 0 && (errno == EAGAIN || errno == EINTR);
        }
        for (size_t at = 0; at + sizeof(inotify_event) <= static_cast<size_t>(got);) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += sizeof(inotify_event) + event->len;
            if (at > static_cast<size_t>(got)) {
                break;
            }
            if (!OnEvent(*event)) {
                return false;
            }
        }
    }
}

bool ArrivalWatch::OnEvent(const inotify_event& event) {
    if (event.mask & (IN_IGNORED | IN_UNMOUNT)) {
        return false;
    }
    if (event.mask & IN_Q_OVERFLOW) {
        relist_ = true;
        handlers_.wake();
        return true;
    }
    const std::string_view name(event.name, event.len > 0 ? strnlen(event.name, event.len) : 0);
    uint32_t id = 0;
    // This process's own entries are told by their writer once they are flushed.
    if (mailqueue::ParseEntryName(name, &id) && !channel_.PlacingHere(queueDir_, id)) {
        handlers_.arrived(id);
    } else if (name == "retry.cfg") {
        handlers_.wake();  // an operator's retry request
    }
    return true;
}

}  // namespace relvo::mail::send
