// The engine's view of the main configuration file: case-insensitive lookups and a fresh view
// after every write (its System keys are checked against the settings table in
// settings_table_tests). Also the local-network rule.
#include "core/engine_config.h"

#include <gtest/gtest.h>

#include "common/profile_store.h"
#include "core/net_ranges.h"
#include "support/temp_app_dir.h"

namespace relvo::mail {
namespace {

class EngineConfigTest : public ::testing::Test {
  protected:
    TempAppDir app_;
};

TEST_F(EngineConfigTest, AccountsAndDomainsAreFoundWithoutRegardToCase) {
    app_.Write("relvoconsole.cfg",
               "[System]\r\nSmtpAuthFlag=0\r\nSmtpListenAddress=127.0.0.1\r\n"
               "SmtpTlsCertFile=/etc/cert.pem\r\nLogSmtp=0\r\nLogSmtpDays=30\r\n"
               "[AccountList]\r\nAlice@Local.Test=1\r\nbob@local.test=1\r\nALICE@local.test=1\r\n"
               "[AccountInfo]\r\nalice@local.test_Password=  \"sec ret\"  \r\n"
               "Alice@Local.Test_Enabled=1\r\nbob@local.test_Password=pw\r\n"
               "[DomainList]\r\nLocal.Test=1\r\nrelay.test=1\r\nquiet.test=1\r\n"
               "[DomainInfo]\r\nrelay.test_ServerAddress=10.0.0.5\r\nrelay.test_Port=2525\r\n"
               "quiet.test_ServerAddress=10.0.0.6\r\nquiet.test_VerifyRecipients=0\r\n");
    auto config = EngineConfig::Load();
    EXPECT_FALSE(config->smtpAuthRequired);
    EXPECT_FALSE(config->logSmtp);
    EXPECT_EQ(config->logSmtpDays, 30);
    EXPECT_EQ(config->listenAddress, "127.0.0.1");
    EXPECT_EQ(config->tlsCertFile, "/etc/cert.pem");

    struct Lookup {
        const char* name;
        const char* storedName;  // nullptr: not an account
        const char* password;
        bool enabled;
    };
    const Lookup lookups[] = {
        {"alice@local.test", "Alice@Local.Test", "sec ret", true},
        {"ALICE@LOCAL.TEST", "Alice@Local.Test", "sec ret", true},  // first line of a name wins
        {"Bob@Local.Test", "bob@local.test", "pw", false},          // no _Enabled: disabled
        {"carol@local.test", nullptr, "", false},
        {"", nullptr, "", false},
    };
    for (const auto& lookup : lookups) {
        const AccountEntry* account = config->FindAccount(lookup.name);
        if (lookup.storedName == nullptr) {
            EXPECT_EQ(account, nullptr) << lookup.name;
            continue;
        }
        ASSERT_NE(account, nullptr) << lookup.name;
        EXPECT_EQ(account->name, lookup.storedName);
        EXPECT_EQ(account->password, lookup.password);
        EXPECT_EQ(account->enabled, lookup.enabled) << lookup.name;
    }
    EXPECT_EQ(config->Accounts().size(), 2u);

    const LocalDomain* local = config->FindLocalDomain("local.TEST");
    ASSERT_NE(local, nullptr);
    EXPECT_FALSE(local->HasServer());
    EXPECT_EQ(local->serverPort, 25);
    const LocalDomain* relay = config->FindLocalDomain("RELAY.test");
    ASSERT_NE(relay, nullptr);
    EXPECT_TRUE(relay->HasServer());
    EXPECT_EQ(relay->serverAddress, "10.0.0.5");
    EXPECT_EQ(relay->serverPort, 2525);
    EXPECT_TRUE(relay->verifyRecipients);  // absent: on
    const LocalDomain* quiet = config->FindLocalDomain("quiet.test");
    ASSERT_NE(quiet, nullptr);
    EXPECT_FALSE(quiet->verifyRecipients);
    EXPECT_EQ(config->FindLocalDomain("other.test"), nullptr);
}

TEST_F(EngineConfigTest, ReloadIsSharedUntilTheFileChanges) {
    ProfileSetString("AccountList", "a@local.test", "1", ".cfg");
    auto first = EngineConfig::Load();
    EXPECT_EQ(EngineConfig::Load(), first);
    ProfileSetInt("AccountInfo", "a@local.test_Enabled", 1, ".cfg");
    auto second = EngineConfig::Load();
    EXPECT_NE(second, first);
    EXPECT_FALSE(first->FindAccount("a@local.test")->enabled);  // a view never changes
    EXPECT_TRUE(second->FindAccount("a@local.test")->enabled);
}

TEST(NetRangesTest, LoopbackAndPrivateNetworksOnly) {
    const std::pair<const char*, bool> cases[] = {
        {"127.0.0.1", true},
        {"127.255.1.2", true},
        {"10.1.2.3", true},
        {"172.16.0.1", true},
        {"172.31.255.255", true},
        {"172.32.0.1", false},
        {"172.15.0.1", false},
        {"192.168.1.1", true},
        {"192.169.1.1", false},
        {"198.51.100.2", false},
        {"8.8.8.8", false},
        {"::1", true},
        {"[::1]", true},
        {"fc00::1", true},
        {"fd12:3456::1", true},
        {"fe80::1%eth0", true},
        {"fec0::1", false},
        {"2001:db8::1", false},
        {"::ffff:10.0.0.1", true},
        {"::ffff:203.0.113.5", false},
        {"::", false},
        {"", false},
        {"localhost", false},
        {"127.0.0.1:25", false},
        {"10.0.0.1 ", false},
    };
    for (const auto& [address, local] : cases) {
        EXPECT_EQ(IsLoopbackOrPrivate(address), local) << address;
    }
}

}  // namespace
}  // namespace relvo::mail
