// The texts the queue view shows of an entry read from the queue (common/queue_scan.h). No Qt.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "common/queue_scan.h"

// "a@x (sent), b@y (waiting)"; the null sender as "<>".
std::string RecipientsText(const mailqueue::QueueEntryView& entry);
std::string SenderText(const mailqueue::QueueEntryView& entry);

// The next-try cell of a waiting mail: "now" when due, else the local time.
std::string NextTryText(std::int64_t nextTry, std::time_t now);
// The same cell for a finished mail: how it ended.
std::string OutcomeText(const mailqueue::QueueEntryView& entry);
