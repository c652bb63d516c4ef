// The account file's text rules: decoding, the import line parser, the export line, storable
// names, the line reader and the atomic writer.
#include "tables/account_file.h"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QByteArray>
#include <QFile>
#include <QString>
#include <csignal>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/stat.h>

#include "support/temp_app_dir.h"

namespace {

std::vector<std::string> ReadLines(const std::string& bytes) {
    QByteArray data = QByteArray::fromStdString(bytes);
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    AccountFileReader reader(buffer);
    std::vector<std::string> lines;
    std::string line;
    while (reader.Next(line)) {
        lines.push_back(line);
    }
    return lines;
}

AccountLine Parsed(std::string_view text) {
    std::optional<AccountLine> line = ParseAccountLine(text);
    EXPECT_TRUE(line.has_value()) << text;
    return line.value_or(AccountLine{});
}

}  // namespace

TEST(AccountFileDecoding, ReadsWindows1252WhenTheLineIsNotUtf8) {
    EXPECT_EQ(DecodeAccountLine("Ren\xE9@x.org"), "Ren\xC3\xA9@x.org");
    EXPECT_EQ(DecodeAccountLine("\x80 \x9F \xFF"), "\xE2\x82\xAC \xC5\xB8 \xC3\xBF");
    // Undefined bytes keep their value as C1 controls instead of vanishing.
    EXPECT_EQ(Windows1252ToUtf8("\x81\x8D"), "\xC2\x81\xC2\x8D");
    // UTF-8 lines stay as they are, even where Windows-1252 would read them differently.
    EXPECT_EQ(DecodeAccountLine("Ren\xC3\xA9"), "Ren\xC3\xA9");
}

TEST(AccountLineParsing, ReadsTheLinesExportWrites) {
    AccountLine line = Parsed("\"joe@x.org\", \t\"secret\", \t\"Joe Bloggs\", \t\"1\"\r\n");
    EXPECT_EQ(line.name, "joe@x.org");
    EXPECT_EQ(line.password, "secret");
    EXPECT_EQ(line.description, "Joe Bloggs");
    EXPECT_EQ(line.enabled, 1);
}

TEST(AccountLineParsing, SkipsLinesWithFewerThanTwoFields) {
    for (const char* text : {"", "   ", "\r\n", "\t\t", "only-one", "\"one, two\""}) {
        EXPECT_FALSE(ParseAccountLine(text).has_value()) << '"' << text << '"';
    }
}

// Lines as users write them: fields split only at commas outside quotes, blanks around fields
// ignored, empty fields in their place, "" inside quotes one quote, a lone quote kept.
TEST(AccountLineParsing, ReadsFieldsAsUsersWriteThem) {
    const struct {
        const char* line;
        std::vector<std::string> fields;
    } cases[] = {
        {"\"Smith, John\",pw", {"Smith, John", "pw"}},
        {"a@x.org,\"p,w\", \"Smith, John\" ,1", {"a@x.org", "p,w", "Smith, John", "1"}},
        {"name,,desc,1", {"name", "", "desc", "1"}},
        {"name , , desc ,", {"name", "", "desc", ""}},
        {",", {"", ""}},
        {"\t\"a b\"\t,\t\"\tx\t\"\r", {"a b", "\tx\t"}},                // tabs inside quotes stay
        {"a\tb,c", {"a\tb", "c"}},                                      // and inside a plain field
        {"\"say \"\"hi\"\"\",\"\"\"\"", {"say \"hi\"", "\""}},          // doubled quotes
        {"\"jo\"e@x.org\",\"d\"e\"sc\"", {"jo\"e@x.org", "d\"e\"sc"}},  // lone quotes
        {"\"open,never closed", {"open,never closed"}},
        {"plain\"quote,x", {"plain\"quote", "x"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SplitAccountFields(c.line), c.fields) << c.line;
    }
    // Extra fields are ignored; an empty third field is an empty description, not a missing one.
    AccountLine line = Parsed("n,p,,1,extra,more");
    EXPECT_EQ(line.description, "");
    EXPECT_EQ(line.enabled, 1);
}

TEST(AccountLineParsing, FlagIsOneOnlyForANumberAboveZeroAtTheStart) {
    struct Case {
        const char* field;
        int flag;
    } cases[] = {{"1", 1},
                 {"2", 1},
                 {"12abc", 1},
                 {"+7", 1},
                 {" 3", 1},
                 {"0", 0},
                 {"-3", 0},
                 {"abc", 0},
                 {"", 0},
                 {"000", 0},
                 {"99999999999999999999999", 1},
                 {"-99999999999999999999", 0}};
    for (const Case& c : cases) {
        AccountLine line = Parsed(std::string("n,p,d,\"") + c.field + "\"");
        EXPECT_EQ(line.enabled, c.flag) << c.field;
    }
}

TEST(AccountLineFormat, QuotesEveryValueDoublesInnerQuotesAndEndsWithCrLf) {
    EXPECT_EQ(FormatAccountLine({"N", "", "", 0}), "\"N\", \t\"\", \t\"\", \t\"0\"\r\n");
    EXPECT_EQ(FormatAccountLine({"joe@x.org", "p w", "Joe, \"J\"", -5}),
              "\"joe@x.org\", \t\"p w\", \t\"Joe, \"\"J\"\"\", \t\"-5\"\r\n");
}

// Whatever a value holds on one line comes back from the exported line as it was.
TEST(AccountLineFormat, EveryValueOnOneLineComesBackAsItWas) {
    const char* values[] = {"",
                            "Smith, John",
                            "\"quoted\"",
                            "\"",
                            "\"\"",
                            "a\"",
                            "\",\"",
                            "\ttabs\tin\t",
                            " blank ",
                            "x, \t\"y\", \t",
                            "\xC3\xA9t\xC3\xA9"};
    for (const char* password : values) {
        for (const char* description : values) {
            const AccountRecord record{"n@x.org", password, description, 1};
            const AccountLine line = Parsed(FormatAccountLine(record));
            EXPECT_EQ(line.password, record.password) << password;
            EXPECT_EQ(line.description, record.description) << description;
            EXPECT_EQ(line.enabled, 1);
        }
    }
}

TEST(AccountNames, RefusesWhatTheProfileFileCannotHold) {
    for (const char* name :
         {"joe@x.org", "a@bc", "J\xC3\xB6rg@x.org", "a b@c.d", "x;y@z", "a[b@c"}) {
        EXPECT_TRUE(IsStorableAccountName(name)) << name;
    }
    for (const char* name : {"", " joe@x.org", "joe@x.org ", "\tjoe@x.org", "jo=e@x.org",
                             ";joe@x.org", "[joe@x.org", "jo\re@x.org", "jo\ne@x.org",
                             "jo\x01"
                             "e@x.org",
                             "jo\x7F"
                             "e@x.org",
                             "jo\xC2\x85"
                             "e@x.org"}) {
        EXPECT_FALSE(IsStorableAccountName(name)) << name;
    }
    EXPECT_FALSE(IsStorableAccountName(std::string("jo\0e@x.org", 10)));
}

TEST(AccountFileReading, LinesOfAnyLengthStayWhole) {
    const std::string longDescription(100000, 'd');
    std::vector<std::string> lines = ReadLines("a,b\n" + longDescription + "\r\nlast");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "a,b");
    EXPECT_EQ(lines[1], longDescription + "\r");
    EXPECT_EQ(lines[2], "last");
}

TEST(AccountFileReading, SkipsAByteOrderMarkOnlyAtTheStart) {
    std::vector<std::string> lines = ReadLines("\xEF\xBB\xBF\"a@bc\",p\n\xEF\xBB\xBFx,y\n");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "\"a@bc\",p");
    EXPECT_EQ(lines[1], "\xEF\xBB\xBFx,y");
    EXPECT_EQ(ReadLines("\n\n"), (std::vector<std::string>{"", ""}));
    EXPECT_TRUE(ReadLines("").empty());
}

class AccountFileWriting : public ::testing::Test {
  protected:
    TempAppDir dir;
    std::vector<AccountRecord> accounts{{"a@bc", "p1", "first", 1}, {"d@ef", "", "", 0}};
};

TEST_F(AccountFileWriting, WritesEveryLineAsUtf8WithoutMark) {
    AccountFileResult result =
        WriteAccountFile(QString::fromStdString(dir.File("out.csv")), accounts);
    EXPECT_TRUE(result.ok) << result.error;
    EXPECT_EQ(dir.Read("out.csv"), FormatAccountLine(accounts[0]) + FormatAccountLine(accounts[1]));
}

// Every password is in the file: only its owner may read it, whatever the umask, also when it
// replaces a file that others could read.
TEST_F(AccountFileWriting, IsReadableByItsOwnerOnlyWhateverTheUmask) {
    const struct {
        mode_t umask;
        bool replacesReadableFile;
    } cases[] = {{022, false}, {0, false}, {077, false}, {0277, false}, {022, true}};
    for (const auto& c : cases) {
        const std::string path = dir.File("mode.csv");
        std::filesystem::remove(path);
        if (c.replacesReadableFile) {
            dir.Write("mode.csv", "old\r\n");
            chmod(path.c_str(), 0644);
        }
        const mode_t previous = umask(c.umask);
        const AccountFileResult result = WriteAccountFile(QString::fromStdString(path), accounts);
        umask(previous);
        ASSERT_TRUE(result.ok) << result.error;
        struct stat info {};
        ASSERT_EQ(stat(path.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0600u) << std::oct << c.umask;
    }
}

TEST_F(AccountFileWriting, ReportsAPathThatCannotBeWritten) {
    AccountFileResult result =
        WriteAccountFile(QString::fromStdString(dir.File("missing/out.csv")), accounts);
    EXPECT_FALSE(result.ok);
    EXPECT_FALSE(result.error.empty());
    std::filesystem::create_directory(dir.File("taken"));
    EXPECT_FALSE(WriteAccountFile(QString::fromStdString(dir.File("taken")), accounts).ok);
}

#ifdef RLIMIT_FSIZE
TEST_F(AccountFileWriting, AFullDiskKeepsTheEarlierFileWhole) {
    dir.Write("out.csv", "old contents\r\n");
    std::vector<AccountRecord> many(2000, AccountRecord{"name@example.org", "pw", "desc", 1});
    // A file size limit makes writes fail as a full disk does.
    auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit previous{};
    getrlimit(RLIMIT_FSIZE, &previous);
    rlimit limited = previous;
    limited.rlim_cur = 4096;
    setrlimit(RLIMIT_FSIZE, &limited);
    AccountFileResult result = WriteAccountFile(QString::fromStdString(dir.File("out.csv")), many);
    setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, previousHandler);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(dir.Read("out.csv"), "old contents\r\n");
}
#endif
