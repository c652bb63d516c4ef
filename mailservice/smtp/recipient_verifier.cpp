#include "smtp/recipient_verifier.h"

#include <algorithm>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>
#include <utility>

#include "common/ascii.h"
#include "core/net_ranges.h"
#include "smtp/recipient_probe.h"

namespace relvo::mail::smtp {
namespace {

using Clock = std::chrono::steady_clock;

// Domains are compared without regard to case; local parts are the server's business.
std::string CacheKey(std::string_view address) {
    const size_t at = address.rfind('@');
    if (at == std::string_view::npos) {
        return std::string(address);
    }
    return std::string(address.substr(0, at + 1)) + AsciiLowerCopy(address.substr(at + 1));
}

std::string ServerText(const std::string& host, int port) {
    return (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" +
           std::to_string(port);
}

}  // namespace

std::optional<ProbeVerdict> VerdictCache::Find(const std::string& key, Clock::time_point now) {
    auto found = entries_.find(key);
    if (found == entries_.end()) {
        return std::nullopt;
    }
    if (found->second.expires <= now) {
        order_.erase(found->second.age);
        entries_.erase(found);
        return std::nullopt;
    }
    return found->second.verdict;
}

void VerdictCache::Put(const std::string& key, ProbeVerdict verdict, Clock::time_point expires) {
    auto found = entries_.find(key);
    if (found != entries_.end()) {
        order_.erase(found->second.age);
        entries_.erase(found);
    }
    while (!order_.empty() && entries_.size() >= maxEntries_) {
        entries_.erase(order_.front());
        order_.pop_front();
    }
    if (maxEntries_ == 0) {
        return;
    }
    order_.push_back(key);
    entries_.emplace(key, Entry{verdict, expires, std::prev(order_.end())});
}

RecipientVerifier::RecipientVerifier(asio::io_context& io, VerifierSettings settings)
    : settings_(std::move(settings)),
      strand_(asio::make_strand(io)),
      cache_(settings_.maxEntries) {}

RecipientVerifier::~RecipientVerifier() {
    Stop();
}

std::optional<ProbeVerdict> RecipientVerifier::Cached(std::string_view address) {
    const std::string key = CacheKey(address);
    std::lock_guard lock(cacheMutex_);
    return cache_.Find(key, Clock::now());
}

std::shared_ptr<RecipientWait> RecipientVerifier::Ask(const LocalDomain& domain,
                                                      std::string_view address,
                                                      RecipientWait::Done done) {
    auto wait = std::make_shared<RecipientWait>(std::move(done));
    asio::post(strand_, [this, domain, address = std::string(address), wait]() mutable {
        Enqueue(domain, std::move(address), std::move(wait));
    });
    return wait;
}

void RecipientVerifier::Stop() {
    {
        std::lock_guard lock(stopMutex_);
        if (stopRequested_ && workers_ == 0) {
            return;
        }
    }
    asio::post(strand_, [this] {
        stopped_ = true;
        for (auto& [key, server] : servers_) {
            for (Job& job : server.jobs) {
                Answer(job, {ProbeVerdict::kUnknown, ServerText(server.host, server.port),
                             "the service is stopping"});
            }
            server.jobs.clear();
            for (asio::steady_timer* idle : server.idle) {
                idle->cancel();
            }
        }
        for (const auto& connection : connections_) {
            connection->Close();
        }
        std::lock_guard lock(stopMutex_);
        stopRequested_ = true;
        stopChanged_.notify_all();
    });
    // The connections end promptly once closed; a name lookup under way ends with its resolver.
    std::unique_lock lock(stopMutex_);
    stopChanged_.wait(lock, [this] { return stopRequested_ && workers_ == 0; });
}

void RecipientVerifier::Enqueue(const LocalDomain& domain, std::string address,
                                std::shared_ptr<RecipientWait> wait) {
    const std::string key =
        AsciiLowerCopy(domain.name) + " " + ServerText(domain.serverAddress, domain.serverPort);
    Server& server = servers_[key];
    if (server.host.empty()) {
        server.host = domain.serverAddress;
        server.port = domain.serverPort;
    }
    Job job{std::move(address), {std::move(wait)}};
    const auto answerNow = [&](std::string why) {
        Answer(job, {ProbeVerdict::kUnknown, ServerText(server.host, server.port), std::move(why)});
        if (server.workers == 0 && server.jobs.empty() && Clock::now() >= server.downUntil) {
            servers_.erase(key);
        }
    };
    if (stopped_) {
        answerNow("the service is stopping");
        return;
    }
    if (Clock::now() < server.downUntil) {
        answerNow(server.downReason);
        return;
    }
    for (Job& waiting : server.jobs) {
        if (waiting.address == job.address) {
            waiting.waits.push_back(std::move(job.waits.front()));
            return;
        }
    }
    if (server.jobs.size() >= settings_.maxWaitingPerServer) {
        answerNow("too many questions waiting for the server");
        return;
    }
    server.jobs.push_back(std::move(job));
    if (!server.idle.empty()) {
        server.idle.back()->cancel();
        server.idle.pop_back();
    } else if (server.workers < settings_.connectionsPerServer) {
        {
            std::lock_guard lock(stopMutex_);
            ++workers_;
        }
        StartWorker(key);
    }
}

std::optional<RecipientVerifier::Job> RecipientVerifier::TakeJob(Server& server) {
    while (!server.jobs.empty()) {
        Job job = std::move(server.jobs.front());
        server.jobs.pop_front();
        if (Clock::now() < server.downUntil) {
            Answer(job, {ProbeVerdict::kUnknown, ServerText(server.host, server.port),
                         server.downReason});
            continue;
        }
        if (std::any_of(job.waits.begin(), job.waits.end(),
                        [](const auto& wait) { return !wait->Cancelled(); })) {
            return job;
        }
    }
    return std::nullopt;
}

// Counted in workers_ by the caller.
void RecipientVerifier::StartWorker(const std::string& key) {
    ++servers_.at(key).workers;
    auto connection = std::make_shared<ProbeConnection>(strand_, settings_.answerWait);
    connections_.insert(connection);
    asio::co_spawn(strand_, Work(key, std::move(connection)), asio::detached);
}

asio::awaitable<void> RecipientVerifier::Work(std::string key,
                                              std::shared_ptr<ProbeConnection> connection) {
    asio::steady_timer idle(strand_);
    while (!stopped_) {
        std::optional<Job> job = TakeJob(servers_.at(key));
        if (job) {
            ProbeOutcome outcome = co_await Probe(*connection, key, job->address);
            Remember(job->address, outcome);
            Answer(*job, outcome);
            continue;
        }
        if (!connection->IsOpen()) {
            break;
        }
        servers_.at(key).idle.push_back(&idle);
        idle.expires_after(settings_.idleTime);
        asio::error_code ec;
        co_await idle.async_wait(asio::redirect_error(asio::use_awaitable, ec));
        std::vector<asio::steady_timer*>& waiting = servers_.at(key).idle;
        auto self = std::find(waiting.begin(), waiting.end(), &idle);
        const bool woken = self == waiting.end();  // Enqueue took it out for a job
        if (!woken) {
            waiting.erase(self);
            if (!stopped_ && servers_.at(key).jobs.empty()) {
                co_await connection->Quit();
                break;
            }
        }
    }
    connection->Close();
    connections_.erase(connection);
    WorkerEnded(key);
}

void RecipientVerifier::WorkerEnded(const std::string& key) {
    Server& server = servers_.at(key);
    --server.workers;
    if (server.workers == 0 && server.jobs.empty()) {
        servers_.erase(key);
    } else if (server.workers == 0 && !stopped_) {
        // Jobs came while the last connection was going: a new one takes them.
        StartWorker(key);
        return;
    }
    std::lock_guard lock(stopMutex_);
    --workers_;
    stopChanged_.notify_all();
}

asio::awaitable<ProbeOutcome> RecipientVerifier::Probe(ProbeConnection& connection,
                                                       const std::string& key,
                                                       const std::string& address) {
    ProbeOutcome outcome;
    {
        const Server& server = servers_.at(key);
        outcome.server = ServerText(server.host, server.port);
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
        const bool fresh = !connection.IsOpen();
        if (fresh) {
            std::string failure = co_await Connect(connection, key);
            if (!failure.empty()) {
                outcome.detail = std::move(failure);
                break;
            }
        }
        ProbeReply reply = co_await connection.Ask(address);
        if (reply.code == 0 && !fresh && !connection.IsOpen() && !stopped_) {
            continue;  // a kept connection that the server let go: ask on a new one
        }
        outcome.detail = std::move(reply.text);
        if (reply.code >= 200 && reply.code < 300) {
            outcome.verdict = ProbeVerdict::kAccepted;
        } else if (reply.code >= 500 && reply.code < 600) {
            outcome.verdict = ProbeVerdict::kRefused;
        } else if (reply.code == 0 && !connection.IsOpen()) {
            break;  // the server stopped answering
        }
        co_return outcome;
    }
    // No conversation: the questions that follow soon are not put, so that each RCPT does not
    // wait the whole time again.
    if (!stopped_) {
        Server& server = servers_.at(key);
        server.downUntil = Clock::now() + settings_.downTime;
        server.downReason = outcome.detail + " (not asked again for a while)";
    }
    co_return outcome;
}

asio::awaitable<std::string> RecipientVerifier::Connect(ProbeConnection& connection,
                                                        const std::string& key) {
    const std::string host = servers_.at(key).host;
    const int port = servers_.at(key).port;
    std::vector<asio::ip::address> addresses;
    asio::error_code ec;
    const asio::ip::address literal = asio::ip::make_address(host, ec);
    if (!ec) {
        addresses.push_back(literal);
    } else {
        asio::ip::tcp::resolver resolver(strand_);
        const std::string service = std::to_string(port);
        auto results = co_await resolver.async_resolve(
            host, service, asio::redirect_error(asio::use_awaitable, ec));
        if (stopped_) {
            co_return "the service is stopping";
        }
        if (ec) {
            co_return "cannot resolve " + host + ": " + ec.message();
        }
        for (const auto& entry : results) {
            addresses.push_back(entry.endpoint().address());
        }
    }
    for (const asio::ip::address& address : addresses) {
        if (IsLoopbackOrPrivate(address.to_string())) {
            const asio::ip::tcp::endpoint endpoint(address, static_cast<unsigned short>(port));
            std::string failure = co_await connection.Open(endpoint, settings_.heloName);
            co_return failure;
        }
    }
    co_return "not asked: the server is outside loopback and private networks, and the check "
              "has no TLS";
}

void RecipientVerifier::Answer(Job& job, const ProbeOutcome& outcome) {
    for (const auto& wait : job.waits) {
        if (!wait->Cancelled()) {
            wait->done_(outcome);
        }
    }
    job.waits.clear();
}

void RecipientVerifier::Remember(const std::string& address, const ProbeOutcome& outcome) {
    if (outcome.verdict == ProbeVerdict::kUnknown) {
        return;
    }
    const auto expires =
        Clock::now() +
        (outcome.verdict == ProbeVerdict::kAccepted ? settings_.acceptedFor : settings_.refusedFor);
    const std::string key = CacheKey(address);
    std::lock_guard lock(cacheMutex_);
    cache_.Put(key, outcome.verdict, expires);
}

}  // namespace relvo::mail::smtp
