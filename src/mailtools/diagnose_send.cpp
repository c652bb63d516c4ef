#include "mailtools/diagnose_send.h"

#include <filesystem>
#include <system_error>

#include "common/mail_address.h"
#include "common/utilities.h"
#include "mailtools/mail_files.h"

namespace {

constexpr std::string_view kAccountInfo = "AccountInfo";
constexpr std::string_view kRelayInfo = "RelayInfo";

// The mail path as the store and the engine need it: absolute, so that the companion read and
// written is the one beside the mail whatever the working directory.
std::string AbsolutePath(std::string_view path) {
    std::error_code error;
    auto absolute = std::filesystem::absolute(std::filesystem::path(path), error);
    return error ? std::string(path) : absolute.lexically_normal().string();
}

void AddRelayWrites(ProfileBatch& writes, const std::string& relay) {
    const ProfileSnapshot config(".cfg");
    auto text = [&](std::string_view field, std::string_view fallback) {
        return config.GetString(kRelayInfo, relay + std::string(field), fallback);
    };
    auto number = [&](std::string_view field, int fallback) {
        return config.GetInt(kRelayInfo, relay + std::string(field), fallback);
    };
    writes.Set(kMailRelaySection, "Mailbox", relay);
    writes.Set(kMailRelaySection, "SmtpServer", text("_SmtpServer", ""));
    writes.SetInt(kMailRelaySection, "SmtpPort", number("_SmtpPort", 25));
    writes.SetInt(kMailRelaySection, "SSLFlag", number("_SSLFlag", 0));
    writes.SetInt(kMailRelaySection, "SmtpAuthFlag", number("_SmtpAuthFlag", 1));
    writes.Set(kMailRelaySection, "LoginAcc", text("_LoginAcc", ""));
    writes.Set(kMailRelaySection, "LoginPwd", text("_LoginPwd", ""));
}

}  // namespace

DiagnoseSendPlan PlanDiagnoseSend(const DiagnoseSendRequest& request) {
    DiagnoseSendPlan plan;
    plan.recipient = ExtractMailAddress(request.to);
    if (plan.recipient.empty()) {
        plan.fault = DiagnoseSendFault::kRecipient;
        return plan;
    }
    const std::string mailPath = AbsolutePath(request.mailPath);
    if (request.mailPath.empty() || !IsExistingFile(mailPath)) {
        plan.fault = DiagnoseSendFault::kMailPath;
        return plan;
    }
    plan.companionPath = CompanionPath(mailPath);
    if (!IsExistingFile(plan.companionPath)) {
        if (request.mailId == 0) {
            plan.fault = DiagnoseSendFault::kMailPath;
            return plan;
        }
        plan.companionPath = MailFilePath(request.mailId, ".cfg");
    }
    if (request.sendVia < 0 || static_cast<size_t>(request.sendVia) > request.relayNames.size()) {
        plan.fault = DiagnoseSendFault::kSendVia;
        return plan;
    }

    ProfileBatch& writes = plan.writes;
    writes.Set(kMailInfoSection, "MailFrom", request.from);
    writes.SetInt(kMailInfoSection, "RcptToNumber", 1);
    writes.Set(kMailInfoSection, "RcptTo0", plan.recipient);
    const std::string password =
        ProfileGetString(kAccountInfo, request.from + "_Password", "", ".cfg");
    if (!password.empty()) {
        writes.Set(kMailInfoSection, "LoginUser", request.from);
        writes.Set(kMailInfoSection, "LoginPass", password);
    } else {
        writes.Remove(kMailInfoSection, "LoginUser");
        writes.Remove(kMailInfoSection, "LoginPass");
    }
    // Whatever relay an earlier send used goes; a relayed send then writes its own.
    std::vector<std::string> staleRelayKeys;
    ProfileSnapshot(plan.companionPath).GetSection(kMailRelaySection, &staleRelayKeys);
    for (const std::string& key : staleRelayKeys) {
        writes.Remove(kMailRelaySection, key);
    }
    if (request.sendVia > 0) {
        AddRelayWrites(writes, request.relayNames[static_cast<size_t>(request.sendVia - 1)]);
    }
    return plan;
}

std::string TranscriptLine(std::string_view line, std::string_view todayPrefix) {
    std::string out;
    out.reserve(line.size() + 1);
    for (size_t pos = 0; pos < line.size();) {
        if (!todayPrefix.empty() && line.substr(pos, todayPrefix.size()) == todayPrefix) {
            pos += todayPrefix.size();
        } else if (line[pos] == '\r') {
            out += '\n';
            pos += line.substr(pos, 2) == "\r\n" ? 2 : 1;
        } else {
            out += line[pos++];
        }
    }
    return out + '\n';
}

std::string TodayPrefix() {
    return CurrentTimeText(0).substr(0, 11);
}
