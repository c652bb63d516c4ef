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

void SettleDuplicates(QueuedMail& mail, const std::vector<size_t>& first) {
    for (size_t i = 0; i < mail.states.size(); ++i) {
        if (first[i] != i && !IsFinalState(mail.states[i])) {
            mail.states[i] = mail.states[first[i]];
        }
    }
}

std::vector<FailedRecipient> UntoldFailures(const QueuedMail& mail) {
    std::vector<FailedRecipient> untold;
    if (mail.mailFrom.empty() || mail.noticeSent) {
        return untold;
    }
    const std::string failed = std::string(kStateFailed) + " ";
    const std::vector<size_t> first = mailqueue::FirstOfSameAddress(mail.recipients);
    for (size_t i = 0; i < mail.states.size(); ++i) {
        if (mail.states[i].rfind(mailqueue::kStateDeleted, 0) == 0) {
            return {};
        }
        if (mail.states[i].rfind(failed, 0) == 0 && first[i] == i) {
            untold.push_back({mail.recipients[i], mail.states[i].substr(failed.size())});
        }
    }
    return untold;
}

bool Schedule::Learn(uint32_t id) {
    if (known_.count(id) != 0 || left_.count(id) != 0) {
        return false;
    }
    Place(id, 0);
    return true;
}

void Schedule::Retry(uint32_t id) {
    if (auto found = known_.find(id); found != known_.end()) {
        waiting_.erase({found->second, id});
    }
    if (inFlight_.count(id) != 0) {
        known_[id] = 0;  // its try is under way; Finished places it
        return;
    }
    Place(id, 0);
}

std::optional<uint32_t> Schedule::TakeDue(std::int64_t now) {
    while (!waiting_.empty() && waiting_.begin()->first <= now) {
        due_.insert(waiting_.begin()->second);
        waiting_.erase(waiting_.begin());
    }
    if (due_.empty()) {
        return std::nullopt;
    }
    const uint32_t id = *due_.begin();
    due_.erase(due_.begin());
    inFlight_.insert(id);
    known_[id] = kTrying;
    return id;
}

void Schedule::Finished(uint32_t id, std::int64_t nextTry, bool left) {
    inFlight_.erase(id);
    if (left) {
        known_.erase(id);
        RememberLeft(id);
        return;
    }
    // An operator's retry during the try makes it due again at once.
    auto found = known_.find(id);
    Place(id, found != known_.end() && found->second == 0 ? 0 : nextTry);
}

std::optional<std::int64_t> Schedule::NextWaiting() const {
    if (waiting_.empty()) {
        return std::nullopt;
    }
    return waiting_.begin()->first;
}

void Schedule::Place(uint32_t id, std::int64_t nextTry) {
    known_[id] = nextTry;
    if (nextTry == 0) {
        due_.insert(id);
    } else {
        waiting_.insert({nextTry, id});
    }
}

void Schedule::RememberLeft(uint32_t id) {
    if (!left_.insert(id).second) {
        return;
    }
    leftOrder_.push_back(id);
    if (leftOrder_.size() > kLeftRemembered) {
        left_.erase(leftOrder_.front());
        leftOrder_.pop_front();
    }
}

}  // namespace relvo::mail::send
