#include "core/queue_arrivals.h"

#include <mutex>
#include <set>
#include <utility>

namespace relvo::mail::arrivals {

namespace {

std::mutex mutex;
Listener listener;
// A batch is placed at a time, so this stays as small as the writer's batches.
std::set<std::pair<std::string, uint32_t>> placing;

}  // namespace

void Listen(Listener next) {
    std::lock_guard lock(mutex);
    listener = std::move(next);
}

void Placing(const std::string& queueDir, const std::vector<uint32_t>& ids) {
    std::lock_guard lock(mutex);
    for (uint32_t id : ids) {
        placing.emplace(queueDir, id);
    }
}

void Settled(const std::string& queueDir, uint32_t id, bool placed) {
    // Held through the call, so that Listen can promise the old listener is no longer running.
    std::lock_guard lock(mutex);
    placing.erase({queueDir, id});
    if (placed && listener) {
        listener(queueDir, id);
    }
}

bool PlacingHere(const std::string& queueDir, uint32_t id) {
    std::lock_guard lock(mutex);
    return placing.count({queueDir, id}) != 0;
}

}  // namespace relvo::mail::arrivals
