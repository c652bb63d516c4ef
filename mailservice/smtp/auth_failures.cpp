#include "smtp/auth_failures.h"

#include <algorithm>

namespace relvo::mail::smtp {

bool AuthFailureTable::Blocked(const std::string& key, Clock::time_point now) const {
    std::lock_guard lock(mutex_);
    auto found = entries_.find(key);
    return found != entries_.end() && found->second.blockedUntil > now;
}

bool AuthFailureTable::RecordFailure(const std::string& key, int limit, Clock::time_point now) {
    std::lock_guard lock(mutex_);
    Entry* entry = Touch(key, now);
    if (entry == nullptr || entry->blockedUntil > now) {
        return false;
    }
    if (entry->failures == 0 || now - entry->windowStart >= kWindow) {
        entry->failures = 0;
        entry->windowStart = now;
    }
    if (++entry->failures < std::max(1, limit)) {
        return false;
    }
    entry->failures = 0;
    entry->blockedUntil = now + kWindow;
    // Every block lasts as long, so appending keeps blocked_ in the order the blocks end.
    blocked_.splice(blocked_.end(), byAge_, entry->age);
    entry->inBlocked = true;
    return true;
}

size_t AuthFailureTable::Size() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

AuthFailureTable::Entry* AuthFailureTable::Touch(const std::string& key, Clock::time_point now) {
    auto found = entries_.find(key);
    if (found != entries_.end()) {
        Entry& entry = found->second;
        if (!entry.inBlocked) {
            byAge_.splice(byAge_.end(), byAge_, entry.age);
        } else if (entry.blockedUntil <= now) {
            byAge_.splice(byAge_.end(), blocked_, entry.age);
            entry.inBlocked = false;
        }
        return &entry;
    }
    if (entries_.size() >= capacity_) {
        // A block that has ended leaves nothing worth keeping (its count was reset).
        while (!blocked_.empty() && entries_.at(blocked_.front()).blockedUntil <= now) {
            entries_.erase(blocked_.front());
            blocked_.pop_front();
        }
    }
    if (entries_.size() >= capacity_) {
        if (byAge_.empty()) {
            return nullptr;
        }
        entries_.erase(byAge_.front());
        byAge_.pop_front();
    }
    byAge_.push_back(key);
    Entry& entry = entries_[key];
    entry.age = std::prev(byAge_.end());
    return &entry;
}

}  // namespace relvo::mail::smtp
