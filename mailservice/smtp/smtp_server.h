// The running receiving service: a fixed pool of I/O threads over one io_context, the listening
// sockets, and the table of open sessions with their counts per client address. Sessions run as
// coroutines on strands of the pool; no thread belongs to a session.
#pragma once

#include <asio/awaitable.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/thread_pool.hpp>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "core/engine_config.h"
#include "smtp/auth_failures.h"
#include "smtp/inbound_checks.h"
#include "smtp/session_host.h"

namespace relvo::mail::smtp {

class SmtpServer final : public SessionHost {
  public:
    SmtpServer(QueueStore& queue, EventLog& log, ServerSettings settings);
    ~SmtpServer();
    SmtpServer(const SmtpServer&) = delete;
    SmtpServer& operator=(const SmtpServer&) = delete;

    // Opens the port on address ("" = every IPv4 and IPv6 address); false with the operator's
    // line on failure. Listening on a port already open is a success.
    bool Listen(int port, const std::string& address, std::string* failureLine);
    std::vector<int> Ports() const;
    // Closes the listeners, asks every session to end with 421, cuts those still open after
    // the grace time, and joins the threads. Stores already handed to the queue complete and
    // their sessions answer 250 before they close. Close the queue before destroying the server:
    // its completions post to the sessions' strands.
    void Stop();

    // counted: the session counts against its client's limit (loopback's do not, unless they
    // are a balancer's own connections).
    Admission Register(const std::shared_ptr<SmtpSession>& session, const std::string& clientIp,
                       bool counted, const SmtpLimits& limits);
    void Unregister(SmtpSession* session) override;
    void ReleaseClientSlot(SmtpSession* session) override;
    bool AuthBlocked(const std::string& clientIp) override;
    bool RecordAuthFailure(const std::string& clientIp, int limit) override;
    bool AccountAuthBlocked(std::string_view account) override;
    bool RecordAccountAuthFailure(std::string_view account, int limit) override;
    bool UnderStress() const override { return stressed_.load(std::memory_order_relaxed); }
    size_t SessionCount() const;

    const ServerSettings& Settings() const override { return settings_; }
    QueueStore& Queue() override { return queue_; }
    EventLog& Log() override { return log_; }
    // Mail for a local domain gets its DKIM and SPF results.
    MessageObserverPtr ObserveMessage(const MessageContext& context) override;
    asio::thread_pool& ObserverPool() override { return observerWaits_; }

  private:
    struct Listener {
        int port;
        std::unique_ptr<asio::ip::tcp::acceptor> acceptor;
    };
    struct OpenSession {
        std::weak_ptr<SmtpSession> session;
        std::string clientKey;  // see ClientKey
        bool holdsClientSlot;   // counted in perClient_
    };
    void AcceptLoop(asio::ip::tcp::acceptor* acceptor);
    void ReleaseSlotLocked(OpenSession& open);
    // accept -> (from a listed balancer: read its PROXY header) -> admit the client -> session
    void OnAccepted(asio::ip::tcp::socket socket);
    void Admit(asio::ip::tcp::socket socket, const asio::ip::tcp::endpoint& client,
               const std::shared_ptr<const EngineConfig>& config, bool balancersOwn = false);
    // Health checks are logged once a minute per balancer, with their count.
    void NoteHealthCheck(const asio::ip::tcp::endpoint& balancer);
    // Starts or ends stress as the count of sessions crosses its marks, with one line each way.
    void UpdateStressLocked();
    void AdmitBehindBalancer(asio::ip::tcp::socket socket, const asio::ip::tcp::endpoint& balancer,
                             std::shared_ptr<const EngineConfig> config);
    asio::awaitable<void> ReadHeaderThenAdmit(asio::ip::tcp::socket socket,
                                              asio::ip::tcp::endpoint balancer,
                                              std::shared_ptr<const EngineConfig> config);

    QueueStore& queue_;
    EventLog& log_;
    const ServerSettings settings_;

    // Finishing an observed message verifies its signatures once its lookups are in: CPU work
    // kept off the I/O threads.
    asio::thread_pool observerWaits_{2};
    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    std::vector<std::thread> threads_;
    // The inbound checks' resolver, off the I/O threads. After io_: it goes first, so that its
    // last answers are posted to a loop that still exists.
    InboundCheckHub checks_{log_};

    mutable std::mutex listenersMutex_;
    std::vector<Listener> listeners_;

    mutable std::mutex sessionsMutex_;
    std::condition_variable sessionsChanged_;
    std::unordered_map<SmtpSession*, OpenSession> sessions_;
    std::unordered_map<std::string, int> perClient_;  // by client key
    AuthFailureTable authFailures_;
    AuthFailureTable accountAuthFailures_;
    int maxSessions_ = 0;  // of the configuration that admitted the latest session
    std::atomic<bool> stressed_ = false;
    struct HealthChecks {
        std::chrono::steady_clock::time_point loggedAt;
        int since = 0;  // checks since the last line
    };
    std::mutex healthChecksMutex_;
    std::unordered_map<std::string, HealthChecks> healthChecks_;  // by balancer address
    std::atomic<int> pendingProxyHeaders_ = 0;
    bool stopped_ = false;
};

}  // namespace relvo::mail::smtp
