#include "common/mail_queue.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <utility>

#include "common/profile_file.h"
#include "common/profile_store.h"

namespace mailqueue {

namespace {

bool StartsWithWord(std::string_view state, std::string_view word) {
    return state.substr(0, word.size()) == word &&
           (state.size() == word.size() || state[word.size()] == ' ');
}

template <typename Visit>
void ForEachEntry(const std::string& dir, Visit visit) {
    DIR* listing = opendir(dir.c_str());
    if (listing == nullptr) {
        return;
    }
    while (dirent* entry = readdir(listing)) {
        uint32_t id = 0;
        if (ParseEntryName(entry->d_name, &id)) {
            visit(id);
        }
    }
    closedir(listing);
}

bool Exists(const std::string& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
}

std::string Reason(const std::string& what) {
    std::string why = ProfileLastWriteError();
    return why.empty() ? what : what + ": " + why;
}

}  // namespace

bool IsFinalState(std::string_view state) {
    return StartsWithWord(state, kStateDelivered) || StartsWithWord(state, kStateFailed) ||
           StartsWithWord(state, kStateDeleted);
}

bool AllFinal(const std::vector<std::string>& states) {
    return std::all_of(states.begin(), states.end(),
                       [](const std::string& state) { return IsFinalState(state); });
}

bool ParseEntryName(std::string_view name, uint32_t* id) {
    constexpr std::string_view kSuffix = ".cfg";
    if (name.size() < kSuffix.size() + 1 || name.size() > kSuffix.size() + 10 ||
        name.substr(name.size() - kSuffix.size()) != kSuffix) {
        return false;
    }
    uint64_t value = 0;
    for (char c : name.substr(0, name.size() - kSuffix.size())) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (value == 0 || value > 0xffffffffu) {
        return false;
    }
    *id = static_cast<uint32_t>(value);
    return true;
}

std::vector<uint32_t> ListEntryIds(const std::string& dir) {
    std::vector<uint32_t> ids;
    ForEachEntry(dir, [&ids](uint32_t id) { ids.push_back(id); });
    return ids;
}

size_t CountEntries(const std::string& dir) {
    size_t count = 0;
    ForEachEntry(dir, [&count](uint32_t) { ++count; });
    return count;
}

std::string CompanionFile(const std::string& dir, uint32_t id) {
    return dir + "/" + std::to_string(id) + ".cfg";
}

std::string MessageFile(const std::string& dir, uint32_t id) {
    return dir + "/" + std::to_string(id) + ".eml";
}

bool MoveToOld(const std::string& queueDir, const std::string& oldDir, uint32_t id) {
    mkdir(oldDir.c_str(), 0700);
    const std::string queued = CompanionFile(queueDir, id);
    const std::string finished = CompanionFile(oldDir, id);
    if (rename(queued.c_str(), finished.c_str()) != 0) {
        return false;
    }
    // A message that is already missing leaves nothing behind. One that cannot follow takes its
    // companion back: a companion in old with its message queued would be neither sent again nor
    // finished.
    if (rename(MessageFile(queueDir, id).c_str(), MessageFile(oldDir, id).c_str()) != 0 &&
        errno != ENOENT) {
        const int error = errno;
        rename(finished.c_str(), queued.c_str());
        errno = error;
        return false;
    }
    // The store's lock file of the companion: nobody writes this entry any more (every writer
    // holds the claim, which this move ends), and the queue directory would otherwise keep one
    // file per mail ever retried.
    unlink((queued + ".lock").c_str());
    return true;
}

MailClaim::~MailClaim() {
    if (fd_ >= 0) {
        close(fd_);  // releases the lock
    }
}

MailClaim::MailClaim(MailClaim&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

MailClaim& MailClaim::operator=(MailClaim&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) {
            close(fd_);
        }
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

MailClaim MailClaim::TryTake(const std::string& queueDir, uint32_t id, Result* result) {
    MailClaim claim;
    // O_NONBLOCK: whatever sits under the name, opening it must not wait.
    int fd = open(MessageFile(queueDir, id).c_str(),
                  O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        int error = errno;
        bool queued = Exists(CompanionFile(queueDir, id));
        *result = error == ENOENT ? (queued ? Result::kNoMessage : Result::kGone) : Result::kFailed;
        return claim;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        *result = Result::kFailed;
        return claim;
    }
    int locked;
    do {
        locked = flock(fd, LOCK_EX | LOCK_NB);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) {
        int error = errno;
        close(fd);
        *result = error == EWOULDBLOCK ? Result::kBusy : Result::kFailed;
        return claim;
    }
    // The holder before us may have finished the mail and moved it: the lock then sits on a file
    // in old/, and the companion is no longer queued.
    if (!Exists(CompanionFile(queueDir, id))) {
        close(fd);
        *result = Result::kGone;
        return claim;
    }
    claim.fd_ = fd;
    *result = Result::kTaken;
    return claim;
}

namespace {

// Takes the claim for an operator's change; kDone when it is held or (for a delete) when there is
// no message left to deliver and so nothing to be cut.
OperatorOutcome ClaimForChange(const std::string& queueDir, uint32_t id, bool evenWithoutMessage,
                               MailClaim* claim, std::string* error) {
    MailClaim::Result result = MailClaim::Result::kFailed;
    *claim = MailClaim::TryTake(queueDir, id, &result);
    switch (result) {
        case MailClaim::Result::kTaken:
            return OperatorOutcome::kDone;
        case MailClaim::Result::kBusy:
            return OperatorOutcome::kBusy;
        case MailClaim::Result::kGone:
            return OperatorOutcome::kGone;
        case MailClaim::Result::kNoMessage:
            if (evenWithoutMessage) {
                return OperatorOutcome::kDone;
            }
            *error = "the message file " + MessageFile(queueDir, id) + " is missing";
            return OperatorOutcome::kFailed;
        case MailClaim::Result::kFailed:
            break;
    }
    const int reason = errno;
    const std::string message = MessageFile(queueDir, id);
    // The claim refuses anything but a regular file without saying so through errno.
    struct stat info {};
    if (lstat(message.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
        *error = message + " is not a regular file";
    } else {
        *error = "cannot open " + message + ": " + std::strerror(reason);
    }
    return OperatorOutcome::kFailed;
}

std::vector<std::string> RecipientStates(const ProfileSnapshot& companion) {
    std::vector<std::string> states;
    int count = std::clamp(companion.GetInt(kSection, "RcptToNumber", 0), 0, 10000);
    for (int n = 0; n < count; ++n) {
        states.push_back(companion.GetString(
            kSection, std::string(kRcptStatusPrefix) + std::to_string(n), kStatePending));
    }
    return states;
}

}  // namespace

OperatorOutcome RetryNow(const std::string& queueDir, uint32_t id, std::string* error) {
    MailClaim claim;
    OperatorOutcome outcome = ClaimForChange(queueDir, id, false, &claim, error);
    if (outcome != OperatorOutcome::kDone) {
        return outcome;
    }
    const std::string companion = CompanionFile(queueDir, id);
    std::vector<std::string> states = RecipientStates(ProfileSnapshot(companion));
    if (states.empty()) {
        *error = companion + " lists no recipients";
        return OperatorOutcome::kFailed;
    }
    if (AllFinal(states)) {
        return OperatorOutcome::kFinished;
    }
    ProfileBatch due;
    due.Set(kSection, kNextTry, "0");
    if (!due.Commit(companion)) {
        *error = Reason("cannot write " + companion);
        return OperatorOutcome::kFailed;
    }
    ProfileBatch request;
    request.Set(kRetrySection, std::to_string(id), "1");
    if (!request.Commit(RetryRequestFile(queueDir))) {
        *error = Reason("cannot write " + RetryRequestFile(queueDir));
        return OperatorOutcome::kFailed;
    }
    return OperatorOutcome::kDone;
}

OperatorOutcome DeleteQueued(const std::string& queueDir, const std::string& oldDir, uint32_t id,
                             std::string* error) {
    MailClaim claim;
    OperatorOutcome outcome = ClaimForChange(queueDir, id, true, &claim, error);
    if (outcome != OperatorOutcome::kDone) {
        return outcome;
    }
    const std::string companion = CompanionFile(queueDir, id);
    std::vector<std::string> states = RecipientStates(ProfileSnapshot(companion));
    // The mark goes first: should the move be cut short, the SEND service finds a mail with
    // nothing left to send and finishes the move itself.
    ProfileBatch mark;
    for (size_t n = 0; n < states.size(); ++n) {
        if (!IsFinalState(states[n])) {
            mark.Set(kSection, std::string(kRcptStatusPrefix) + std::to_string(n),
                     kDeletedByOperator);
        }
    }
    mark.Set(kSection, kNextTry, "0");
    if (!mark.Commit(companion)) {
        *error = Reason("cannot write " + companion);
        return OperatorOutcome::kFailed;
    }
    if (!MoveToOld(queueDir, oldDir, id)) {
        *error = "cannot move mail " + std::to_string(id) + " to " + oldDir + ": " +
                 std::strerror(errno);
        return OperatorOutcome::kFailed;
    }
    return OperatorOutcome::kDone;
}

std::string RetryRequestFile(const std::string& queueDir) {
    return queueDir + "/retry.cfg";
}

namespace {

RetryRequestsSeen SeenOf(const struct stat& info) {
    return {static_cast<int64_t>(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec,
            static_cast<int64_t>(info.st_size), static_cast<uint64_t>(info.st_ino)};
}

bool operator==(const RetryRequestsSeen& a, const RetryRequestsSeen& b) {
    return a.changeTime == b.changeTime && a.size == b.size && a.inode == b.inode;
}

std::vector<std::string> SectionKeys(const profile::Document& document, std::string_view name) {
    std::vector<std::string> keys;
    std::optional<uint32_t> index = document.FindSection(name);
    if (!index) {
        return keys;
    }
    const profile::Section& section = document.Sections()[*index];
    for (uint32_t i = section.header + 1; i < section.end; ++i) {
        const profile::Line& line = document.Lines()[i];
        if (line.kind == profile::LineKind::kKey && !document.KeyOf(line).empty()) {
            keys.emplace_back(document.KeyOf(line));
        }
    }
    return keys;
}

}  // namespace

std::vector<uint32_t> TakeRetryRequests(const std::string& queueDir, RetryRequestsSeen* seen) {
    std::vector<uint32_t> ids;
    const std::string file = RetryRequestFile(queueDir);
    struct stat info {};
    if (stat(file.c_str(), &info) != 0) {
        *seen = RetryRequestsSeen();
        return ids;
    }
    if (SeenOf(info) == *seen) {
        return ids;
    }
    // What is remembered is the file the requests were read from, never the one just stat'ed:
    // the store may answer from its parse of an earlier file while another process's write is
    // still being counted, and a request written after our read must differ at the next call.
    profile::Loaded loaded = profile::LoadDocument(file);
    if (!loaded.document) {
        *seen = loaded.status == profile::LoadStatus::kMissing ? RetryRequestsSeen()
                                                               : SeenOf(loaded.info);
        return ids;
    }
    *seen = SeenOf(loaded.info);
    ProfileBatch taken;
    for (const std::string& key : SectionKeys(*loaded.document, kRetrySection)) {
        uint32_t id = 0;
        if (ParseEntryName(key + ".cfg", &id)) {
            ids.push_back(id);
        }
        // Junk goes too, but only what the store can write: one line it refuses must not keep
        // every later request in the file.
        if (IsStorableKey(key)) {
            taken.Remove(kRetrySection, key);
        }
    }
    if (!taken.Empty()) {
        taken.Commit(file);
    }
    return ids;
}

}  // namespace mailqueue
