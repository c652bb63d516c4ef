#include "send/send_queue.h"

#include <algorithm>

#include "send/delivery.h"

namespace relvo::mail::send {

std::string LastAnswer(const std::vector<RecipientOutcome>& outcomes) {
    if (outcomes.empty()) {
        return {};
    }
    auto notDelivered = std::find_if(
        outcomes.begin(), outcomes.end(),
        [](const RecipientOutcome& o) { return o.status != RecipientOutcome::Status::kDelivered; });
    const std::string& reply =
        notDelivered != outcomes.end() ? notDelivered->text : outcomes.back().text;
    // StateText's cleaning, without a state word in front.
    std::string text = StateText("", reply);
    return text.empty() ? text : text.substr(1);
}

std::int64_t RetryDelay(int tries, std::int64_t firstSeconds) {
    int doublings = std::clamp(tries - 1, 0, 16);
    return std::min<std::int64_t>(firstSeconds << doublings, 7 * 86400);
}

}  // namespace relvo::mail::send
