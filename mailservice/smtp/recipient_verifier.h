// Asks a local domain's server whether it takes a recipient before our RCPT is answered, so that
// mail it would refuse is refused here instead of becoming a failure notice to a sender the
// client may have forged. Answers are kept per address (an acceptance for a day, a refusal for an
// hour); questions go over a few kept connections per server (ProbeConnection), which say QUIT
// when idle. Anything but a clear answer (a 4xx, no connection, no reply in time) leaves the
// recipient accepted, as without the check. Thread-safe; the connections run on a strand of the
// given I/O context.
#pragma once

#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/engine_config.h"

namespace relvo::mail::smtp {

class ProbeConnection;

enum class ProbeVerdict { kAccepted, kRefused, kUnknown };

struct ProbeOutcome {
    ProbeVerdict verdict = ProbeVerdict::kUnknown;
    std::string server;  // "address:port" as configured
    std::string detail;  // the server's reply, or why there is none
};

// Verdicts per address, each until its time passes; past the bound the oldest goes first.
class VerdictCache {
  public:
    explicit VerdictCache(size_t maxEntries) : maxEntries_(maxEntries) {}
    std::optional<ProbeVerdict> Find(const std::string& key,
                                     std::chrono::steady_clock::time_point now);
    void Put(const std::string& key, ProbeVerdict verdict,
             std::chrono::steady_clock::time_point expires);
    size_t Size() const { return entries_.size(); }

  private:
    struct Entry {
        ProbeVerdict verdict;
        std::chrono::steady_clock::time_point expires;
        std::list<std::string>::iterator age;
    };
    size_t maxEntries_;
    std::unordered_map<std::string, Entry> entries_;
    std::list<std::string> order_;  // oldest first
};

struct VerifierSettings {
    // How long a session waits for an answer, and each step of a probe.
    std::chrono::milliseconds answerWait{10000};
    std::chrono::seconds acceptedFor{24 * 3600};
    std::chrono::seconds refusedFor{3600};
    size_t maxEntries = 10000;
    size_t connectionsPerServer = 2;
    size_t maxWaitingPerServer = 100;
    std::chrono::milliseconds idleTime{30000};  // then the connection says QUIT
    // After a server could not be reached, questions for it are not put for this long.
    std::chrono::milliseconds downTime{60000};
    std::string heloName;
};

// A session's pending question. Cancel (any thread) makes sure done is not called afterwards
// and lets a question that nobody waits for any more go unasked.
class RecipientWait {
  public:
    using Done = std::function<void(const ProbeOutcome&)>;
    explicit RecipientWait(Done done) : done_(std::move(done)) {}
    void Cancel() { cancelled_ = true; }
    bool Cancelled() const { return cancelled_; }

  private:
    friend class RecipientVerifier;
    Done done_;
    std::atomic<bool> cancelled_{false};
};

class RecipientVerifier {
  public:
    RecipientVerifier(asio::io_context& io, VerifierSettings settings);
    ~RecipientVerifier();
    RecipientVerifier(const RecipientVerifier&) = delete;
    RecipientVerifier& operator=(const RecipientVerifier&) = delete;

    // Whether recipients of the domain are asked of its server.
    static bool Applies(const LocalDomain& domain) {
        return domain.HasServer() && domain.verifyRecipients;
    }
    // The kept verdict for the address, if it has not run out.
    std::optional<ProbeVerdict> Cached(std::string_view address);
    // Asks the domain's server. done runs once, on the verifier's strand, unless the wait was
    // cancelled first; it must not block.
    std::shared_ptr<RecipientWait> Ask(const LocalDomain& domain, std::string_view address,
                                       RecipientWait::Done done);
    const VerifierSettings& Settings() const { return settings_; }
    // Closes every connection, answers every waiting question and waits for the connections'
    // coroutines to end. Call while the I/O context still runs.
    void Stop();

  private:
    struct Job {
        std::string address;
        std::vector<std::shared_ptr<RecipientWait>> waits;
    };
    struct Server {
        std::string domain;
        std::string host;  // ServerAddress: an address or a name
        int port = 25;
        std::deque<Job> jobs;
        size_t workers = 0;
        std::vector<asio::steady_timer*> idle;  // workers waiting for a job
        std::chrono::steady_clock::time_point downUntil;
        std::string downReason;
    };

    void Enqueue(const LocalDomain& domain, std::string address,
                 std::shared_ptr<RecipientWait> wait);
    // One connection's life: it takes the server's questions until it has been idle too long.
    asio::awaitable<void> Work(std::string key, std::shared_ptr<ProbeConnection> connection);
    void StartWorker(const std::string& key);
    // The next job someone still waits for; jobs of a server that is down are answered.
    std::optional<Job> TakeJob(Server& server);
    asio::awaitable<ProbeOutcome> Probe(ProbeConnection& connection, const std::string& key,
                                        const std::string& address);
    asio::awaitable<std::string> Connect(ProbeConnection& connection, const std::string& key);
    void Answer(Job& job, const ProbeOutcome& outcome);
    void Remember(const std::string& address, const ProbeOutcome& outcome);
    void WorkerEnded(const std::string& key);

    VerifierSettings settings_;
    asio::strand<asio::io_context::executor_type> strand_;

    std::mutex cacheMutex_;
    VerdictCache cache_;

    // On the strand only.
    std::map<std::string, Server> servers_;
    std::set<std::shared_ptr<ProbeConnection>> connections_;
    bool stopped_ = false;

    std::mutex stopMutex_;
    std::condition_variable stopChanged_;
    bool stopRequested_ = false;  // under stopMutex_, as is workers_
    size_t workers_ = 0;          // connections' coroutines running
};

}  // namespace relvo::mail::smtp
