// Failed AUTH attempts per key (a client: an IPv4 address or an IPv6 /64; or an account name),
// shared by every session and listener of one server, so that guessing cannot start afresh with
// each connection or address. Bounded: when full, the unblocked key not heard of for the longest
// time is forgotten. A blocked key is never pushed out by new ones (else a flood of fresh
// addresses would lift the block); while every entry is blocked a new key is not counted.
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

    // Whether AUTH for the key is refused at the moment. Thread-safe.
    bool Blocked(const std::string& key, Clock::time_point now) const;
    // Counts a failure; true when it is the limit-th within the window, which starts the block.
    // Thread-safe.
    bool RecordFailure(const std::string& key, int limit, Clock::time_point now);
    size_t Size() const;

  private:
    struct Entry {
        int failures = 0;  // since windowStart
        Clock::time_point windowStart{};
        Clock::time_point blockedUntil{};
        bool inBlocked = false;                // listed in blocked_, not byAge_
        std::list<std::string>::iterator age;  // its place in the list it is in
    };
    // The key's entry, made if need be; null when the table is full of blocked keys.
    Entry* Touch(const std::string& key, Clock::time_point now);

    const size_t capacity_;
    mutable std::mutex mutex_;
    std::unordered_map<std::string, Entry> entries_;
    std::list<std::string> byAge_;    // unblocked, least recently heard of first
    std::list<std::string> blocked_;  // blocked, in the order their blocks end
};

}  // namespace relvo::mail::smtp
