// Connections left open after a delivered mail, for the next mail to the same destination (same
// address, port, TLS and login). Only for conversations that all run on one I/O thread; the
// cache itself may be used from any thread.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace relvo::mail::send {

struct ClientTarget;

struct SessionCache {
    std::chrono::milliseconds idleTime{5000};  // an idle connection is closed after this
    size_t maxIdle = 64;
    std::mutex mutex;
    std::multimap<std::string,
                  std::pair<std::chrono::steady_clock::time_point, std::shared_ptr<void>>>
        idle;
};

// Connections are shared only between targets with this same key: a checked certificate name
// or a login makes a connection another target must not borrow.
std::string SessionKey(const ClientTarget& target);

// Takes the connection kept for key, after dropping those idle for too long; null when none.
std::shared_ptr<void> TakeIdle(SessionCache& cache, const std::string& key);

// Keeps a connection for key until the idle time passes. One taken from the cache always goes
// back; a new one only while fewer than maxIdle are kept.
void KeepIdle(SessionCache& cache, const std::string& key, std::shared_ptr<void> connection,
              bool takenFromCache);

}  // namespace relvo::mail::send
