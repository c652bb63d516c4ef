#include "send/recipient_states.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <utility>
#include <vector>

#include "core/event_log.h"

namespace relvo::mail::send {

bool LayKeptStates(const QueuedMail& kept, QueuedMail& mail) {
    if (kept.states.size() != mail.states.size()) {
        return false;
    }
    for (size_t i = 0; i < kept.states.size(); ++i) {
        if (IsFinalState(kept.states[i]) && !IsFinalState(mail.states[i])) {
            mail.states[i] = kept.states[i];
        }
    }
    mail.tries = std::max(mail.tries, kept.tries);
    mail.nextTry = std::max(mail.nextTry, kept.nextTry);
    mail.lastAnswer = kept.lastAnswer;
    return true;
}

RecipientStates::RecipientStates(std::string queueDir, std::string oldDir, EventLog& log)
    : queueDir_(std::move(queueDir)), oldDir_(std::move(oldDir)), log_(log) {}

void RecipientStates::Open() {
    std::vector<uint32_t> owed;
    std::string problem;
    {
        std::lock_guard lock(mutex_);
        journal_.emplace(queueDir_ + "/.owed-states");
        problem = journal_->Problem();
        for (const QueuedMail& states : journal_->Replayed()) {
            kept_.try_emplace(states.id, Kept{Where::kOld, states});
            owed.push_back(states.id);
        }
    }
    if (!problem.empty()) {
        log_.Line("States owed to old/ are kept in memory only: " + problem);
    }
    for (uint32_t id : owed) {
        Say(id, "states owed to old since before the last stop; written again");
    }
}

void RecipientStates::Say(uint32_t id, const std::string& text) {
    log_.Line("Mail " + std::to_string(id) + ": " + text);
}

void RecipientStates::Keep(const QueuedMail& mail, std::int64_t nextTry, Where where) {
    Kept kept;
    kept.where = where;
    kept.states.id = mail.id;
    kept.states.states = mail.states;
    kept.states.tries = mail.tries;
    kept.states.nextTry = nextTry;
    kept.states.lastAnswer = mail.lastAnswer;
    std::lock_guard lock(mutex_);
    kept_[mail.id] = std::move(kept);
}

void RecipientStates::LayOver(QueuedMail& mail) {
    QueuedMail kept;
    {
        std::lock_guard lock(mutex_);
        auto found = kept_.find(mail.id);
        if (found == kept_.end() || found->second.where != Where::kQueue) {
            return;
        }
        kept = found->second.states;
    }
    if (!LayKeptStates(kept, mail)) {
        Forget(mail.id);
        return;
    }
    WriteQueued(mail, mail.nextTry);
}

bool RecipientStates::WriteQueued(const QueuedMail& mail, std::int64_t nextTry) {
    if (!SaveState(queueDir_, mail, nextTry)) {
        Keep(mail, nextTry, Where::kQueue);
        return false;
    }
    Forget(mail.id);
    return true;
}

bool RecipientStates::WriteProgress(const QueuedMail& mail) {
    return SaveState(queueDir_, mail, 0);
}

void RecipientStates::WriteFinished(const QueuedMail& mail) {
    struct stat info {};
    if (stat(mailqueue::CompanionFile(oldDir_, mail.id).c_str(), &info) != 0 ||
        mailqueue::SaveFinalState(oldDir_, mail)) {
        std::lock_guard lock(mutex_);
        kept_.erase(mail.id);  // not moved there after all, or written
        ClearJournalWhenSettled();
        return;
    }
    Keep(mail, 0, Where::kOld);
    bool journaled = false;
    {
        std::lock_guard lock(mutex_);
        journaled = journal_ && journal_->Append(kept_[mail.id].states);
    }
    Say(mail.id, journaled ? "cannot write its states in old; written again when the disk allows"
                           : "cannot write its states in old, nor record them for after a stop; "
                             "written again when the disk allows while the service runs");
}

void RecipientStates::Forget(uint32_t id) {
    std::lock_guard lock(mutex_);
    auto found = kept_.find(id);
    if (found != kept_.end() && found->second.where == Where::kQueue) {
        kept_.erase(found);
    }
}

void RecipientStates::RewriteOwed() {
    std::vector<QueuedMail> owed;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [id, kept] : kept_) {
            if (kept.where == Where::kOld) {
                owed.push_back(kept.states);
            }
        }
    }
    for (const QueuedMail& states : owed) {
        struct stat info {};
        std::string companion = mailqueue::CompanionFile(oldDir_, states.id);
        bool gone = stat(companion.c_str(), &info) != 0 && errno == ENOENT;
        if (gone || SaveState(oldDir_, states, 0)) {
            if (!gone) {
                Say(states.id, "states written in old");
            }
            std::lock_guard lock(mutex_);
            auto found = kept_.find(states.id);
            // Only what was written: a later try of a new mail under the id keeps its own.
            if (found != kept_.end() && found->second.where == Where::kOld &&
                found->second.states.states == states.states) {
                kept_.erase(found);
            }
        }
    }
    std::lock_guard lock(mutex_);
    ClearJournalWhenSettled();
}

void RecipientStates::ClearJournalWhenSettled() {
    if (journal_ && std::none_of(kept_.begin(), kept_.end(), [](const auto& entry) {
            return entry.second.where == Where::kOld;
        })) {
        journal_->Clear();
    }
}

size_t RecipientStates::KeptForQueue() const {
    std::lock_guard lock(mutex_);
    return static_cast<size_t>(std::count_if(kept_.begin(), kept_.end(), [](const auto& entry) {
        return entry.second.where == Where::kQueue;
    }));
}

size_t RecipientStates::OwedToOld() const {
    std::lock_guard lock(mutex_);
    return kept_.size() -
           static_cast<size_t>(std::count_if(kept_.begin(), kept_.end(), [](const auto& entry) {
               return entry.second.where == Where::kQueue;
           }));
}

}  // namespace relvo::mail::send
