#include "mime/builder_api.h"

#include <climits>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "common/mail_address.h"
#include "common/utilities.h"
#include "core/mail_ids.h"
#include "mime/mail_draft.h"
#include "mime/mail_saver.h"
#include "mime/text_charset.h"

namespace relvo::mail {
namespace {

// The argument as text when it is no longer than limit; none otherwise (reads no further than
// one byte past the limit, so a huge argument costs nothing).
std::optional<std::string_view> BoundedText(const char* text, size_t limit) {
    if (text == nullptr) {
        return std::string_view();
    }
    const size_t length = strnlen(text, limit + 1);
    if (length > limit) {
        return std::nullopt;
    }
    return std::string_view(text, length);
}

// Replaces one text field of the mail; a text that is too long or not UTF-8 is refused and
// remembered for the save.
int SetTextField(int id, const char* text, size_t limit, const std::string& field,
                 std::string MailDraft::*member) {
    const std::optional<std::string_view> bounded = BoundedText(text, limit);
    const bool valid = bounded && IsValidUtf8(*bounded);
    const bool edited = DraftRegistry::Instance().Edit(id, [&](MailDraft& draft) {
        draft.ForgetRefusals(field);
        if (!bounded) {
            draft.Refuse(field,
                         "The " + field + " is longer than " + std::to_string(limit) + " bytes");
            (draft.*member).clear();
            return;
        }
        if (!valid) {
            draft.Refuse(field, "The " + field + " is not UTF-8 text");
        }
        draft.*member = *bounded;
    });
    return edited && valid ? 1 : 0;
}

}  // namespace

int BuilderCreateMail(const char* charset) {
    const std::optional<std::string_view> name = BoundedText(charset, 64);
    const std::optional<std::string> mimeName = name ? ResolveCharsetName(*name) : std::nullopt;
    if (!mimeName) {
        return 0;
    }
    const uint32_t id = AllocateMailId();
    if (id == 0 || id > static_cast<uint32_t>(INT_MAX)) {
        return 0;
    }
    MailDraft draft;
    draft.charset = *mimeName;
    draft.charsetGiven = true;
    return DraftRegistry::Instance().Add(static_cast<int>(id), std::move(draft))
               ? static_cast<int>(id)
               : 0;
}

int BuilderSetFrom(int id, const char* sender) {
    const int result =
        SetTextField(id, sender, BuilderLimits::kSenderBytes, "sender", &MailDraft::sender);
    return result && IsUsableMailAddress(ExtractOneLineMailAddress(sender ? sender : "")) ? 1 : 0;
}

int BuilderAddRecipients(int id, const char* recipients) {
    const std::optional<std::string_view> bounded =
        BoundedText(recipients, BuilderLimits::kRecipientsBytes);
    const bool valid = bounded && IsValidUtf8(*bounded);
    bool fits = false;
    const bool edited = DraftRegistry::Instance().Edit(id, [&](MailDraft& draft) {
        fits = bounded &&
               draft.recipients.size() + bounded->size() + 2 <= BuilderLimits::kRecipientsBytes;
        if (!fits) {
            draft.Refuse("recipients", "The recipients text is longer than " +
                                           std::to_string(BuilderLimits::kRecipientsBytes) +
                                           " bytes");
            return;
        }
        if (!valid) {
            draft.Refuse("recipients", "The recipients text is not UTF-8 text");
        }
        if (!bounded->empty()) {
            draft.recipients += draft.recipients.empty() ? "" : ", ";
            draft.recipients += *bounded;
        }
    });
    if (!edited || !fits || !valid) {
        return 0;
    }
    const std::vector<std::string> entries = SplitRecipientList(*bounded);
    for (const std::string& entry : entries) {
        if (!IsUsableMailAddress(ExtractOneLineMailAddress(entry))) {
            return 0;
        }
    }
    return entries.empty() ? 0 : 1;
}

int BuilderSetSubject(int id, const char* subject) {
    return SetTextField(id, subject, BuilderLimits::kSubjectBytes, "subject", &MailDraft::subject);
}

int BuilderSetMailBody(int id, const char* body) {
    return SetTextField(id, body, BuilderLimits::kBodyBytes, "body", &MailDraft::body);
}

int BuilderAttachFile(int id, const char* path) {
    const std::optional<std::string_view> bounded = BoundedText(path, BuilderLimits::kPathBytes);
    const bool usable = bounded && !bounded->empty() && bounded->front() == '/' &&
                        OneLine(*bounded) == *bounded && IsValidUtf8(*bounded);
    bool added = false;
    const bool edited = DraftRegistry::Instance().Edit(id, [&](MailDraft& draft) {
        const std::string shown = bounded ? OneLine(*bounded) : std::string("(too long)");
        if (draft.attachments.size() >= BuilderLimits::kAttachments) {
            draft.Refuse("attachments", "More than " + std::to_string(BuilderLimits::kAttachments) +
                                            " attachments");
            return;
        }
        if (!usable) {
            draft.Refuse("attachments",
                         "Cannot attach \"" + shown + "\": not an absolute UTF-8 file path");
        }
        draft.attachments.push_back(usable ? std::string(*bounded) : shown);
        added = usable;
    });
    return edited && added ? 1 : 0;
}

int BuilderSaveMailAs(int id, const char* path) {
    const std::optional<std::string_view> bounded = BoundedText(path, BuilderLimits::kPathBytes);
    if (!bounded) {
        return 0;
    }
    const std::optional<MailDraft> draft = DraftRegistry::Instance().TakeForSave(id);
    return draft && SaveDraft(id, *draft, std::string(*bounded)) ? 1 : 0;
}

}  // namespace relvo::mail
