// The states that finished mails' companions in old/ could not take (a full disk), in a file
// whose room is taken when the service starts, so that writing a record needs no new space and
// what is owed survives a stop: the next start writes it into old/.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/mail_queue.h"

namespace relvo::mail::send {

using mailqueue::QueuedMail;

// One record: the id, tries, next try, the recipients' states and the last answer, as one line
// with tabs, backslashes, line ends and NULs escaped. The decoder refuses anything else.
std::string EncodeOwedStates(const QueuedMail& states);
std::optional<QueuedMail> DecodeOwedStates(std::string_view line);

class OwedStatesJournal {
  public:
    static constexpr size_t kRoom = 1024 * 1024;

    // Opens or makes the file at path (owner only, never through a link), takes its room, and
    // reads the records there: Replayed() gives them, the last record of an id winning.
    explicit OwedStatesJournal(std::string path);
    ~OwedStatesJournal();
    OwedStatesJournal(const OwedStatesJournal&) = delete;
    OwedStatesJournal& operator=(const OwedStatesJournal&) = delete;

    // "" when the file is usable, otherwise why not (the states are then kept in memory only).
    const std::string& Problem() const { return problem_; }
    const std::vector<QueuedMail>& Replayed() const { return replayed_; }
    // Writes one record and flushes it; false when it has no room left or cannot be written.
    bool Append(const QueuedMail& states);
    // Nothing is owed any more: the records go, the room stays.
    void Clear();

  private:
    void Read();

    const std::string path_;
    int fd_ = -1;
    size_t used_ = 0;  // bytes of whole records from the start
    std::string problem_;
    std::vector<QueuedMail> replayed_;
};

}  // namespace relvo::mail::send
