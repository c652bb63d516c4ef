#include "send/send_service.h"

#include <sys/stat.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/strand.hpp>
#include <asio/thread_pool.hpp>
#include <asio/use_awaitable.hpp>
#include <atomic>
#include <condition_variable>
#include <future>
#include <optional>
#include <thread>

#include "common/profile_file.h"
#include "common/profile_store.h"
#include "core/app_dirs.h"
#include "core/event_log.h"
#include "core/on_pool.h"
#include "core/queue_arrivals.h"
#include "core/queue_store.h"
#include "core/service_lock.h"
#include "core/timestamp.h"
#include "mime/delivery_report.h"
#include "mime/header_section.h"
#include "send/delivery.h"
#include "send/queue_watch.h"
#include "send/send_queue.h"

namespace relvo::mail::send {

namespace {

using Clock = std::chrono::system_clock;

std::int64_t Now() {
    return std::chrono::duration_cast<std::chrono::seconds>(Clock::now().time_since_epoch())
        .count();
}

constexpr auto kStopGrace = std::chrono::milliseconds(3500);
// How often the queue directory is listed: a safety net while it is watched.
constexpr std::chrono::milliseconds kWatchedScanInterval(30000);
constexpr std::chrono::milliseconds kUnwatchedScanInterval(1000);
constexpr size_t kMaxReceived = 30;  // more Received fields than this are taken for a loop

}  // namespace

// One run of the service, from Start to Stop.
class SendRunner {
  public:
    SendRunner(EventLog& log, int threads, std::unique_ptr<ServiceLock> lock,
               std::optional<std::chrono::milliseconds> scanInterval)
        : log_(log),
          threads_(threads),
          lock_(std::move(lock)),
          chosenScanInterval_(scanInterval),
          queueDir_(QueueDir()),
          oldDir_(OldDir()),
          work_(asio::make_work_guard(io_)),
          blocking_(static_cast<size_t>(std::clamp(threads, 2, 16))),
          bounces_(QueueDir()) {}

    bool Begin(std::string* error) {
        if (!bounces_.Open(error)) {
            return false;
        }
        WatchQueue();
        scanInterval_ =
            chosenScanInterval_.value_or(watch_ ? kWatchedScanInterval : kUnwatchedScanInterval);
        // Entries this process's receiving side queues come straight here.
        arrivals::Listen([this](const std::string& dir, uint32_t id) {
            if (dir == queueDir_) {
                Learn(id);
            }
        });
        // One I/O thread: the conversations are light next to the file work on the blocking
        // workers, and kept connections may then pass from one delivery to the next.
        ioThreads_.emplace_back([this] { io_.run(); });
        dispatcher_ = std::thread([this] { Dispatch(); });
        return true;
    }

    void End() {
        arrivals::Listen(nullptr);
        {
            std::unique_lock lock(mutex_);
            stopping_ = true;
            wake_.notify_all();
            // Deliveries under way get a moment; what is cut off stays pending in the queue.
            idle_.wait_for(lock, kStopGrace, [this] { return schedule_.InFlight() == 0; });
            cut_ = schedule_.InFlight();
        }
        cancel_ = true;
        dispatcher_.join();
        io_.stop();
        for (std::thread& t : ioThreads_) {
            t.join();
        }
        blocking_.join();
        bounces_.Close();
        std::lock_guard sessionsLock(sessions_.mutex);
        sessions_.idle.clear();  // closes the kept connections
    }

    size_t CutOff() const { return cut_; }

  private:
    using Steady = std::chrono::steady_clock;

    // The dispatcher: the hourly clean-up, the safety-net listing of the queue, the operator's
    // retry requests and the wait for the next entry that falls due. Arrivals and finished tries
    // start what is due themselves, without waiting for it.
    void Dispatch() {
        auto lastClean = Steady::time_point();
        auto nextScan = Steady::time_point();
        std::unique_lock lock(mutex_);
        while (!stopping_) {
            lock.unlock();
            if (Steady::now() - lastClean > std::chrono::hours(1)) {
                lastClean = Steady::now();
                CleanUp();
            }
            RewriteOwedStates();
            if (Steady::now() >= nextScan || rescan_.exchange(false)) {
                nextScan = Steady::now() + scanInterval_;
                Rescan();
            }
            std::vector<uint32_t> retries = mailqueue::TakeRetryRequests(queueDir_, &retrySeen_);
            lock.lock();
            for (uint32_t id : retries) {
                schedule_.Retry(id);  // an operator asked for it now
            }
            StartDue();
            wake_.wait_until(lock, std::min(nextScan, NextDueTime()));
        }
    }

    // Deletes finished mail older than the days kept, and what killed writers left.
    void CleanUp() {
        auto config = EngineConfig::Load();
        int removed = DeleteOlderThan(oldDir_, config->logSendDays, Clock::to_time_t(Clock::now()));
        if (removed > 0) {
            log_.Line("Removed " + std::to_string(removed) + " files of finished mail from old");
        }
        for (const std::string& dir : {queueDir_, oldDir_, AppDir()}) {
            profile::RemoveStaleTemporariesIn(dir);
        }
    }

    // The safety net under the arrivals and the watch: one listing of the queue directory, which
    // adds what was not known (mail queued while the service was off, or missed by the watch).
    void Rescan() {
        std::vector<uint32_t> refused;
        std::vector<std::string> strays;
        std::vector<uint32_t> ids = ListEntryIds(queueDir_, &refused, &strays);
        SayRefusedOnce(refused);
        QuarantineStrays(strays);
        // What this process is placing is handed over once it is flushed.
        std::erase_if(ids, [this](uint32_t id) { return arrivals::PlacingHere(queueDir_, id); });
        std::lock_guard lock(mutex_);
        for (uint32_t id : ids) {
            schedule_.Learn(id);
        }
    }

    // When the earliest waiting entry falls due, on the steady clock; far ahead when none waits.
    Steady::time_point NextDueTime() const {
        std::optional<std::int64_t> next = schedule_.NextWaiting();
        if (!next) {
            return Steady::time_point::max();
        }
        // To the start of that second, not to a whole second from now: the wait must not end
        // before the entry is due, nor run a second late.
        auto left = Clock::from_time_t(static_cast<std::time_t>(*next)) - Clock::now();
        return Steady::now() + std::max(Clock::duration::zero(), left) +
               std::chrono::milliseconds(1);
    }

    // Under mutex_: starts due entries while there is room.
    void StartDue() {
        std::int64_t now = Now();
        while (!stopping_ && schedule_.InFlight() < static_cast<size_t>(threads_)) {
            std::optional<uint32_t> id = schedule_.TakeDue(now);
            if (!id) {
                return;
            }
            asio::co_spawn(asio::make_strand(io_), Attempt(*id), asio::detached);
        }
    }

    // A new entry, from this process's receiving side, the watch or a listing.
    void Learn(uint32_t id) {
        std::lock_guard lock(mutex_);
        if (schedule_.Learn(id)) {
            StartDue();
        }
    }

    void Finished(uint32_t id, std::int64_t nextTry, bool left) {
        std::lock_guard lock(mutex_);
        schedule_.Finished(id, nextTry, left);
        StartDue();
        if (schedule_.InFlight() == 0) {
            idle_.notify_all();
        }
        if (!left && nextTry != 0) {
            wake_.notify_all();  // the dispatcher's wait may have to end sooner
        }
    }

    // Mail queued by other processes (a console beside relvoserver, a file dropped in): its
    // companion is renamed into the queue directory. Without a watch the listing runs often.
    void WatchQueue() {
        QueueWatch::Handlers handlers;
        handlers.entry = [this](uint32_t id) {
            // This process's own entries are told by their writer once they are flushed.
            if (!arrivals::PlacingHere(queueDir_, id)) {
                Learn(id);
            }
        };
        handlers.retryRequest = [this] {
            std::lock_guard lock(mutex_);
            wake_.notify_all();
        };
        handlers.eventsLost = [this] { RequestRescan(); };
        std::string error;
        watch_ = QueueWatch::Start(io_, queueDir_, std::move(handlers), &error);
        if (!watch_) {
            log_.Line("The queue directory cannot be watched (" + error +
                      "); it is looked at every second");
        }
    }

    void RequestRescan() {
        rescan_ = true;
        std::lock_guard lock(mutex_);
        wake_.notify_all();
    }

    void Say(uint32_t id, const std::string& text) {
        log_.Line("Mail " + std::to_string(id) + ": " + text);
    }

    // Dispatcher only.
    void SayRefusedOnce(const std::vector<uint32_t>& ids) {
        for (uint32_t id : ids) {
            if (refusedLinks_.insert(id).second) {
                Say(id, "its companion is a symbolic link or not a regular file; skipped");
            }
        }
    }

    // One try of one mail: claim and read it, send to the recipients not yet settled, record
    // every outcome, queue the failure notice that is due, and move finished mail to old.
    asio::awaitable<void> Attempt(uint32_t id) {
        SendSettings settings = LoadSendSettings();
        settings.dns.cancel = &cancel_;
        settings.sessions = &sessions_;
        ProfileSnapshot main(MainConfigPath());
        std::int64_t firstRetry =
            std::max(1, main.GetInt("System", "SendRetrySeconds", kDefaultRetrySeconds));

        // The claim is held until the try's outcome is recorded: an operator's retry or delete
        // waits for it, so a mail is never both delivered and deleted.
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

    // Takes the mail's claim and reads it. False when the try ends here (busy, gone, unreadable
    // or not due yet); the dispatcher has then been told.
    asio::awaitable<bool> ClaimAndLoad(uint32_t id, const SendSettings& settings,
                                       std::int64_t firstRetry,
                                       std::shared_ptr<mailqueue::MailClaim> claim,
                                       std::shared_ptr<QueuedMail> mail) {
        size_t maxBytes = settings.config->limits.maxMessageSize + (1u << 20);
        std::string dir = queueDir_;
        std::string error;
        bool damaged = false;
        mailqueue::MailClaim::Result claimed = mailqueue::MailClaim::Result::kFailed;
        auto load = [this, &dir, id, maxBytes, &mail, &error, &damaged, &claim, &claimed] {
            *claim = mailqueue::MailClaim::TryTake(dir, id, &claimed);
            using Result = mailqueue::MailClaim::Result;
            if (claimed == Result::kBusy || claimed == Result::kGone) {
                return false;
            }
            // Nothing is sent without the claim: a delete could not wait for it, and a message
            // file the claim refuses (a symbolic link, not a regular file) is not ours to read.
            if (claimed != Result::kTaken) {
                damaged = claimed == Result::kNoMessage || claimed == Result::kNotAFile;
                error = claimed == Result::kNoMessage  ? "its message file is missing"
                        : claimed == Result::kNotAFile ? "its message file is not a regular file"
                                                       : "its message file cannot be claimed";
                return false;
            }
            if (!LoadQueuedMail(dir, id, maxBytes, mail.get(), &error, &damaged)) {
                return false;
            }
            LayUnsavedStates(dir, *mail);
            return true;
        };
        bool loaded = co_await OnPool(blocking_, load);
        if (claimed == mailqueue::MailClaim::Result::kBusy) {
            Finished(id, Now() + 1, false);
            co_return false;
        }
        if (claimed == mailqueue::MailClaim::Result::kGone) {
            {
                std::lock_guard lock(owedMutex_);
                unsavedStates_.erase(id);
            }
            Finished(id, 0, true);  // deleted by the operator meanwhile
            co_return false;
        }
        if (!loaded && damaged) {
            co_await Quarantine(id, error);
            co_return false;
        }
        if (!loaded) {
            Say(id, "cannot be read (" + error + "); tried again later");
            Finished(id, Now() + firstRetry, false);
            co_return false;
        }
        if (mail->nextTry > Now()) {
            Finished(id, mail->nextTry, false);
            co_return false;
        }
        co_return true;
    }

    // An entry that can never be read leaves the queue for quarantine/, where the operator sees
    // it, instead of being tried for ever. Still under the claim, when there is a message.
    asio::awaitable<void> Quarantine(uint32_t id, const std::string& why) {
        std::string dir = queueDir_;
        std::string quarantine = QuarantineDir();
        auto move = [&dir, &quarantine, id] {
            return mailqueue::MoveToQuarantine(dir, quarantine, id);
        };
        bool moved = co_await OnPool(blocking_, move);
        Say(id, "cannot be read (" + why + "); " +
                    (moved ? "moved to quarantine" : "could not be moved to quarantine"));
        Finished(id, moved ? 0 : Now() + 3600, moved);
    }

    // Companions under a name the queue never writes ("0212.cfg") are no entry anybody would
    // send: they go to quarantine/ as soon as a scan sees them.
    void QuarantineStrays(const std::vector<std::string>& strays) {
        for (const std::string& name : strays) {
            if (unmovable_.count(name) != 0) {
                continue;  // told once; a later scan would only repeat the line
            }
            bool moved = mailqueue::MoveStrayToQuarantine(queueDir_, QuarantineDir(), name);
            if (!moved && unmovable_.size() < 1000) {
                unmovable_.insert(name);
            }
            log_.Line("Queue file " + name + " names no entry; " +
                      (moved ? "moved to quarantine" : "could not be moved to quarantine"));
        }
    }

    // A mail whose every recipient was settled before: what is left is its notice, if that could
    // not be stored then, and the move to old. False when something is left to send.
    asio::awaitable<bool> FinishSettled(uint32_t id, const SendSettings& settings,
                                        std::int64_t firstRetry, std::shared_ptr<QueuedMail> mail) {
        std::string dir = queueDir_;
        if (AllFinal(mail->states)) {
            // Every recipient was settled before. A failure whose notice could not be stored then
            // is told now, before the mail leaves the queue.
            std::vector<FailedRecipient> untold = UntoldFailures(*mail);
            if (!untold.empty()) {
                std::string helo = settings.heloName;
                auto record = [this, &dir, &mail, &untold, &helo] {
                    return Record(dir, *mail, 0, untold, helo, false);
                };
                bool finished = co_await OnPool(blocking_, record);
                Finished(id, finished ? 0 : Now() + firstRetry, finished);
                co_return true;
            }
            // An operator's delete or a move that was cut short: only the move to old is left.
            auto move = [this, &dir, id] { return MoveToOld(dir, oldDir_, id); };
            bool moved = co_await OnPool(blocking_, move);
            Say(id, moved ? "nothing left to send; moved to old"
                          : "nothing left to send, but could not be moved to old");
            Finished(id, 0, moved);
            co_return true;
        }
        co_return false;
    }

    // Sends to the recipients not yet settled (their indexes go to pendingIndexesOut); one outcome
    // for each. A mail that has passed too many hosts is returned as a loop instead.
    asio::awaitable<std::vector<RecipientOutcome>> SendPending(
        uint32_t id, const SendSettings& settings, std::shared_ptr<QueuedMail> mail,
        std::vector<size_t>* pendingIndexesOut) {
        DeliveryJob job;
        job.mailFrom = mail->mailFrom;
        job.loginUser = mail->loginUser;
        job.loginPass = mail->loginPass;
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
            outcomes.assign(job.recipients.size(),
                            {RecipientOutcome::Status::kPermanent,
                             "554 5.4.6 too many Received headers (mail loop)"});
        } else if (!job.recipients.empty()) {
            Say(id, "sending to " + std::to_string(job.recipients.size()) + " recipient(s), try " +
                        std::to_string(mail->tries + 1));
            job.message = std::make_shared<const std::string>(std::move(mail->message));
            // Delivered recipients are written down at once, never to be sent again.
            job.checkpoint =
                [this, mail, pendingIndexes](
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
                    auto save = [this, &copy] { return SaveState(queueDir_, *copy, 0); };
                    co_await OnPool(blocking_, save);
                    mail->states = copy->states;
                }
            };
            Transcript transcript = [this](std::string_view line) { log_.Line(line); };
            outcomes = co_await Deliver(job, settings, blocking_, transcript);
            mail->message = *job.message;
        }
        co_return outcomes;
    }

    // Each outcome becomes the recipient's state: a temporary failure fails for good after the
    // last retry. Then the try is recorded and the next one, if any, scheduled.
    asio::awaitable<void> RecordTry(uint32_t id, const SendSettings& settings,
                                    std::int64_t firstRetry, std::shared_ptr<QueuedMail> mail,
                                    const std::vector<size_t>& pendingIndexes,
                                    const std::vector<RecipientOutcome>& outcomes) {
        int retries = std::max(0, settings.config->retriesAfterFailed);
        std::string dir = queueDir_;
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
        std::int64_t nextTry = anyPending ? Now() + 1 + RetryDelay(mail->tries, firstRetry) : 0;
        std::string helo = settings.heloName;
        auto record = [this, &dir, &mail, nextTry, &failedNow, &helo, anyPending] {
            return Record(dir, *mail, nextTry, failedNow, helo, anyPending);
        };
        bool finished = co_await OnPool(blocking_, record);
        if (anyPending) {
            Say(id, "tried again in " + std::to_string(nextTry - Now()) + " s");
        }
        Finished(id, nextTry, finished);
    }

    // Writes the states first, so no recipient that got its 250 is sent the mail again; then
    // queues the notification, and only when it is stored moves finished mail to old.
    bool Record(const std::string& dir, const QueuedMail& mail, std::int64_t nextTry,
                const std::vector<FailedRecipient>& failed, const std::string& helo,
                bool anyPending) {
        // Mail delivered to everyone leaves the queue first and has its states written in old/:
        // out of the queue it is never sent again, and one rewrite in the long queue directory
        // is saved.
        if (!anyPending && failed.empty()) {
            bool moved = MoveToOld(dir, oldDir_, mail.id);
            if (moved) {
                SaveFinishedState(mail);
            }
            log_.Line("Mail " + std::to_string(mail.id) +
                      (moved ? ": delivered, moved to old"
                             : ": delivered, but could not be moved to old"));
            // Still queued, it must say so: the next pass then only moves it, sending nothing.
            if (!moved && !SaveState(dir, mail, 0)) {
                log_.Line("Mail " + std::to_string(mail.id) + ": cannot write its companion");
            }
            return true;
        }
        bool saved = SaveState(dir, mail, nextTry);
        if (!saved) {
            log_.Line("Mail " + std::to_string(mail.id) + ": cannot write its companion");
        }
        bool finished = QueueNoticeThenFinish(dir, mail, failed, helo, anyPending);
        if (finished && !saved) {
            SaveFinishedState(mail);  // the states went with it to old/ unwritten
        }
        std::lock_guard lock(owedMutex_);
        if (saved || finished) {
            unsavedStates_.erase(mail.id);
        } else {
            QueuedMail& kept = unsavedStates_[mail.id];
            kept.states = mail.states;
            kept.tries = mail.tries;
            kept.nextTry = nextTry;
            kept.lastAnswer = mail.lastAnswer;
        }
        return finished;
    }

    // A mail read again after a try could not write its states: what that try settled is laid
    // over the companion's older states (no recipient that got its 250 is sent the mail twice),
    // and written now if the disk allows. Under the mail's claim.
    void LayUnsavedStates(const std::string& dir, QueuedMail& mail) {
        QueuedMail kept;
        {
            std::lock_guard lock(owedMutex_);
            auto found = unsavedStates_.find(mail.id);
            if (found == unsavedStates_.end()) {
                return;
            }
            kept = found->second;
        }
        if (kept.states.size() != mail.states.size()) {
            std::lock_guard lock(owedMutex_);  // not the mail those states were of
            unsavedStates_.erase(mail.id);
            return;
        }
        for (size_t i = 0; i < kept.states.size(); ++i) {
            if (IsFinalState(kept.states[i]) && !IsFinalState(mail.states[i])) {
                mail.states[i] = kept.states[i];
            }
        }
        mail.tries = std::max(mail.tries, kept.tries);
        mail.nextTry = std::max(mail.nextTry, kept.nextTry);
        mail.lastAnswer = kept.lastAnswer;
        if (SaveState(dir, mail, mail.nextTry)) {
            std::lock_guard lock(owedMutex_);
            unsavedStates_.erase(mail.id);
        }
    }

    // Writes a finished mail's states into its companion in old/. When that fails (a full
    // disk), the states are kept here and written again on the dispatcher's next passes, so no
    // finished mail stays "pending" in old/.
    void SaveFinishedState(const QueuedMail& mail) {
        struct stat info {};
        if (stat(mailqueue::CompanionFile(oldDir_, mail.id).c_str(), &info) != 0 ||
            mailqueue::SaveFinalState(oldDir_, mail)) {
            return;  // not moved there after all, or written
        }
        log_.Line("Mail " + std::to_string(mail.id) +
                  ": cannot write its states in old; written again when the disk allows");
        QueuedMail states;
        states.id = mail.id;
        states.states = mail.states;
        states.tries = mail.tries;
        states.lastAnswer = mail.lastAnswer;
        std::lock_guard lock(owedMutex_);
        owedStates_[mail.id] = std::move(states);
    }

    // The states SaveFinishedState could not write, tried again; those whose companion has left
    // old/ meanwhile (the clean-up) are dropped.
    void RewriteOwedStates() {
        std::map<uint32_t, QueuedMail> owed;
        {
            std::lock_guard lock(owedMutex_);
            owed.swap(owedStates_);
        }
        for (auto it = owed.begin(); it != owed.end();) {
            struct stat info {};
            std::string companion = mailqueue::CompanionFile(oldDir_, it->first);
            bool gone = stat(companion.c_str(), &info) != 0 && errno == ENOENT;
            if (gone || SaveState(oldDir_, it->second, 0)) {
                if (!gone) {
                    Say(it->first, "states written in old");
                }
                it = owed.erase(it);
            } else {
                ++it;
            }
        }
        std::lock_guard lock(owedMutex_);
        owedStates_.merge(owed);
    }

    // Queues the failure notice the sender is due (none for the null sender) and names it in the
    // companion; then moves mail with nothing pending to old. False while the mail stays queued.
    bool QueueNoticeThenFinish(const std::string& dir, const QueuedMail& mail,
                               const std::vector<FailedRecipient>& failed, const std::string& helo,
                               bool anyPending) {
        if (!failed.empty() && !mail.mailFrom.empty()) {
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
            bounces_.Store(std::move(envelope), "", ComposeDeliveryReport(input),
                           [&stored](bool ok, uint32_t bounceId, const std::string&) {
                               stored.set_value({ok, bounceId});
                           });
            auto [ok, bounceId] = result.get();
            if (ok) {
                ProfileBatch notice;
                notice.Set(mailqueue::kSection, mailqueue::kNoticeId, std::to_string(bounceId));
                notice.Commit(mailqueue::CompanionFile(dir, mail.id));
            }
            log_.Line(
                "Mail " + std::to_string(mail.id) + ": " +
                (ok ? "failure notice " + std::to_string(bounceId) + " queued for " + mail.mailFrom
                    : "the failure notice could not be queued"));
            if (!ok) {
                return false;
            }
        } else if (!failed.empty()) {
            log_.Line("Mail " + std::to_string(mail.id) +
                      ": no failure notice for the null sender");
        }
        if (anyPending) {
            return false;
        }
        bool moved = MoveToOld(dir, oldDir_, mail.id);
        log_.Line("Mail " + std::to_string(mail.id) +
                  (moved ? ": finished, moved to old"
                         : ": finished, but could not be "
                           "moved to old"));
        return true;
    }

    EventLog& log_;
    const int threads_;
    std::unique_ptr<ServiceLock> lock_;
    const std::optional<std::chrono::milliseconds> chosenScanInterval_;
    std::chrono::milliseconds scanInterval_{kUnwatchedScanInterval};
    const std::string queueDir_;
    const std::string oldDir_;

    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    std::vector<std::thread> ioThreads_;
    asio::thread_pool blocking_;
    QueueStore bounces_;
    SessionCache sessions_;  // before io_ goes: its sockets belong to io_
    std::unique_ptr<QueueWatch> watch_;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    Schedule schedule_;
    mailqueue::RetryRequestsSeen retrySeen_;  // the dispatcher's own
    std::set<uint32_t> refusedLinks_;         // the dispatcher's own: told once each
    std::mutex owedMutex_;
    std::map<uint32_t, QueuedMail> owedStates_;     // finished mail whose states old/ still lacks
    std::map<uint32_t, QueuedMail> unsavedStates_;  // queued mail whose companion lacks its states
    std::set<std::string> unmovable_;  // stray queue files quarantine refused; dispatcher's
    bool stopping_ = false;
    std::atomic<bool> rescan_{false};  // the watch lost events
    std::atomic<bool> cancel_{false};  // ends DNS lookups under way at Stop
    size_t cut_ = 0;
    std::thread dispatcher_;
};

SendService& SendService::Instance() {
    static SendService service;
    return service;
}

SendService::SendService() = default;

SendService::~SendService() {
    Stop();
}

EventLog& SendService::Log() {
    // The application directory may have changed since the last start (tests, relvoserver).
    if (!log_ || logDir_ != LogDir()) {
        logDir_ = LogDir();
        log_ = std::make_unique<EventLog>(logDir_, "send");
        log_->SetWindow(window_, message_);
    }
    return *log_;
}

bool SendService::Start(int threads) {
    std::lock_guard lock(mutex_);
    auto config = EngineConfig::Load();
    EventLog& log = runner_ ? *log_ : Log();
    log.Configure(config->logSend, config->logSendDays);
    if (runner_) {
        log.Line("SEND service is already running");
        return true;
    }
    int clamped = std::clamp(threads, 1, 1024);
    if (clamped != threads) {
        log.Line("SEND service: " + std::to_string(threads) +
                 " sending threads is outside 1 to 1024; using " + std::to_string(clamped));
    }
    std::string why;
    if (!EnsureWorkingDirectories(&why)) {
        log.Line("SEND service could not start: " + why);
        return false;
    }
    auto serviceLock = ServiceLock::Acquire("send", &why);
    if (!serviceLock) {
        log.Line("SEND service could not start: " + why);
        return false;
    }
    auto runner = std::make_unique<SendRunner>(log, clamped, std::move(serviceLock), scanInterval_);
    if (!runner->Begin(&why)) {
        log.Line("SEND service could not start: " + why);
        return false;
    }
    runner_ = std::move(runner);
    log.Line("SEND service started with " + std::to_string(clamped) + " sending threads");
    return true;
}

void SendService::Stop() {
    std::lock_guard lock(mutex_);
    if (!runner_) {
        return;
    }
    runner_->End();
    size_t cut = runner_->CutOff();
    runner_.reset();
    log_->Line(cut == 0 ? std::string("SEND service stopped")
                        : "SEND service stopped; " + std::to_string(cut) +
                              " delivery(ies) cut off stay in the queue");
    log_->Flush();
}

void SendService::SetWindow(RelvoMailWindow* window, unsigned int message) {
    std::lock_guard lock(mutex_);
    window_ = window;
    message_ = message;
    if (log_) {
        log_->SetWindow(window, message);
    }
}

bool SendService::Running() const {
    std::lock_guard lock(mutex_);
    return runner_ != nullptr;
}

void SendService::SetScanInterval(std::chrono::milliseconds interval) {
    std::lock_guard lock(mutex_);
    scanInterval_ = interval;
}

}  // namespace relvo::mail::send
