#include "mime/mail_draft.h"

#include <algorithm>

namespace relvo::mail {

DraftRegistry& DraftRegistry::Instance() {
    static DraftRegistry registry;
    return registry;
}

bool DraftRegistry::MakeRoom() {
    if (drafts_.size() < BuilderLimits::kMailsInProgress) {
        return true;
    }
    const auto saved = std::find_if(order_.begin(), order_.end(), [this](int id) {
        const auto found = drafts_.find(id);
        return found == drafts_.end() || found->second.saved;
    });
    if (saved == order_.end()) {
        return false;
    }
    drafts_.erase(*saved);
    order_.erase(saved);
    return true;
}

bool DraftRegistry::Add(int id, MailDraft draft) {
    std::lock_guard lock(mutex_);
    if (id < 1) {
        return false;
    }
    // A fresh id replaces what was kept under it (a mail of another application directory).
    if (const auto found = drafts_.find(id); found != drafts_.end()) {
        found->second = std::move(draft);
        return true;
    }
    if (!MakeRoom()) {
        return false;
    }
    drafts_.emplace(id, std::move(draft));
    order_.push_back(id);
    return true;
}

bool DraftRegistry::Edit(int id, const std::function<void(MailDraft&)>& edit) {
    std::lock_guard lock(mutex_);
    if (id < 1) {
        return false;
    }
    auto found = drafts_.find(id);
    if (found == drafts_.end()) {
        if (!MakeRoom()) {
            return false;
        }
        found = drafts_.emplace(id, MailDraft{}).first;
        order_.push_back(id);
    } else if (found->second.saved) {
        MailDraft fresh;
        fresh.charset = found->second.charset;
        fresh.charsetGiven = found->second.charsetGiven;
        found->second = std::move(fresh);
    }
    edit(found->second);
    return true;
}

std::optional<MailDraft> DraftRegistry::TakeForSave(int id) {
    std::lock_guard lock(mutex_);
    const auto found = drafts_.find(id);
    if (found == drafts_.end()) {
        return std::nullopt;
    }
    found->second.saved = true;
    return found->second;
}

}  // namespace relvo::mail
