// The configuration store: reading and writing profile files the way the engine's readers expect,
// refusals that leave files untouched, file argument resolution, section listing and the cache.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "common/ascii.h"
#include "common/profile_document.h"
#include "common/profile_file.h"
#include "common/profile_store.h"
#include "support/temp_app_dir.h"

namespace {

constexpr const char* kFile = "t.ini";

class ProfileStoreTest : public ::testing::Test {
  protected:
    std::string Get(std::string_view section, std::string_view key,
                    std::string_view fallback = "<default>") {
        return ProfileGetString(section, key, fallback, kFile);
    }
    int GetInt(std::string_view key, int fallback = -7) {
        return ProfileGetInt("S", key, fallback, kFile);
    }
    bool Set(std::string_view section, std::string_view key,
             std::optional<std::string_view> value) {
        return ProfileSetString(section, key, value, kFile);
    }
    std::string Bytes() const { return dir.Read(kFile); }
    struct stat Stat() const {
        struct stat info {};
        EXPECT_EQ(stat(dir.File(kFile).c_str(), &info), 0);
        return info;
    }

    TempAppDir dir;
};

// --- Reading -------------------------------------------------------------------------------

TEST_F(ProfileStoreTest, NamesIgnoreCaseAndFirstSectionAndKeyWin) {
    dir.Write(kFile, "[Main]\r\nKey=first\r\nKEY=second\r\n[MAIN]\r\nlater=x\r\n");
    EXPECT_EQ(Get("main", "key"), "first");
    EXPECT_EQ(Get("MAIN", "Key"), "first");
    EXPECT_EQ(Get("Main", "later"), "<default>");
}

TEST_F(ProfileStoreTest, ReadsInFileOrderStillFindTheFirstOfEveryName) {
    // A large section (so it is indexed) in which later copies of names stand right after the
    // lines just read, and a second copy of the section after another one.
    std::string text = "[S]\n";
    for (int i = 0; i < 40; ++i) {
        text += "k" + std::to_string(i) + "=first" + std::to_string(i) + "\n";
        text += "K" + std::to_string(i) + "=later" + std::to_string(i) + "\n";
    }
    text += "[T]\nk0=t\n[s]\nk0=copy\nonly=copy\n";
    dir.Write(kFile, text);
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < 40; ++i) {
            ASSERT_EQ(Get("S", "k" + std::to_string(i)), "first" + std::to_string(i));
            ASSERT_EQ(Get("s", "K" + std::to_string(i)), "first" + std::to_string(i));
        }
        EXPECT_EQ(Get("T", "k0"), "t");
        EXPECT_EQ(Get("S", "only"), "<default>");
        EXPECT_EQ(Get("S", "k0"), "first0");
    }
}

TEST_F(ProfileStoreTest, ValuesAreTrimmedAndLoseOnePairOfQuotes) {
    dir.Write(kFile,
              "[S]\n\tTabbed\t=  v  \nspaced=  \"  v  \"  \nnested='\"v\"'\nmixed=\"v'\n"
              "lone=\"\nempty=\nsplit=a=b\nhash=v ;not a comment\n\v vt \v= x\n");
    EXPECT_EQ(Get("S", "Tabbed"), "v");
    EXPECT_EQ(Get("S", "spaced"), "  v  ");
    EXPECT_EQ(Get("S", "nested"), "\"v\"");
    EXPECT_EQ(Get("S", "mixed"), "\"v'");
    EXPECT_EQ(Get("S", "lone"), "\"");
    EXPECT_EQ(Get("S", "empty"), "");
    EXPECT_EQ(Get("S", "split"), "a=b");
    EXPECT_EQ(Get("S", "hash"), "v ;not a comment");
    EXPECT_EQ(Get("S", "vt"), "x");
}

TEST_F(ProfileStoreTest, CommentsAndLinesBeforeTheFirstHeaderCannotBeRead) {
    dir.Write(kFile, "early=1\n[]\n=empty name\n[S]\n;k=comment\n  ;j=indented\n#h=2\nbare\n");
    EXPECT_EQ(Get("", "early"), "<default>");
    EXPECT_EQ(Get("", ""), "empty name");
    EXPECT_EQ(Get("S", ";k"), "<default>");
    EXPECT_EQ(Get("S", ";j"), "<default>");
    EXPECT_EQ(Get("S", "#h"), "2");
    EXPECT_EQ(Get("S", "bare"), "<default>");
}

TEST_F(ProfileStoreTest, HeadersEndAtTheFirstBracketOrTheLine) {
    dir.Write(kFile, "[ sec ]k=lost\nk=1\n[Open   \nk=2\n[[x]\nk=3\n[a][b]\nk=4\n");
    EXPECT_EQ(Get("sec", "k"), "1");
    EXPECT_EQ(Get("Open", "k"), "2");
    EXPECT_EQ(Get("[x", "k"), "3");
    EXPECT_EQ(Get("a", "k"), "4");
    EXPECT_EQ(Get("b", "k"), "<default>");
}

TEST_F(ProfileStoreTest, EveryLineEndStyleReadsTheSame) {
    for (std::string end : {"\r\n", "\n", "\r"}) {
        dir.Write(kFile, "[S]" + end + "a=1" + end + "b=2" + end + "[T]" + end + "c=3");
        EXPECT_EQ(Get("S", "a"), "1");
        EXPECT_EQ(Get("S", "b"), "2");
        EXPECT_EQ(Get("T", "c"), "3");
    }
    dir.Write(kFile, "[S]\r\na=1\rb=2\nc=3");
    EXPECT_EQ(Get("S", "b") + Get("S", "c"), "23");
}

TEST_F(ProfileStoreTest, UtfByteOrderMarkIsIgnored) {
    dir.Write(kFile, "\xEF\xBB\xBF[S]\nk=v\n");
    EXPECT_EQ(Get("S", "k"), "v");
}

TEST_F(ProfileStoreTest, ArgumentsLoseSpacesButNotOtherBlanks) {
    dir.Write(kFile, "[Main]\nkey=v\n");
    EXPECT_EQ(Get(" Main ", "  key "), "v");
    EXPECT_EQ(Get("\tMain", "key"), "<default>");
    EXPECT_EQ(Get("Main", "key\t"), "<default>");
}

TEST_F(ProfileStoreTest, DefaultLosesTrailingSpacesOnly) {
    EXPECT_EQ(Get("S", "k", "one two  "), "one two");
    EXPECT_EQ(Get("S", "k", "   d   "), "   d");
    EXPECT_EQ(Get("S", "k", "\td\t"), "\td\t");
}

TEST_F(ProfileStoreTest, LongValuesAreCutAtACharacterBoundary) {
    dir.Write(kFile, "[S]\nlong=" + std::string(1500, 'a') + "\nutf=" + std::string(1022, 'a') +
                         "\xC3\xA9tail\n");
    EXPECT_EQ(Get("S", "long"), std::string(1023, 'a'));
    EXPECT_EQ(Get("S", "utf"), std::string(1022, 'a'));
}

TEST_F(ProfileStoreTest, IntegersWrapAndStopAtTheFirstNonDigit) {
    dir.Write(kFile,
              "[S]\nneg=-1\nplus=+1\nwrap=4294967297\nzero=4294967296\nnegwrap=-4294967297\n"
              "mixed=42A9\nletter=B4\nquoted=\" 12 \"\nempty=\nsign=-\n");
    EXPECT_EQ(GetInt("neg"), -1);
    EXPECT_EQ(GetInt("plus"), 1);
    EXPECT_EQ(GetInt("wrap"), 1);
    EXPECT_EQ(GetInt("zero"), 0);
    EXPECT_EQ(GetInt("negwrap"), -1);
    EXPECT_EQ(GetInt("mixed"), 42);
    EXPECT_EQ(GetInt("letter"), 0);
    EXPECT_EQ(GetInt("quoted"), 0);  // blanks inside the quotes stop the digits
    EXPECT_EQ(GetInt("empty"), -7);
    EXPECT_EQ(GetInt("sign"), 0);
    EXPECT_EQ(GetInt("missing"), -7);
}

TEST_F(ProfileStoreTest, MissingOrUnusableFilesGiveDefaults) {
    EXPECT_EQ(Get("S", "k"), "<default>");
    std::filesystem::create_directory(dir.File(kFile));
    EXPECT_EQ(Get("S", "k"), "<default>");
    EXPECT_FALSE(Set("S", "k", "v"));
    std::filesystem::remove(dir.File(kFile));
    dir.Write(kFile, std::string("\0\xFF[S\0]\n\0k=\0v", 13));
    EXPECT_EQ(Get("S", "k"), "<default>");
}

// --- Writing -------------------------------------------------------------------------------

TEST_F(ProfileStoreTest, NewFileUsesCrlfAndOwnerOnlyMode) {
    ASSERT_TRUE(Set("App", "key", "string"));
    EXPECT_EQ(Bytes(), "[App]\r\nkey=string\r\n");
    EXPECT_EQ(Stat().st_mode & 0777, 0600u);
    ASSERT_TRUE(Set("App", "empty", ""));
    EXPECT_EQ(Bytes(), "[App]\r\nkey=string\r\nempty=\r\n");
}

TEST_F(ProfileStoreTest, NewSectionsGoAtTheEndWithoutABlankLine) {
    ASSERT_TRUE(Set("App1", "key1", "string1"));
    ASSERT_TRUE(Set("App1", "key2", "string2"));
    ASSERT_TRUE(Set("App2", "key4", "string4"));
    ASSERT_TRUE(Set("App1", "key3", "string3"));
    ASSERT_TRUE(Set("App3", "key5", "string5"));
    EXPECT_EQ(Bytes(),
              "[App1]\r\nkey1=string1\r\nkey2=string2\r\nkey3=string3\r\n[App2]\r\nkey4=string4"
              "\r\n[App3]\r\nkey5=string5\r\n");
}

TEST_F(ProfileStoreTest, AnUnterminatedLastLineGetsTheFilesLineBreak) {
    dir.Write(kFile, "junk\nmore junk");
    ASSERT_TRUE(Set("s", "k", "v"));
    EXPECT_EQ(Bytes(), "junk\nmore junk\n[s]\nk=v\n");
    dir.Write(kFile, "\xEF\xBB\xBF");
    ASSERT_TRUE(Set("s", "k", "v"));
    EXPECT_EQ(Bytes(), "\xEF\xBB\xBF[s]\r\nk=v\r\n");
}

TEST_F(ProfileStoreTest, NewKeysFollowTheSectionsLastKeyLine) {
    dir.Write(kFile, "[S]\rb=\ra=\r\r;closing comment\r[T]\rt=1");
    ASSERT_TRUE(Set("s", "z", "1"));
    ASSERT_TRUE(Set("S", "B", "2"));
    ASSERT_TRUE(Set("S", "y", "3"));
    ASSERT_TRUE(Set("T", "u", "4"));
    EXPECT_EQ(Bytes(), "[S]\rb=2\ra=\rz=1\ry=3\r\r;closing comment\r[T]\rt=1\ru=4\r");
}

TEST_F(ProfileStoreTest, ReplacingKeepsTheLineUpToTheEqualsSign) {
    dir.Write(kFile, "[SectionName]\r\n  TestKey  =  TestValue");
    ASSERT_TRUE(Set("SECTIONNAME", "TESTKEY", "TestValue2"));
    EXPECT_EQ(Bytes(), "[SectionName]\r\n  TestKey  =TestValue2\r\n");
}

TEST_F(ProfileStoreTest, UntouchedBytesSurviveAWrite) {
    const std::string before =
        std::string("\xEF\xBB\xBFpre\0amble\r\n", 14) +
        "[S] trailing junk\r\n; comment\n\n  odd  spacing =  x \r\n"
        "no equals here\r\ndup=1\r\ntarget=old\r\nDUP=2\r\n\r\n[S]\r\nk=v\r\n";
    dir.Write(kFile, before);
    ASSERT_TRUE(Set("S", "target", "new"));
    std::string expected = before;
    expected.replace(expected.find("target=old"), 10, "target=new");
    EXPECT_EQ(Bytes(), expected);
}

TEST_F(ProfileStoreTest, RemovingTakesEveryCopyOfTheKeyAndKeepsTheSection) {
    dir.Write(kFile, "[S]\nk=1\nx=2\nK = 3\n;k=comment\n[S]\nk=other copy\n");
    ASSERT_TRUE(Set("S", "k", std::nullopt));
    EXPECT_EQ(Bytes(), "[S]\nx=2\n;k=comment\n[S]\nk=other copy\n");
    EXPECT_EQ(Get("S", "k"), "<default>");
    ASSERT_TRUE(Set("S", "x", std::nullopt));
    EXPECT_EQ(Bytes(), "[S]\n;k=comment\n[S]\nk=other copy\n");
}

TEST_F(ProfileStoreTest, RemovingAMissingKeyDoesNotRewriteTheFile) {
    EXPECT_TRUE(Set("S", "k", std::nullopt));
    EXPECT_FALSE(std::filesystem::exists(dir.File(kFile)));
    dir.Write(kFile, "[S]\nk=1\n");
    struct stat before = Stat();
    EXPECT_TRUE(Set("S", "missing", std::nullopt));
    EXPECT_TRUE(Set("Other", "k", std::nullopt));
    struct stat after = Stat();
    EXPECT_EQ(before.st_ino, after.st_ino);
    EXPECT_EQ(Bytes(), "[S]\nk=1\n");
}

TEST_F(ProfileStoreTest, ValuesThatWouldNotReadBackAreQuoted) {
    const std::vector<std::string> values = {" pass ", "\tx",  "x\v", "\"quoted\"", "'a'", "\"",
                                             "a\"b",   "\"a'", ";x",  "a=b",        "",    " ",
                                             "\"\"",   "#x #", "é ü", "\"  \""};
    for (const std::string& value : values) {
        ASSERT_TRUE(Set("S", "k", value)) << value;
        EXPECT_EQ(Get("S", "k"), value) << value;
    }
    ASSERT_TRUE(Set("S", "k", " pass "));
    ASSERT_TRUE(Set("S", "plain", "a\"b"));
    EXPECT_EQ(Bytes(), "[S]\r\nk=\" pass \"\r\nplain=a\"b\r\n");
}

TEST_F(ProfileStoreTest, RewriteKeepsModeAndWritesThroughSymbolicLinks) {
    dir.Write("real.ini", "[S]\nk=1\n");
    chmod(dir.File("real.ini").c_str(), 0640);
    ASSERT_EQ(symlink("real.ini", dir.File(kFile).c_str()), 0);
    ASSERT_TRUE(Set("S", "k", "2"));
    EXPECT_TRUE(std::filesystem::is_symlink(dir.File(kFile)));
    EXPECT_EQ(dir.Read("real.ini"), "[S]\nk=2\n");
    struct stat info {};
    ASSERT_EQ(stat(dir.File("real.ini").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
    // Only the file and its lock file remain: no temporary file is left behind.
    int entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
        ++entries;
    }
    EXPECT_EQ(entries, 3);
}

TEST_F(ProfileStoreTest, AFileThatCannotBeReadIsNeverReplaced) {
    if (geteuid() == 0) {
        GTEST_SKIP() << "permissions do not stop root";
    }
    dir.Write(kFile, "[S]\nk=1\n");
    chmod(dir.File(kFile).c_str(), 0200);
    EXPECT_FALSE(Set("S", "k", "2"));
    chmod(dir.File(kFile).c_str(), 0600);
    EXPECT_EQ(Bytes(), "[S]\nk=1\n");
}

TEST_F(ProfileStoreTest, EveryRewriteMovesTheModificationTimeForward) {
    long long last = -1;
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(ProfileSetInt("S", "k", i, kFile));
        struct stat info = Stat();
        long long now = info.st_mtim.tv_sec * 1000000000LL + info.st_mtim.tv_nsec;
        EXPECT_GT(now, last);
        last = now;
    }
    EXPECT_EQ(GetInt("k"), 19);
}

// --- Refusals ------------------------------------------------------------------------------

TEST_F(ProfileStoreTest, UnsafeNamesAndValuesAreRefusedWithoutTouchingTheFile) {
    const std::string before = "[S]\r\nk=1\r\n";
    dir.Write(kFile, before);
    struct Case {
        std::string section, key, value;
    };
    const std::vector<Case> refused = {
        {"S\r\nx", "k", "v"},
        {"S", "k\nx", "v"},
        {"S", "k", "v\r\n[x]"},
        {"S", "k", "v\rx"},
        {"sec]x", "k", "v"},
        {"S", "a=b", "v"},
        {"S", " ;k", "v"},
        {"S", "[k", "v"},
        {"\tS", "k", "v"},
        {"S", "k\t", "v"},
        {std::string("S\0", 2), "k", "v"},
        {"S", "k", std::string("v\0w", 3)},
    };
    for (const Case& c : refused) {
        EXPECT_FALSE(Set(c.section, c.key, c.value)) << c.section << "/" << c.key;
        EXPECT_NE(ProfileLastWriteError().find("cannot be stored"), std::string::npos);
    }
    // The reason names the entry, never the value: values may be passwords.
    EXPECT_FALSE(Set("S", "k", "secret\r\npassword"));
    EXPECT_EQ(ProfileLastWriteError().find("secret"), std::string::npos);
    EXPECT_FALSE(Set("S", "a=b", std::nullopt));
    EXPECT_EQ(Bytes(), before);

    ProfileBatch batch;
    batch.Set("S", "good", "1");
    batch.Set("S", "bad\n", "2");
    EXPECT_FALSE(batch.Commit(kFile));
    EXPECT_EQ(Bytes(), before);
    EXPECT_EQ(batch.Size(), 2u);
    ASSERT_TRUE(Set("S", "k", "2"));
    EXPECT_EQ(ProfileLastWriteError(), "");
}

TEST(ProfileNameTest, OnlyAsciiLettersIgnoreCase) {
    const AsciiNoCaseHash hash;
    // Names are compared several bytes at a time: every length up to a few words, with the byte
    // that differs at every position.
    for (size_t length = 1; length <= 20; ++length) {
        for (size_t at = 0; at < length; ++at) {
            auto with = [&](char c) {
                std::string name(length, 'k');
                name[at] = c;
                return name;
            };
            for (auto [upper, lower] : {std::pair{'A', 'a'}, {'Q', 'q'}, {'Z', 'z'}}) {
                EXPECT_TRUE(AsciiEqualNoCase(with(upper), with(lower))) << with(upper);
                EXPECT_EQ(hash(with(upper)), hash(with(lower))) << with(upper);
            }
            // Pairs 32 apart like a capital and its small letter, but not letters.
            for (auto [a, b] : {std::pair{'@', '`'},
                                {'[', '{'},
                                {'^', '~'},
                                {'\xC1', '\xE1'},
                                {'\xDA', '\xFA'},
                                {'1', '\x11'},
                                {'k', 'j'}}) {
                EXPECT_FALSE(AsciiEqualNoCase(with(a), with(b))) << length << " " << at;
            }
        }
    }
    EXPECT_FALSE(AsciiEqualNoCase("key", "key "));
    EXPECT_TRUE(AsciiEqualNoCase("", ""));
}

TEST(ProfileStorableTest, AcceptsWhatReadsBack) {
    EXPECT_TRUE(IsStorableSectionName(""));
    EXPECT_TRUE(IsStorableSectionName(" [odd;name\" "));
    EXPECT_TRUE(IsStorableKey(""));
    EXPECT_TRUE(IsStorableKey("  #key with spaces  "));
    EXPECT_TRUE(IsStorableValue(" ;anything=\t\"quoted\" "));
}

TEST_F(ProfileStoreTest, BatchAppliesOperationsInOrderAsOneWrite) {
    dir.Write(kFile, "[S]\nold=1\n");
    ProfileBatch batch;
    batch.Set("S", "a", "1");
    batch.Set("T", "b", "2");
    batch.Remove("S", "old");
    batch.Set("s", "A", "3");
    batch.Remove("T", "b");
    batch.SetInt("T", "c", -4);
    ASSERT_TRUE(batch.Commit(kFile));
    EXPECT_EQ(Bytes(), "[S]\na=3\n[T]\nc=-4\n");
}

// Written over the file's own bytes while its blocks hold the text; replaced (a new inode) only
// when the text outgrows them. Either way readers of this process see each write at once.
TEST_F(ProfileStoreTest, InPlaceCommitsKeepTheFileUntilTheTextOutgrowsIt) {
    dir.Write(kFile, "[S]\r\nk=1\r\nold=gone\r\n");
    chmod(dir.File(kFile).c_str(), 0640);
    ASSERT_EQ(Get("S", "k"), "1");
    struct Step {
        std::string key, value;
        bool sameFile;
        std::string bytes;
    };
    const std::string big(9000, 'x');
    const Step steps[] = {
        {"k", "22", true, "[S]\r\nk=22\r\nold=gone\r\n"},
        {"old", "", true, "[S]\r\nk=22\r\nold=\r\n"},
        {"new", big, false, "[S]\r\nk=22\r\nold=\r\nnew=" + big + "\r\n"},
    };
    struct stat last = Stat();
    for (const Step& step : steps) {
        ProfileBatch batch;
        batch.Set("S", step.key, step.value);
        ASSERT_TRUE(batch.CommitInPlace(kFile)) << step.key;
        const struct stat now = Stat();
        EXPECT_EQ(now.st_ino == last.st_ino, step.sameFile) << step.key;
        EXPECT_EQ(now.st_mode & 0777, 0640u);
        EXPECT_GT(std::tie(now.st_mtim.tv_sec, now.st_mtim.tv_nsec),
                  std::tie(last.st_mtim.tv_sec, last.st_mtim.tv_nsec));
        EXPECT_EQ(Bytes(), step.bytes);
        EXPECT_EQ(Get("S", "k"), "22");  // the cached "1" is not kept
        last = now;
    }
}

// --- File arguments ------------------------------------------------------------------------

TEST_F(ProfileStoreTest, FileArgumentsResolveByTheirForm) {
    EXPECT_EQ(ResolveProfilePath(""), dir.Path() + "/relvoconsole.ini");
    EXPECT_EQ(ResolveProfilePath(".cfg"), dir.Path() + "/relvoconsole.cfg");
    EXPECT_EQ(ResolveProfilePath("/etc/x.ini"), "/etc/x.ini");
    EXPECT_EQ(ResolveProfilePath("c:x.ini"), "c:x.ini");
    EXPECT_EQ(ResolveProfilePath("sub//x.ini"), dir.Path() + "/sub//x.ini");
    ASSERT_TRUE(ProfileSetString("S", "k", "v", ".cfg"));
    EXPECT_EQ(dir.Read("relvoconsole.cfg"), "[S]\r\nk=v\r\n");
}

// --- Section listing -----------------------------------------------------------------------

TEST_F(ProfileStoreTest, SectionListsNonEmptyKeysOfItsFirstOccurrence) {
    dir.Write("relvoconsole.cfg", "[L]\na=1\nb\n=x\n;d=2\n\n c = 2\n[l]\ne=3\n");
    std::vector<std::string> keys = {"stale"};
    EXPECT_EQ(ProfileGetSection("L", &keys), 2);
    EXPECT_EQ(keys, (std::vector<std::string>{"a", "c"}));
    EXPECT_EQ(ProfileGetSection("missing", &keys), 0);
    EXPECT_TRUE(keys.empty());
    EXPECT_EQ(ProfileGetSection(" L ", nullptr), 2);
}

TEST_F(ProfileStoreTest, LargeSectionsAreListedInFull) {
    std::string text = "[AccountList]\r\n";
    for (int i = 0; i < 10000; ++i) {
        text += "user" + std::to_string(i) + "@example.com=1\r\n";
    }
    dir.Write("relvoconsole.cfg", text);
    std::vector<std::string> keys;
    EXPECT_EQ(ProfileGetSection("AccountList", &keys), 10000);
    ASSERT_EQ(keys.size(), 10000u);
    EXPECT_EQ(keys.back(), "user9999@example.com");
}

// --- Cache ---------------------------------------------------------------------------------

TEST_F(ProfileStoreTest, ExternalChangesAreSeenByTheNextRead) {
    // Nothing was ever written through the store here: without a lock file there is no write
    // generation to trust, and every read looks at the file.
    dir.Write(kFile, "[S]\nk=aaaa\n");
    EXPECT_EQ(Get("S", "k"), "aaaa");
    // Same size, new inode, as another process's atomic rewrite would leave it.
    dir.Write("other", "[S]\nk=bbbb\n");
    std::filesystem::rename(dir.File("other"), dir.File(kFile));
    EXPECT_EQ(Get("S", "k"), "bbbb");
    // Same size, rewritten in place with a new modification time.
    dir.Write(kFile, "[S]\nk=cccc\n");
    timespec times[2] = {{0, UTIME_OMIT}, {1234567, 0}};
    utimensat(AT_FDCWD, dir.File(kFile).c_str(), times, 0);
    EXPECT_EQ(Get("S", "k"), "cccc");
    std::filesystem::remove(dir.File(kFile));
    EXPECT_EQ(Get("S", "k"), "<default>");
}

// Just past what readers may go without looking at the file: the interval, measured on the
// coarse clock, plus one of its ticks.
void WaitPastTheRecheckInterval() {
    timespec tick{};
    clock_getres(CLOCK_MONOTONIC_COARSE, &tick);
    std::this_thread::sleep_for(profile::kRecheckInterval + std::chrono::nanoseconds(tick.tv_nsec) +
                                std::chrono::milliseconds(1));
}

TEST_F(ProfileStoreTest, EditsByOtherProgramsAreSeenOnceTheIntervalHasPassed) {
    ASSERT_TRUE(Set("S", "k", "aaaa"));  // the lock file now counts writes
    ASSERT_EQ(Get("S", "k"), "aaaa");
    // Same size, new inode: an editor that saves to a new file and renames it.
    dir.Write("other", "[S]\r\nk=bbbb\r\n");
    std::filesystem::rename(dir.File("other"), dir.File(kFile));
    WaitPastTheRecheckInterval();
    EXPECT_EQ(Get("S", "k"), "bbbb");
    // Same size, same inode, rewritten in place.
    dir.Write(kFile, "[S]\r\nk=cccc\r\n");
    WaitPastTheRecheckInterval();
    EXPECT_EQ(GetInt("missing", 3), 3);
    EXPECT_EQ(Get("S", "k"), "cccc");
    std::filesystem::remove(dir.File(kFile));
    WaitPastTheRecheckInterval();
    EXPECT_EQ(Get("S", "k"), "<default>");
}

TEST_F(ProfileStoreTest, AWriteKeepsAnEditMadeByAnotherProgramJustBefore) {
    ASSERT_TRUE(Set("S", "k", "1"));
    ASSERT_EQ(Get("S", "k"), "1");  // the parse is now cached and trusted
    dir.Write("other", "[S]\r\nk=1\r\nedited=yes\r\n");
    std::filesystem::rename(dir.File("other"), dir.File(kFile));
    ASSERT_TRUE(Set("S", "k", "2"));
    EXPECT_EQ(Bytes(), "[S]\r\nk=2\r\nedited=yes\r\n");
    EXPECT_EQ(Get("S", "edited"), "yes");
}

}  // namespace

TEST_F(ProfileStoreTest, ReadsAlternatingBetweenFileArgumentsEachReachTheirOwnFile) {
    ASSERT_TRUE(ProfileSetString("S", "k", "default", ""));
    ASSERT_TRUE(ProfileSetString("S", "k", "absolute", dir.File("other.cfg")));
    ASSERT_TRUE(ProfileSetString("S", "k", "relative", "rel.cfg"));
    ASSERT_TRUE(ProfileSetString("S", "k", "main", ".cfg"));
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(ProfileGetString("S", "k", "", dir.File("other.cfg")), "absolute");
        EXPECT_EQ(ProfileGetString("S", "k", "", ""), "default");
        EXPECT_EQ(ProfileGetString("S", "k", "", "rel.cfg"), "relative");
        EXPECT_EQ(ProfileGetString("S", "k", "", ""), "default");
        EXPECT_EQ(ProfileGetString("S", "k", "", ".cfg"), "main");
    }
}
