#include "send/delivery.h"

#include <algorithm>
#include <cctype>
#include <map>

#include "common/ascii.h"
#include "common/mail_address.h"
#include "core/app_dirs.h"
#include "core/on_pool.h"
#include "mime/delivery_report.h"
#include "send/route/maildir.h"
#include "send/transport/dkim_signer.h"
#include "send/transport/smtp_reply.h"

namespace relvo::mail::send {

namespace {

using Status = RecipientOutcome::Status;

// One delivery under way: what it sends, to whom, and every recipient's outcome so far.
struct Delivery {
    Delivery(const DeliveryJob& job, const SendSettings& settings, asio::thread_pool& blocking,
             const Transcript& transcript, const std::string& signature)
        : job(job),
          settings(settings),
          blocking(blocking),
          transcript(transcript),
          payload(signature + DataPayload(*job.message)),
          signatureBytes(signature.size()),
          outcomes(job.recipients.size()) {}

    const DeliveryJob& job;
    const SendSettings& settings;
    asio::thread_pool& blocking;
    const Transcript& transcript;
    const std::string payload;
    const size_t signatureBytes;
    std::vector<RecipientOutcome> outcomes;
};

bool Pending(const RecipientOutcome& o) {
    return o.status == Status::kPending || o.status == Status::kTemporary;
}

std::vector<size_t> PendingOf(const std::vector<RecipientOutcome>& outcomes,
                              const std::vector<size_t>& indexes) {
    std::vector<size_t> pending;
    for (size_t i : indexes) {
        if (Pending(outcomes[i])) {
            pending.push_back(i);
        }
    }
    return pending;
}

bool AnyPending(const std::vector<RecipientOutcome>& outcomes, const std::vector<size_t>& indexes) {
    return std::any_of(indexes.begin(), indexes.end(),
                       [&](size_t i) { return Pending(outcomes[i]); });
}

constexpr size_t kMostReasons = 16;

// Sets an outcome; a reason that is not a delivery joins the recipient's trail, after the
// name of the host that gave it. The status code of a server's own reply is kept apart: it
// says more than any code this side makes up.
void Settle(RecipientOutcome& o, Status status, const std::string& text,
            const std::string& host = {}, bool fromServer = false) {
    o.status = status;
    o.text = text;
    if (status == Status::kDelivered) {
        return;
    }
    std::string reason = host.empty() ? text : host + ": " + text;
    if (o.reasons.size() < kMostReasons && (o.reasons.empty() || o.reasons.back() != reason)) {
        o.reasons.push_back(std::move(reason));
    }
    if (std::string code = EnhancedStatusCode(text); fromServer && !code.empty()) {
        o.serverStatus = code;
    }
}

void SetAll(std::vector<RecipientOutcome>& outcomes, const std::vector<size_t>& indexes,
            Status status, const std::string& text) {
    for (size_t i : indexes) {
        if (Pending(outcomes[i])) {
            Settle(outcomes[i], status, text);
        }
    }
}

// Whether text carries an SMTP reply ("535 5.7.8 ..." anywhere in it).
bool HasReplyCode(std::string_view text) {
    for (size_t i = 0; i + 3 <= text.size(); ++i) {
        bool starts = i == 0 || text[i - 1] == ' ';
        bool ends = i + 3 == text.size() || text[i + 3] == ' ' || text[i + 3] == '-';
        if (starts && ends && text[i] >= '2' && text[i] <= '5' &&
            std::isdigit(static_cast<unsigned char>(text[i + 1])) &&
            std::isdigit(static_cast<unsigned char>(text[i + 2]))) {
            return true;
        }
    }
    return false;
}

// A conversation that ended without a reply has only a reason in words: it gets the status
// code of a host that did not answer, or of a connection that broke off.
std::string WithStatusCode(const std::string& text) {
    if (HasReplyCode(text)) {
        return text;
    }
    bool noAnswer = text.rfind("cannot connect", 0) == 0;
    return (noAnswer ? "451 4.4.1 " : "451 4.4.2 ") + text;
}

ClientTarget ClientTargetFor(const Target& target, const std::string& address) {
    ClientTarget client;
    client.hostName = target.host;
    client.address = address;
    client.port = target.port;
    client.implicitTls = target.implicitTls;
    client.verifyCertificate = target.verifyCertificate;
    client.requireTls = target.requireTls;
    client.user = target.user;
    client.password = target.password;
    return client;
}

ClientMessage MessageFor(const Delivery& d, const std::vector<size_t>& indexes) {
    ClientMessage message;
    message.heloName = d.settings.heloName;
    message.mailFrom = d.job.mailFrom;
    for (size_t i : indexes) {
        message.recipients.push_back(d.job.recipients[i]);
    }
    message.payload = &d.payload;
    message.size = d.job.message->size() + d.signatureBytes;
    message.eightBit = !IsAsciiText(*d.job.message);
    return message;
}

// Sends to the still pending recipients of indexes through one address; updates their outcomes.
asio::awaitable<void> TryAddress(Delivery& d, const ClientTarget& client,
                                 const StepTimeouts& timeouts, const std::string& host,
                                 const std::vector<size_t>& indexes) {
    std::vector<size_t> todo = PendingOf(d.outcomes, indexes);
    if (todo.empty()) {
        co_return;
    }
    if (IsOwnService(client.address, client.port, d.settings.ownPorts)) {
        SetAll(d.outcomes, todo, Status::kPermanent,
               "554 5.4.6 the route leads back to this server (mail loop)");
        d.transcript("The route to " + client.address + " leads back to this server");
        co_return;
    }
    ClientMessage message = MessageFor(d, todo);
    ClientResult result =
        co_await RunSmtpClient(client, message, timeouts, d.transcript, d.settings.sessions);
    if (result.tlsHandshakeFailed && !client.verifyCertificate && !client.implicitTls &&
        !client.requireTls) {
        // Opportunistic TLS: a peer whose TLS is broken (an old protocol version, a bad
        // implementation) still takes the mail in the clear, as one offering no STARTTLS does.
        ClientTarget plain = client;
        plain.withoutStartTls = true;
        d.transcript("Trying " + client.address + " again without STARTTLS");
        result =
            co_await RunSmtpClient(plain, message, timeouts, d.transcript, d.settings.sessions);
    }
    for (size_t k = 0; k < todo.size(); ++k) {
        const RecipientReply& r = result.recipients[k];
        Status status = r.delivered ? Status::kDelivered
                                    : (r.permanent ? Status::kPermanent : Status::kTemporary);
        Settle(d.outcomes[todo[k]], status, r.delivered ? r.text : WithStatusCode(r.text), host,
               HasReplyCode(r.text));
    }
}

// How a reason names the host that gave it.
std::string TargetName(const Target& target) {
    return target.relay ? "relay " + target.relayMailbox : target.host;
}

// The one delivery loop: the targets in order, each address of each, until no recipient of
// indexes is left pending.
asio::awaitable<void> WalkTargets(Delivery& d, const std::vector<Target>& targets,
                                  const std::vector<size_t>& indexes) {
    std::string unresolved;  // why the last exchanger or server without an address had none
    StepTimeouts timeouts = d.settings.timeouts;
    timeouts.deadline = std::chrono::steady_clock::now() + timeouts.attempt;
    for (const Target& target : targets) {
        if (!AnyPending(d.outcomes, indexes)) {
            break;
        }
        if (std::chrono::steady_clock::now() >= timeouts.deadline) {
            SetAll(d.outcomes, indexes, Status::kTemporary,
                   "451 4.4.7 the try's time limit was reached before " + target.host);
            co_return;
        }
        if (target.relay) {
            d.transcript("Trying relay " + target.relayMailbox + " (" + target.host + ":" +
                         std::to_string(target.port) + ")");
        }
        std::string error;
        std::vector<std::string> addresses =
            co_await LookUpAddresses(target.host, d.settings.dns, d.blocking, d.transcript, &error);
        if (addresses.empty() && target.relay) {
            SetAll(d.outcomes, indexes, Status::kTemporary,
                   "451 4.4.4 relay " + target.relayMailbox + ": " + error);
        } else if (addresses.empty()) {
            unresolved = error;
        }
        for (const std::string& address : addresses) {
            if (!AnyPending(d.outcomes, indexes)) {
                break;
            }
            ClientTarget client = ClientTargetFor(target, address);
            co_await TryAddress(d, client, timeouts, TargetName(target), indexes);
        }
    }
    if (!unresolved.empty()) {
        SetAll(d.outcomes, indexes, Status::kTemporary, "451 4.4.4 " + unresolved);
    }
}

asio::awaitable<void> StoreInMailboxes(Delivery& d, const std::vector<size_t>& indexes) {
    for (size_t i : indexes) {
        std::string error;
        std::string rcpt = d.job.recipients[i];
        std::string mailbox = LocalMailboxName(*d.settings.config, rcpt);
        auto store = [&d, &mailbox, &error] {
            return WriteMaildir(d.settings.mailboxDir, mailbox, d.job.mailFrom, *d.job.message,
                                &error, d.job.quarantine ? kJunkFolder : "");
        };
        bool stored = co_await OnPool(d.blocking, store);
        const std::string where =
            d.job.quarantine ? std::string(" (") + kJunkFolder + " folder)" : "";
        d.transcript(stored ? "Stored for " + rcpt + " in the local mailbox of " + mailbox + where
                            : "Local mailbox of " + rcpt + ": " + error);
        Status status = stored
                            ? Status::kDelivered
                            : (error.rfind("5", 0) == 0 ? Status::kPermanent : Status::kTemporary);
        Settle(d.outcomes[i], status, stored ? "stored in mailbox" : error);
    }
}

asio::awaitable<void> FollowRoute(Delivery& d, const DomainRoute& route,
                                  const std::vector<size_t>& indexes) {
    if (route.kind == DomainRoute::Kind::kRefused) {
        SetAll(d.outcomes, indexes, Status::kPermanent, route.reason);
    } else if (route.kind == DomainRoute::Kind::kDeferred) {
        SetAll(d.outcomes, indexes, Status::kTemporary, route.reason);
    } else if (route.kind == DomainRoute::Kind::kMaildir) {
        co_await StoreInMailboxes(d, indexes);
    } else {
        co_await WalkTargets(d, route.targets, indexes);
    }
}

// Every domain's recipients along the domain's route; returns those its exchangers could not
// take, for the relays. Refusals are final and stay out.
asio::awaitable<std::vector<size_t>> DeliverByDomain(Delivery& d) {
    std::map<std::string, std::vector<size_t>> byDomain;
    for (size_t i = 0; i < d.job.recipients.size(); ++i) {
        byDomain[AsciiLowerCopy(MailboxDomain(d.job.recipients[i]))].push_back(i);
    }
    const Login login{d.job.loginUser, d.job.loginPass};
    std::vector<size_t> forRelays;
    bool first = true;
    for (const auto& entry : byDomain) {
        // What the previous destination took is recorded before the next one is tried; the
        // last destination's outcome is recorded by the caller.
        if (d.job.checkpoint && !first) {
            co_await d.job.checkpoint(d.outcomes);
        }
        first = false;
        DomainRoute route =
            co_await RouteDomain(entry.first, login, d.settings, d.blocking, d.transcript);
        co_await FollowRoute(d, route, entry.second);
        if (route.relaysFollow) {
            std::vector<size_t> left = PendingOf(d.outcomes, entry.second);
            forRelays.insert(forRelays.end(), left.begin(), left.end());
        }
    }
    co_return forRelays;
}

asio::awaitable<void> DeliverThroughRelays(Delivery& d, const std::vector<size_t>& indexes) {
    std::vector<Target> relays = RelayTargets(d.settings.relays, d.settings.relayTlsVerify);
    if (indexes.empty() || relays.empty()) {
        co_return;
    }
    if (d.job.checkpoint) {
        co_await d.job.checkpoint(d.outcomes);
    }
    d.transcript("Direct sending failed; trying the relay accounts");
    co_await WalkTargets(d, relays, indexes);
}

// The DKIM-Signature field for what goes to other servers (Maildir copies stay unsigned).
asio::awaitable<std::string> SignatureFor(const DeliveryJob& job, const SendSettings& settings,
                                          asio::thread_pool& blocking,
                                          const Transcript& transcript) {
    if (!job.trustedSubmission) {
        // Anyone may send to a local domain with any From; our signature would vouch for it.
        auto find = [&] { return SigningDomain(*job.message, *settings.config); };
        const std::string domain = co_await OnPool(blocking, find);
        if (!domain.empty()) {
            transcript("DKIM: mail from " + domain +
                       " goes unsigned: not submitted by a trusted client");
        }
        co_return "";
    }
    auto sign = [&] { return SignMessage(*job.message, *settings.config, AppDir()); };
    DkimSignature signature = co_await OnPool(blocking, sign);
    if (!signature.field.empty()) {
        transcript("DKIM signature d=" + signature.domain + " s=" + signature.selector +
                   " a=" + signature.algorithm);
    } else if (!signature.problem.empty() && FirstKeyProblem(signature.domain, signature.problem)) {
        transcript("DKIM: mail from " + signature.domain + " goes unsigned: " + signature.problem);
    }
    co_return signature.field;
}

}  // namespace

asio::awaitable<std::vector<RecipientOutcome>> Deliver(const DeliveryJob& job,
                                                       const SendSettings& settings,
                                                       asio::thread_pool& blocking,
                                                       const Transcript& transcript) {
    std::string signature = co_await SignatureFor(job, settings, blocking, transcript);
    if (job.quarantine) {
        signature.insert(0, "X-Spam-Flag: YES\r\n");  // for the receiving server's filters
    }
    Delivery d(job, settings, blocking, transcript, signature);
    if (job.onlyRelay) {
        std::vector<Target> relay(1, RelayTarget(*job.onlyRelay, settings.relayTlsVerify));
        std::vector<size_t> all(job.recipients.size());
        for (size_t i = 0; i < all.size(); ++i) {
            all[i] = i;
        }
        co_await WalkTargets(d, relay, all);
        co_return d.outcomes;
    }
    std::vector<size_t> forRelays = co_await DeliverByDomain(d);
    co_await DeliverThroughRelays(d, forRelays);
    for (RecipientOutcome& o : d.outcomes) {
        if (o.status == Status::kPending) {
            Settle(o, Status::kTemporary, o.text.empty() ? "451 4.4.1 not handed over" : o.text);
        }
    }
    co_return d.outcomes;
}

}  // namespace relvo::mail::send
