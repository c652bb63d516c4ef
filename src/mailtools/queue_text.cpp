#include "mailtools/queue_text.h"

#include <string_view>

namespace {

using mailqueue::RecipientState;

std::string_view StateWord(RecipientState state) {
    switch (state) {
        case RecipientState::kDelivered:
            return "sent";
        case RecipientState::kFailed:
            return "failed";
        case RecipientState::kDeleted:
            return "deleted";
        case RecipientState::kPending:
            break;
    }
    return "waiting";
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

std::string RecipientsText(const mailqueue::QueueEntryView& entry) {
    std::string text;
    for (const mailqueue::QueueRecipientView& recipient : entry.recipients) {
        if (!text.empty()) {
            text += ", ";
        }
        text.append(recipient.address).append(" (").append(StateWord(recipient.state)).append(")");
    }
    return text;
}

std::string SenderText(const mailqueue::QueueEntryView& entry) {
    return entry.sender.empty() ? "<>" : entry.sender;
}

std::string NextTryText(std::int64_t nextTry, std::time_t now) {
    return nextTry <= static_cast<std::int64_t>(now) ? "now" : LocalTimeText(nextTry);
}

std::string OutcomeText(const mailqueue::QueueEntryView& entry) {
    size_t sent = 0;
    size_t failed = 0;
    size_t deleted = 0;
    for (const mailqueue::QueueRecipientView& recipient : entry.recipients) {
        sent += recipient.state == RecipientState::kDelivered;
        failed += recipient.state == RecipientState::kFailed;
        deleted += recipient.state == RecipientState::kDeleted;
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
