// Accounts in the configuration file: Save's form rules, imports (counts, batches, bad input) and
// what export reads back.
#include "tables/account_table.h"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QByteArray>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "common/profile_store.h"
#include "support/temp_app_dir.h"

namespace {

AccountImportResult ImportBytes(const std::string& bytes) {
    QByteArray data = QByteArray::fromStdString(bytes);
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    int pumps = 0;
    return ImportAccountFile(buffer, [&] { ++pumps; });
}

std::string ExportBytes() {
    std::string bytes;
    for (const AccountRecord& account : ReadAllAccounts()) {
        bytes += FormatAccountLine(account);
    }
    return bytes;
}

std::string Info(const std::string& key) {
    return ProfileGetString("AccountInfo", key, "<missing>", ".cfg");
}

}  // namespace

// Readable records in failure messages.
void PrintTo(const AccountRecord& a, std::ostream* out) {
    *out << '{' << a.name << ", " << a.password << ", " << a.description << ", " << a.enabled
         << '}';
}

TEST(AccountForm, NameNeedsAnAtWithOneCharacterBeforeAndTwoAfter) {
    for (const char* name : {"a@bc", "joe@x.org", "a@b@", "a@\xC3\xA9\xC3\xA9"}) {
        EXPECT_EQ(CheckAccountForm(name, "pw", "", true).fault, AccountFormFault::kNone) << name;
    }
    for (const char* name : {"", "a@b", "@abc", "abc", "a@\xC3\xA9", "ab@"}) {
        EXPECT_EQ(CheckAccountForm(name, "pw", "", true).fault, AccountFormFault::kName) << name;
    }
}

TEST(AccountForm, RefusesNamesTheFileCannotHold) {
    for (const char* name : {" a@bc", "a@bc ", "a=b@cd", ";a@bc", "a@bc\n", "[a@bc"}) {
        EXPECT_EQ(CheckAccountForm(name, "pw", "", true).fault, AccountFormFault::kName) << name;
    }
}

TEST(AccountForm, PasswordIsTrimmedAndMustNotBeBlank) {
    EXPECT_EQ(CheckAccountForm("a@bc", " \t ", "", true).fault, AccountFormFault::kPassword);
    EXPECT_EQ(CheckAccountForm("a@bc", "", "", true).fault, AccountFormFault::kPassword);
    AccountFormCheck check = CheckAccountForm("a@bc", "  p w \t", " d ", false);
    EXPECT_EQ(check.fault, AccountFormFault::kNone);
    EXPECT_EQ(check.account, (AccountRecord{"a@bc", "p w", " d ", 0}));
    EXPECT_EQ(CheckAccountForm("a@bc", "pw", "two\nlines", true).fault,
              AccountFormFault::kDescription);
}

class AccountStoreTest : public ::testing::Test {
  protected:
    TempAppDir dir;
};

TEST_F(AccountStoreTest, ReadsValuesWholeAndDefaultsMissingLines) {
    const std::string longText(3000, 'x');
    dir.Write(
        "relvoconsole.cfg",
        "[AccountList]\r\na@bc=1\r\nbare@x.org=1\r\n=1\r\n[AccountInfo]\r\na@bc_Password=p\r\n"
        "a@bc_Desc=" +
            longText + "\r\na@bc_Enabled=2\r\n");
    AccountTable table;
    EXPECT_EQ(table.Names(), (std::vector<std::string>{"a@bc", "bare@x.org"}));
    EXPECT_EQ(table.Get("A@BC"), (AccountRecord{"A@BC", "p", longText, 2}));
    EXPECT_EQ(table.Get("bare@x.org"), (AccountRecord{"bare@x.org", "", "", 0}));
}

TEST_F(AccountStoreTest, SaveAndDeleteWriteAndRemoveTheFourKeys) {
    ASSERT_TRUE(SaveAccount({"a@bc", "pw", "desc", 1}));
    ASSERT_TRUE(SaveAccount({"d@ef", "pw2", "", 0}));
    EXPECT_EQ(ProfileGetString("AccountList", "a@bc", "", ".cfg"), "1");
    EXPECT_EQ(Info("a@bc_Password"), "pw");
    EXPECT_EQ(Info("a@bc_Enabled"), "1");
    ASSERT_TRUE(DeleteAccounts({"A@BC"}));
    EXPECT_EQ(AccountTable().Names(), std::vector<std::string>{"d@ef"});
    EXPECT_EQ(dir.Read("relvoconsole.cfg").find("a@bc"), std::string::npos);
}

TEST_F(AccountStoreTest, ExportedAccountsImportBackUnchanged) {
    std::vector<AccountRecord> accounts;
    for (int i = 0; i < 300; ++i) {
        // Blanks at the ends survive: they sit inside the quotes.
        accounts.push_back({"user" + std::to_string(i) + "@example.org",
                            " pass word " + std::to_string(i),
                            i % 3 ? "Desc \xC3\xA9 " + std::to_string(i) : "", i % 2});
    }
    for (const AccountRecord& account : accounts) {
        ASSERT_TRUE(SaveAccount(account));
    }
    const std::string exported = ExportBytes();

    ASSERT_TRUE(DeleteAccounts(AccountTable().Names()));
    ASSERT_TRUE(AccountTable().Names().empty());
    AccountImportResult fresh = ImportBytes(exported);
    EXPECT_FALSE(fresh.writeFailed);
    EXPECT_EQ(fresh.counts.added, 300);
    EXPECT_EQ(fresh.counts.updated, 0);
    EXPECT_EQ(ReadAllAccounts(), accounts);

    AccountImportResult again = ImportBytes(exported);
    EXPECT_EQ(again.counts.added, 0);
    EXPECT_EQ(again.counts.updated, 300);
    EXPECT_EQ(ExportBytes(), exported);
}

TEST_F(AccountStoreTest, MissingFieldsLeaveStoredValuesAlone) {
    ASSERT_TRUE(SaveAccount({"old@x.org", "pw", "kept", 1}));
    AccountImportResult result = ImportBytes("old@x.org,newpw\r\n\"new@x.org\",\"pw\"\r\n");
    EXPECT_EQ(result.counts.added, 1);
    EXPECT_EQ(result.counts.updated, 1);
    EXPECT_EQ(AccountTable().Get("old@x.org"), (AccountRecord{"old@x.org", "newpw", "kept", 1}));
    EXPECT_EQ(AccountTable().Get("new@x.org"), (AccountRecord{"new@x.org", "pw", "", 0}));
    EXPECT_EQ(Info("new@x.org_Desc"), "<missing>");
    EXPECT_EQ(Info("new@x.org_Enabled"), "<missing>");
}

TEST_F(AccountStoreTest, EmptyFieldsKeepTheirPlaceQuotedOrNot) {
    ImportBytes("plain@x.org,,Joe,1\n\"quoted@x.org\",\"\",\"Joe\",\"1\"\n");
    EXPECT_EQ(AccountTable().Get("plain@x.org"), (AccountRecord{"plain@x.org", "", "Joe", 1}));
    EXPECT_EQ(AccountTable().Get("quoted@x.org"), (AccountRecord{"quoted@x.org", "", "Joe", 1}));
}

TEST_F(AccountStoreTest, SameAccountTwiceCountsOnceAddedOnceUpdatedAndTheLaterLineWins) {
    AccountImportResult result =
        ImportBytes("Account,Password\nTwice@x.org,first,one,1\ntwice@X.ORG,second,two,0\n");
    EXPECT_EQ(result.counts.added, 1);
    EXPECT_EQ(result.counts.updated, 1);
    EXPECT_EQ(AccountTable().Names(), (std::vector<std::string>{"Twice@x.org"}));
    EXPECT_EQ(AccountTable().Get("twice@x.org"),
              (AccountRecord{"twice@x.org", "second", "two", 0}));
}

TEST_F(AccountStoreTest, ListValueZeroCountsAsAdded) {
    dir.Write("relvoconsole.cfg", "[AccountList]\r\nzero@x.org=0\r\n");
    AccountImportResult result = ImportBytes("zero@x.org,pw\n");
    EXPECT_EQ(result.counts.added, 1);
    EXPECT_EQ(ProfileGetString("AccountList", "zero@x.org", "", ".cfg"), "1");
}

TEST_F(AccountStoreTest, LongLinesStayOneAccount) {
    const std::string description(5000, 'L');
    AccountImportResult result = ImportBytes("long@x.org,pw," + description + ",1\r\n");
    EXPECT_EQ(result.counts.added, 1);
    EXPECT_EQ(AccountTable().Names(), std::vector<std::string>{"long@x.org"});
    EXPECT_EQ(AccountTable().Get("long@x.org").description, description);
    EXPECT_EQ(ExportBytes(), FormatAccountLine({"long@x.org", "pw", description, 1}));
}

TEST_F(AccountStoreTest, ByteOrderMarkIsNotPartOfTheFirstName) {
    ImportBytes("\xEF\xBB\xBF\"first@x.org\",\"pw\"\r\n");
    EXPECT_EQ(AccountTable().Names(), std::vector<std::string>{"first@x.org"});
}

TEST_F(AccountStoreTest, Windows1252FilesKeepTheirAccentedLetters) {
    ImportBytes("\"ren\xE9@x.org\",\"pw\",\"Ren\xE9 M\xFCller \x80\"\r\n");
    EXPECT_EQ(AccountTable().Names(), std::vector<std::string>{"ren\xC3\xA9@x.org"});
    EXPECT_EQ(AccountTable().Get("ren\xC3\xA9@x.org").description,
              "Ren\xC3\xA9 M\xC3\xBCller \xE2\x82\xAC");
}

TEST_F(AccountStoreTest, SkipsAndCountsLinesThatCannotBeStored) {
    ASSERT_TRUE(SaveAccount({"keep@x.org", "pw", "d", 1}));
    AccountImportResult result = ImportBytes(
        "\"\"\"\",pw\n"         // empty name
        "a=b@x.org,pw\n"        // '='
        ";c@x.org,pw\n"         // comment
        "\" lead@x.org\",pw\n"  // blank at the start
        "ctl\x01@x.org,pw\n"    // control character
        "nul@x.org,p" +
        std::string(1, '\0') +
        "w\n"              // NUL in the password
        "cr@x.org,p\rw\n"  // CR inside a value
        "one field only\n"
        "good@x.org,pw\n");
    EXPECT_EQ(result.counts.skipped, 8);
    EXPECT_EQ(result.counts.added, 1);
    EXPECT_EQ(AccountTable().Names(), (std::vector<std::string>{"keep@x.org", "good@x.org"}));
    EXPECT_EQ(AccountTable().Get("keep@x.org"), (AccountRecord{"keep@x.org", "pw", "d", 1}));
}

// What Save would refuse is left out and named by line: a header line, names without "@", lines
// without a password; blank lines are no mistake. Ten are named, the rest counted.
TEST_F(AccountStoreTest, SkippedLinesAreNamedWithTheirReasonUpToTen) {
    std::string bytes =
        "Account,Password,Description,Enabled\r\n"  // 1
        "\r\n"                                      // 2: blank
        "ok@x.org,pw\r\n"                           // 3
        "nobody,pw\r\n"                             // 4
        "alone@x.org\r\n"                           // 5
        "a@b,pw\r\n"                                // 6: one character after @
        "lf@x.org,\"p\rw\"\r\n";                    // 7: CR inside a value
    for (int i = 0; i < 9; ++i) {
        bytes += "user" + std::to_string(i) + ",pw\n";  // 8 to 16
    }
    const AccountImportResult result = ImportBytes(bytes);
    EXPECT_EQ(result.counts.added, 1);
    EXPECT_EQ(result.counts.skipped, 14);
    const std::vector<SkippedLine> named = {
        {1, SkipReason::kAccountName},  {4, SkipReason::kAccountName},
        {5, SkipReason::kNoPassword},   {6, SkipReason::kAccountName},
        {7, SkipReason::kValue},        {8, SkipReason::kAccountName},
        {9, SkipReason::kAccountName},  {10, SkipReason::kAccountName},
        {11, SkipReason::kAccountName}, {12, SkipReason::kAccountName}};
    EXPECT_EQ(result.counts.firstSkipped, named);
    EXPECT_EQ(AccountTable().Names(), std::vector<std::string>{"ok@x.org"});
}

TEST_F(AccountStoreTest, RandomBytesDoNoHarm) {
    dir.Write("relvoconsole.cfg",
              "[System]\r\nSmtpPort=25\r\n[AccountList]\r\nkeep@x.org=1\r\n[AccountInfo]\r\n"
              "keep@x.org_Password=pw\r\nkeep@x.org_Desc=d\r\nkeep@x.org_Enabled=1\r\n");
    std::mt19937 random(20240607);
    for (int round = 0; round < 20; ++round) {
        std::string bytes(20000, '\0');
        for (char& c : bytes) {
            c = static_cast<char>(random() & 0xFF);
        }
        if (round % 2) {  // more separators, so more lines reach the store
            for (size_t i = 0; i < bytes.size(); i += 7) {
                bytes[i] = i % 14 ? ',' : '\n';
            }
        }
        AccountImportResult result = ImportBytes(bytes);
        EXPECT_FALSE(result.writeFailed);
        AccountTable table;
        for (const std::string& name : table.Names()) {
            EXPECT_TRUE(IsStorableAccountName(name)) << name;
        }
        EXPECT_EQ(table.Get("keep@x.org"), (AccountRecord{"keep@x.org", "pw", "d", 1}));
        EXPECT_EQ(ProfileGetInt("System", "SmtpPort", 0, ".cfg"), 25);
    }
}

TEST_F(AccountStoreTest, AnInterruptedImportKeepsTheBatchesCommittedBefore) {
    AccountImport::Options options;
    options.maxPendingLines = 3;
    options.minCommitInterval = std::chrono::hours(1);
    {
        AccountImport import(options);
        for (int i = 0; i < 7; ++i) {
            ASSERT_TRUE(import.AddLine("u" + std::to_string(i) + "@x.org,pw"));
        }
        EXPECT_EQ(import.Commits(), 2u);
        EXPECT_EQ(import.Counts().added, 6);
        EXPECT_EQ(AccountTable().Names().size(), 6u);
    }  // dropped without Finish: the seventh line is lost, the six before it are not
    EXPECT_EQ(AccountTable().Names().size(), 6u);
}

TEST_F(AccountStoreTest, AWriteFailureIsReported) {
    std::filesystem::create_directory(dir.ConfigFile());  // nothing can replace a directory
    AccountImportResult result = ImportBytes("a@x.org,pw\nb@x.org,pw\n");
    EXPECT_TRUE(result.writeFailed);
    EXPECT_EQ(result.counts.added, 0);
    EXPECT_FALSE(SaveAccount({"a@bc", "pw", "", 1}));
    EXPECT_FALSE(DeleteAccounts({"a@bc"}));
}
