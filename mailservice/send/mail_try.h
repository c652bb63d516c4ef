// One try of one queued mail: claim and read it, send to the recipients not yet settled, record
// every outcome through the recipient-state keeper, queue the failure notice the sender is due
// (through the process's queue store), and move finished mail to old/. The scheduler decides when;
// a try ends by telling it when the mail is due again.
#pragma once

#include <asio/awaitable.hpp>
#include <asio/thread_pool.hpp>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "mime/delivery_report.h"
#include "send/send_queue.h"
#include "send/send_settings.h"
#include "send/transport/session_cache.h"

namespace relvo::mail {
class EventLog;
class QueueStore;
}  // namespace relvo::mail

namespace relvo::mail::send {

class RecipientStates;
struct RecipientOutcome;

class MailTries {
  public:
    // The try is over: the entry left the queue, or waits until nextTry (0: due).
    using Finished = std::function<void(uint32_t id, std::int64_t nextTry, bool left)>;

    struct Context {
        std::string queueDir;
        std::string oldDir;
        EventLog& log;
        asio::thread_pool& blocking;      // file work, off the I/O thread
        SessionCache& sessions;           // kept connections, passed from one delivery to the next
        const std::atomic<bool>& cancel;  // ends DNS lookups under way at Stop
        RecipientStates& states;
        QueueStore& notices;  // where failure notices are queued
        Finished finished;
    };
    explicit MailTries(Context context) : c_(std::move(context)) {}

    asio::awaitable<void> Try(uint32_t id);

  private:
    asio::awaitable<bool> ClaimAndLoad(uint32_t id, const SendSettings& settings,
                                       std::int64_t firstRetry,
                                       std::shared_ptr<mailqueue::MailClaim> claim,
                                       std::shared_ptr<QueuedMail> mail);
    asio::awaitable<void> Quarantine(uint32_t id, const std::string& why);
    asio::awaitable<bool> FinishSettled(uint32_t id, const SendSettings& settings,
                                        std::int64_t firstRetry, std::shared_ptr<QueuedMail> mail);
    asio::awaitable<std::vector<RecipientOutcome>> SendPending(
        uint32_t id, const SendSettings& settings, std::shared_ptr<QueuedMail> mail,
        std::vector<size_t>* pendingIndexesOut);
    asio::awaitable<void> RecordTry(uint32_t id, const SendSettings& settings,
                                    std::int64_t firstRetry, std::shared_ptr<QueuedMail> mail,
                                    const std::vector<size_t>& pendingIndexes,
                                    const std::vector<RecipientOutcome>& outcomes);
    // noNotice: why the sender is due no failure notice ("" when it is).
    bool Record(const QueuedMail& mail, std::int64_t nextTry,
                const std::vector<FailedRecipient>& failed, const std::string& helo,
                const std::string& noNotice, bool anyPending);
    bool QueueNoticeThenFinish(const QueuedMail& mail, const std::vector<FailedRecipient>& failed,
                               const std::string& helo, const std::string& noNotice,
                               bool anyPending);
    void Say(uint32_t id, const std::string& text);

    Context c_;
};

}  // namespace relvo::mail::send
