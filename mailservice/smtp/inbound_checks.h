// The results of DKIM and SPF for a message received for a local domain, stored above it as an
// Authentication-Results field; for a client from outside (not loopback, authenticated or in
// SmtpRelayNetworks) also DMARC, which may refuse or quarantine the message, and iprev. The
// lookups (the SPF evaluation, the key of each signature, the From domain's policy records, the
// client's PTR names and their addresses) start when the header section ends and run on the
// resolver's loop, all ending by one deadline; the session waits for them by yielding, and
// libopendkim takes the keys from what was fetched, so no I/O thread ever waits for DNS.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/ip_network.h"
#include "core/event_log.h"
#include "net/async_dns.h"
#include "policy/dmarc.h"
#include "policy/dmarc_store.h"
#include "smtp/message_observer.h"
#include "smtp/spf_check.h"

namespace relvo::mail::smtp {

// The longest a message's lookups may take from the end of its header section; what has no
// answer by then is a temperror.
inline constexpr std::chrono::milliseconds kCheckDnsTime{2000};
// DKIM-Signature fields evaluated per message; the others are reported as dkim=policy.
inline constexpr size_t kMaxSignatures = 8;
// Signatures named one by one in the results; the rest are counted in one more line.
inline constexpr size_t kMaxListedSignatures = 2 * kMaxSignatures;
// PTR names of the client whose addresses are looked up for iprev.
inline constexpr size_t kMaxPtrNames = 3;
// From fields kept for DMARC; one more already makes the message's authors more than one.
inline constexpr size_t kMaxFromFields = 2;

// What the checks of all sessions share: the resolver and the bound on messages whose lookups
// are under way at once.
class InboundCheckHub {
  public:
    static constexpr int kMaxMessages = 256;

    explicit InboundCheckHub(EventLog& log, int maxMessages = kMaxMessages)
        : log_(log), maxMessages_(maxMessages) {}
    net::AsyncDns& Dns() { return dns_; }
    // The DMARC aggregate report rows under the application directory, opened at first use.
    policy::DmarcReportStore& Reports();
    // A place for one more message's lookups; false (and a line in the log, at most once a
    // minute) when maxMessages already wait.
    bool Admit();
    void Release() { inFlight_.fetch_sub(1); }

  private:
    EventLog& log_;
    const int maxMessages_;
    std::atomic<int> inFlight_ = 0;
    std::atomic<int64_t> lastFullLine_ = 0;  // steady seconds of the last "full" line
    std::once_flag reportsOnce_;
    std::unique_ptr<policy::DmarcReportStore> reports_;
    net::AsyncDns dns_;  // last: its thread ends before the members above go
};

// What the configuration says of the sender checks when a message starts.
struct SenderPolicy {
    bool act = true;      // DmarcPolicy: refuse or quarantine what fails the sender's policy
    bool report = false;  // DmarcReportFrom is set: keep the rows of the aggregate reports
    policy::PercentSource percent = policy::RandomPercent();  // for a policy's pct
};

class InboundChecks final : public MessageObserver {
  public:
    InboundChecks(const MessageContext& context, std::string authservId, std::string dnsServer,
                  InboundCheckHub& hub, EventLog& log, SenderPolicy senderPolicy = {});
    ~InboundChecks() override;  // cancels lookups still under way
    InboundChecks(const InboundChecks&) = delete;
    InboundChecks& operator=(const InboundChecks&) = delete;

    bool HeaderField(std::string_view field) override;
    void EndOfHeaders() override;
    void Body(std::string_view piece) override;
    void WhenReady(std::function<void()> ready) override;
    std::string Finish() override;
    std::string SpfResult() const override { return spfResult_; }
    std::string Refusal() const override { return refusal_; }
    std::string Quarantine() const override { return quarantine_; }

    struct Lookups;  // the answers, filled on the resolver's loop

  private:
    struct Signature {
        std::string domain;
        std::string selector;
    };
    std::string VerifyDkim();
    void LookUpClientNames(net::AsyncDns& dns, const IpAddress& client);
    std::string EvaluateSender(const std::string& spfResult);
    std::string IprevResult();

    MessageContext context_;
    std::string authservId_;
    std::string dnsServer_;
    InboundCheckHub& hub_;
    EventLog& log_;
    std::vector<Signature> signatures_;  // in header order; the first kMaxSignatures evaluated
    size_t unlisted_ = 0;                // signatures past kMaxListedSignatures
    std::shared_ptr<Lookups> lookups_;   // from the end of the header section
    std::shared_ptr<net::AsyncDns::Group> group_;
    struct Verifier;
    std::unique_ptr<Verifier> dkim_;
    std::string spfResult_;  // set by Finish
    SenderPolicy senderPolicy_;
    std::vector<std::string> fromFields_;  // values of the first kMaxFromFields From fields
    size_t fromFieldCount_ = 0;
    std::vector<std::string> fromDomains_;       // set at the end of the header section
    std::vector<policy::DkimCheck> dkimChecks_;  // set by VerifyDkim
    std::string refusal_;                        // set by Finish
    std::string quarantine_;                     // set by Finish
};

// The authserv-id of an Authentication-Results field, lower case ("" when it has none).
std::string AuthservIdOf(std::string_view field);

}  // namespace relvo::mail::smtp
