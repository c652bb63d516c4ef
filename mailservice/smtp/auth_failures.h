// Failed AUTH attempts per client (an IPv4 address or an IPv6 /64), shared by every session and
// listener of one server, so that guessing cannot start afresh with each connection. Bounded:
// when full, the client not heard of for the longest time is forgotten.
#pragma once

#include <chrono>
#include <cstddef>
#include <list>
#include <mutex>
#include <string>
#include <unordered_map>

namespace relvo::mail::smtp {

class AuthFailureTable {
  public:
    using Clock = std::chrono::steady_clock;
    // Failures count within this window from the first one counted; a block lasts as long.
    // A count and a time per client keep the table small whatever the limit.
    static constexpr std::chrono::minutes kWindow{15};

    explicit AuthFailureTable(size_t capacity = 10000) : capacity_(capacity) {}

    // Whether AUTH from the client is refused at the moment. Thread-safe.
    bool Blocked(const std::string& clientKey, Clock::time_point now) const;
    // Counts a failure; true when it is the limit-th within the window, which starts the block.
    // Thread-safe.
    bool RecordFailure(const std::string& clientKey, int limit, Clock::time_point now);
    size_t Size() const;

  private:
    struct Entry {
        int failures = 0;  // since windowStart
        Clock::time_point windowStart{};
        Clock::time_point blockedUntil{};
        std::list<std::string>::iterator age;
    };
    Entry& Touch(const std::string& clientKey);

    const size_t capacity_;
    mutable std::mutex mutex_;
    std::unordered_map<std::string, Entry> entries_;
    std::list<std::string> byAge_;  // least recently heard of first
};

}  // namespace relvo::mail::smtp
