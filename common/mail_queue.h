// The mail queue, as the receiving service, the SEND service and the console's queue view share it.
//
// On disk (queue/ and old/ under the application directory):
//   queue/<id>.eml            the message: the Received header line(s), then the body as received
//   queue/<id>.cfg            its companion, section MailInfo with the keys below; the entry exists
//                             once this file does. Ids are positive 32-bit numbers that grow with
//                             arrival, so id order is arrival order.
//   queue/<id>.eml.tmp, .cfg.tmp   a receiving write under way, or cut short by a crash
//   queue/.writers.lock       held shared by each process that adds entries, while it does
//   queue/retry.cfg           the operator's retry requests: section Retry, one key per id
//   old/<id>.eml, old/<id>.cfg   finished mail: every recipient delivered, failed or deleted
//   quarantine/<id>.cfg, .eml    entries the SEND service could not read (a damaged companion, a
//                                missing message), set aside for the operator instead of being
//                                retried for ever
//
// Who writes what:
// - The receiving service only adds entries: each file is written under its temporary name,
//   flushed and renamed into place, the .eml first, then the directory is flushed. A process that
//   takes the writers' lock alone (no other writer has the queue open) removes what interrupted
//   writes left: temporary files, and messages whose companion never arrived.
// - Everything else that changes an entry first takes its claim, an exclusive lock on the .eml
//   that is never waited for and follows the file into old/. The SEND service holds it for a whole
//   try: it reads the mail, delivers, writes the recipients' states, Tries, NextTry, LastAnswer and
//   NoticeId, and moves a finished entry to old/ (companion first). The console holds it for an
//   operator's retry (NextTry=0 plus a retry request) or delete (every open recipient marked
//   deleted, then the move to old/). So a mail is never both delivered and deleted. As the claim
//   keeps a companion's writers apart, its rewrites (a new file renamed over it) make no lock
//   file; what a writer killed mid-rewrite leaves (<id>.cfg.tmp.<pid>.<n>) is swept by listing.
// - The SEND service takes the retry requests, removing each as it reads it, and deletes files in
//   old/ once they are older than the days kept.
//
// The queue view's reading of a whole directory is in queue_scan.h. Standard library only; any
// thread.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/profile_store.h"

namespace mailqueue {

// --- Names ---------------------------------------------------------------------------------

inline constexpr std::string_view kMessageExtension = ".eml";
inline constexpr std::string_view kCompanionExtension = ".cfg";
inline constexpr std::string_view kTemporarySuffix = ".tmp";
inline constexpr const char* kWritersLock = ".writers.lock";

std::string MessageName(uint32_t id);             // "<id>.eml"
std::string CompanionName(uint32_t id);           // "<id>.cfg"
std::string TemporaryMessageName(uint32_t id);    // "<id>.eml.tmp"
std::string TemporaryCompanionName(uint32_t id);  // "<id>.cfg.tmp"
std::string MessageFile(const std::string& dir, uint32_t id);
std::string CompanionFile(const std::string& dir, uint32_t id);

// "<digits>.cfg" naming a positive 32-bit id; nothing else in a queue directory is an entry.
bool ParseEntryName(std::string_view name, uint32_t* id);
// What an interrupted receiving write leaves: "<digits>.eml.tmp", "<digits>.cfg.tmp", and a
// "<digits>.eml" whose companion is not among sortedNames (the directory's names, sorted).
bool IsLeftover(const std::string& name, const std::vector<std::string>& sortedNames);

// --- The companion's keys and the recipients' states ----------------------------------------

inline constexpr const char* kSection = "MailInfo";
inline constexpr const char* kMailId = "MailId";
inline constexpr const char* kMailFrom = "MailFrom";  // "" for the null sender
inline constexpr const char* kRecipientCount = "RcptToNumber";
inline constexpr const char* kRecipientPrefix = "RcptTo";       // RcptTo<n>, n from 0
inline constexpr const char* kArrivalTime = "ArrivalTime";      // "YYYY-MM-DD HH:MM:SS" local
inline constexpr const char* kArrivalUnix = "ArrivalUnixTime";  // seconds since 1970
inline constexpr const char* kClientAddress = "ClientAddress";
inline constexpr const char* kHeloName = "HeloName";
inline constexpr const char* kAuthUser = "AuthUser";
inline constexpr const char* kLoginUser = "LoginUser";  // the relay login to send with
inline constexpr const char* kLoginPass = "LoginPass";
inline constexpr const char* kMailSize = "MailSize";            // bytes of the .eml
inline constexpr const char* kTries = "Tries";                  // delivery attempts so far
inline constexpr const char* kNextTry = "NextTry";              // seconds since 1970; 0 = at once
inline constexpr const char* kLastAnswer = "LastAnswer";        // the other side's latest reply
inline constexpr const char* kNoticeId = "NoticeId";            // the failure notice queued
inline constexpr const char* kRcptStatusPrefix = "RcptStatus";  // RcptStatus<n>: a status
inline constexpr const char* kSpfResult = "SpfResult";          // missing: no SPF check ran
// Why the mail goes to the recipient's junk folder ("dmarc": the sender's DMARC policy asks for
// quarantine); missing: it does not.
inline constexpr const char* kQuarantine = "Quarantine";
std::string RecipientKey(int n);
std::string StatusKey(int n);
// More recipients than this is a damaged companion.
inline constexpr int kMostRecipients = 10000;

// A recipient's status is "<state>" or "<state> <reply>", the state one of these words.
inline constexpr const char* kStateDelivered = "delivered";
inline constexpr const char* kStateFailed = "failed";
inline constexpr const char* kStatePending = "pending";
inline constexpr const char* kStateDeleted = "deleted";
// The whole status of a recipient the operator took out of the queue.
inline constexpr const char* kDeletedByOperator = "deleted by the operator";

enum class RecipientState { kPending, kDelivered, kFailed, kDeleted };
// The state a status starts with; anything unknown is still pending.
RecipientState StateOf(std::string_view status);
// The reply after the state word; none for an operator's delete.
std::string_view ReplyOf(std::string_view status);
// Delivered, failed or deleted: nothing more happens to this recipient.
bool IsFinalState(std::string_view status);
bool AllFinal(const std::vector<std::string>& states);
// A status for a companion: "<state> <reply>", one line of printable text.
std::string StateText(const char* state, const std::string& reply);

// --- Writing a new entry's companion (the receiving service) -------------------------------

struct Envelope {
    std::string mailFrom;                 // "" for the null reverse path
    std::vector<std::string> recipients;  // at least one
    std::string clientAddress;            // "203.0.113.5:51234"
    std::string heloName;
    std::string authUser;         // "" when the client did not authenticate
    std::string spfResult = {};   // "" when no SPF check ran (then no SpfResult key is written)
    std::string quarantine = {};  // "" when the mail is not quarantined (no Quarantine key)
};

// Whether every value of the envelope comes back from the companion exactly as given.
bool CanStore(const Envelope& envelope);
// The companion of a new entry, in the configuration store's format: every recipient pending.
std::string NewCompanionText(uint32_t id, const Envelope& envelope, size_t mailSize,
                             std::int64_t arrivalUnix, const std::string& arrivalText);

// --- Reading an entry ----------------------------------------------------------------------

// The companion's numbers (times, sizes): digits only, and small enough for any time or size;
// anything else reads as 0.
std::int64_t ParseNumber(std::string_view text);

// One companion as it is on disk, with each key's default when it is missing.
class CompanionReader {
  public:
    CompanionReader(const std::string& dir, uint32_t id);
    int RecipientCount() const;  // as written, so possibly absurd
    std::string Recipient(int n) const;
    bool HasRecipient(int n) const;              // whether RcptTo<n> is there at all
    std::string Status(int n) const;             // kStatePending when missing
    int Tries() const;                           // never below 0
    std::int64_t Number(const char* key) const;  // 0 when missing or not a plain number
    std::string Text(const char* key) const;     // "" when missing
    bool Has(const char* key) const;             // whether the key is there at all

  private:
    ProfileSnapshot companion_;
};

// A queued mail as the SEND service delivers it.
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
    // Who handed the mail in: the AUTH user ("" when none) and the client's "address:port", which
    // mail made on this machine without a client (the mail builder) does not have.
    std::string authUser;
    std::optional<std::string> clientAddress;
    std::string spfResult;    // the receiving side's SPF result; "" when unknown
    std::string quarantine;   // why it goes to the junk folder; "" when it does not
    std::string lastAnswer;   // written with the states when not empty
    bool noticeSent = false;  // the companion names the failure notice sent back
    std::string message;
};

// Reads <dir>/<id>.cfg and .eml; false with a reason when either is missing or unusable, or the
// message is larger than maxBytes. damaged tells whether the entry can never be read (a
// companion without its recipients, a missing or oversized message) rather than not now. A
// recipient without an address is failed at once.
bool LoadQueuedMail(const std::string& dir, uint32_t id, size_t maxBytes, QueuedMail* mail,
                    std::string* error, bool* damaged);
// At most maxBytes of the message of a regular <dir>/<id>.eml; `whole` says whether that was all.
bool ReadMessage(const std::string& dir, uint32_t id, size_t maxBytes, std::string* text,
                 bool* whole, std::string* error);

// Writes the states, tries, next try (and LastAnswer when given) into the companion in one
// atomic rewrite. Under the claim.
bool SaveState(const std::string& dir, const QueuedMail& mail, std::int64_t nextTry);
// The same for a mail already moved to old: the move settled it, so the states are a record for
// the operator, written over the companion in place and not flushed (a flush, or a file made and
// one freed, per delivered mail would bound the sending rate).
bool SaveFinalState(const std::string& oldDir, const QueuedMail& mail);

// --- Listing -------------------------------------------------------------------------------

// The ids of the complete entries of dir (those with their <id>.cfg), in directory order. A
// companion that is a symbolic link (or anything but a regular file) makes no entry: nothing in
// the queue is read or written through a link. Their ids go to `refused` when it is given. With
// strays, the names of the other all-digit companions ("0212.cfg", "0.cfg") go there.
std::vector<uint32_t> ListEntryIds(const std::string& dir, std::vector<uint32_t>* refused = nullptr,
                                   std::vector<std::string>* strays = nullptr);
// Whether <dir>/<id>.cfg is a regular file, not a link to one.
bool IsPlainCompanion(const std::string& dir, uint32_t id);
// The number of complete entries in dir; 0 when it cannot be read.
size_t CountEntries(const std::string& dir);

// --- The claim -----------------------------------------------------------------------------

// The claim on one queued mail, released when the object goes.
class MailClaim {
  public:
    enum class Result {
        kTaken,      // held: the entry is in the queue and nobody else changes it
        kBusy,       // another holder (a try under way, or another console's change)
        kGone,       // no longer queued (finished, or deleted)
        kNoMessage,  // the companion is queued but its .eml is missing: nothing can be delivered
        kNotAFile,   // its .eml is a symbolic link or not a regular file: never read through
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

// --- Finished mail -------------------------------------------------------------------------

// Moves <id>.cfg then <id>.eml from queue to old (the entry leaves the queue with its .cfg),
// creating old (0700) when needed: the whole entry or, false with errno saying why, none of it.
// A message file that is already missing is no failure. Under the claim.
bool MoveToOld(const std::string& queueDir, const std::string& oldDir, uint32_t id);
// Moves <id>.eml (when there is one) then <id>.cfg from queue to quarantine (created 0700),
// never replacing a file there. Under the claim when the message exists.
bool MoveToQuarantine(const std::string& queueDir, const std::string& quarantineDir, uint32_t id);
// Moves a stray companion (see ListEntryIds) to quarantine, under its id's own name when it has
// one, so that the queue view can read it.
bool MoveStrayToQuarantine(const std::string& queueDir, const std::string& quarantineDir,
                           const std::string& name);
// The index of the first recipient with the same address (ASCII case ignored), for each one:
// a mail names each address once for delivery however often the client gave it.
std::vector<size_t> FirstOfSameAddress(const std::vector<std::string>& recipients);

// Deletes files in dir not changed for keepDays days; returns how many.
int DeleteOlderThan(const std::string& dir, int keepDays, std::time_t now);

// --- The operator's changes (the console) --------------------------------------------------

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

// --- Retry requests (console to SEND service) ----------------------------------------------

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
