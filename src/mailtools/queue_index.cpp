#include "mailtools/queue_index.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/mail_queue.h"
#include "common/profile_store.h"
#include "common/utilities.h"

namespace {

constexpr size_t kMaxText = 1000;

std::string Bounded(std::string text) {
    if (text.size() > kMaxText) {
        text.resize(kMaxText);
        // Not to end inside a UTF-8 sequence.
        while (!text.empty() && (static_cast<unsigned char>(text.back()) & 0xC0) == 0x80) {
            text.pop_back();
        }
        if (!text.empty() && static_cast<unsigned char>(text.back()) >= 0xC0) {
            text.pop_back();
        }
        text += "...";
    }
    return text;
}

std::int64_t Number(const std::string& text) {
    std::int64_t value = 0;
    if (text.empty() || text.size() > 18) {
        return 0;
    }
    for (char c : text) {
        if (c < '0' || c > '9') {
            return 0;
        }
        value = value * 10 + (c - '0');
    }
    return value;
}

bool StartsWith(std::string_view text, std::string_view word) {
    return text.substr(0, word.size()) == word;
}

// The reply after the state word, for companions written before LastAnswer was kept. An
// operator's delete carries no reply.
std::string ReplyOf(std::string_view status) {
    if (StartsWith(status, mailqueue::kStateDeleted)) {
        return {};
    }
    size_t space = status.find(' ');
    return space == std::string_view::npos ? std::string() : std::string(status.substr(space + 1));
}

std::string LocalTimeText(std::int64_t when) {
    std::time_t time = static_cast<std::time_t>(when);
    std::tm local{};
    char text[32] = {};
    if (localtime_r(&time, &local) == nullptr ||
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local) == 0) {
        return "?";
    }
    return text;
}

}  // namespace

std::string_view RecipientStateWord(std::string_view status) {
    if (StartsWith(status, mailqueue::kStateDelivered)) {
        return "sent";
    }
    if (StartsWith(status, mailqueue::kStateFailed)) {
        return "failed";
    }
    if (StartsWith(status, mailqueue::kStateDeleted)) {
        return "deleted";
    }
    return "waiting";
}

QueueEntryView ReadQueueEntry(const std::string& dir, uint32_t id) {
    namespace q = mailqueue;
    const ProfileSnapshot companion(q::CompanionFile(dir, id));
    QueueEntryView entry;
    entry.id = id;
    entry.arrival = Bounded(companion.GetString(q::kSection, q::kArrivalTime, ""));
    entry.sender = Bounded(companion.GetString(q::kSection, "MailFrom", ""));
    const int count =
        std::clamp(companion.GetInt(q::kSection, "RcptToNumber", 0), 0, kMaxShownRecipients);
    std::string firstOpenReply;
    std::string lastReply;
    for (int n = 0; n < count; ++n) {
        const std::string status = companion.GetString(
            q::kSection, std::string(q::kRcptStatusPrefix) + std::to_string(n), q::kStatePending);
        entry.recipients.push_back(
            {Bounded(companion.GetString(q::kSection, "RcptTo" + std::to_string(n), "")),
             std::string(RecipientStateWord(status))});
        std::string reply = ReplyOf(status);
        if (!reply.empty()) {
            lastReply = reply;
            if (firstOpenReply.empty() && !StartsWith(status, q::kStateDelivered)) {
                firstOpenReply = reply;
            }
        }
    }
    entry.tries = std::max(0, companion.GetInt(q::kSection, q::kTries, 0));
    entry.nextTry = Number(companion.GetString(q::kSection, q::kNextTry, "0"));
    entry.lastAnswer = companion.GetString(q::kSection, q::kLastAnswer, "");
    if (entry.lastAnswer.empty()) {
        entry.lastAnswer = firstOpenReply.empty() ? lastReply : firstOpenReply;
    }
    entry.lastAnswer = Bounded(entry.lastAnswer);
    entry.noticeSent = !companion.GetString(q::kSection, q::kNoticeId, "").empty();
    const std::string size = companion.GetString(q::kSection, q::kMailSize, "");
    if (!size.empty()) {
        entry.size = static_cast<uint64_t>(Number(size));
    } else {
        struct stat info {};
        if (stat(q::MessageFile(dir, id).c_str(), &info) == 0) {
            entry.size = static_cast<uint64_t>(info.st_size);
        }
    }
    return entry;
}

std::string RecipientsText(const QueueEntryView& entry) {
    std::string text;
    for (const QueueRecipientView& recipient : entry.recipients) {
        if (!text.empty()) {
            text += ", ";
        }
        text += recipient.address + " (" + recipient.state + ")";
    }
    return text;
}

std::string SenderText(const QueueEntryView& entry) {
    return entry.sender.empty() ? "<>" : entry.sender;
}

std::string NextTryText(std::int64_t nextTry, std::time_t now) {
    return nextTry <= static_cast<std::int64_t>(now) ? "now" : LocalTimeText(nextTry);
}

std::string OutcomeText(const QueueEntryView& entry) {
    size_t sent = 0;
    size_t failed = 0;
    size_t deleted = 0;
    for (const QueueRecipientView& recipient : entry.recipients) {
        sent += recipient.state == "sent";
        failed += recipient.state == "failed";
        deleted += recipient.state == "deleted";
    }
    if (deleted > 0) {
        return "deleted by the operator";
    }
    if (failed > 0) {
        std::string text = sent > 0 ? "partly failed" : "failed";
        return entry.noticeSent ? text + ", returned to the sender" : text;
    }
    return sent > 0 ? "delivered" : "not finished";
}

QueueDirectoryIndex::Listing QueueDirectoryIndex::List() const {
    Listing listing;
    int dirFd = open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) {
        return listing;
    }
    int scanFd = dup(dirFd);
    DIR* scan = scanFd >= 0 ? fdopendir(scanFd) : nullptr;
    if (scan == nullptr) {
        if (scanFd >= 0) {
            close(scanFd);
        }
        close(dirFd);
        return listing;
    }
    listing.readable = true;
    while (dirent* e = readdir(scan)) {
        uint32_t id = 0;
        struct stat info {};
        if (!mailqueue::ParseEntryName(e->d_name, &id) ||
            fstatat(dirFd, e->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode)) {
            continue;
        }
        listing.entries.push_back(
            {id,
             {static_cast<std::int64_t>(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec,
              static_cast<std::int64_t>(info.st_size), static_cast<std::uint64_t>(info.st_ino)}});
    }
    closedir(scan);
    close(dirFd);
    // Ids grow with arrival: a first read shows the oldest mail first.
    std::sort(listing.entries.begin(), listing.entries.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    return listing;
}

namespace {

// Reads at most maxBytes of a regular file.
bool ReadBounded(const std::string& path, size_t maxBytes, std::string* text, bool* whole,
                 std::string* error) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        *error = "cannot read " + path + (fd < 0 ? ": " + std::string(std::strerror(errno)) : "");
        if (fd >= 0) {
            close(fd);
        }
        return false;
    }
    const size_t size = static_cast<size_t>(info.st_size);
    text->resize(std::min(size, maxBytes));
    size_t done = 0;
    while (done < text->size()) {
        ssize_t n = read(fd, text->data() + done, text->size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        done += static_cast<size_t>(n);
    }
    close(fd);
    text->resize(done);
    *whole = done == size;
    return true;
}

}  // namespace

bool ReadRawMessage(const std::string& dir, uint32_t id, size_t maxBytes, std::string* text,
                    bool* whole, std::string* error) {
    return ReadBounded(mailqueue::MessageFile(dir, id), maxBytes, text, whole, error);
}

bool CopyForDiagnose(const std::string& dir, uint32_t id, std::string* copyPath,
                     std::string* error) {
    // The engine refuses larger mails anyway; a copy is never made of a file that grew past it.
    constexpr size_t kMaxCopy = 256u << 20;
    std::string message;
    bool whole = false;
    if (!ReadRawMessage(dir, id, kMaxCopy, &message, &whole, error)) {
        return false;
    }
    if (!whole) {
        *error = "the mail is larger than " + std::to_string(kMaxCopy >> 20) + " MiB";
        return false;
    }
    const QueueEntryView entry = ReadQueueEntry(dir, id);
    const std::string name = "queued-" + std::to_string(id);
    mkdir(AppFilePath(std::string_view("mail")).c_str(), 0755);
    const std::string eml = AppFilePath(name + ".eml", "mail");
    const std::string temporary = eml + ".tmp";
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    bool written = fd >= 0 && write(fd, message.data(), message.size()) ==
                                  static_cast<ssize_t>(message.size());
    if (fd >= 0) {
        written = close(fd) == 0 && written;
    }
    if (!written || rename(temporary.c_str(), eml.c_str()) != 0) {
        *error = "cannot write " + eml + ": " + std::strerror(errno);
        unlink(temporary.c_str());
        return false;
    }
    // A fresh companion: whatever an earlier diagnose of this copy left (relay, login) goes.
    const std::string companion = AppFilePath(name + ".cfg", "mail");
    ProfileSnapshot old(companion);
    ProfileBatch batch;
    for (const char* section : {mailqueue::kSection, "RelayInfo"}) {
        std::vector<std::string> keys;
        old.GetSection(section, &keys);
        for (const std::string& key : keys) {
            batch.Remove(section, key);
        }
    }
    batch.SetInt(mailqueue::kSection, "MailId", 0);
    batch.Set(mailqueue::kSection, "MailFrom", entry.sender);
    batch.SetInt(mailqueue::kSection, "RcptToNumber", entry.recipients.empty() ? 0 : 1);
    if (!entry.recipients.empty()) {
        batch.Set(mailqueue::kSection, "RcptTo0", entry.recipients.front().address);
    }
    if (!batch.Commit(companion)) {
        *error = ProfileLastWriteError();
        return false;
    }
    *copyPath = eml;
    return true;
}
