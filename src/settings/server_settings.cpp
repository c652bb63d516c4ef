#include "settings/server_settings.h"

#include <limits>

#include "common/profile_store.h"

namespace {

constexpr const char* kMainFile = ".cfg";

constexpr SettingKey kGeneralKeys[] = {
    {"AutoRun", SettingKind::Flag, 0},
    {"AutoMinimize", SettingKind::Flag, 0},
    {"AutoStartSmtpService", SettingKind::Flag, 1},
    {"AutoStartSendService", SettingKind::Flag, 1},
};

constexpr SettingKey kSmtpKeys[] = {
    {"LogSmtp", SettingKind::Flag, 1},       {"LogSmtpDays", SettingKind::Number, 7},
    {"SmtpAuthFlag", SettingKind::Flag, 1},  {"SmtpPort", SettingKind::Number, 25},
    {"SmtpPort2nd", SettingKind::Number, 0},
};

// The sheet offers 10 threads where the key is absent, although the SEND service starts with 5
// then: saving the page writes the 10 that the operator saw.
constexpr SettingKey kSendKeys[] = {
    {"LogSend", SettingKind::Flag, 1},
    {"LogSendDays", SettingKind::Number, 7},
    {"RetriesAfterFailed", SettingKind::Number, 1},
    {"SendMailThread", SettingKind::Number, 10},
    {"HELOString", SettingKind::Text, 0},
};

// The engine's own settings, with the engine's defaults.
constexpr SettingKey kAdvancedKeys[] = {
    {"SmtpListenAddress", SettingKind::Text, 0},
    {"SmtpTlsCertFile", SettingKind::Text, 0},
    {"SmtpTlsKeyFile", SettingKind::Text, 0},
    {"SmtpMaxMessageSize", SettingKind::Number, 52428800},
    {"SmtpMaxRecipients", SettingKind::Number, 100},
    {"SmtpMaxErrors", SettingKind::Number, 10},
    {"SmtpMaxSessions", SettingKind::Number, 200},
    {"SmtpMaxSessionsPerClient", SettingKind::Number, 20},
    {"SmtpCommandTimeout", SettingKind::Number, 300},
    {"SmtpDataTimeout", SettingKind::Number, 600},
    {"SmtpMinDataRate", SettingKind::Number, 1024},
    {"SmtpAuthFailLimit", SettingKind::Number, 5},
    {"SmtpRelayNetworks", SettingKind::Text, 0},
    {"SmtpProxyFrom", SettingKind::Text, 0},
    {"DnsServer", SettingKind::Text, 0},
    {"RelayTlsVerify", SettingKind::Flag, 1},
    {"SendRetrySeconds", SettingKind::Number, 600},
};

constexpr const char* kGeneralForm[] = {"AutoRun", "AutoMinimize", "AutoStartSendService",
                                        "AutoStartSmtpService"};
constexpr const char* kSmtpForm[] = {"SmtpPort", "SmtpAuthFlag", "LogSmtp", "LogSmtpDays",
                                     "SmtpPort2nd"};
constexpr const char* kSendForm[] = {"SendMailThread", "RetriesAfterFailed", "HELOString",
                                     "LogSend", "LogSendDays"};

constexpr const char* kAdvancedForm[] = {
    "SmtpListenAddress",  "SmtpTlsCertFile", "SmtpTlsKeyFile",  "SmtpMaxMessageSize",
    "SmtpMaxRecipients",  "SmtpMaxErrors",   "SmtpMaxSessions", "SmtpMaxSessionsPerClient",
    "SmtpCommandTimeout", "SmtpDataTimeout", "SmtpMinDataRate", "SmtpAuthFailLimit",
    "SmtpRelayNetworks",  "SmtpProxyFrom",   "DnsServer",       "RelayTlsVerify",
    "SendRetrySeconds"};

bool IsCSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

std::span<const SettingKey> SettingsPageKeys(SettingsPage page) {
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
    const std::span<const SettingKey> keys = SettingsPageKeys(page);
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (keys[i].name == name) {
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
    for (const SettingKey& key : SettingsPageKeys(page)) {
        SettingValue value;
        if (key.kind == SettingKind::Text) {
            value.text = file.GetString(kSettingsSection, key.name, "");
        } else {
            value.number = file.GetInt(kSettingsSection, key.name, key.defaultValue);
        }
        values.push_back(std::move(value));
    }
    return values;
}

bool SaveSettingsPage(SettingsPage page, const SettingValues& values) {
    const std::span<const SettingKey> keys = SettingsPageKeys(page);
    if (values.size() != keys.size()) {
        return false;
    }
    ProfileBatch batch;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (keys[i].kind == SettingKind::Text) {
            batch.Set(kSettingsSection, keys[i].name, values[i].text);
        } else {
            batch.SetInt(kSettingsSection, keys[i].name, values[i].number);
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
