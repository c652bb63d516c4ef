#include "smtp/auth_failures.h"

#include <algorithm>

namespace relvo::mail::smtp {

bool AuthFailureTable::Blocked(const std::string& clientKey, Clock::time_point now) const {
    std::lock_guard lock(mutex_);
    auto found = entries_.find(clientKey);
    return found != entries_.end() && found->second.blockedUntil > now;
}

bool AuthFailureTable::RecordFailure(const std::string& clientKey, int limit,
                                     Clock::time_point now) {
    std::lock_guard lock(mutex_);
    Entry& entry = Touch(clientKey);
    if (entry.blockedUntil > now) {
        return false;
    }
    if (entry.failures == 0 || now - entry.windowStart >= kWindow) {
        entry.failures = 0;
        entry.windowStart = now;
    }
    if (++entry.failures < std::max(1, limit)) {
        return false;
    }
    entry.failures = 0;
    entry.blockedUntil = now + kWindow;
    return true;
}

size_t AuthFailureTable::Size() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

AuthFailureTable::Entry& AuthFailureTable::Touch(const std::string& clientKey) {
    auto found = entries_.find(clientKey);
    if (found != entries_.end()) {
        byAge_.splice(byAge_.end(), byAge_, found->second.age);
        return found->second;
    }
    if (entries_.size() >= capacity_ && !byAge_.empty()) {
        entries_.erase(byAge_.front());
        byAge_.pop_front();
    }
    byAge_.push_back(clientKey);
    Entry& entry = entries_[clientKey];
    entry.age = std::prev(byAge_.end());
    return entry;
}

}  // namespace relvo::mail::smtp
