#include "common/queue_scan.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace mailqueue {

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

uint64_t MessageSize(const std::string& dir, uint32_t id) {
    struct stat info {};
    return stat(MessageFile(dir, id).c_str(), &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0;
}

}  // namespace

QueueEntryView ReadQueueEntry(const std::string& dir, uint32_t id) {
    const CompanionReader companion(dir, id);
    QueueEntryView entry;
    entry.id = id;
    entry.arrival = Bounded(companion.Text(kArrivalTime));
    entry.sender = Bounded(companion.Text(kMailFrom));
    const int count = std::clamp(companion.RecipientCount(), 0, kMaxShownRecipients);
    // For companions written before LastAnswer was kept: the reply in the first open status,
    // else the last reply.
    std::string firstOpenReply;
    std::string lastReply;
    for (int n = 0; n < count; ++n) {
        const std::string status = companion.Status(n);
        const RecipientState state = StateOf(status);
        entry.recipients.push_back({Bounded(companion.Recipient(n)), state});
        const std::string_view reply = ReplyOf(status);
        if (!reply.empty()) {
            lastReply = reply;
            if (firstOpenReply.empty() && state != RecipientState::kDelivered) {
                firstOpenReply = reply;
            }
        }
    }
    entry.tries = companion.Tries();
    entry.nextTry = companion.Number(kNextTry);
    entry.lastAnswer = companion.Text(kLastAnswer);
    if (entry.lastAnswer.empty()) {
        entry.lastAnswer = firstOpenReply.empty() ? lastReply : firstOpenReply;
    }
    entry.lastAnswer = Bounded(entry.lastAnswer);
    entry.noticeSent = !companion.Text(kNoticeId).empty();
    const std::string size = companion.Text(kMailSize);
    entry.size = size.empty() ? MessageSize(dir, id) : static_cast<uint64_t>(ParseNumber(size));
    return entry;
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
        if (!ParseEntryName(e->d_name, &id) ||
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

}  // namespace mailqueue
