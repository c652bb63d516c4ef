#include "send/scheduler.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "common/profile_file.h"
#include "core/app_dirs.h"
#include "core/engine_config.h"
#include "core/event_log.h"
#include "send/arrival_watch.h"
#include "send/recipient_states.h"
#include "send/send_queue.h"

namespace relvo::mail::send {

namespace {

using Clock = std::chrono::system_clock;

}  // namespace

SendScheduler::SendScheduler(int slots, std::string queueDir, std::string oldDir, EventLog& log,
                             ArrivalWatch& arrivals, RecipientStates& states, StartTry start)
    : slots_(slots),
      queueDir_(std::move(queueDir)),
      oldDir_(std::move(oldDir)),
      log_(log),
      arrivals_(arrivals),
      states_(states),
      start_(std::move(start)) {}

SendScheduler::~SendScheduler() {
    End(std::chrono::milliseconds(0));
}

void SendScheduler::Begin() {
    dispatcher_ = std::thread([this] { Dispatch(); });
}

size_t SendScheduler::End(std::chrono::milliseconds grace) {
    size_t cut = 0;
    {
        std::unique_lock lock(mutex_);
        stopping_ = true;
        wake_.notify_all();
        // Tries under way get a moment; what is cut off stays pending in the queue.
        idle_.wait_for(lock, grace, [this] { return schedule_.InFlight() == 0; });
        cut = schedule_.InFlight();
    }
    if (dispatcher_.joinable()) {
        dispatcher_.join();
    }
    return cut;
}

// Arrivals and finished tries start what is due themselves, without waiting for this loop.
void SendScheduler::Dispatch() {
    auto lastClean = Steady::time_point();
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        lock.unlock();
        if (Steady::now() - lastClean > std::chrono::hours(1)) {
            lastClean = Steady::now();
            CleanUp();
        }
        states_.RewriteOwed();
        ArrivalWatch::Found found = arrivals_.Look(Steady::now());
        lock.lock();
        for (uint32_t id : found.listed) {
            schedule_.Learn(id);
        }
        for (uint32_t id : found.retries) {
            schedule_.Retry(id);  // an operator asked for it now
        }
        StartDue();
        wake_.wait_until(lock, std::min(arrivals_.NextListing(), NextDueTime()));
    }
}

// Deletes finished mail older than the days kept, and what killed writers left.
void SendScheduler::CleanUp() {
    auto config = EngineConfig::Load();
    int removed = DeleteOlderThan(oldDir_, config->logSendDays, Clock::to_time_t(Clock::now()));
    if (removed > 0) {
        log_.Line("Removed " + std::to_string(removed) + " files of finished mail from old");
    }
    for (const std::string& dir : {queueDir_, oldDir_, AppDir()}) {
        profile::RemoveStaleTemporariesIn(dir);
    }
}

// When the earliest waiting entry falls due, on the steady clock; far ahead when none waits.
SendScheduler::Steady::time_point SendScheduler::NextDueTime() const {
    std::optional<std::int64_t> next = schedule_.NextWaiting();
    if (!next) {
        return Steady::time_point::max();
    }
    // To the start of that second, not to a whole second from now: the wait must not end before
    // the entry is due, nor run a second late.
    auto left = Clock::from_time_t(static_cast<std::time_t>(*next)) - Clock::now();
    return Steady::now() + std::max(Clock::duration::zero(), left) + std::chrono::milliseconds(1);
}

// Under mutex_: starts due entries while there is room.
void SendScheduler::StartDue() {
    std::int64_t now = UnixNow();
    while (!stopping_ && schedule_.InFlight() < static_cast<size_t>(slots_)) {
        std::optional<uint32_t> id = schedule_.TakeDue(now);
        if (!id) {
            return;
        }
        start_(*id);
    }
}

void SendScheduler::Learn(uint32_t id) {
    std::lock_guard lock(mutex_);
    if (schedule_.Learn(id)) {
        StartDue();
    }
}

void SendScheduler::Wake() {
    std::lock_guard lock(mutex_);
    wake_.notify_all();
}

void SendScheduler::Finished(uint32_t id, std::int64_t nextTry, bool left) {
    std::lock_guard lock(mutex_);
    schedule_.Finished(id, nextTry, left);
    StartDue();
    if (schedule_.InFlight() == 0) {
        idle_.notify_all();
    }
    if (!left && nextTry != 0) {
        wake_.notify_all();  // the dispatcher's wait may have to end sooner
    }
}

}  // namespace relvo::mail::send
