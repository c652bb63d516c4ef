#include "send/transport/session_cache.h"

#include "send/transport/smtp_client.h"

namespace relvo::mail::send {

std::string SessionKey(const ClientTarget& target) {
    return target.address + "|" + std::to_string(target.port) + "|" +
           (target.implicitTls ? "tls" : "") + (target.requireTls ? "required" : "") +
           (target.withoutStartTls ? "plain" : "") + "|" +
           (target.verifyCertificate ? target.hostName : "") + "|" + target.user + "|" +
           target.password;
}

std::shared_ptr<void> TakeIdle(SessionCache& cache, const std::string& key) {
    std::lock_guard lock(cache.mutex);
    auto now = std::chrono::steady_clock::now();
    for (auto it = cache.idle.begin(); it != cache.idle.end();) {
        if (it->second.first <= now) {
            it = cache.idle.erase(it);  // the socket closes with its conversation
        } else {
            ++it;
        }
    }
    auto found = cache.idle.find(key);
    if (found == cache.idle.end()) {
        return nullptr;
    }
    std::shared_ptr<void> connection = found->second.second;
    cache.idle.erase(found);
    return connection;
}

void KeepIdle(SessionCache& cache, const std::string& key, std::shared_ptr<void> connection,
              bool takenFromCache) {
    std::lock_guard lock(cache.mutex);
    if (takenFromCache || cache.idle.size() < cache.maxIdle) {
        cache.idle.emplace(key, std::make_pair(std::chrono::steady_clock::now() + cache.idleTime,
                                               std::move(connection)));
    }
}

}  // namespace relvo::mail::send
