// What became of each recipient of a queued mail, kept in one place: a try's outcome is written
// into the mail's companion (in the queue while something is left to do, in old/ once the mail
// is finished), and what could not be written there (a full disk) is kept here until it can be.
// States kept for a queued mail are laid over its companion when it is read again, so that no
// recipient that got its 250 is sent the mail twice; states kept for a finished mail are written
// into old/ again on the dispatcher's passes, so that no finished mail stays "pending" there, and
// recorded in a journal that survives a stop.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "send/owed_states_journal.h"
#include "send/send_queue.h"

namespace relvo::mail {
class EventLog;
}

namespace relvo::mail::send {

// Lays the states a try settled but could not write (kept) over those read back from the
// companion (mail): a settled state wins over an unsettled one, the tries and the next try never
// go back, and the last answer is the try's. False, leaving mail as it was, when kept is not of
// this mail (another number of recipients: the id was used again).
bool LayKeptStates(const QueuedMail& kept, QueuedMail& mail);

class RecipientStates {
  public:
    RecipientStates(std::string queueDir, std::string oldDir, EventLog& log);

    // Opens the journal of what old/ is owed (queue/.owed-states, in the queue directory, which
    // must exist): what a stop left owed is owed again, and written on the next pass.
    void Open();

    // A mail just read from the queue, under its claim: what an earlier try could not write is
    // laid over it, and written now if the disk allows.
    void LayOver(QueuedMail& mail);
    // Writes the states of a mail that stays queued, with its next try (0: due). False when they
    // could not be written; they are then kept for the next read.
    bool WriteQueued(const QueuedMail& mail, std::int64_t nextTry);
    // Writes the states delivered so far in a try, so that a crash before its end sends none of
    // them again; false when they could not be written (the try's end writes them again).
    bool WriteProgress(const QueuedMail& mail);
    // Writes the states of a mail just moved to old/. When that fails they are kept and written
    // again by RewriteOwed.
    void WriteFinished(const QueuedMail& mail);
    // The mail left the queue without its states (an operator's delete): what was kept for its
    // companion in the queue is dropped.
    void Forget(uint32_t id);
    // The dispatcher's pass: writes what old/ is owed; drops what the clean-up removed meanwhile.
    void RewriteOwed();

    // For tests and the log: how many mails have states kept in the queue and for old/.
    size_t KeptForQueue() const;
    size_t OwedToOld() const;

  private:
    enum class Where { kQueue, kOld };
    struct Kept {
        Where where = Where::kQueue;
        QueuedMail states;  // id, states, tries, nextTry and lastAnswer only
    };
    void Keep(const QueuedMail& mail, std::int64_t nextTry, Where where);
    // Under mutex_: once old/ is owed nothing, the journal's records go.
    void ClearJournalWhenSettled();
    void Say(uint32_t id, const std::string& text);

    const std::string queueDir_;
    const std::string oldDir_;
    EventLog& log_;
    mutable std::mutex mutex_;
    std::map<uint32_t, Kept> kept_;
    std::optional<OwedStatesJournal> journal_;  // none before Open
};

}  // namespace relvo::mail::send
