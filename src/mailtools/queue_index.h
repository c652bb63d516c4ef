// What the queue view shows of a queue directory (queue/ or old/), read without a window: one
// entry per complete mail, from its companion, and rescans that report only what changed since
// the last one (one listing, one stat per entry, a companion parsed only when it is new or was
// replaced). No Qt; one thread at a time per index.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct QueueRecipientView {
    std::string address;
    std::string state;  // "waiting", "sent", "failed" or "deleted"
};

struct QueueEntryView {
    uint32_t id = 0;
    std::string arrival;  // "YYYY-MM-DD HH:MM:SS" local, as stored
    std::string sender;   // "" for the null sender
    std::vector<QueueRecipientView> recipients;
    uint64_t size = 0;
    int tries = 0;
    std::int64_t nextTry = 0;  // seconds since 1970; 0 = at once
    std::string lastAnswer;
    bool noticeSent = false;  // a failure notice went back to the sender
};

// The word the view shows for a companion's RcptStatus value.
std::string_view RecipientStateWord(std::string_view status);

// Reads <dir>/<id>.cfg (and the .eml's size when the companion does not give it). Values are
// bounded: at most kMaxShownRecipients recipients and 1000 characters of any text.
inline constexpr int kMaxShownRecipients = 1000;
QueueEntryView ReadQueueEntry(const std::string& dir, uint32_t id);

// "a@x (sent), b@y (waiting)"; the null sender as "<>".
std::string RecipientsText(const QueueEntryView& entry);
std::string SenderText(const QueueEntryView& entry);

// The next-try cell of a waiting mail: "now" when due, else the local time.
std::string NextTryText(std::int64_t nextTry, std::time_t now);
// The same cell for a finished mail: how it ended.
std::string OutcomeText(const QueueEntryView& entry);

class QueueDirectoryIndex {
  public:
    explicit QueueDirectoryIndex(std::string dir) : dir_(std::move(dir)) {}

    struct Changes {
        std::vector<QueueEntryView> changed;  // new, or their companion was replaced
        std::vector<uint32_t> removed;
        bool readable = true;  // false: the directory could not be listed (shown as empty)
    };

    // Compares the directory with the last rescan. Entries are reported in chunks of at most
    // chunkSize through `chunk` (returning false abandons the rescan) as they are read, so a long
    // first read shows early; removals come with the last call, which has `last` true. An
    // unreadable directory removes all.
    template <typename ChunkSink>
    void Rescan(size_t chunkSize, ChunkSink chunk);

    const std::string& Directory() const { return dir_; }
    size_t Size() const { return known_.size(); }

  private:
    struct Stamp {
        std::int64_t changeNs = 0;
        std::int64_t size = 0;
        std::uint64_t inode = 0;
        bool operator==(const Stamp&) const = default;
    };
    struct Listing {
        bool readable = false;
        std::vector<std::pair<uint32_t, Stamp>> entries;
    };
    Listing List() const;

    const std::string dir_;
    std::unordered_map<uint32_t, Stamp> known_;
};

template <typename ChunkSink>
void QueueDirectoryIndex::Rescan(size_t chunkSize, ChunkSink chunk) {
    Listing listing = List();
    Changes changes;
    changes.readable = listing.readable;
    std::unordered_map<uint32_t, Stamp> now;
    now.reserve(listing.entries.size());
    for (const auto& [id, stamp] : listing.entries) {
        now.emplace(id, stamp);
        auto known = known_.find(id);
        if (known != known_.end() && known->second == stamp) {
            continue;
        }
        changes.changed.push_back(ReadQueueEntry(dir_, id));
        if (changes.changed.size() >= chunkSize) {
            if (!chunk(std::move(changes), false)) {
                known_.clear();  // abandoned half way: the next rescan reads everything
                return;
            }
            changes = Changes();
        }
    }
    for (const auto& [id, stamp] : known_) {
        if (now.find(id) == now.end()) {
            changes.removed.push_back(id);
        }
    }
    known_ = std::move(now);
    changes.readable = listing.readable;
    chunk(std::move(changes), true);
}

// Copies a queued or finished mail into the mail directory as queued-<id>.eml, with a companion
// of its own (sender and first recipient, MailId=0), so the diagnose dialog can send it without
// touching the queue's files. False with a reason when the mail cannot be read or written.
bool CopyForDiagnose(const std::string& dir, uint32_t id, std::string* copyPath,
                     std::string* error);

// The raw message of a mail, at most maxBytes of it; `whole` says whether that was all.
bool ReadRawMessage(const std::string& dir, uint32_t id, size_t maxBytes, std::string* text,
                    bool* whole, std::string* error);
