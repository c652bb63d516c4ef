// The SEND service's dispatcher: which queued mail is tried when, with at most `slots` tries in
// flight. New entries and finished tries start what is due at once; a thread of its own waits for
// the next entry that falls due, takes the arrivals' listing and the operator's retry requests,
// writes the states old/ is owed, and cleans old/ up once an hour.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "send/send_queue.h"

namespace relvo::mail {
class EventLog;
}

namespace relvo::mail::send {

class ArrivalWatch;
class RecipientStates;

class SendScheduler {
  public:
    // Starts one try of the entry; the try ends with a call of Finished.
    using StartTry = std::function<void(uint32_t id)>;

    SendScheduler(int slots, std::string queueDir, std::string oldDir, EventLog& log,
                  ArrivalWatch& arrivals, RecipientStates& states, StartTry start);
    ~SendScheduler();
    SendScheduler(const SendScheduler&) = delete;
    SendScheduler& operator=(const SendScheduler&) = delete;

    void Begin();
    // No try starts after this. Waits up to grace for the tries under way and returns how many
    // were still in flight; the dispatcher has ended.
    size_t End(std::chrono::milliseconds grace);

    // A new entry, from this process's receiving side, the watch or a listing.
    void Learn(uint32_t id);
    // The dispatcher looks now (a retry request, or the watch lost events).
    void Wake();
    // A try is over: the entry left the queue, or waits until nextTry (0: due).
    void Finished(uint32_t id, std::int64_t nextTry, bool left);

  private:
    using Steady = std::chrono::steady_clock;
    void Dispatch();
    void CleanUp();
    Steady::time_point NextDueTime() const;
    void StartDue();

    const int slots_;
    const std::string queueDir_;
    const std::string oldDir_;
    EventLog& log_;
    ArrivalWatch& arrivals_;
    RecipientStates& states_;
    const StartTry start_;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    Schedule schedule_;
    bool stopping_ = false;
    std::thread dispatcher_;
};

}  // namespace relvo::mail::send
