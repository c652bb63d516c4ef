// The SEND service's view of the queue directory: which entries are due, in arrival order, what a
// companion says about its mail and recipients, and the state written back after each try. All
// of it is file work for the blocking worker.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "common/mail_queue.h"

namespace relvo::mail::send {

struct RecipientOutcome;

// Recipient states as the companion's RcptStatus<n> values start.
using mailqueue::kStateDelivered;
using mailqueue::kStateFailed;
using mailqueue::kStatePending;

struct QueueEntry {
    uint32_t id = 0;
    std::int64_t nextTry = 0;  // seconds since 1970; 0 = due
};

// The ids of the complete entries of dir (those with their <id>.cfg).
inline std::vector<uint32_t> ListQueue(const std::string& dir) {
    return mailqueue::ListEntryIds(dir);
}

struct QueuedMail {
    uint32_t id = 0;
    std::string mailFrom;
    std::vector<std::string> recipients;
    std::vector<std::string> states;  // RcptStatus<n>, "pending" when missing
    int tries = 0;
    std::int64_t arrival = 0;
    std::int64_t nextTry = 0;
    std::string loginUser;
    std::string loginPass;
    std::string lastAnswer;   // written with the states when not empty
    bool noticeSent = false;  // the companion names the failure notice sent back
    std::string message;
};

// Reads <dir>/<id>.cfg and .eml; false with a reason when either is missing or unusable. The
// message is read up to maxBytes.
bool LoadQueuedMail(const std::string& dir, uint32_t id, size_t maxBytes, QueuedMail* mail,
                    std::string* error);

// True when every recipient has a final state (delivered, failed, or deleted by the operator).
using mailqueue::AllFinal;
inline bool IsFinal(const std::string& state) {
    return mailqueue::IsFinalState(state);
}

// Writes the states, tries and next try into the companion in one atomic rewrite.
bool SaveState(const std::string& dir, const QueuedMail& mail, std::int64_t nextTry);

using mailqueue::MoveToOld;

// Deletes files in dir not changed for keepDays days; returns how many.
int DeleteOlderThan(const std::string& dir, int keepDays, std::time_t now);

// The state text for a companion: "<state> <reply>", one line of printable text.
std::string StateText(const char* state, const std::string& reply);

// What the companion's LastAnswer says after a try: the reply of the first recipient that was
// not delivered, else the last reply; one line of printable text.
std::string LastAnswer(const std::vector<RecipientOutcome>& outcomes);

// Seconds to wait before try number `tries + 1`, after `tries` tries: first, doubling each time.
std::int64_t RetryDelay(int tries, std::int64_t firstSeconds);

}  // namespace relvo::mail::send
