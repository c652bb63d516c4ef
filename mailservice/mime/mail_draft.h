// Mails in progress between CreateMail and SaveMailAs: what the setters collected, kept by id in
// one process-wide registry. Every input is bounded here; an input that is refused is remembered
// so that the save fails and says why instead of building a mail without it. Thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace relvo::mail {

struct BuilderLimits {
    static constexpr size_t kMailsInProgress = 256;
    static constexpr size_t kSenderBytes = 998;
    static constexpr size_t kRecipientsBytes = 64 * 1024;
    static constexpr size_t kRecipients = 1000;
    static constexpr size_t kSubjectBytes = 2000;
    static constexpr size_t kBodyBytes = 16 * 1024 * 1024;
    static constexpr size_t kAttachments = 100;
    static constexpr size_t kPathBytes = 4096;
    static constexpr size_t kAttachmentsBytes = 32 * 1024 * 1024;  // all files of one mail
};

struct MailDraft {
    std::string charset = "utf-8";  // MIME name of the body's wanted character set
    bool charsetGiven = false;      // false: a stored mail edited again, set unknown until saved
    std::string sender;
    std::string recipients;  // the texts of every AddRecipients call, joined with ", "
    std::string subject;
    std::string body;
    std::vector<std::string> attachments;
    // Why inputs were refused, in call order, each under the field it concerns; a setter that
    // replaces a field first forgets that field's refusals.
    std::vector<std::pair<std::string, std::string>> refusals;
    bool saved = false;  // the next setter starts the mail afresh

    void Refuse(std::string field, std::string reason) {
        refusals.emplace_back(std::move(field), std::move(reason));
    }
    void ForgetRefusals(const std::string& field) {
        std::erase_if(refusals, [&](const auto& refusal) { return refusal.first == field; });
    }
};

class DraftRegistry {
  public:
    static DraftRegistry& Instance();

    // Registers a new mail under a freshly reserved id; false when the registry is full of
    // unsaved mails.
    bool Add(int id, MailDraft draft);

    // Runs edit on the mail of the id. A saved mail starts again empty (keeping its character
    // set); an id without a mail gets a new one, so that a mail stored earlier (perhaps by another
    // run of the process) can be edited and saved again under its id. False for ids below 1 and
    // when the registry is full.
    bool Edit(int id, const std::function<void(MailDraft&)>& edit);

    // A copy of the mail as it is now, marked saved; none for an unknown id.
    std::optional<MailDraft> TakeForSave(int id);

  private:
    bool MakeRoom();  // drops the oldest saved mail when full; false when none can go

    std::mutex mutex_;
    std::map<int, MailDraft> drafts_;
    std::vector<int> order_;  // ids in the order they were added, for dropping saved mails
};

}  // namespace relvo::mail
