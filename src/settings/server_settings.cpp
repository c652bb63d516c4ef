#include "settings/server_settings.h"

#include <limits>

#include "common/profile_store.h"

namespace {

constexpr const char* kMainFile = ".cfg";

using relvo::Setting;
using relvo::SettingInfo;

constexpr const SettingInfo* kGeneralKeys[] = {
    &Setting("AutoRun"),
    &Setting("AutoMinimize"),
    &Setting("AutoStartSmtpService"),
    &Setting("AutoStartSendService"),
};

constexpr const SettingInfo* kSmtpKeys[] = {
    &Setting("LogSmtp"),  &Setting("LogSmtpDays"), &Setting("SmtpAuthFlag"),
    &Setting("SmtpPort"), &Setting("SmtpPort2nd"),
};

constexpr const SettingInfo* kSendKeys[] = {
    &Setting("LogSend"),        &Setting("LogSendDays"), &Setting("RetriesAfterFailed"),
    &Setting("SendMailThread"), &Setting("HELOString"),
};

// The engine's own settings, in the order of the table.
constexpr const SettingInfo* kAdvancedKeys[] = {
    &Setting("SmtpListenAddress"),
    &Setting("SmtpTlsCertFile"),
    &Setting("SmtpTlsKeyFile"),
    &Setting("SmtpMaxMessageSize"),
    &Setting("SmtpMaxRecipients"),
    &Setting("SmtpMaxErrors"),
    &Setting("SmtpMaxSessions"),
    &Setting("SmtpMaxSessionsPerClient"),
    &Setting("SmtpMaxHeaderSize"),
    &Setting("SmtpMaxMessagesPerSession"),
    &Setting("SmtpJunkCommandLimit"),
    &Setting("SmtpCommandTimeout"),
    &Setting("SmtpDataTimeout"),
    &Setting("SmtpMinDataRate"),
    &Setting("SmtpAuthFailLimit"),
    &Setting("QueueMinFreeSpace"),
    &Setting("SmtpRelayNetworks"),
    &Setting("SmtpProxyFrom"),
    &Setting("DnsServer"),
    &Setting("RelayTlsVerify"),
    &Setting("DmarcPolicy"),
    &Setting("DmarcReportFrom"),
    &Setting("SendRetrySeconds"),
};

constexpr const char* kGeneralForm[] = {"AutoRun", "AutoMinimize", "AutoStartSendService",
                                        "AutoStartSmtpService"};
constexpr const char* kSmtpForm[] = {"SmtpPort", "SmtpAuthFlag", "LogSmtp", "LogSmtpDays",
                                     "SmtpPort2nd"};
constexpr const char* kSendForm[] = {"SendMailThread", "RetriesAfterFailed", "HELOString",
                                     "LogSend", "LogSendDays"};

constexpr const char* kAdvancedForm[] = {"SmtpListenAddress",
                                         "SmtpTlsCertFile",
                                         "SmtpTlsKeyFile",
                                         "SmtpMaxMessageSize",
                                         "SmtpMaxRecipients",
                                         "SmtpMaxErrors",
                                         "SmtpMaxSessions",
                                         "SmtpMaxSessionsPerClient",
                                         "SmtpMaxHeaderSize",
                                         "SmtpMaxMessagesPerSession",
                                         "SmtpJunkCommandLimit",
                                         "SmtpCommandTimeout",
                                         "SmtpDataTimeout",
                                         "SmtpMinDataRate",
                                         "SmtpAuthFailLimit",
                                         "QueueMinFreeSpace",
                                         "SmtpRelayNetworks",
                                         "SmtpProxyFrom",
                                         "DnsServer",
                                         "DmarcReportFrom",
                                         "RelayTlsVerify",
                                         "DmarcPolicy",
                                         "SendRetrySeconds"};

bool IsCSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

PageKeys SettingsPageKeys(SettingsPage page) {
    switch (page) {
        case SettingsPage::General:
            return kGeneralKeys;
        case SettingsPage::Smtp:
            return kSmtpKeys;
        case SettingsPage::Send:
            return kSendKeys;
        case SettingsPage::Advanced:
            return kAdvancedKeys;
    }
    return {};
}

std::optional<std::size_t> SettingKeyIndex(SettingsPage page, std::string_view name) {
    const PageKeys keys = SettingsPageKeys(page);
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (keys[i]->key == name) {
            return i;
        }
    }
    return std::nullopt;
}

std::span<const char* const> SettingsPageFormOrder(SettingsPage page) {
    switch (page) {
        case SettingsPage::General:
            return kGeneralForm;
        case SettingsPage::Smtp:
            return kSmtpForm;
        case SettingsPage::Send:
            return kSendForm;
        case SettingsPage::Advanced:
            return kAdvancedForm;
    }
    return {};
}

SettingValues LoadSettingsPage(SettingsPage page) {
    // One look at the file, so a page never mixes values from before and after another write.
    const ProfileSnapshot file(kMainFile);
    SettingValues values;
    for (const SettingInfo* key : SettingsPageKeys(page)) {
        SettingValue value;
        if (key->IsText()) {
            value.text = file.GetString(key->section, key->key, "");
        } else {
            value.number = file.GetInt(key->section, key->key, key->SheetDefault());
        }
        values.push_back(std::move(value));
    }
    return values;
}

bool SaveSettingsPage(SettingsPage page, const SettingValues& values) {
    const PageKeys keys = SettingsPageKeys(page);
    if (values.size() != keys.size()) {
        return false;
    }
    ProfileBatch batch;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (keys[i]->IsText()) {
            batch.Set(keys[i]->section, keys[i]->key, values[i].text);
        } else {
            batch.SetInt(keys[i]->section, keys[i]->key, values[i].number);
        }
    }
    return batch.Commit(kMainFile);
}

std::optional<std::uint32_t> ReadNumberField(std::string_view text) {
    text = text.substr(0, kNumberFieldReadLength);
    std::size_t pos = 0;
    while (pos < text.size() && IsCSpace(text[pos])) {
        ++pos;
    }
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }
    const std::size_t firstDigit = pos;
    std::uint64_t magnitude = 0;
    constexpr std::uint64_t kLargest = std::numeric_limits<std::uint32_t>::max();
    for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
        magnitude = magnitude * 10 + static_cast<std::uint64_t>(text[pos] - '0');
        if (magnitude > kLargest) {
            return std::nullopt;
        }
    }
    if (pos == firstDigit) {
        return std::nullopt;
    }
    const auto value = static_cast<std::uint32_t>(magnitude);
    return negative ? static_cast<std::uint32_t>(0u - value) : value;
}

std::string NumberFieldText(int stored) {
    return std::to_string(static_cast<std::uint32_t>(stored));
}

bool SettingFlagTicked(int stored) {
    return stored == 1 || stored == 2;
}
