// The SEND service's pure pieces: replies read from arbitrary chunks, EHLO capabilities, the DATA
// payload, the retry schedule and the Maildir.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <filesystem>
#include <sstream>

#include "net/dns_lookup.h"
#include "send/route/maildir.h"
#include "send/send_queue.h"
#include "send/transport/smtp_reply.h"

namespace relvo::mail::send {
namespace {

struct ReplyCase {
    const char* name;
    std::string bytes;
    std::vector<int> codes;  // replies expected, in order
    bool error;              // the stream ends in an error
};

TEST(ReplyReaderTest, ReadsRepliesWhateverTheChunking) {
    std::string longLine = "250 " + std::string(ReplyReader::kMaxLine, 'x') + "\r\n";
    std::string manyLines;
    for (size_t i = 0; i <= ReplyReader::kMaxLines; ++i) {
        manyLines += "250-line\r\n";
    }
    const std::vector<ReplyCase> cases = {
        {"single", "220 ready\r\n", {220}, false},
        {"multi-line then single", "250-a\r\n250-b\r\n250 c\r\n354 go\r\n", {250, 354}, false},
        {"bare LF and code alone", "250-a\n250\n", {250}, false},
        {"pipelined group", "250 ok\r\n250 ok\r\n550 no\r\n", {250, 250, 550}, false},
        {"codes differ inside a reply", "250-a\r\n251 b\r\n", {}, true},
        {"not a reply", "hello\r\n", {}, true},
        {"code out of range", "650 x\r\n", {}, true},
        {"bad separator", "250+x\r\n", {}, true},
        {"line too long", longLine, {}, true},
        {"too many lines", manyLines, {}, true},
        {"endless line without newline", std::string(ReplyReader::kMaxLine + 10, '2'), {}, true},
    };
    for (const ReplyCase& c : cases) {
        for (size_t chunk : {size_t(1), size_t(3), c.bytes.size()}) {
            SCOPED_TRACE(std::string(c.name) + " chunk " + std::to_string(chunk));
            ReplyReader reader;
            std::vector<int> codes;
            bool error = false;
            for (size_t at = 0; at < c.bytes.size() && !error; at += chunk) {
                reader.Append(std::string_view(c.bytes).substr(at, chunk));
                Reply reply;
                std::string why;
                for (;;) {
                    ReplyReader::Status status = reader.Next(&reply, &why);
                    if (status == ReplyReader::Status::kReply) {
                        codes.push_back(reply.code);
                    } else {
                        error = status == ReplyReader::Status::kError;
                        break;
                    }
                }
            }
            EXPECT_EQ(codes, c.codes);
            EXPECT_EQ(error, c.error);
        }
    }
}

TEST(ReplyReaderTest, KeepsTheLinesOfAReply) {
    ReplyReader reader;
    reader.Append("250-mx.test greets you\r\n250-SIZE 1000\r\n250 AUTH LOGIN PLAIN\r\n");
    Reply reply;
    std::string why;
    ASSERT_EQ(reader.Next(&reply, &why), ReplyReader::Status::kReply);
    EXPECT_EQ(reply.Summary(), "250 mx.test greets you / SIZE 1000 / AUTH LOGIN PLAIN");
    EXPECT_FALSE(reader.Buffered());

    // What the server says is shown, never obeyed: a terminal escape reaches no log.
    reader.Append("550 no\x1b]0;owned\x07 such\tuser\r\n");
    ASSERT_EQ(reader.Next(&reply, &why), ReplyReader::Status::kReply);
    EXPECT_EQ(reply.Summary(), "550 no?]0;owned? such?user");
}

TEST(CapabilitiesTest, ReadsWhatTheServerOffers) {
    struct Case {
        std::vector<std::string> lines;
        bool startTls, pipelining, eightBit, utf8, plain, login;
        uint64_t size;
    };
    const std::vector<Case> cases = {
        {{"mx.test"}, false, false, false, false, false, false, 0},
        {{"mx.test", "starttls", "PIPELINING", "8BITMIME", "SMTPUTF8", "SIZE 52428800",
          "AUTH LOGIN PLAIN"},
         true,
         true,
         true,
         true,
         true,
         true,
         52428800},
        {{"mx.test", "AUTH=LOGIN", "AUTH CRAM-MD5", "SIZE"},
         false,
         false,
         false,
         false,
         false,
         false,
         0},
        {{"mx.test", "SIZE 99999999999999999999999", "AUTH  login"},
         false,
         false,
         false,
         false,
         false,
         true,
         0},
    };
    for (const Case& c : cases) {
        Reply reply;
        reply.code = 250;
        reply.lines = c.lines;
        Capabilities caps = ParseEhlo(reply);
        SCOPED_TRACE(reply.Summary());
        EXPECT_EQ(caps.startTls, c.startTls);
        EXPECT_EQ(caps.pipelining, c.pipelining);
        EXPECT_EQ(caps.eightBitMime, c.eightBit);
        EXPECT_EQ(caps.smtpUtf8, c.utf8);
        EXPECT_EQ(caps.authPlain, c.plain);
        EXPECT_EQ(caps.authLogin, c.login);
        EXPECT_EQ(caps.maxSize, c.size);
    }
}

TEST(DataPayloadTest, StuffsDotsAndEndsLines) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", ".\r\n"},
        {"a\r\nb\r\n", "a\r\nb\r\n.\r\n"},
        {"a\nb", "a\r\nb\r\n.\r\n"},
        {".\r\n", "..\r\n.\r\n"},
        {"x\r\n.hidden\r\n..two\r\n", "x\r\n..hidden\r\n...two\r\n.\r\n"},
        {"bare\rcr", "bare\r\ncr\r\n.\r\n"},
        {"mid.dot\r\n", "mid.dot\r\n.\r\n"},
    };
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(DataPayload(in), out) << in;
    }
}

TEST(QueueStateTest, RetryScheduleGrowsAndIsBounded) {
    EXPECT_EQ(RetryDelay(1, 600), 600);
    EXPECT_EQ(RetryDelay(2, 600), 1200);
    EXPECT_EQ(RetryDelay(3, 600), 2400);
    EXPECT_EQ(RetryDelay(60, 600), 7 * 86400);
    EXPECT_EQ(StateText(kStateFailed, "550 a\r\nb\"c"), "failed 550 a??b?c");
    EXPECT_TRUE(IsFinalState("delivered 250 ok"));
    EXPECT_TRUE(IsFinalState("failed 550"));
    EXPECT_FALSE(IsFinalState("pending 451 later"));
    EXPECT_TRUE(net::IsNullMx({{0, "."}}));
    EXPECT_FALSE(net::IsNullMx({{0, "."}, {10, "mx.test"}}));
    EXPECT_FALSE(net::IsNullMx({{10, "mx.test"}}));
}

// An entry is handed out once while due, never while its try runs or after it left the queue.
TEST(ScheduleTest, HandsOutEachDueEntryOnceInArrivalOrder) {
    struct Case {
        const char* name;
        std::function<void(Schedule&)> steps;
        std::int64_t now;
        std::vector<uint32_t> due;
    };
    auto tried = [](Schedule& s, std::int64_t nextTry, bool left) {
        s.Learn(1);
        s.TakeDue(100);
        s.Finished(1, nextTry, left);
    };
    const std::vector<Case> cases = {
        {"arrival order, each once",
         [](Schedule& s) { s.Learn(3), s.Learn(1), s.Learn(3); },
         100,
         {1, 3}},
        {"not while being tried",
         [](Schedule& s) { s.Learn(1), s.TakeDue(100), s.Learn(1); },
         100,
         {}},
        {"not after it left", [&](Schedule& s) { tried(s, 0, true), s.Learn(1); }, 100, {}},
        {"not before its next try",
         [&](Schedule& s) { tried(s, 150, false), s.Learn(2); },
         149,
         {2}},
        {"at its next try", [&](Schedule& s) { tried(s, 150, false); }, 150, {1}},
        {"retried while waiting", [&](Schedule& s) { tried(s, 150, false), s.Retry(1); }, 100, {1}},
        {"retried during its try",
         [](Schedule& s) { s.Learn(1), s.TakeDue(100), s.Retry(1), s.Finished(1, 150, false); },
         100,
         {1}},
    };
    for (const Case& c : cases) {
        Schedule schedule;
        c.steps(schedule);
        std::vector<uint32_t> due;
        while (std::optional<uint32_t> id = schedule.TakeDue(c.now)) {
            due.push_back(*id);
        }
        EXPECT_EQ(due, c.due) << c.name;
    }
}

TEST(MaildirTest, StoresIntoNewAndRefusesNamesThatLeaveTheMailbox) {
    std::string base = (std::filesystem::temp_directory_path() / "relvo-maildir-XXXXXX").string();
    ASSERT_NE(mkdtemp(base.data()), nullptr);
    struct Case {
        std::string recipient;
        bool stored;
    };
    const std::vector<Case> cases = {
        {"Box@Local.Test", true},        {"../evil@local.test", false},
        {"a/b@local.test", false},       {"box@../x", false},
        {".@local.test", false},         {"@local.test", false},
        {"tab\tname@local.test", false},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_EQ(WriteMaildir(base + "/mailbox", c.recipient, "from@a.test",
                               "Subject: s\r\n\r\nbody\r\n", &error),
                  c.stored)
            << c.recipient << ": " << error;
    }
    // Only the one good mailbox exists, with the mail in new/ and nothing left in tmp/.
    std::vector<std::string> files;
    for (const auto& e : std::filesystem::recursive_directory_iterator(base)) {
        if (e.is_regular_file()) {
            files.push_back(std::filesystem::relative(e.path(), base).parent_path().string());
        }
    }
    EXPECT_EQ(files, std::vector<std::string>{"mailbox/local.test/Box/new"});
    std::filesystem::remove_all(base);
}

}  // namespace
}  // namespace relvo::mail::send
