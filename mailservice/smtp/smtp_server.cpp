#include "smtp/smtp_server.h"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/ip/v6_only.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <future>
#include <utility>

#include "common/ascii.h"
#include "core/net_ranges.h"
#include "smtp/inbound_checks.h"
#include "smtp/listen_failure.h"
#include "smtp/proxy_reader.h"
#include "smtp/smtp_session.h"

namespace relvo::mail::smtp {

using asio::ip::tcp;

namespace {

// A balancer gets this long to send the header that precedes its client's bytes.
constexpr std::chrono::seconds kProxyHeaderDeadline{5};
constexpr std::chrono::minutes kHealthCheckLogInterval{1};
constexpr size_t kMaxBalancersLogged = 1024;
// Stress starts above 80% of SmtpMaxSessions and ends at 70%, so that a count that hovers at the
// mark does not flood the log.
bool StressStarts(size_t sessions, int maxSessions) {
    return sessions * 5 > static_cast<size_t>(std::max(0, maxSessions)) * 4;
}
bool StressEnds(size_t sessions, int maxSessions) {
    return sessions * 10 <= static_cast<size_t>(std::max(0, maxSessions)) * 7;
}

// Names are case-insensitive; no account name is longer, and the table keeps no more of one.
std::string AccountKey(std::string_view account) {
    constexpr size_t kLongestName = 320;
    return AsciiLowerCopy(account.substr(0, kLongestName));
}

std::string PeerText(const tcp::endpoint& endpoint) {
    const std::string port = ":" + std::to_string(endpoint.port());
    return endpoint.address().is_v6() ? "[" + endpoint.address().to_string() + "]" + port
                                      : endpoint.address().to_string() + port;
}

}  // namespace

SmtpServer::SmtpServer(QueueStore& queue, EventLog& log, ServerSettings settings)
    : queue_(queue), log_(log), settings_(std::move(settings)), work_(io_.get_executor()) {
    VerifierSettings verifier;
    verifier.answerWait = settings_.recipientCheckWait;
    verifier.heloName = settings_.hostName;
    verifier_ = std::make_unique<RecipientVerifier>(io_, std::move(verifier));
    for (int i = 0; i < std::max(1, settings_.threads); ++i) {
        threads_.emplace_back([this] { io_.run(); });
    }
}

SmtpServer::~SmtpServer() {
    Stop();
}

std::vector<int> SmtpServer::Ports() const {
    std::lock_guard lock(listenersMutex_);
    std::vector<int> ports;
    for (const Listener& listener : listeners_) {
        if (ports.empty() || ports.back() != listener.port) {
            ports.push_back(listener.port);
        }
    }
    return ports;
}

bool SmtpServer::Listen(int port, const std::string& address, std::string* failureLine) {
    if (port < 1 || port > 65535) {
        *failureLine = DescribeBadPort(port);
        return false;
    }
    std::lock_guard lock(listenersMutex_);
    for (const Listener& listener : listeners_) {
        if (listener.port == port) {
            return true;
        }
    }
    std::vector<tcp::endpoint> endpoints;
    if (address.empty()) {
        endpoints = {tcp::endpoint(tcp::v4(), static_cast<unsigned short>(port)),
                     tcp::endpoint(tcp::v6(), static_cast<unsigned short>(port))};
    } else {
        asio::error_code ec;
        asio::ip::address ip = asio::ip::make_address(address, ec);
        if (ec) {
            *failureLine = DescribeListenFailure(port, address,
                                                 std::make_error_code(std::errc::invalid_argument));
            return false;
        }
        endpoints = {tcp::endpoint(ip, static_cast<unsigned short>(port))};
    }
    std::vector<Listener> opened;
    for (const tcp::endpoint& endpoint : endpoints) {
        auto acceptor = std::make_unique<tcp::acceptor>(asio::make_strand(io_));
        asio::error_code ec;
        acceptor->open(endpoint.protocol(), ec);
        if (ec && address.empty() && endpoint.protocol() == tcp::v6()) {
            continue;  // no IPv6 on this machine: IPv4 alone is all addresses
        }
        if (!ec) {
            acceptor->set_option(tcp::acceptor::reuse_address(true), ec);
        }
        if (!ec && endpoint.protocol() == tcp::v6()) {
            // Separate IPv4 and IPv6 sockets, so that each family works without the other.
            acceptor->set_option(asio::ip::v6_only(true), ec);
        }
        if (!ec) {
            acceptor->bind(endpoint, ec);
        }
        if (!ec) {
            acceptor->listen(asio::socket_base::max_listen_connections, ec);
        }
        if (ec) {
            *failureLine = DescribeListenFailure(
                port, address, std::error_code(ec.value(), std::generic_category()));
            return false;  // the opened ones close as `opened` goes
        }
        opened.push_back(Listener{port, std::move(acceptor)});
    }
    for (Listener& listener : opened) {
        tcp::acceptor* acceptor = listener.acceptor.get();
        asio::post(acceptor->get_executor(), [this, acceptor] { AcceptLoop(acceptor); });
        listeners_.push_back(std::move(listener));
    }
    return true;
}

void SmtpServer::AcceptLoop(tcp::acceptor* acceptor) {
    acceptor->async_accept(
        asio::make_strand(io_), [this, acceptor](asio::error_code ec, tcp::socket socket) {
            if (ec == asio::error::operation_aborted || !acceptor->is_open()) {
                return;
            }
            if (!ec) {
                OnAccepted(std::move(socket));
            } else if (ec == asio::error::no_descriptors || ec == asio::error::no_buffer_space ||
                       ec == asio::error::no_memory) {
                // Out of descriptors: let sessions end before accepting again.
                auto pause = std::make_shared<asio::steady_timer>(acceptor->get_executor(),
                                                                  std::chrono::milliseconds(100));
                pause->async_wait([this, acceptor, pause](asio::error_code) {
                    if (acceptor->is_open()) {
                        AcceptLoop(acceptor);
                    }
                });
                return;
            }
            AcceptLoop(acceptor);
        });
}

void SmtpServer::OnAccepted(tcp::socket socket) {
    std::shared_ptr<const EngineConfig> config = EngineConfig::Load();
    asio::error_code ec;
    const tcp::endpoint peer = socket.remote_endpoint(ec);
    if (ec) {
        return;  // gone before it was seen
    }
    const std::optional<IpAddress> peerAddress = ParseIpAddress(peer.address().to_string());
    if (peerAddress && InAnyNetwork(config->proxyFrom, *peerAddress)) {
        AdmitBehindBalancer(std::move(socket), peer, std::move(config));
        return;
    }
    Admit(std::move(socket), peer, config);
}

void SmtpServer::Admit(tcp::socket socket, const tcp::endpoint& client,
                       const std::shared_ptr<const EngineConfig>& config, bool balancersOwn) {
    auto session =
        std::make_shared<SmtpSession>(*this, std::move(socket), client, config, balancersOwn);
    // Loopback is this machine's own software (a submission proxy, a script): it has no
    // per-client limit, only the total. A balancer's own connection is no such software.
    const bool counted = balancersOwn || !IsLoopback(session->ClientIp());
    session->Start(Register(session, session->ClientIp(), counted, config->limits));
}

void SmtpServer::NoteHealthCheck(const tcp::endpoint& balancer) {
    const std::string address = balancer.address().to_string();
    const auto now = std::chrono::steady_clock::now();
    int count = 0;
    {
        std::lock_guard lock(healthChecksMutex_);
        if (healthChecks_.size() >= kMaxBalancersLogged && !healthChecks_.contains(address)) {
            healthChecks_.clear();
        }
        auto [entry, added] = healthChecks_.try_emplace(address);
        ++entry->second.since;
        if (!added && now - entry->second.loggedAt < kHealthCheckLogInterval) {
            return;
        }
        count = std::exchange(entry->second.since, 0);
        entry->second.loggedAt = now;
    }
    log_.Line("Server/" + address + " " + std::to_string(count) +
              " connection(s) of the balancer's own (PROXY header without a client address) "
              "since the last such line; served as an outside client");
}

void SmtpServer::AdmitBehindBalancer(tcp::socket socket, const tcp::endpoint& balancer,
                                     std::shared_ptr<const EngineConfig> config) {
    // Connections still sending their header are not sessions yet; bound them all the same.
    if (pendingProxyHeaders_.fetch_add(1) >= config->limits.maxSessions) {
        pendingProxyHeaders_.fetch_sub(1);
        log_.Line("Server/" + PeerText(balancer) +
                  " too many connections waiting for a PROXY header; connection closed");
        return;
    }
    auto executor = socket.get_executor();
    asio::co_spawn(std::move(executor),
                   ReadHeaderThenAdmit(std::move(socket), balancer, std::move(config)),
                   asio::detached);
}

asio::awaitable<void> SmtpServer::ReadHeaderThenAdmit(tcp::socket socket, tcp::endpoint balancer,
                                                      std::shared_ptr<const EngineConfig> config) {
    ProxyReadResult header = co_await ReadProxyHeader(socket, balancer, kProxyHeaderDeadline);
    pendingProxyHeaders_.fetch_sub(1);
    if (!header.client) {
        log_.Line("Server/" + PeerText(balancer) + " " + header.failure + "; connection closed");
        co_return;
    }
    if (header.balancersOwn) {
        NoteHealthCheck(balancer);
    }
    Admit(std::move(socket), *header.client, config, header.balancersOwn);
}

MessageObserverPtr SmtpServer::ObserveMessage(const MessageContext& context) {
    if (!context.forLocalDomain) {
        return nullptr;
    }
    const std::shared_ptr<const EngineConfig> config = EngineConfig::Load();
    SenderPolicy senderPolicy;
    senderPolicy.act = config->dmarcPolicy;
    senderPolicy.report = !config->dmarcReportFrom.empty();
    return std::make_unique<InboundChecks>(context, settings_.hostName, config->dnsServer, checks_,
                                           log_, std::move(senderPolicy));
}

Admission SmtpServer::Register(const std::shared_ptr<SmtpSession>& session,
                               const std::string& clientIp, bool counted,
                               const SmtpLimits& limits) {
    std::string key = ClientKey(clientIp);
    std::lock_guard lock(sessionsMutex_);
    if (stopped_ || sessions_.size() >= static_cast<size_t>(std::max(0, limits.maxSessions))) {
        return Admission::kTooManySessions;
    }
    if (counted) {
        auto found = perClient_.find(key);
        if (found != perClient_.end() && found->second >= limits.maxSessionsPerClient) {
            return Admission::kTooManyFromClient;
        }
        ++perClient_[key];
    }
    sessions_.emplace(session.get(), OpenSession{session, std::move(key), counted});
    maxSessions_ = limits.maxSessions;
    UpdateStressLocked();
    return Admission::kAdmitted;
}

void SmtpServer::UpdateStressLocked() {
    const bool stressed = stressed_.load(std::memory_order_relaxed);
    const size_t count = sessions_.size();
    if (stressed ? !StressEnds(count, maxSessions_) : !StressStarts(count, maxSessions_)) {
        return;
    }
    stressed_.store(!stressed, std::memory_order_relaxed);
    const std::string inUse =
        std::to_string(count) + " of " + std::to_string(maxSessions_) + " sessions in use";
    log_.Line(stressed ? "SMTP service no longer under stress: " + inUse
                       : "SMTP service under stress: " + inUse +
                             "; command timeout 10 s and 10 junk commands per session until "
                             "no more than 70% are in use");
    if (!stressed) {
        for (auto& [key, open] : sessions_) {
            if (auto session = open.session.lock()) {
                session->StressStarted();
            }
        }
    }
}

void SmtpServer::ReleaseSlotLocked(OpenSession& open) {
    if (!open.holdsClientSlot) {
        return;
    }
    open.holdsClientSlot = false;
    auto count = perClient_.find(open.clientKey);
    if (count != perClient_.end() && --count->second <= 0) {
        perClient_.erase(count);
    }
}

void SmtpServer::ReleaseClientSlot(SmtpSession* session) {
    std::lock_guard lock(sessionsMutex_);
    if (auto found = sessions_.find(session); found != sessions_.end()) {
        ReleaseSlotLocked(found->second);
    }
}

void SmtpServer::Unregister(SmtpSession* session) {
    std::lock_guard lock(sessionsMutex_);
    auto found = sessions_.find(session);
    if (found == sessions_.end()) {
        return;
    }
    ReleaseSlotLocked(found->second);
    sessions_.erase(found);
    UpdateStressLocked();
    sessionsChanged_.notify_all();
}

bool SmtpServer::AuthBlocked(const std::string& clientIp) {
    return authFailures_.Blocked(ClientKey(clientIp), AuthFailureTable::Clock::now());
}

bool SmtpServer::RecordAuthFailure(const std::string& clientIp, int limit) {
    return authFailures_.RecordFailure(ClientKey(clientIp), limit, AuthFailureTable::Clock::now());
}

bool SmtpServer::AccountAuthBlocked(std::string_view account) {
    return accountAuthFailures_.Blocked(AccountKey(account), AuthFailureTable::Clock::now());
}

bool SmtpServer::RecordAccountAuthFailure(std::string_view account, int limit) {
    return accountAuthFailures_.RecordFailure(AccountKey(account), limit,
                                              AuthFailureTable::Clock::now());
}

size_t SmtpServer::SessionCount() const {
    std::lock_guard lock(sessionsMutex_);
    return sessions_.size();
}

void SmtpServer::Stop() {
    if (threads_.empty()) {
        return;
    }
    // Close the listeners on their own strands, where their accepts run.
    std::vector<Listener> listeners;
    {
        std::lock_guard lock(listenersMutex_);
        listeners.swap(listeners_);
    }
    for (Listener& listener : listeners) {
        std::promise<void> closed;
        tcp::acceptor* acceptor = listener.acceptor.get();
        asio::post(acceptor->get_executor(), [acceptor, &closed] {
            asio::error_code ec;
            acceptor->close(ec);
            closed.set_value();
        });
        closed.get_future().wait();
    }

    auto snapshot = [this] {
        std::vector<std::shared_ptr<SmtpSession>> open;
        std::lock_guard lock(sessionsMutex_);
        for (auto& [key, entry] : sessions_) {
            if (auto session = entry.session.lock()) {
                open.push_back(std::move(session));
            }
        }
        return open;
    };
    {
        std::lock_guard lock(sessionsMutex_);
        stopped_ = true;
    }
    for (auto& session : snapshot()) {
        session->Shutdown();
    }
    {
        std::unique_lock lock(sessionsMutex_);
        sessionsChanged_.wait_for(lock, settings_.stopGrace, [this] { return sessions_.empty(); });
    }
    for (auto& session : snapshot()) {
        session->ForceClose();
    }
    {
        // Only sessions waiting for their queue store remain; the store finishes them.
        std::unique_lock lock(sessionsMutex_);
        sessionsChanged_.wait(lock, [this] { return sessions_.empty(); });
    }
    verifier_->Stop();
    work_.reset();
    io_.stop();
    for (std::thread& thread : threads_) {
        thread.join();
    }
    threads_.clear();
    listeners.clear();
}

}  // namespace relvo::mail::smtp
