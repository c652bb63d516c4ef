#include "send/mail_try.h"

#include <algorithm>
#include <future>

#include "common/profile_file.h"
#include "common/profile_store.h"
#include "core/app_dirs.h"
#include "core/event_log.h"
#include "core/on_pool.h"
#include "core/queue_store.h"
#include "mime/header_section.h"
#include "send/delivery.h"
#include "send/recipient_states.h"
#include "send/send_queue.h"
#include "send/send_service.h"
#include "send/transport/signing_trust.h"

namespace relvo::mail::send {

namespace {

using Clock = std::chrono::system_clock;

constexpr size_t kMaxReceived = 30;  // more Received fields than this are taken for a loop

// A recipient named again (in any case) is sent nothing of its own: it takes the state of its
// address's first mention, so the companion still says what became of every RcptTo.
void SettleDuplicates(QueuedMail& mail, const std::vector<size_t>& first) {
    for (size_t i = 0; i < mail.states.size(); ++i) {
        if (first[i] != i && !IsFinalState(mail.states[i])) {
            mail.states[i] = mail.states[first[i]];
        }
    }
}

// Why the sender gets no failure notice at all; "" when it is due one. A sender that failed SPF
// is most likely forged, and a notice would go to someone who never sent the mail (backscatter);
// not so for a trusted submission, where it means a user away from the domain's own servers.
std::string NoNoticeReason(const QueuedMail& mail, const EngineConfig& config) {
    if (mail.mailFrom.empty()) {
        return "no failure notice for the null sender";
    }
    if (mail.spfResult == "fail" && !TrustedSubmission(mail.authUser, mail.clientAddress,
                                                       config.relayNetworks, config.proxyFrom)) {
        return "no failure notice: the sender " + mail.mailFrom + " failed SPF when received";
    }
    return "";
}

// The failed recipients of a settled mail whose sender was never told (its notice could not be
// stored). None for a sender due no notice, a mail with its notice, or one the operator deleted.
std::vector<FailedRecipient> UntoldFailures(const QueuedMail& mail, const std::string& noNotice) {
    std::vector<FailedRecipient> untold;
    if (!noNotice.empty() || mail.noticeSent) {
        return untold;
    }
    const std::string failed = std::string(kStateFailed) + " ";
    const std::vector<size_t> first = mailqueue::FirstOfSameAddress(mail.recipients);
    for (size_t i = 0; i < mail.states.size(); ++i) {
        if (mail.states[i].rfind(mailqueue::kStateDeleted, 0) == 0) {
            return {};
        }
        if (mail.states[i].rfind(failed, 0) == 0 && first[i] == i) {
            untold.push_back({mail.recipients[i], mail.states[i].substr(failed.size())});
        }
    }
    return untold;
}

}  // namespace

void MailTries::Say(uint32_t id, const std::string& text) {
    c_.log.Line("Mail " + std::to_string(id) + ": " + text);
}

asio::awaitable<void> MailTries::Try(uint32_t id) {
    SendSettings settings = LoadSendSettings();
    settings.dns.cancel = &c_.cancel;
    settings.sessions = &c_.sessions;
    const std::int64_t firstRetry = settings.config->sendRetrySeconds;

    // The claim is held until the try's outcome is recorded: an operator's retry or delete waits
    // for it, so a mail is never both delivered and deleted.
    auto claim = std::make_shared<mailqueue::MailClaim>();
    auto mail = std::make_shared<QueuedMail>();
    if (!co_await ClaimAndLoad(id, settings, firstRetry, claim, mail) ||
        co_await FinishSettled(id, settings, firstRetry, mail)) {
        co_return;
    }
    std::vector<size_t> pendingIndexes;
    std::vector<RecipientOutcome> outcomes =
        co_await SendPending(id, settings, mail, &pendingIndexes);
    co_await RecordTry(id, settings, firstRetry, mail, pendingIndexes, outcomes);
}

// Takes the mail's claim and reads it. False when the try ends here (busy, gone, unreadable or
// not due yet); the scheduler has then been told.
asio::awaitable<bool> MailTries::ClaimAndLoad(uint32_t id, const SendSettings& settings,
                                              std::int64_t firstRetry,
                                              std::shared_ptr<mailqueue::MailClaim> claim,
                                              std::shared_ptr<QueuedMail> mail) {
    size_t maxBytes = settings.config->limits.maxMessageSize + (1u << 20);
    std::string error;
    bool damaged = false;
    mailqueue::MailClaim::Result claimed = mailqueue::MailClaim::Result::kFailed;
    auto load = [this, id, maxBytes, &mail, &error, &damaged, &claim, &claimed] {
        *claim = mailqueue::MailClaim::TryTake(c_.queueDir, id, &claimed);
        using Result = mailqueue::MailClaim::Result;
        if (claimed == Result::kBusy || claimed == Result::kGone) {
            return false;
        }
        // Nothing is sent without the claim: a delete could not wait for it, and a message file
        // the claim refuses (a symbolic link, not a regular file) is not ours to read.
        if (claimed != Result::kTaken) {
            damaged = claimed == Result::kNoMessage || claimed == Result::kNotAFile;
            error = claimed == Result::kNoMessage  ? "its message file is missing"
                    : claimed == Result::kNotAFile ? "its message file is not a regular file"
                                                   : "its message file cannot be claimed";
            return false;
        }
        if (!LoadQueuedMail(c_.queueDir, id, maxBytes, mail.get(), &error, &damaged)) {
            return false;
        }
        c_.states.LayOver(*mail);
        return true;
    };
    bool loaded = co_await OnPool(c_.blocking, load);
    if (claimed == mailqueue::MailClaim::Result::kBusy) {
        c_.finished(id, UnixNow() + 1, false);
        co_return false;
    }
    if (claimed == mailqueue::MailClaim::Result::kGone) {
        c_.states.Forget(id);
        c_.finished(id, 0, true);  // deleted by the operator meanwhile
        co_return false;
    }
    if (!loaded && damaged) {
        co_await Quarantine(id, error);
        co_return false;
    }
    if (!loaded) {
        Say(id, "cannot be read (" + error + "); tried again later");
        c_.finished(id, UnixNow() + firstRetry, false);
        co_return false;
    }
    if (mail->nextTry > UnixNow()) {
        c_.finished(id, mail->nextTry, false);
        co_return false;
    }
    co_return true;
}

// An entry that can never be read leaves the queue for quarantine/, where the operator sees it,
// instead of being tried for ever. Still under the claim, when there is a message.
asio::awaitable<void> MailTries::Quarantine(uint32_t id, const std::string& why) {
    std::string quarantine = QuarantineDir();
    auto move = [this, &quarantine, id] {
        return mailqueue::MoveToQuarantine(c_.queueDir, quarantine, id);
    };
    bool moved = co_await OnPool(c_.blocking, move);
    Say(id, "cannot be read (" + why + "); " +
                (moved ? "moved to quarantine" : "could not be moved to quarantine"));
    c_.finished(id, moved ? 0 : UnixNow() + 3600, moved);
}

// A mail whose every recipient was settled before: what is left is its notice, if that could not
// be stored then, and the move to old. False when something is left to send.
asio::awaitable<bool> MailTries::FinishSettled(uint32_t id, const SendSettings& settings,
                                               std::int64_t firstRetry,
                                               std::shared_ptr<QueuedMail> mail) {
    if (!AllFinal(mail->states)) {
        co_return false;
    }
    // A failure whose notice could not be stored then is told now, before the mail leaves the
    // queue.
    const std::string noNotice = NoNoticeReason(*mail, *settings.config);
    std::vector<FailedRecipient> untold = UntoldFailures(*mail, noNotice);
    if (!untold.empty()) {
        std::string helo = settings.heloName;
        auto record = [this, &mail, &untold, &helo, &noNotice] {
            return Record(*mail, 0, untold, helo, noNotice, false);
        };
        bool finished = co_await OnPool(c_.blocking, record);
        c_.finished(id, finished ? 0 : UnixNow() + firstRetry, finished);
        co_return true;
    }
    // An operator's delete or a move that was cut short: only the move to old is left.
    auto move = [this, id] { return MoveToOld(c_.queueDir, c_.oldDir, id); };
    bool moved = co_await OnPool(c_.blocking, move);
    Say(id, moved ? "nothing left to send; moved to old"
                  : "nothing left to send, but could not be moved to old");
    c_.finished(id, 0, moved);
    co_return true;
}

// Sends to the recipients not yet settled (their indexes go to pendingIndexesOut); one outcome
// for each. A mail that has passed too many hosts is returned as a loop instead.
asio::awaitable<std::vector<RecipientOutcome>> MailTries::SendPending(
    uint32_t id, const SendSettings& settings, std::shared_ptr<QueuedMail> mail,
    std::vector<size_t>* pendingIndexesOut) {
    DeliveryJob job;
    job.mailFrom = mail->mailFrom;
    job.loginUser = mail->loginUser;
    job.loginPass = mail->loginPass;
    job.quarantine = !mail->quarantine.empty();
    job.trustedSubmission =
        TrustedSubmission(mail->authUser, mail->clientAddress, settings.config->relayNetworks,
                          settings.config->proxyFrom);
    std::vector<size_t>& pendingIndexes = *pendingIndexesOut;
    const std::vector<size_t> first = mailqueue::FirstOfSameAddress(mail->recipients);
    SettleDuplicates(*mail, first);
    for (size_t i = 0; i < mail->recipients.size(); ++i) {
        if (!IsFinalState(mail->states[i]) && first[i] == i) {
            pendingIndexes.push_back(i);
            job.recipients.push_back(mail->recipients[i]);
        }
    }
    std::vector<RecipientOutcome> outcomes;
    if (CountReceived(mail->message) > kMaxReceived) {
        Say(id, "has more than " + std::to_string(kMaxReceived) +
                    " Received headers; returned as a mail loop");
        outcomes.assign(job.recipients.size(), {RecipientOutcome::Status::kPermanent,
                                                "554 5.4.6 too many Received headers (mail loop)"});
    } else if (!job.recipients.empty()) {
        Say(id, "sending to " + std::to_string(job.recipients.size()) + " recipient(s), try " +
                    std::to_string(mail->tries + 1));
        job.message = std::make_shared<const std::string>(std::move(mail->message));
        // Delivered recipients are written down at once, never to be sent again.
        job.checkpoint = [this, mail, pendingIndexes](
                             const std::vector<RecipientOutcome>& sofar) -> asio::awaitable<void> {
            auto copy = std::make_shared<QueuedMail>();
            copy->id = mail->id;
            copy->tries = mail->tries;
            copy->states = mail->states;
            bool any = false;
            for (size_t k = 0; k < sofar.size(); ++k) {
                if (sofar[k].status == RecipientOutcome::Status::kDelivered &&
                    !IsFinalState(copy->states[pendingIndexes[k]])) {
                    copy->states[pendingIndexes[k]] = StateText(kStateDelivered, sofar[k].text);
                    any = true;
                }
            }
            if (any) {
                auto save = [this, &copy] { return c_.states.WriteProgress(*copy); };
                co_await OnPool(c_.blocking, save);
                mail->states = copy->states;
            }
        };
        Transcript transcript = [this](std::string_view line) { c_.log.Line(line); };
        outcomes = co_await Deliver(job, settings, c_.blocking, transcript);
        mail->message = *job.message;
    }
    co_return outcomes;
}

// Each outcome becomes the recipient's state: a temporary failure fails for good after the last
// retry. Then the try is recorded and the next one, if any, scheduled.
asio::awaitable<void> MailTries::RecordTry(uint32_t id, const SendSettings& settings,
                                           std::int64_t firstRetry,
                                           std::shared_ptr<QueuedMail> mail,
                                           const std::vector<size_t>& pendingIndexes,
                                           const std::vector<RecipientOutcome>& outcomes) {
    int retries = std::max(0, settings.config->retriesAfterFailed);
    ++mail->tries;
    mail->lastAnswer = LastAnswer(outcomes);
    std::vector<FailedRecipient> failedNow;
    bool anyPending = false;
    for (size_t k = 0; k < outcomes.size(); ++k) {
        size_t i = pendingIndexes[k];
        const RecipientOutcome& o = outcomes[k];
        if (o.status == RecipientOutcome::Status::kDelivered) {
            mail->states[i] = StateText(kStateDelivered, o.text);
        } else if (o.status == RecipientOutcome::Status::kPermanent || mail->tries > retries) {
            mail->states[i] = StateText(kStateFailed, o.text);
            failedNow.push_back({mail->recipients[i], o.text, o.reasons, o.serverStatus});
        } else {
            mail->states[i] = StateText(kStatePending, o.text);
            anyPending = true;
        }
        Say(id, mail->recipients[i] + ": " + mail->states[i]);
    }
    SettleDuplicates(*mail, mailqueue::FirstOfSameAddress(mail->recipients));
    // Rounded up to the next whole second: the wait is never shorter than the interval.
    std::int64_t nextTry = anyPending ? UnixNow() + 1 + RetryDelay(mail->tries, firstRetry) : 0;
    std::string helo = settings.heloName;
    const std::string noNotice = NoNoticeReason(*mail, *settings.config);
    auto record = [this, &mail, nextTry, &failedNow, &helo, &noNotice, anyPending] {
        return Record(*mail, nextTry, failedNow, helo, noNotice, anyPending);
    };
    bool finished = co_await OnPool(c_.blocking, record);
    if (anyPending) {
        Say(id, "tried again in " + std::to_string(nextTry - UnixNow()) + " s");
    }
    c_.finished(id, nextTry, finished);
}

// Writes the states first, so no recipient that got its 250 is sent the mail again; then queues
// the notification, and only when it is stored moves finished mail to old. True when the mail
// left the queue.
bool MailTries::Record(const QueuedMail& mail, std::int64_t nextTry,
                       const std::vector<FailedRecipient>& failed, const std::string& helo,
                       const std::string& noNotice, bool anyPending) {
    // Mail delivered to everyone leaves the queue first and has its states written in old/: out
    // of the queue it is never sent again, and one rewrite in the long queue directory is saved.
    if (!anyPending && failed.empty()) {
        bool moved = MoveToOld(c_.queueDir, c_.oldDir, mail.id);
        if (moved) {
            c_.states.WriteFinished(mail);
        }
        Say(mail.id,
            moved ? "delivered, moved to old" : "delivered, but could not be moved to old");
        // Still queued, it must say so: the next pass then only moves it, sending nothing.
        if (!moved && !c_.states.WriteQueued(mail, 0)) {
            Say(mail.id, "cannot write its companion");
        }
        return true;
    }
    bool saved = c_.states.WriteQueued(mail, nextTry);
    if (!saved) {
        Say(mail.id, "cannot write its companion");
    }
    bool finished = QueueNoticeThenFinish(mail, failed, helo, noNotice, anyPending);
    if (finished && !saved) {
        c_.states.WriteFinished(mail);  // the states went with it to old/ unwritten
    }
    return finished;
}

// Queues the failure notice the sender is due (none when noNotice says why not) and names it in
// the companion; then moves mail with nothing pending to old. False while the mail stays queued.
bool MailTries::QueueNoticeThenFinish(const QueuedMail& mail,
                                      const std::vector<FailedRecipient>& failed,
                                      const std::string& helo, const std::string& noNotice,
                                      bool anyPending) {
    if (!failed.empty() && noNotice.empty()) {
        DeliveryReportContent input;
        input.reportingHost = helo;
        input.originalSender = mail.mailFrom;
        input.originalMessage = mail.message;
        input.failed = failed;
        input.arrival = Clock::from_time_t(static_cast<std::time_t>(mail.arrival));
        input.now = Clock::now();
        Envelope envelope;
        envelope.recipients.push_back(mail.mailFrom);
        envelope.clientAddress = "127.0.0.1:0";
        envelope.heloName = helo;
        std::promise<std::pair<bool, uint32_t>> stored;
        auto result = stored.get_future();
        c_.notices.Store(std::move(envelope), "", ComposeDeliveryReport(input),
                         [&stored](bool ok, uint32_t bounceId, const std::string&) {
                             stored.set_value({ok, bounceId});
                         });
        auto [ok, bounceId] = result.get();
        if (ok) {
            ProfileBatch notice;
            notice.Set(mailqueue::kSection, mailqueue::kNoticeId, std::to_string(bounceId));
            // Under this try's claim: no lock file beside the companion.
            notice.CommitHeld(mailqueue::CompanionFile(c_.queueDir, mail.id),
                              profile::Flush::kToDisk);
        }
        Say(mail.id,
            ok ? "failure notice " + std::to_string(bounceId) + " queued for " + mail.mailFrom
               : "the failure notice could not be queued");
        if (!ok) {
            return false;
        }
    } else if (!failed.empty()) {
        Say(mail.id, noNotice);
    }
    if (anyPending) {
        return false;
    }
    bool moved = MoveToOld(c_.queueDir, c_.oldDir, mail.id);
    Say(mail.id, moved ? "finished, moved to old" : "finished, but could not be moved to old");
    return true;
}

}  // namespace relvo::mail::send
