// Record tables in the main configuration file: list and info sections kept in step.
#include "common/record_table.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/temp_app_dir.h"

namespace {

class RecordTableTest : public ::testing::Test {
  protected:
    TempAppDir dir;
    RecordTable accounts{"AccountList", "AccountInfo"};
};

TEST_F(RecordTableTest, PutStoresListLineAndFieldsInTheMainFile) {
    ASSERT_TRUE(accounts.Put("bob@example.com", {{"Desc", " Bob "}, {"Enabled", "1"}}));
    ASSERT_TRUE(accounts.Put("amy@example.com", {{"Desc", "Amy"}}));
    EXPECT_EQ(dir.Read("relvoconsole.cfg"),
              "[AccountList]\r\nbob@example.com=1\r\namy@example.com=1\r\n[AccountInfo]\r\n"
              "bob@example.com_Desc=\" Bob \"\r\nbob@example.com_Enabled=1\r\n"
              "amy@example.com_Desc=Amy\r\n");
    EXPECT_EQ(accounts.Names(), (std::vector<std::string>{"bob@example.com", "amy@example.com"}));
    EXPECT_EQ(accounts.GetText("bob@example.com", "Desc", ""), " Bob ");
    EXPECT_EQ(accounts.GetInt("bob@example.com", "Enabled", 0), 1);
    EXPECT_EQ(accounts.GetInt("amy@example.com", "Enabled", 7), 7);
}

TEST_F(RecordTableTest, NamesCompareWithoutLetterCase) {
    ASSERT_TRUE(accounts.Put("Bob@Example.com", {{"Desc", "first"}}));
    ASSERT_TRUE(accounts.Put("bob@example.com", {{"Desc", "second"}}));
    EXPECT_EQ(accounts.Names(), std::vector<std::string>{"Bob@Example.com"});
    EXPECT_TRUE(accounts.Contains("BOB@EXAMPLE.COM"));
    EXPECT_FALSE(accounts.Contains("amy@example.com"));
    EXPECT_FALSE(accounts.Contains(""));
    EXPECT_EQ(accounts.GetText("BOB@example.com", "desc", ""), "second");
}

TEST_F(RecordTableTest, RemoveTakesListLineAndNamedFieldsOnly) {
    dir.Write(
        "relvoconsole.cfg",
        "[AccountList]\nbob=1\namy=1\n[AccountInfo]\nbob_Desc=B\nbob_Note=kept\namy_Desc=A\n");
    ASSERT_TRUE(accounts.Remove("BOB", {"Desc"}));
    EXPECT_EQ(dir.Read("relvoconsole.cfg"),
              "[AccountList]\namy=1\n[AccountInfo]\nbob_Note=kept\namy_Desc=A\n");
    EXPECT_FALSE(accounts.Contains("bob"));
}

TEST_F(RecordTableTest, UnstorableRecordsWriteNothing) {
    ASSERT_TRUE(accounts.Put("amy", {{"Desc", "A"}}));
    const std::string before = dir.Read("relvoconsole.cfg");
    EXPECT_FALSE(accounts.Put("x=y", {{"Desc", "X"}}));
    EXPECT_FALSE(accounts.Put("zed", {{"Desc", "line\nbreak"}}));
    EXPECT_EQ(dir.Read("relvoconsole.cfg"), before);
}

TEST_F(RecordTableTest, ImportsStoreManyRecordsPerBatch) {
    ProfileBatch batch;
    for (int i = 0; i < 500; ++i) {
        accounts.AddToBatch(batch, "user" + std::to_string(i), {{"Desc", "D" + std::to_string(i)}});
        if (batch.Size() >= 200) {
            ASSERT_TRUE(batch.Commit(".cfg"));
            batch.Clear();
        }
    }
    ASSERT_TRUE(batch.Commit(".cfg"));
    auto names = accounts.Names();
    ASSERT_EQ(names.size(), 500u);
    EXPECT_EQ(names[499], "user499");
    EXPECT_EQ(accounts.GetText("user321", "Desc", ""), "D321");
}

}  // namespace
