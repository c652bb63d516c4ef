// Paths under the application directory, file tests and listings, time texts and splitting.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "common/app_paths.h"
#include "common/clock.h"
#include "common/utilities.h"
#include "support/local_time.h"
#include "support/temp_app_dir.h"

namespace {

class FixedClock {
  public:
    explicit FixedClock(std::chrono::system_clock::time_point at) {
        SetClockForTesting([at] { return at; });
    }
    ~FixedClock() { SetClockForTesting({}); }
};

}  // namespace

TEST(AppFilePath, JoinsUnderTheApplicationDirectory) {
    TempAppDir dir;
    EXPECT_EQ(AppFilePath("log"), dir.Path() + "/log");
    EXPECT_EQ(AppFilePath("9999000001.eml", "help"), dir.Path() + "/help/9999000001.eml");
    EXPECT_EQ(AppFilePath("log", ""), AppFilePath("log"));
    EXPECT_EQ(AppFilePath("x.txt", "mail/"), dir.Path() + "/mail/x.txt");
    // One pass over non-overlapping pairs: three separators become two.
    EXPECT_EQ(AppFilePath("x", "a//"), dir.Path() + "/a//x");
    EXPECT_EQ(AppFilePath(std::nullopt), ExecutablePath());
}

TEST(AppPaths, OverrideNamesTheMainConfigurationFile) {
    TempAppDir dir;
    EXPECT_EQ(ApplicationDirectory(), dir.Path());
    EXPECT_EQ(ExecutableBasePath() + ".cfg", dir.ConfigFile());
}

TEST(FileExists, HonoursWildcardsAndCountsDirectories) {
    TempAppDir dir;
    dir.Write("smtp20090307.txt", "");
    std::filesystem::create_directory(dir.File("mail"));
    EXPECT_TRUE(FileExists(dir.File("smtp20090307.txt")));
    EXPECT_TRUE(FileExists(dir.File("mail")));
    EXPECT_TRUE(FileExists(dir.File("smtp*.txt")));
    EXPECT_TRUE(FileExists(dir.File("smtp2009030?.txt")));
    EXPECT_FALSE(FileExists(dir.File("send*.txt")));
    EXPECT_FALSE(FileExists(dir.File("missing")));
    EXPECT_FALSE(FileExists(""));
}

TEST(ListDirectory, ListsEntriesWithFullPathsOrMatchesOrNothing) {
    TempAppDir dir;
    std::filesystem::create_directory(dir.File("log"));
    std::filesystem::create_directory(dir.File("log/sub"));
    dir.Write("log/smtp1.txt", "");
    dir.Write("log/send1.txt", "");
    dir.Write("log/note.md", "");

    std::vector<std::string> list;
    ASSERT_EQ(ListDirectory(dir.File("log"), list), 4);
    EXPECT_EQ(list, (std::vector<std::string>{dir.File("log/note.md"), dir.File("log/send1.txt"),
                                              dir.File("log/smtp1.txt"), dir.File("log/sub")}));

    ASSERT_EQ(ListDirectory(dir.File("log/*.txt"), list), 2);
    EXPECT_EQ(list[0], dir.File("log/send1.txt"));

    // Nothing matches: the caller's list keeps what it had.
    EXPECT_EQ(ListDirectory(dir.File("log/*.eml"), list), 0);
    EXPECT_EQ(list.size(), 2u);
    EXPECT_EQ(ListDirectory(dir.File("nowhere"), list), 0);
    EXPECT_EQ(list.size(), 2u);
}

TEST(WildcardMatch, StarDotStarMatchesEveryNameAndStarsBacktrack) {
    EXPECT_TRUE(WildcardMatch("*.*", "README"));
    EXPECT_TRUE(WildcardMatch("a*b*c", "a-b-b-c"));
    EXPECT_FALSE(WildcardMatch("a*b*c", "a-b-b-d"));
    EXPECT_TRUE(WildcardMatch("*", ""));
    EXPECT_FALSE(WildcardMatch("?", ""));
}

TEST(CurrentTimeText, FormatsTheThreeKindsInEnglish) {
    FixedClock clock(LocalTime(2009, 3, 7, 14, 5, 9));
    EXPECT_EQ(CurrentTimeText(0), "2009-03-07 14:05:09");
    EXPECT_EQ(CurrentTimeText(2), "14:05:09");
    EXPECT_EQ(CurrentTimeText(5), "Saturday, Mar.07");
    EXPECT_EQ(CurrentTimeText(1), "");
}

TEST(CurrentTimeText, FollowsTheClockAcrossMidnight) {
    auto before = LocalTime(2026, 12, 31, 23, 59, 59);
    std::chrono::system_clock::time_point now = before;
    SetClockForTesting([&now] { return now; });
    EXPECT_EQ(CurrentTimeText(5), "Thursday, Dec.31");
    now += std::chrono::seconds(1);
    EXPECT_EQ(CurrentTimeText(0), "2027-01-01 00:00:00");
    EXPECT_EQ(CurrentTimeText(5), "Friday, Jan.01");
    SetClockForTesting({});
}

TEST(IntToText, PrefixesSignedDecimal) {
    EXPECT_EQ(IntToText("Attach", 2), "Attach2");
    EXPECT_EQ(IntToText(std::nullopt, -1), "-1");
    EXPECT_EQ(IntToText(std::nullopt, -2147483647 - 1), "-2147483648");
}

TEST(SplitText, KeepsTrimmedNonEmptyPieces) {
    std::vector<std::string> list{"old"};
    EXPECT_EQ(SplitText(" a, ,b,, c ", list, ","), 3);
    EXPECT_EQ(list, (std::vector<std::string>{"a", "b", "c"}));

    EXPECT_EQ(SplitText(",", list, ","), 0);
    EXPECT_TRUE(list.empty());

    list = {"kept"};
    EXPECT_EQ(SplitText("  \t ", list, ","), 0);
    EXPECT_EQ(list, std::vector<std::string>{"kept"});

    EXPECT_EQ(SplitText("a::b", list, "::"), 2);
    EXPECT_EQ(list, (std::vector<std::string>{"a", "b"}));
}

TEST(IsValidUtf8, TellsWellFormedUtf8FromOtherBytes) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"plain ascii", true},
        {"Ren\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", true},
        {"Ren\xE9", false},           // Windows-1252 e acute
        {"\xC0\xAF", false},          // overlong '/'
        {"\xED\xA0\x80", false},      // a surrogate
        {"\xF4\x90\x80\x80", false},  // past U+10FFFF
        {"\xE2\x82", false},          // cut short at the end
        {"\xE2\x82x", false},         // cut short in the middle
        {"\xff", false},
    };
    for (const auto& [text, valid] : cases) {
        EXPECT_EQ(IsValidUtf8(text), valid) << text;
    }
}
