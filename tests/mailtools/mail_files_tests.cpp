// The files of a mail, the sample mail, the checks and writes of a diagnose send and the
// transcript's lines, against real files in a fresh application directory.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "common/profile_file.h"
#include "common/profile_store.h"
#include "mailtools/arrival_results.h"
#include "mailtools/diagnose_send.h"
#include "mailtools/mail_files.h"
#include "support/temp_app_dir.h"

namespace {

struct PathCase {
    std::string mailPath;
    std::string companion;
};

class MailFilesTest : public ::testing::Test {
  protected:
    // Files written by hand here are seen by the next read at once.
    void SetUp() override {
        interval = profile::SetRecheckIntervalForTesting(std::chrono::nanoseconds(0));
        std::filesystem::create_directory(dir.File("mail"));
    }
    void TearDown() override { profile::SetRecheckIntervalForTesting(interval); }

    std::string MailInfo(const std::string& file, const std::string& key) {
        return ProfileGetString("MailInfo", key, "<missing>", dir.File(file));
    }

    TempAppDir dir;
    std::chrono::nanoseconds interval{};
};

}  // namespace

TEST(CompanionPathTest, ReplacesOnlyTheFileNamesExtension) {
    const PathCase cases[] = {
        PathCase{"/srv/mail/7.eml", "/srv/mail/7.cfg"}, PathCase{"/srv/a.b.eml", "/srv/a.b.cfg"},
        PathCase{"7.eml", "7.cfg"},
        // neither a dot in a directory nor a missing extension can lead the
        // companion away from the mail (or onto the main configuration ".cfg")
        PathCase{"/srv/mail/7", "/srv/mail/7.cfg"},
        PathCase{"/srv/my.dir/mail", "/srv/my.dir/mail.cfg"},
        PathCase{"/srv/.hidden", "/srv/.hidden.cfg"}, PathCase{"noext", "noext.cfg"}};
    for (const PathCase& c : cases) {
        EXPECT_EQ(CompanionPath(c.mailPath), c.companion);
    }
}

TEST_F(MailFilesTest, MailFilesLieInTheMailDirectoryNamedByTheirId) {
    EXPECT_EQ(MailFilePath(42, ".eml"), dir.File("mail/42.eml"));
    EXPECT_EQ(MailFilePath(-3, ".cfg"), dir.File("mail/-3.cfg"));
}

TEST_F(MailFilesTest, StoredMailIsReadWithDefaultsAndEachAttachmentOnce) {
    EXPECT_FALSE(LoadStoredMail(5, "s", "r")) << "no companion file";
    dir.Write("mail/5.cfg",
              "[MailInfo]\r\nSubject=Hello\r\nAttachNumber=4\r\nAttach0=/a/x.pdf\r\nAttach1=\r\n"
              "Attach2=/a/X.pdf\r\nAttach3=/a/x.pdf\r\n");
    dir.Write("mail/5.txt", "line one\r\nzwei \xc3\xbc\r\n");
    auto mail = LoadStoredMail(5, "current sender", "current recipients");
    ASSERT_TRUE(mail);
    EXPECT_EQ(mail->sender, "current sender");
    EXPECT_EQ(mail->recipients, "current recipients");
    EXPECT_EQ(mail->subject, "Hello");
    EXPECT_EQ(mail->attachments, (std::vector<std::string>{"/a/x.pdf", "/a/X.pdf"}));
    EXPECT_EQ(mail->body, "line one\r\nzwei \xc3\xbc\r\n");

    // A body beyond the bound is not read at all rather than cut.
    dir.Write("mail/5.txt", std::string(kMaxBodyBytes + 1, 'x'));
    EXPECT_EQ(LoadStoredMail(5, "", "")->body, "");
    EXPECT_FALSE(LoadStoredMail(0, "", "")) << "mail id 0 is no mail";

    // A count no mail has is not taken at its word.
    dir.Write("mail/6.cfg", "[MailInfo]\r\nAttachNumber=2147483647\r\nAttach1=/a/y.pdf\r\n");
    EXPECT_EQ(LoadStoredMail(6, "", "")->attachments, std::vector<std::string>{"/a/y.pdf"});
}

TEST_F(MailFilesTest, SampleMailIsWrittenOnceAndNeverOverwritten) {
    ASSERT_TRUE(EnsureSampleMail());
    const std::string mail = dir.Read("help/9999000001.eml");
    EXPECT_NE(mail.find("Subject: "), std::string::npos);
    EXPECT_NE(mail.find("\r\n\r\n"), std::string::npos) << "headers, a blank line, the text";
    EXPECT_EQ(MailInfo("help/9999000001.cfg", "MailId"), "0");

    dir.Write("help/9999000001.cfg", "[MailInfo]\r\nMailId=0\r\nRcptTo0=me@x.org\r\n");
    dir.Write("help/9999000001.eml", "mine");
    ASSERT_TRUE(EnsureSampleMail());
    EXPECT_EQ(dir.Read("help/9999000001.eml"), "mine");
    EXPECT_EQ(MailInfo("help/9999000001.cfg", "RcptTo0"), "me@x.org");

    std::filesystem::remove(dir.File("help/9999000001.cfg"));
    ASSERT_TRUE(EnsureSampleMail());
    EXPECT_EQ(dir.Read("help/9999000001.eml"), "mine");
    EXPECT_EQ(MailInfo("help/9999000001.cfg", "MailId"), "0");
}

// The refusals the dialog shows by its focus are tested with the dialog; these are the rest.
TEST_F(MailFilesTest, DiagnoseSendFindsTheCompanionAndTheRelayEntry) {
    dir.Write("mail/3.eml", "x");
    dir.Write("mail/3.cfg", "[MailInfo]\r\nMailId=3\r\n");
    dir.Write("other.eml", "x");  // no companion
    struct Case {
        DiagnoseSendRequest request;
        DiagnoseSendFault fault;
    };
    const std::string mail3 = dir.File("mail/3.eml");
    const Case cases[] = {
        // a mail without companion goes out with the companion of the mail id it was given
        {{3, "a@x.org", "b@y.org", dir.File("other.eml"), 0, {}}, DiagnoseSendFault::kNone},
        {{0, "", "Joe <b@y.org>", mail3, 1, {"relay1"}}, DiagnoseSendFault::kNone},
        {{3, "a@x.org", "b@y.org", mail3, 2, {"relay1"}}, DiagnoseSendFault::kSendVia},
        {{3, "a@x.org", "b@y.org", mail3, -1, {"relay1"}}, DiagnoseSendFault::kSendVia},
    };
    for (const Case& c : cases) {
        const DiagnoseSendPlan plan = PlanDiagnoseSend(c.request);
        EXPECT_EQ(plan.fault, c.fault) << c.request.mailPath << " " << c.request.sendVia;
        if (c.fault == DiagnoseSendFault::kNone) {
            EXPECT_EQ(plan.companionPath, dir.File("mail/3.cfg"));
            EXPECT_EQ(plan.recipient, "b@y.org");
        }
    }
}

TEST(TranscriptLineTest, TodaysDateGoesAndEveryLineEndsOnce) {
    struct Case {
        std::string line;
        std::string expected;
    };
    const std::string today = "2026-12-07 ";
    const Case cases[] = {
        {"2026-12-07 10:00:01 S/127.0.0.1:25 220 ready", "10:00:01 S/127.0.0.1:25 220 ready\n"},
        {"2026-12-06 23:59:59 yesterday stays", "2026-12-06 23:59:59 yesterday stays\n"},
        {"a 2026-12-07 b 2026-12-07 c", "a b c\n"},
        {"2026-12-07x no blank, no date removed", "2026-12-07x no blank, no date removed\n"},
        {"one\r\ntwo\rthree\nfour", "one\ntwo\nthree\nfour\n"},
        {"", "\n"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TranscriptLine(c.line, today), c.expected);
    }
    EXPECT_EQ(TodayPrefix().size(), 11u);
    EXPECT_EQ(TodayPrefix().back(), ' ');
}

// What the queue view and the diagnose dialog show of the checks made on arrival: only the
// header section's results fields, unfolded, bounded in number and length.
TEST(ArrivalResultsTest, OnlyTheHeaderSectionsResultsAreShownUnfolded) {
    std::string many;
    for (int i = 0; i < 12; ++i) {
        many += "Authentication-Results: mx.test; spf=none\r\n";
    }
    many += "\r\nbody\r\n";
    const struct {
        const char* name;
        std::string message;
        std::vector<std::string> results;
    } cases[] = {
        {"folded and in any letter case",
         "authentication-RESULTS: mx.test;\r\n\tdkim=pass header.d=a.test;\r\n  spf=pass\r\n"
         "Received: from x\r\n\r\nbody\r\n",
         {"mx.test; dkim=pass header.d=a.test; spf=pass"}},
        {"none in the header, one in the body",
         "Subject: x\r\n\r\nAuthentication-Results: mx.test; dkim=pass\r\n",
         {}},
        {"bare line ends, two fields",
         "Authentication-Results: a; spf=fail\nX: y\nAuthentication-Results: b; dmarc=fail\n",
         {"a; spf=fail", "b; dmarc=fail"}},
        {"a name that only begins alike", "Authentication-Results-X: a; spf=pass\r\n\r\n", {}},
        {"control characters dropped",
         "Authentication-Results: a;\x01 spf=pass\r\n",
         {"a; spf=pass"}},
        {"at most eight", many, std::vector<std::string>(8, "mx.test; spf=none")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ArrivalResults(c.message), c.results);
    }
    const auto cut = ArrivalResults("Authentication-Results: " + std::string(10000, 'x') + "\r\n");
    ASSERT_EQ(cut.size(), 1u);
    EXPECT_EQ(cut[0].size(), kMaxArrivalResultLength + 3);
    EXPECT_EQ(ArrivalResultsText({"a; spf=pass", "b; dkim=none"}),
              "Checks on arrival: a; spf=pass\nChecks on arrival: b; dkim=none");
}
