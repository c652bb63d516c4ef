// The hand-over of new queue entries inside one process: the queue store tells what it is placing
// and what it placed, and the SEND service of the same process listens, so that it takes new mail
// at once instead of at its next look at the directory. An entry is told only once its rename is
// flushed, so nothing is sent that the receiving side could still take back; until then, an entry
// this process is placing is not to be taken from a directory watch either. One object, owned
// with the process's queue store (core/shared_queue.h) and passed to both sides.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace relvo::mail {

class ArrivalChannel {
  public:
    // Called with the queue directory and the id of each entry placed there. It runs on the
    // writer's thread and must be short; it may not call back into the channel.
    using Listener = std::function<void(const std::string& queueDir, uint32_t id)>;

    // One listener (the SEND service); an empty one stops the calls. Returns once no call of the
    // previous listener is under way.
    void Listen(Listener listener);

    // The queue writer: the ids it is about to rename into place, then each one's outcome once
    // the directory is flushed (placed: the entry is queued for good).
    void Placing(const std::string& queueDir, const std::vector<uint32_t>& ids);
    void Settled(const std::string& queueDir, uint32_t id, bool placed);

    // Whether the entry is being placed now (so its writer will tell it when it is queued).
    bool PlacingHere(const std::string& queueDir, uint32_t id) const;

  private:
    mutable std::mutex mutex_;
    Listener listener_;
    // A batch is placed at a time, so this stays as small as the writer's batches.
    std::set<std::pair<std::string, uint32_t>> placing_;
};

}  // namespace relvo::mail
