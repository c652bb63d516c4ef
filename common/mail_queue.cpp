#include "common/mail_queue.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <unordered_map>
#include <utility>

#include "common/file_moves.h"
#include "common/owner_only_directory.h"

namespace mailqueue {

namespace {

// The digits of "<digits><extension>", when name is that and nothing else.
std::optional<std::string_view> IdDigits(std::string_view name, std::string_view extension) {
    if (name.size() <= extension.size() ||
        name.substr(name.size() - extension.size()) != extension) {
        return std::nullopt;
    }
    std::string_view digits = name.substr(0, name.size() - extension.size());
    for (char c : digits) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
    }
    return digits;
}

bool StartsWithWord(std::string_view status, std::string_view word) {
    return status.substr(0, word.size()) == word &&
           (status.size() == word.size() || status[word.size()] == ' ');
}

// Whether the directory entry is a regular file itself, asking the file system only when the
// listing does not say.
bool IsRegularEntry(DIR* listing, const dirent* entry) {
    if (entry->d_type != DT_UNKNOWN) {
        return entry->d_type == DT_REG;
    }
    struct stat info {};
    return fstatat(dirfd(listing), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISREG(info.st_mode);
}

// visit(id, plain) for each complete entry; plain is false for a companion that is a link or
// not a regular file. Names that look like a companion but are not one of an id written as the
// queue writes it go to strays.
template <typename Visit>
void ForEachEntry(const std::string& dir, Visit visit, std::vector<std::string>* strays) {
    DIR* listing = opendir(dir.c_str());
    if (listing == nullptr) {
        return;
    }
    while (dirent* entry = readdir(listing)) {
        uint32_t id = 0;
        const std::string_view name(entry->d_name);
        if (ParseEntryName(name, &id) && name == CompanionName(id)) {
            visit(id, IsRegularEntry(listing, entry));
        } else if (strays != nullptr && IdDigits(name, kCompanionExtension)) {
            strays->emplace_back(name);
        }
    }
    closedir(listing);
}

char AsciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool Exists(const std::string& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
}

}  // namespace

std::string MessageName(uint32_t id) {
    return std::to_string(id).append(kMessageExtension);
}

std::string CompanionName(uint32_t id) {
    return std::to_string(id).append(kCompanionExtension);
}

std::string TemporaryMessageName(uint32_t id) {
    return MessageName(id).append(kTemporarySuffix);
}

std::string TemporaryCompanionName(uint32_t id) {
    return CompanionName(id).append(kTemporarySuffix);
}

std::string MessageFile(const std::string& dir, uint32_t id) {
    return dir + "/" + MessageName(id);
}

std::string CompanionFile(const std::string& dir, uint32_t id) {
    return dir + "/" + CompanionName(id);
}

bool ParseEntryName(std::string_view name, uint32_t* id) {
    std::optional<std::string_view> digits = IdDigits(name, kCompanionExtension);
    if (!digits || digits->size() > 10) {
        return false;
    }
    uint64_t value = 0;
    for (char c : *digits) {
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (value == 0 || value > 0xffffffffu) {
        return false;
    }
    *id = static_cast<uint32_t>(value);
    return true;
}

bool IsLeftover(const std::string& name, const std::vector<std::string>& sortedNames) {
    const std::string messageTemporary = std::string(kMessageExtension).append(kTemporarySuffix);
    const std::string companionTemporary =
        std::string(kCompanionExtension).append(kTemporarySuffix);
    if (IdDigits(name, messageTemporary) || IdDigits(name, companionTemporary)) {
        return true;
    }
    std::optional<std::string_view> digits = IdDigits(name, kMessageExtension);
    return digits && !std::binary_search(sortedNames.begin(), sortedNames.end(),
                                         std::string(*digits).append(kCompanionExtension));
}

std::string RecipientKey(int n) {
    return kRecipientPrefix + std::to_string(n);
}

std::string StatusKey(int n) {
    return kRcptStatusPrefix + std::to_string(n);
}

RecipientState StateOf(std::string_view status) {
    if (StartsWithWord(status, kStateDelivered)) {
        return RecipientState::kDelivered;
    }
    if (StartsWithWord(status, kStateFailed)) {
        return RecipientState::kFailed;
    }
    if (StartsWithWord(status, kStateDeleted)) {
        return RecipientState::kDeleted;
    }
    return RecipientState::kPending;
}

std::string_view ReplyOf(std::string_view status) {
    if (StartsWithWord(status, kStateDeleted)) {
        return {};
    }
    size_t space = status.find(' ');
    return space == std::string_view::npos ? std::string_view() : status.substr(space + 1);
}

bool IsFinalState(std::string_view status) {
    return StateOf(status) != RecipientState::kPending;
}

bool AllFinal(const std::vector<std::string>& states) {
    return std::all_of(states.begin(), states.end(),
                       [](const std::string& state) { return IsFinalState(state); });
}

std::string StateText(const char* state, const std::string& reply) {
    std::string text = state;
    if (!reply.empty()) {
        text += ' ';
        for (char c : reply.substr(0, 400)) {
            unsigned char u = static_cast<unsigned char>(c);
            text += (u < 0x20 || u == 0x7f || c == '"') ? '?' : c;
        }
    }
    while (!text.empty() && text.back() == ' ') {
        text.pop_back();
    }
    return text;
}

std::vector<uint32_t> ListEntryIds(const std::string& dir, std::vector<uint32_t>* refused,
                                   std::vector<std::string>* strays) {
    std::vector<uint32_t> ids;
    ForEachEntry(
        dir,
        [&ids, refused](uint32_t id, bool plain) {
            if (plain) {
                ids.push_back(id);
            } else if (refused != nullptr) {
                refused->push_back(id);
            }
        },
        strays);
    return ids;
}

bool IsPlainCompanion(const std::string& dir, uint32_t id) {
    struct stat info {};
    return lstat(CompanionFile(dir, id).c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

size_t CountEntries(const std::string& dir) {
    size_t count = 0;
    ForEachEntry(
        dir, [&count](uint32_t, bool plain) { count += plain ? 1 : 0; }, nullptr);
    return count;
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
        *result = !queued && (error == ENOENT || error == ELOOP) ? Result::kGone
                  : error == ENOENT                              ? Result::kNoMessage
                  : error == ELOOP                               ? Result::kNotAFile
                                                                 : Result::kFailed;
        return claim;
    }
    struct stat info {};
    const bool stated = fstat(fd, &info) == 0;
    if (!stated || !S_ISREG(info.st_mode)) {
        close(fd);
        *result = stated ? Result::kNotAFile : Result::kFailed;
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

bool MoveToOld(const std::string& queueDir, const std::string& oldDir, uint32_t id) {
    const std::string queued = CompanionFile(queueDir, id);
    const std::string finished = CompanionFile(oldDir, id);
    // old/ is made when a move finds it missing, not looked for with every mail.
    if (!RenameNoReplace(queued, finished) &&
        (errno != ENOENT || !MakeOwnerOnlyDirectory(oldDir).empty() ||
         !RenameNoReplace(queued, finished))) {
        return false;
    }
    // A message that is already missing leaves nothing behind. One that cannot follow takes its
    // companion back: a companion in old with its message queued would be neither sent again nor
    // finished.
    if (!RenameNoReplace(MessageFile(queueDir, id), MessageFile(oldDir, id)) && errno != ENOENT) {
        const int error = errno;
        RenameNoReplace(finished, queued);
        errno = error;
        return false;
    }
    // The store's lock file of the companion: nobody writes this entry any more (every writer
    // holds the claim, which this move ends), and the queue directory would otherwise keep one
    // file per mail ever retried.
    unlink((queued + ".lock").c_str());
    return true;
}

bool MoveToQuarantine(const std::string& queueDir, const std::string& quarantineDir, uint32_t id) {
    MakeOwnerOnlyDirectory(quarantineDir);
    // The message first: a companion left behind without it is quarantined at the next look,
    // where a message left behind without its companion would be removed as a cut-off write.
    const std::string message = MessageFile(queueDir, id);
    if (Exists(message) && !RenameNoReplace(message, MessageFile(quarantineDir, id))) {
        return false;
    }
    if (!RenameNoReplace(CompanionFile(queueDir, id), CompanionFile(quarantineDir, id))) {
        return false;
    }
    unlink((CompanionFile(queueDir, id) + ".lock").c_str());
    return true;
}

bool MoveStrayToQuarantine(const std::string& queueDir, const std::string& quarantineDir,
                           const std::string& name) {
    MakeOwnerOnlyDirectory(quarantineDir);
    uint32_t id = 0;
    const std::string from = queueDir + "/" + name;
    if (ParseEntryName(name, &id) && RenameNoReplace(from, CompanionFile(quarantineDir, id))) {
        return true;
    }
    return RenameNoReplace(from, quarantineDir + "/" + name);
}

std::vector<size_t> FirstOfSameAddress(const std::vector<std::string>& recipients) {
    std::vector<size_t> first(recipients.size());
    std::unordered_map<std::string, size_t> seen;
    seen.reserve(recipients.size());
    for (size_t i = 0; i < recipients.size(); ++i) {
        std::string key = recipients[i];
        std::transform(key.begin(), key.end(), key.begin(), AsciiLower);
        first[i] = seen.emplace(std::move(key), i).first->second;
    }
    return first;
}

int DeleteOlderThan(const std::string& dir, int keepDays, std::time_t now) {
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) {
        return 0;
    }
    int deleted = 0;
    std::time_t limit = now - static_cast<std::time_t>(std::max(0, keepDays)) * 86400;
    while (dirent* e = readdir(d)) {
        std::string path = dir + "/" + e->d_name;
        struct stat info {};
        if (lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_mtime < limit &&
            unlink(path.c_str()) == 0) {
            ++deleted;
        }
    }
    closedir(d);
    return deleted;
}

}  // namespace mailqueue
