#include "core/arrival_channel.h"

namespace relvo::mail {

void ArrivalChannel::Listen(Listener listener) {
    std::lock_guard lock(mutex_);
    listener_ = std::move(listener);
}

void ArrivalChannel::Placing(const std::string& queueDir, const std::vector<uint32_t>& ids) {
    std::lock_guard lock(mutex_);
    for (uint32_t id : ids) {
        placing_.emplace(queueDir, id);
    }
}

void ArrivalChannel::Settled(const std::string& queueDir, uint32_t id, bool placed) {
    // Held through the call, so that Listen can promise the old listener is no longer running.
    std::lock_guard lock(mutex_);
    placing_.erase({queueDir, id});
    if (placed && listener_) {
        listener_(queueDir, id);
    }
}

bool ArrivalChannel::PlacingHere(const std::string& queueDir, uint32_t id) const {
    std::lock_guard lock(mutex_);
    return placing_.count({queueDir, id}) != 0;
}

}  // namespace relvo::mail
