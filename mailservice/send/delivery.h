// Delivery of one mail to its recipients: each recipient domain's route is walked with the SMTP
// client (or the mail stored in a local Maildir); then, for what the mail exchangers could not
// take, the enabled relay accounts in their order. One outcome per recipient.
#pragma once

#include <asio/awaitable.hpp>
#include <asio/thread_pool.hpp>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "send/send_settings.h"

namespace relvo::mail::send {

struct RecipientOutcome {
    enum class Status { kPending, kDelivered, kTemporary, kPermanent };
    Status status = Status::kPending;
    std::string text;  // the last reply or reason
    // Every reason this try could not hand the mail over, in order (the MX lookup, each
    // exchanger, each relay), for the failure notice. Bounded.
    std::vector<std::string> reasons = {};
    std::string serverStatus = {};  // the enhanced code of the last server reply that gave one
};

struct DeliveryJob {
    std::string mailFrom;
    std::vector<std::string> recipients;
    std::shared_ptr<const std::string> message;  // the .eml bytes
    std::string loginUser;                       // for a local domain's server
    std::string loginPass;
    std::optional<RelayAccount> onlyRelay;  // diagnose send through one relay
    // Handed in by a client we vouch for (TrustedSubmission): only such mail gets our DKIM
    // signature.
    bool trustedSubmission = false;
    // The sender's DMARC policy asked for quarantine: a Maildir copy goes to the Junk folder, a
    // copy for a server goes with X-Spam-Flag: YES on top.
    bool quarantine = false;
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

}  // namespace relvo::mail::send
