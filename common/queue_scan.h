// The queue as the console's queue view reads it (queue/ or old/): one summary per complete
// entry, from its companion, and rescans that report only what changed since the last one (one
// listing, one stat per entry, a companion parsed only when it is new or was replaced). The files'
// rules are in mail_queue.h. Standard library only; one thread at a time per index.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/mail_queue.h"

namespace mailqueue {

struct QueueRecipientView {
    std::string address;
    RecipientState state = RecipientState::kPending;
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

// Reads <dir>/<id>.cfg (and the .eml's size when the companion does not give it). Values are
// bounded: at most kMaxShownRecipients recipients and 1000 characters of any text.
inline constexpr int kMaxShownRecipients = 1000;
QueueEntryView ReadQueueEntry(const std::string& dir, uint32_t id);

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

}  // namespace mailqueue
