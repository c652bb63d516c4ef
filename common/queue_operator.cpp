// The operator's changes to a queued mail, and the retry requests they leave for the SEND service.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "common/mail_queue.h"
#include "common/profile_file.h"

namespace mailqueue {

namespace {

std::string Reason(const std::string& what) {
    std::string why = ProfileLastWriteError();
    return why.empty() ? what : what + ": " + why;
}

}  // namespace

namespace {

// Takes the claim for an operator's change; kDone when it is held or (for a delete) when there is
// no message left to deliver and so nothing to be cut.
OperatorOutcome ClaimForChange(const std::string& queueDir, uint32_t id, bool evenWithoutMessage,
                               MailClaim* claim, std::string* error) {
    struct stat companion {};
    if (lstat(CompanionFile(queueDir, id).c_str(), &companion) == 0 &&
        !S_ISREG(companion.st_mode)) {
        *error = CompanionFile(queueDir, id) + " is a symbolic link or not a regular file";
        return OperatorOutcome::kFailed;
    }
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
        case MailClaim::Result::kNotAFile:
            *error = MessageFile(queueDir, id) + " is not a regular file";
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

std::vector<std::string> RecipientStates(const CompanionReader& companion) {
    std::vector<std::string> states;
    int count = std::clamp(companion.RecipientCount(), 0, kMostRecipients);
    for (int n = 0; n < count; ++n) {
        states.push_back(companion.Status(n));
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
    std::vector<std::string> states = RecipientStates(CompanionReader(queueDir, id));
    if (states.empty()) {
        *error = companion + " lists no recipients";
        return OperatorOutcome::kFailed;
    }
    if (AllFinal(states)) {
        return OperatorOutcome::kFinished;
    }
    ProfileBatch due;
    due.Set(kSection, kNextTry, "0");
    if (!due.CommitHeld(companion, profile::Flush::kToDisk)) {
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
    std::vector<std::string> states = RecipientStates(CompanionReader(queueDir, id));
    // The mark goes first: should the move be cut short, the SEND service finds a mail with
    // nothing left to send and finishes the move itself.
    ProfileBatch mark;
    for (size_t n = 0; n < states.size(); ++n) {
        if (!IsFinalState(states[n])) {
            mark.Set(kSection, StatusKey(static_cast<int>(n)), kDeletedByOperator);
        }
    }
    mark.Set(kSection, kNextTry, "0");
    if (!mark.CommitHeld(companion, profile::Flush::kToDisk)) {
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
