// Every setting against the one settings table, from both sides: the engine takes the table's
// default and holds what the file stores to the table's rule and range; the sheet shows the
// table's default, puts every key on one page and accepts exactly the table's range. A side that
// drifts from the table, or a console range that differs from the engine's, fails here. Also:
// the README's key tables are the ones the settings table makes.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "common/profile_store.h"
#include "common/settings_table.h"
#include "core/engine_config.h"
#include "settings/field_rules.h"
#include "settings/server_settings.h"
#include "settings/settings_markdown.h"
#include "support/temp_app_dir.h"

namespace {

using relvo::FileRule;
using relvo::SettingInfo;
using relvo::SettingKind;
using relvo::mail::EngineConfig;

// What the engine holds for a key, as text: a number in decimal (a flag as 0 or 1), a text as
// it is, an address list as the count of networks it took.
using Held = std::string;
using Reader = std::function<Held(const EngineConfig&)>;

Held N(long long number) {
    return std::to_string(number);
}

Held Count(const std::vector<relvo::IpNetwork>& networks) {
    return std::to_string(networks.size());
}

// The engine's configuration view, key by key.
const std::map<std::string, Reader>& ConfigReaders() {
    static const std::map<std::string, Reader> readers = {
        {"SmtpAuthFlag", [](const EngineConfig& c) { return N(c.smtpAuthRequired ? 1 : 0); }},
        {"LogSmtp", [](const EngineConfig& c) { return N(c.logSmtp ? 1 : 0); }},
        {"LogSmtpDays", [](const EngineConfig& c) { return N(c.logSmtpDays); }},
        {"LogSend", [](const EngineConfig& c) { return N(c.logSend ? 1 : 0); }},
        {"LogSendDays", [](const EngineConfig& c) { return N(c.logSendDays); }},
        {"RetriesAfterFailed", [](const EngineConfig& c) { return N(c.retriesAfterFailed); }},
        {"HELOString", [](const EngineConfig& c) { return c.heloString; }},
        {"SmtpListenAddress", [](const EngineConfig& c) { return c.listenAddress; }},
        {"SmtpTlsCertFile", [](const EngineConfig& c) { return c.tlsCertFile; }},
        {"SmtpTlsKeyFile", [](const EngineConfig& c) { return c.tlsKeyFile; }},
        {"SmtpMaxMessageSize",
         [](const EngineConfig& c) { return N(static_cast<long long>(c.limits.maxMessageSize)); }},
        {"SmtpMaxRecipients",
         [](const EngineConfig& c) { return N(static_cast<long long>(c.limits.maxRecipients)); }},
        {"SmtpMaxErrors", [](const EngineConfig& c) { return N(c.limits.maxErrors); }},
        {"SmtpMaxSessions", [](const EngineConfig& c) { return N(c.limits.maxSessions); }},
        {"SmtpMaxSessionsPerClient",
         [](const EngineConfig& c) { return N(c.limits.maxSessionsPerClient); }},
        {"SmtpCommandTimeout",
         [](const EngineConfig& c) { return N(c.limits.commandTimeoutSeconds); }},
        {"SmtpDataTimeout", [](const EngineConfig& c) { return N(c.limits.dataTimeoutSeconds); }},
        {"SmtpMinDataRate", [](const EngineConfig& c) { return N(c.limits.minDataRate); }},
        {"SmtpAuthFailLimit", [](const EngineConfig& c) { return N(c.limits.authFailLimit); }},
        {"SmtpMaxHeaderSize",
         [](const EngineConfig& c) { return N(static_cast<long long>(c.limits.maxHeaderSize)); }},
        {"SmtpMaxMessagesPerSession",
         [](const EngineConfig& c) { return N(c.limits.maxMessagesPerSession); }},
        {"SmtpJunkCommandLimit",
         [](const EngineConfig& c) { return N(c.limits.junkCommandLimit); }},
        {"QueueMinFreeSpace",
         [](const EngineConfig& c) {
             return N(static_cast<long long>(c.limits.queueMinFreeSpace));
         }},
        {"SmtpRelayNetworks", [](const EngineConfig& c) { return Count(c.relayNetworks); }},
        {"SmtpProxyFrom", [](const EngineConfig& c) { return Count(c.proxyFrom); }},
        {"DnsServer", [](const EngineConfig& c) { return c.dnsServer; }},
        {"DmarcPolicy", [](const EngineConfig& c) { return N(c.dmarcPolicy ? 1 : 0); }},
        {"DmarcReportFrom", [](const EngineConfig& c) { return c.dmarcReportFrom; }},
        {"RelayTlsVerify", [](const EngineConfig& c) { return N(c.relayTlsVerify ? 1 : 0); }},
        {"SendRetrySeconds", [](const EngineConfig& c) { return N(c.sendRetrySeconds); }},
    };
    return readers;
}

// Keys read where a service starts (relvoserver, the SEND service's settings) through the
// table's readers, and the console's start-up keys, which the console reads the same way.
const std::vector<std::string> kReadAtStart = {
    "AutoRun",  "AutoMinimize", "AutoStartSmtpService", "AutoStartSendService",
    "SmtpPort", "SmtpPort2nd",  "SendMailThread",
};

struct Stored {
    std::optional<std::string> text;  // none: the key is absent
    Held held;                        // what the engine then holds
};

// The stored values worth trying for a key, with what the engine must make of each: absent, 0,
// negative, no number, below and above the range, and values it takes as they are.
std::vector<Stored> Cases(const SettingInfo& s, const std::string& readableFile) {
    if (s.kind == SettingKind::Flag) {
        return {{std::nullopt, N(s.defaultValue != 0 ? 1 : 0)},
                {"0", "0"},
                {"1", "1"},
                {"2", "1"},
                {"-1", "1"}};
    }
    if (s.IsText()) {
        const bool list = s.kind == SettingKind::AddressList;
        const std::map<SettingKind, std::string> valid = {
            {SettingKind::HostName, "mx.relvo.test"},
            {SettingKind::Address, "192.0.2.1"},
            {SettingKind::DnsServer, "192.0.2.53:5353"},
            {SettingKind::FilePath, readableFile},
            {SettingKind::AddressList, "192.0.2.0/24, 2001:db8::/48"},
            {SettingKind::Mailbox, "Example Org <dmarc@example.org>"},
        };
        return {{std::nullopt, list ? "0" : ""}, {valid.at(s.kind), list ? "2" : valid.at(s.kind)}};
    }
    // The rule as the README states it for limits: absent, 0 or negative takes the default,
    // other values are held to the range.
    const auto low = [&s](long long written) -> long long {
        switch (s.rule) {
            case FileRule::AsWritten:
                return written;
            case FileRule::LimitOrDefault:
                return s.defaultValue;
            case FileRule::HeldToRange:
                return s.minimum;
        }
        return written;
    };
    // A number taken as it is.
    const auto same = [](long long number) { return Stored{N(number), N(number)}; };
    std::vector<Stored> cases = {{std::nullopt, N(s.defaultValue)},
                                 {"0", N(low(0))},
                                 {"-5", N(low(-5))},
                                 {"abc", N(low(0))},
                                 same(s.defaultValue)};
    if (!s.HasRange()) {
        cases.push_back(same(123456));
        return cases;
    }
    cases.push_back(same((static_cast<long long>(s.minimum) + s.maximum) / 2));
    cases.push_back(same(s.minimum));
    cases.push_back(same(s.maximum));
    const bool held = s.rule != FileRule::AsWritten;
    if (s.minimum > 1) {
        cases.push_back({N(s.minimum - 1), N(held ? s.minimum : s.minimum - 1)});
    }
    if (s.maximum < INT_MAX) {
        const long long above = static_cast<long long>(s.maximum) + 1;
        cases.push_back({N(above), N(held ? s.maximum : above)});
    }
    return cases;
}

class SettingsTableTest : public testing::Test {
  protected:
    void Store(const SettingInfo& s, const std::optional<std::string>& text) {
        dir_.Write("relvoconsole.cfg", std::string("[") + s.section + "]\r\n" +
                                           (text ? std::string(s.key) + "=" + *text + "\r\n" : ""));
    }

    TempAppDir dir_;
};

TEST_F(SettingsTableTest, EngineHoldsEveryKeyToTheTablesDefaultAndRange) {
    const std::string readable = dir_.File("readable.pem");
    dir_.Write("readable.pem", "-----BEGIN CERTIFICATE-----\n");
    std::size_t read = 0;
    for (const SettingInfo& s : relvo::AllSettings()) {
        const auto reader = ConfigReaders().find(s.key);
        const bool atStart =
            std::find(kReadAtStart.begin(), kReadAtStart.end(), s.key) != kReadAtStart.end();
        ASSERT_NE(reader != ConfigReaders().end(), atStart) << s.key << ": read by no side";
        read += reader != ConfigReaders().end() ? 1 : 0;
        for (const Stored& stored : Cases(s, readable)) {
            Store(s, stored.text);
            Held held;
            if (atStart) {
                const ProfileSnapshot file(dir_.ConfigFile());
                held = s.kind == SettingKind::Flag ? N(relvo::ReadFlagSetting(file, s) ? 1 : 0)
                                                   : N(relvo::ReadNumberSetting(file, s));
            } else {
                held = reader->second(*EngineConfig::LoadFrom(dir_.ConfigFile()));
            }
            EXPECT_EQ(held, stored.held) << s.key << "=" << stored.text.value_or("(absent)")
                                         << ": the engine holds \"" << held << '"';
        }
    }
    EXPECT_EQ(read, ConfigReaders().size()) << "a reader for a key the table does not have";

    // One file missing altogether gives every default of the configuration view.
    const auto missing = EngineConfig::LoadFrom(dir_.File("missing.cfg"));
    for (const auto& [key, reader] : ConfigReaders()) {
        const SettingInfo& s = *relvo::FindSetting(key);
        EXPECT_EQ(reader(*missing), Cases(s, readable).front().held) << key;
    }
    // An address list keeps its networks and skips an entry that is none.
    Store(*relvo::FindSetting("SmtpRelayNetworks"), "192.0.2.0/24, lan");
    const auto config = EngineConfig::LoadFrom(dir_.ConfigFile());
    EXPECT_EQ(config->relayNetworks.size(), 1u);
    EXPECT_EQ(config->invalidRelayNetworks, std::vector<std::string>{"lan"});
}

TEST_F(SettingsTableTest, SheetShowsTheTablesDefaultsAndAcceptsExactlyItsRanges) {
    const SettingsPage pages[] = {SettingsPage::General, SettingsPage::Smtp, SettingsPage::Send,
                                  SettingsPage::Advanced};
    std::map<std::string, int> onPages;
    for (SettingsPage page : pages) {
        const PageKeys keys = SettingsPageKeys(page);
        EXPECT_EQ(SettingsPageFormOrder(page).size(), keys.size());
        for (const char* name : SettingsPageFormOrder(page)) {
            EXPECT_TRUE(SettingKeyIndex(page, name)) << name << " in the form, not on the page";
        }
        dir_.Write("relvoconsole.cfg", "[System]\r\n");
        const SettingValues values = LoadSettingsPage(page);
        ASSERT_EQ(values.size(), keys.size());
        for (std::size_t i = 0; i < keys.size(); ++i) {
            const SettingInfo& s = *keys[i];
            ++onPages[s.key];
            if (s.IsText()) {
                EXPECT_EQ(values[i].text, "") << s.key;
            } else {
                EXPECT_EQ(values[i].number, s.SheetDefault()) << s.key;
            }
        }
    }

    const std::string readable = dir_.ConfigFile();
    for (const SettingInfo& s : relvo::AllSettings()) {
        EXPECT_EQ(onPages[s.key], 1) << s.key << " is not on exactly one page";
        if (s.kind == SettingKind::Flag) {
            continue;
        }
        if (s.IsText()) {
            // What the engine takes as it is, the sheet takes too.
            for (const Stored& stored : Cases(s, readable)) {
                EXPECT_EQ(TextFieldHint(s.key, stored.text.value_or("")), "") << s.key;
            }
            continue;
        }
        const auto hint = [&s](std::optional<std::uint32_t> value) {
            return NumberFieldHint(s.key, value);
        };
        if (!s.HasRange()) {
            // The engine takes any number as written; so does the sheet.
            EXPECT_EQ(hint(0), "") << s.key;
            EXPECT_EQ(hint(4294967295u), "") << s.key;
            continue;
        }
        const auto minimum = static_cast<std::uint32_t>(s.minimum);
        const auto maximum = static_cast<std::uint32_t>(s.maximum);
        EXPECT_EQ(hint(minimum), "") << s.key << ": the sheet refuses its minimum " << minimum;
        EXPECT_EQ(hint(maximum), "") << s.key << ": the sheet refuses its maximum " << maximum;
        EXPECT_NE(hint(maximum + 1u), "") << s.key << ": the sheet takes " << maximum + 1u;
        EXPECT_NE(hint(std::nullopt), "") << s.key;
        if (minimum > 0) {
            EXPECT_NE(hint(minimum - 1u), "") << s.key << ": the sheet takes " << minimum - 1u;
            EXPECT_NE(hint(4294967295u), "") << s.key << ": a stored -1";
        }
    }
    // An entry the engine would skip is refused, not saved.
    EXPECT_NE(TextFieldHint("SmtpRelayNetworks", "192.0.2.0/24, lan"), "");
}

TEST(SettingsDocTest, ReadmeKeyTablesAreTheOnesTheSettingsTableMakes) {
    std::ifstream in(std::filesystem::path(RELVO_SOURCE_DIR) / "README.md", std::ios::binary);
    ASSERT_TRUE(in.is_open());
    std::ostringstream readme;
    readme << in.rdbuf();
    const std::optional<std::string> generated = WithSettingsTables(readme.str());
    ASSERT_TRUE(generated) << "README.md lacks a table of settings";
    EXPECT_TRUE(*generated == readme.str())
        << "README.md's tables of settings are stale; write them again with\n  "
        << RELVO_SETTINGS_DOC << " --update " << RELVO_SOURCE_DIR << "/README.md";
}

}  // namespace
