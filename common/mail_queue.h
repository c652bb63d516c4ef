// The mail queue as console and engine share it: queue/<id>.eml with its companion queue/<id>.cfg
// (section MailInfo), finished mail in old/, and the rules both sides follow so that neither loses
// nor doubles a mail. Whoever changes a queued mail (the SEND service for a whole try, the console
// for an operator's retry or delete) first takes the mail's claim, an exclusive lock on its .eml;
// the claim follows the file when it moves to old/. Standard library only; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace mailqueue {

// Keys of the companion's MailInfo section beyond MailId, MailFrom, RcptToNumber, RcptTo<n>.
inline constexpr const char* kSection = "MailInfo";
inline constexpr const char* kArrivalTime = "ArrivalTime";      // "YYYY-MM-DD HH:MM:SS" local
inline constexpr const char* kArrivalUnix = "ArrivalUnixTime";  // seconds since 1970
inline constexpr const char* kClientAddress = "ClientAddress";
inline constexpr const char* kHeloName = "HeloName";
inline constexpr const char* kAuthUser = "AuthUser";
inline constexpr const char* kMailSize = "MailSize";            // bytes of the .eml
inline constexpr const char* kTries = "Tries";                  // delivery attempts so far
inline constexpr const char* kNextTry = "NextTry";              // seconds since 1970; 0 = at once
inline constexpr const char* kLastAnswer = "LastAnswer";        // the other side's latest reply
inline constexpr const char* kNoticeId = "NoticeId";            // the failure notice queued for it
inline constexpr const char* kRcptStatusPrefix = "RcptStatus";  // RcptStatus<n>: "<state> <reply>"

// Recipient states, as the RcptStatus<n> values start.
inline constexpr const char* kStateDelivered = "delivered";
inline constexpr const char* kStateFailed = "failed";
inline constexpr const char* kStatePending = "pending";
inline constexpr const char* kStateDeleted = "deleted";
// The whole state of a recipient the operator took out of the queue.
inline constexpr const char* kDeletedByOperator = "deleted by the operator";

// Delivered, failed or deleted: nothing more happens to this recipient.
bool IsFinalState(std::string_view state);
bool AllFinal(const std::vector<std::string>& states);

// "<digits>.cfg" naming a positive 32-bit id; nothing else in a queue directory is an entry.
bool ParseEntryName(std::string_view name, uint32_t* id);
// The ids of the complete entries of dir (those with their <id>.cfg), in directory order.
std::vector<uint32_t> ListEntryIds(const std::string& dir);
// The number of complete entries in dir; 0 when it cannot be read.
size_t CountEntries(const std::string& dir);

std::string CompanionFile(const std::string& dir, uint32_t id);
std::string MessageFile(const std::string& dir, uint32_t id);

// Moves <id>.cfg then <id>.eml from queue to old (the entry leaves the queue with its .cfg),
// creating old (0700) when needed: the whole entry or, false with errno saying why, none of it.
// A message file that is already missing is no failure.
bool MoveToOld(const std::string& queueDir, const std::string& oldDir, uint32_t id);

// The claim on one queued mail, released when the object goes.
class MailClaim {
  public:
    enum class Result {
        kTaken,      // held: the entry is in the queue and nobody else changes it
        kBusy,       // another holder (a try under way, or another console's change)
        kGone,       // no longer queued (finished, or deleted)
        kNoMessage,  // the companion is queued but its .eml is missing: nothing can be delivered
        kFailed,     // the lock could not be taken for another reason
    };

    MailClaim() = default;
    ~MailClaim();
    MailClaim(MailClaim&& other) noexcept;
    MailClaim& operator=(MailClaim&& other) noexcept;
    MailClaim(const MailClaim&) = delete;
    MailClaim& operator=(const MailClaim&) = delete;

    // Never waits.
    static MailClaim TryTake(const std::string& queueDir, uint32_t id, Result* result);
    bool Held() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
};

// What an operator's change came to.
enum class OperatorOutcome {
    kDone,
    kBusy,      // a try is under way: ask again once it is over
    kGone,      // already finished or deleted: nothing was changed
    kFinished,  // still queued but every recipient already has a final state
    kFailed,    // see the error text
};

// Makes the mail due at once: NextTry=0 in its companion, and its id in the queue's retry
// requests, so that a SEND service that remembers a later time takes it at its next look.
OperatorOutcome RetryNow(const std::string& queueDir, uint32_t id, std::string* error);

// Marks every recipient without a final state as deleted by the operator and moves the mail to
// old. A try under way is never cut: the answer is kBusy until it is over, and then the mail is
// either finished by it (kGone) or deleted, never both.
OperatorOutcome DeleteQueued(const std::string& queueDir, const std::string& oldDir, uint32_t id,
                             std::string* error);

// The file of the retry requests (section "Retry", one key per id) inside a queue directory.
std::string RetryRequestFile(const std::string& queueDir);
inline constexpr const char* kRetrySection = "Retry";

// For the SEND service: the ids asked for since the last call, removed from the file as they are
// read, so a request made meanwhile is kept for the next call. Cheap when nothing was asked:
// one stat of the file, compared with what `seen` remembers from the last call.
struct RetryRequestsSeen {
    int64_t changeTime = -1;
    int64_t size = -1;
    uint64_t inode = 0;
};
std::vector<uint32_t> TakeRetryRequests(const std::string& queueDir, RetryRequestsSeen* seen);

}  // namespace mailqueue
