// What one press of Send in the diagnose dialog checks and writes, without the window: the
// recipient reduced to its address, the mail file and its companion, and the companion's
// settings for exactly this send (sender, recipient, login of the sender's account, and the
// relay's data or none). Reads the main configuration; no Qt, UI thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/profile_store.h"

struct DiagnoseSendRequest {
    int mailId = 0;
    std::string from;      // sent as entered
    std::string to;        // reduced to its bare address
    std::string mailPath;  // the .eml file
    int sendVia = 0;       // 0: directly; k >= 1: through relayNames[k - 1]
    std::vector<std::string> relayNames;
};

// The control the dialog moves the focus to when the send cannot go ahead.
enum class DiagnoseSendFault { kNone, kRecipient, kMailPath, kSendVia };

struct DiagnoseSendPlan {
    DiagnoseSendFault fault = DiagnoseSendFault::kNone;
    std::string recipient;      // the bare address
    std::string companionPath;  // the file the settings go to and the engine is given
    ProfileBatch writes;        // applied to companionPath as one atomic write
};

// Checks the request and lists the writes. The companion is the mail file's own; when that is
// missing, `<mail id>.cfg` in the mail directory, unless the mail id is 0 (then the mail path is
// at fault: no `0.cfg` is ever made up). Keys an earlier send left that this send does not set
// (`LoginUser`/`LoginPass`, the `RelayInfo` section) are removed.
DiagnoseSendPlan PlanDiagnoseSend(const DiagnoseSendRequest& request);

// A progress line as the transcript shows it: every today's-date prefix ("2009-03-07 ") removed,
// line breaks as "\n", one "\n" at the end.
std::string TranscriptLine(std::string_view line, std::string_view todayPrefix);

// The prefix of today's time stamps, e.g. "2009-03-07 ".
std::string TodayPrefix();
