// Routing and delivery of one mail to its recipients: per recipient domain to a local domain's
// server, into a local Maildir, or to the domain's mail exchangers; then, for what could not be
// handed over, through the enabled relay accounts in their order.
#pragma once

#include <asio/awaitable.hpp>
#include <asio/thread_pool.hpp>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/engine_config.h"
#include "send/dns_lookup.h"
#include "send/smtp_client.h"

class ProfileSnapshot;

namespace relvo::mail::send {

struct RelayAccount {
    std::string mailbox;
    std::string server;
    int port = 25;
    bool implicitTls = false;  // _SSLFlag 1
    bool enabled = false;
    bool authFlag = true;  // _SmtpAuthFlag
    std::string login;
    std::string password;
};

// The relay accounts of the main configuration in RelayList order (enabled or not).
std::vector<RelayAccount> LoadRelayAccounts(const ProfileSnapshot& config);
// The RelayInfo section a diagnose send's companion carries; none when it has no server.
std::optional<RelayAccount> RelayFromCompanion(const ProfileSnapshot& companion);

struct SendSettings {
    std::shared_ptr<const EngineConfig> config;
    std::vector<RelayAccount> relays;
    std::string heloName;
    DnsSettings dns;
    int exchangerPort = 25;      // port of mail exchangers; only tests change it
    bool relayTlsVerify = true;  // RelayTlsVerify
    std::vector<int> ownPorts;   // this machine's SMTP ports: a route to them is a loop
    std::string mailboxDir;
    StepTimeouts timeouts;
    SessionCache* sessions = nullptr;  // connections kept between mails; null: none kept
};

struct RecipientOutcome {
    enum class Status { kPending, kDelivered, kTemporary, kPermanent };
    Status status = Status::kPending;
    std::string text;  // the last reply or reason
};

struct DeliveryJob {
    std::string mailFrom;
    std::vector<std::string> recipients;
    std::shared_ptr<const std::string> message;  // the .eml bytes
    std::string loginUser;                       // for a local domain's server
    std::string loginPass;
    std::optional<RelayAccount> onlyRelay;  // diagnose send through one relay
    // Called before each further destination with every outcome so far, so that the recipients
    // that got their 250 are recorded before the next destination is tried.
    std::function<asio::awaitable<void>(const std::vector<RecipientOutcome>&)> checkpoint;
};

// Delivers the job; one outcome per recipient, in order. Blocking work (DNS, Maildir) runs on
// blocking; the conversations run on the calling coroutine's executor.
asio::awaitable<std::vector<RecipientOutcome>> Deliver(const DeliveryJob& job,
                                                       const SendSettings& settings,
                                                       asio::thread_pool& blocking,
                                                       const Transcript& transcript);

// Writes the message into mailboxDir/<domain>/<local part>/ as a Maildir (tmp, then new, each
// flushed). False with a reason on failure or for a local part that is no file name.
bool WriteMaildir(const std::string& mailboxDir, const std::string& recipient,
                  const std::string& mailFrom, const std::string& message, std::string* error);

// Whether address:port is this machine's own SMTP service.
bool IsOwnService(const std::string& address, int port, const std::vector<int>& ownPorts);

}  // namespace relvo::mail::send

namespace relvo::mail::send {

// Process-wide testing knobs: the mail exchangers' port (0 = 25, or RELVO_TEST_MX_PORT) and the
// step time limits.
void SetExchangerPortForTesting(int port);
void SetTimeoutsForTesting(const StepTimeouts& timeouts);

// The settings of a send from the current configuration: the engine view, the relay accounts,
// DnsServer, RelayTlsVerify, the greeting name and this machine's SMTP ports.
SendSettings LoadSendSettings();

}  // namespace relvo::mail::send
