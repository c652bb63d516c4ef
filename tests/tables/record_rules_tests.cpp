#include "tables/record_rules.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "common/profile_store.h"
#include "support/qt_print.h"
#include "support/temp_app_dir.h"
#include "tables/record_layouts.h"
#include "tables/table_messages.h"

namespace {

TEST(ReadUnsignedNumber, ReadsLeadingDigitsAfterBlanksAndASignWithinSixtyThreeCharacters) {
    EXPECT_EQ(ReadUnsignedNumber(u" \t\r\n+587"), 587u);
    EXPECT_EQ(ReadUnsignedNumber(u"25abc"), 25u);
    EXPECT_EQ(ReadUnsignedNumber(u"-0"), 0u);
    EXPECT_EQ(ReadUnsignedNumber(u"0004294967295"), 4294967295u);
    EXPECT_EQ(ReadUnsignedNumber(QString(60, u' ') + "12345"), 123u);
    EXPECT_FALSE(ReadUnsignedNumber(QString(63, u' ') + "7"));
}

TEST(ReadUnsignedNumber, RefusesNoDigitsNegativeNumbersAndOverflow) {
    for (const char16_t* text : {u"", u"abc", u"- 5", u"+-5",
                                 u"\u00a0"
                                 "25",
                                 u"\uff12", u"-1", u"4294967296", u"99999999999999999999999"}) {
        EXPECT_FALSE(ReadUnsignedNumber(text)) << QString::fromUtf16(text).toStdString();
    }
}

TEST(RecordNames, NeedTheirSeparatorInsideAndMustBeStorableKeys) {
    EXPECT_TRUE(IsAcceptableDomainName(u"a.b."));  // only the first "." counts
    EXPECT_TRUE(IsAcceptableRelayMailbox(u"a@b@"));
    EXPECT_TRUE(IsAcceptableDomainName(u"m\u00fcller.de"));
    for (const char16_t* name : {u".ab", u"ab.", u"ab", u"", u"a=b.c", u";a.b", u"[a.b", u" a.b",
                                 u"a.b\t", u"a\n.b", u"\u3000a.b"}) {
        EXPECT_FALSE(IsAcceptableDomainName(name)) << QString::fromUtf16(name).toStdString();
    }
    EXPECT_FALSE(IsAcceptableRelayMailbox(u"@ab"));
    EXPECT_FALSE(IsAcceptableRelayMailbox(u"ab@"));
}

TEST(RecordValues, MayHoldBlanksAndQuotesButNoLineBreaksNorMoreThanReadersReturn) {
    EXPECT_TRUE(IsFaithfulValue(u" \"quoted\" "));
    EXPECT_TRUE(IsFaithfulValue(QString(1023, u'x')));
    EXPECT_FALSE(IsFaithfulValue(QString(512, u'\u00e9')));  // 1024 bytes in UTF-8
    EXPECT_FALSE(IsFaithfulValue(u"two\nlines"));
}

TEST(FormRules, NamesMatchIgnoringAsciiCaseOnlyAndOddFlagsShowUnticked) {
    EXPECT_TRUE(SameRecordName(u"Example.COM", u"example.com"));
    EXPECT_FALSE(SameRecordName(u"\u00c4b.com", u"\u00e4b.com"));  // the file tells them apart
    EXPECT_FALSE(FlagShownTicked(3));
}

TEST(RecordLayouts, RelayRemovalsTakeTheListedFieldsInOrderButNotTheAuthFlag) {
    ProfileBatch batch;
    AddRemovals(batch, RelayLayout(), {"m@x"});
    QStringList keys;
    for (const ProfileBatch::Operation& operation : batch.Operations()) {
        EXPECT_FALSE(operation.value.has_value());
        keys.append(QString::fromStdString(operation.key));
    }
    EXPECT_EQ(keys, QStringList({"m@x", "m@x_SmtpServer", "m@x_SmtpPort", "m@x_Enabled",
                                 "m@x_SSLFlag", "m@x_LoginAcc", "m@x_LoginPwd"}));
}

}  // namespace

TEST(PortRange, OnlyPortsAServerCanUseAreAccepted) {
    const struct {
        quint32 port;
        bool usable;
    } cases[] = {{0, false},    {1, true},      {25, true},
                 {65535, true}, {65536, false}, {4294967295u, false}};
    for (const auto& c : cases) {
        EXPECT_EQ(IsUsablePort(c.port), c.usable) << c.port;
    }
}

// A missing file is a fresh start and a readable one is fine; one that exists but cannot be read
// is told with its path and why.
TEST(ConfigReadProblem, OnlyAFileThatExistsButCannotBeReadIsTold) {
    TempAppDir dir;
    EXPECT_FALSE(ConfigReadProblem().has_value());
    dir.Write("relvoconsole.cfg", "[DomainList]\na.org=1\n");
    EXPECT_FALSE(ConfigReadProblem().has_value());
    std::filesystem::remove(dir.ConfigFile());
    std::filesystem::create_directory(dir.ConfigFile());
    const std::optional<QString> told = ConfigReadProblem();
    ASSERT_TRUE(told.has_value());
    EXPECT_EQ(*told, ConfigUnreadableText(QString::fromStdString(dir.ConfigFile()),
                                          "it is not a regular file"));
    EXPECT_EQ(ConfigWriteFailedText("cannot write /x.cfg: No space left on device"),
              "The change was not saved: cannot write /x.cfg: No space left on device.");
}
