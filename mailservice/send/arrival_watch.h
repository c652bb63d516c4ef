// How the SEND service learns of queue entries: those this process's receiving side places are
// handed over through the process's ArrivalChannel once they are flushed; those of other
// processes (a console beside relvoserver, a file dropped in) are seen by an inotify watch on the
// queue directory; a listing of the directory (every 30 seconds while the watch works, else every
// second) is the safety net under both and finds what was queued while the service was off. The
// operator's retry requests (retry.cfg) are taken here too.
#pragma once

#include <sys/inotify.h>

#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/mail_queue.h"
#include "core/arrival_channel.h"

namespace relvo::mail {
class EventLog;
}

namespace relvo::mail::send {

class ArrivalWatch {
  public:
    using Steady = std::chrono::steady_clock;
    // arrived: a new entry (any thread; short). wake: the dispatcher should look now (a retry
    // request, or events the watch lost).
    struct Handlers {
        std::function<void(uint32_t id)> arrived;
        std::function<void()> wake;
    };

    // scanInterval: how often the directory is listed; by default by whether the watch works.
    ArrivalWatch(asio::io_context& io, ArrivalChannel& channel, std::string queueDir, EventLog& log,
                 std::optional<std::chrono::milliseconds> scanInterval, Handlers handlers);
    ~ArrivalWatch();
    ArrivalWatch(const ArrivalWatch&) = delete;
    ArrivalWatch& operator=(const ArrivalWatch&) = delete;

    // Watches the directory and listens to the channel. The watch's events run on io.
    void Start();
    // Stops listening to the channel; returns once no hand-over is under way. The watch ends
    // with io.
    void Stop();

    // What the dispatcher takes on a pass: the entries the listing found when it was due (or
    // asked for), and the ids the operator asked to be tried now.
    struct Found {
        std::vector<uint32_t> listed;
        std::vector<uint32_t> retries;
    };
    Found Look(Steady::time_point now);
    // When the next listing is due.
    Steady::time_point NextListing() const { return nextListing_; }

  private:
    void Watch();
    void AwaitEvents();
    bool ReadEvents();
    bool OnEvent(const inotify_event& event);
    std::vector<uint32_t> List();
    void SayRefusedOnce(const std::vector<uint32_t>& ids);
    void QuarantineStrays(const std::vector<std::string>& strays);

    asio::io_context& io_;
    ArrivalChannel& channel_;
    const std::string queueDir_;
    EventLog& log_;
    const std::optional<std::chrono::milliseconds> chosenInterval_;
    const Handlers handlers_;
    std::chrono::milliseconds interval_;
    std::unique_ptr<asio::posix::stream_descriptor> watch_;  // inotify on the queue directory
    std::atomic<bool> relist_{false};                        // the watch lost events

    // The dispatcher's own.
    Steady::time_point nextListing_{};
    mailqueue::RetryRequestsSeen retrySeen_;
    std::set<uint32_t> refusedLinks_;  // told once each
    std::set<std::string> unmovable_;  // stray queue files quarantine refused
};

}  // namespace relvo::mail::send
