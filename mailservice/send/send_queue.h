// What the SEND service decides about queued mail: what it remembers of an entry between looks,
// the LastAnswer after a try, and the wait before the next. The queue's files and rules (reading a
// mail, writing its states, the claim, the move to old) are common/mail_queue.h's.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "common/mail_queue.h"

namespace relvo::mail::send {

struct RecipientOutcome;

// The queue's rules as this service uses them.
using mailqueue::AllFinal;
using mailqueue::DeleteOlderThan;
using mailqueue::IsFinalState;
using mailqueue::kStateDelivered;
using mailqueue::kStateFailed;
using mailqueue::kStatePending;
using mailqueue::ListEntryIds;
using mailqueue::LoadQueuedMail;
using mailqueue::MoveToOld;
using mailqueue::QueuedMail;
using mailqueue::SaveState;
using mailqueue::StateText;

// The entries the service knows, which are due (in arrival order: ids grow with arrival), which
// wait for a later try and which are being tried. Every step costs O(log n) in the entries
// known, never a pass over them. Not thread-safe.
class Schedule {
  public:
    // A new entry, due at once. False when it is known already, or left the queue lately (a
    // listing or a watch event that was under way when it left).
    bool Learn(uint32_t id);
    // Due at once: an operator asked for it.
    void Retry(uint32_t id);
    // The first due entry by `now` (seconds since 1970), now counted as being tried.
    std::optional<uint32_t> TakeDue(std::int64_t now);
    // The try is over: the entry left the queue, or waits until nextTry (0: due).
    void Finished(uint32_t id, std::int64_t nextTry, bool left);
    // When the earliest waiting entry falls due.
    std::optional<std::int64_t> NextWaiting() const;
    size_t InFlight() const { return inFlight_.size(); }

  private:
    void Place(uint32_t id, std::int64_t nextTry);
    void RememberLeft(uint32_t id);

    static constexpr size_t kLeftRemembered = 65536;
    static constexpr std::int64_t kTrying = -1;         // the next try of an entry being tried
    std::unordered_map<uint32_t, std::int64_t> known_;  // id -> next try, 0 = due
    std::set<uint32_t> due_;
    std::set<std::pair<std::int64_t, uint32_t>> waiting_;
    std::unordered_set<uint32_t> inFlight_;
    std::unordered_set<uint32_t> left_;
    std::deque<uint32_t> leftOrder_;
};

// What the companion's LastAnswer says after a try: the reply of the first recipient that was
// not delivered, else the last reply; one line of printable text.
std::string LastAnswer(const std::vector<RecipientOutcome>& outcomes);

// Seconds to wait before try number `tries + 1`, after `tries` tries: first, doubling each time.
std::int64_t RetryDelay(int tries, std::int64_t firstSeconds);

// Now in Unix seconds, the unit of NextTry.
inline std::int64_t UnixNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace relvo::mail::send
