#include "mailtools/mail_builder.h"

#include "engine/engine_binding.h"
#include "mailtools/mail_files.h"

ComposeFault CheckComposedMail(const ComposedMail& mail) {
    if (mail.sender.empty()) {
        return ComposeFault::kSender;
    }
    if (mail.recipients.empty()) {
        return ComposeFault::kRecipients;
    }
    if (mail.subject.empty() && mail.body.empty()) {
        return ComposeFault::kSubject;
    }
    return ComposeFault::kNone;
}

std::string CharsetName(std::string_view entry) {
    const auto open = entry.rfind('(');
    const auto close = entry.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open) {
        return {};
    }
    return std::string(entry.substr(open + 1, close - open - 1));
}

MailBuildResult BuildMail(int mailId, std::string_view charsetName, const ComposedMail& mail) {
    MailBuildResult result;
    result.mailId = mailId != 0 ? mailId : engine::CreateMail(charsetName);
    if (result.mailId == 0) {
        result.reason = "The engine library could not create the mail.";
        return result;
    }
    const int id = result.mailId;
    engine::SetFrom(id, mail.sender, "");
    engine::AddRecipients(id, mail.recipients, 0);
    engine::SetSubject(id, mail.subject);
    engine::SetMailBody(id, mail.body);
    for (const std::string& attachment : mail.attachments) {
        engine::AttachFile(id, attachment);
    }
    const std::string path = MailFilePath(id, ".eml");
    engine::SaveMailAs(id, path);
    result.stored = IsExistingFile(path);
    if (!result.stored) {
        const std::string error = MailBuildError(id);
        result.reason = "The mail could not be stored as " + path + ".";
        if (!error.empty()) {
            result.reason += "\n" + error;
        }
    }
    return result;
}
