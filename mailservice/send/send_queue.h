// The SEND service's view of the queue directory: which entries are due, in arrival order, what a
// companion says about its mail and recipients, and the state written back after each try. All
// of it is file work for the blocking worker.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace relvo::mail::send {

// Recipient states as the companion's RcptStatus<n> values start.
inline constexpr const char* kStateDelivered = "delivered";
inline constexpr const char* kStateFailed = "failed";
inline constexpr const char* kStatePending = "pending";

struct QueueEntry {
    uint32_t id = 0;
    std::int64_t nextTry = 0;  // seconds since 1970; 0 = due
};

// The ids of the complete entries of dir (those with their <id>.cfg).
std::vector<uint32_t> ListQueue(const std::string& dir);

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
    std::string message;
};

// Reads <dir>/<id>.cfg and .eml; false with a reason when either is missing or unusable. The
// message is read up to maxBytes.
bool LoadQueuedMail(const std::string& dir, uint32_t id, size_t maxBytes, QueuedMail* mail,
                    std::string* error);

// True when every recipient has a final state.
bool AllFinal(const std::vector<std::string>& states);
bool IsFinal(const std::string& state);

// Writes the states, tries and next try into the companion in one atomic rewrite.
bool SaveState(const std::string& dir, const QueuedMail& mail, std::int64_t nextTry);

// Moves <id>.cfg then <id>.eml from queue to old (the entry leaves the queue with its .cfg).
bool MoveToOld(const std::string& queueDir, const std::string& oldDir, uint32_t id);

// Deletes files in dir not changed for keepDays days; returns how many.
int DeleteOlderThan(const std::string& dir, int keepDays, std::time_t now);

// The state text for a companion: "<state> <reply>", one line of printable text.
std::string StateText(const char* state, const std::string& reply);

// Seconds to wait before try number `tries + 1`, after `tries` tries: first, doubling each time.
std::int64_t RetryDelay(int tries, std::int64_t firstSeconds);

}  // namespace relvo::mail::send
