// The results of DKIM and SPF for a message received for a local domain, stored above it as an
// Authentication-Results field. DNS runs on the checks' own pool from the moment the data
// starts (SPF) and the header section ends (DKIM keys), each bounded in time, so that the end of
// the message waits at most for what is left of that time.
#pragma once

#include <asio/thread_pool.hpp>
#include <chrono>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "core/event_log.h"
#include "net/dns_lookup.h"
#include "smtp/message_observer.h"
#include "smtp/spf_check.h"

namespace relvo::mail::smtp {

// The longest a message's DNS lookups may take; what has no answer by then is a temperror.
inline constexpr std::chrono::milliseconds kCheckDnsTime{4000};

class InboundChecks final : public MessageObserver {
  public:
    InboundChecks(const MessageContext& context, std::string authservId, net::DnsSettings dns,
                  asio::thread_pool& pool, EventLog& log);
    ~InboundChecks() override;
    InboundChecks(const InboundChecks&) = delete;
    InboundChecks& operator=(const InboundChecks&) = delete;

    bool HeaderField(std::string_view field) override;
    void EndOfHeaders() override;
    void Body(std::string_view piece) override;
    std::string Finish() override;
    std::string SpfResult() const override { return spfResult_; }

    // The library's key lookup: the prefetched answer for the signature's selector and domain.
    net::DnsAnswer KeyRecord(const std::string& selector, const std::string& domain);

  private:
    std::string VerifyDkim();

    MessageContext context_;
    std::string authservId_;
    net::DnsSettings dns_;
    asio::thread_pool& pool_;
    EventLog& log_;
    std::chrono::steady_clock::time_point deadline_;
    std::future<SpfOutcome> spf_;
    std::map<std::pair<std::string, std::string>, std::shared_future<net::DnsAnswer>> keys_;
    struct Verifier;
    std::unique_ptr<Verifier> dkim_;
    std::string spfResult_;  // set by Finish
};

// The authserv-id of an Authentication-Results field ("" when it has none).
std::string AuthservIdOf(std::string_view field);

}  // namespace relvo::mail::smtp
