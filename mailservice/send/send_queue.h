// What the SEND service decides about queued mail: what it remembers of an entry between looks,
// the LastAnswer after a try, and the wait before the next. The queue's files and rules (reading a
// mail, writing its states, the claim, the move to old) are common/mail_queue.h's.
#pragma once

#include <cstdint>
#include <string>
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

struct QueueEntry {
    uint32_t id = 0;
    std::int64_t nextTry = 0;  // seconds since 1970; 0 = due
};

// What the companion's LastAnswer says after a try: the reply of the first recipient that was
// not delivered, else the last reply; one line of printable text.
std::string LastAnswer(const std::vector<RecipientOutcome>& outcomes);

// Seconds to wait before try number `tries + 1`, after `tries` tries: first, doubling each time.
std::int64_t RetryDelay(int tries, std::int64_t firstSeconds);

}  // namespace relvo::mail::send
