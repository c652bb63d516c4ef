// The pure protocol pieces: command lines, the DATA reader, and the SASL helpers.
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "common/mail_address.h"
#include "smtp/auth_failures.h"
#include "smtp/command_parser.h"
#include "smtp/data_reader.h"
#include "smtp/header_bounds.h"
#include "smtp/sasl.h"

namespace relvo::mail::smtp {
namespace {

struct CommandCase {
    std::string line;
    Verb verb;
    CommandError error;
    std::string argumentOrAddress;  // the argument, or for MAIL/RCPT the address
};

TEST(CommandParser, VerbsArgumentsAndErrors) {
    const std::vector<CommandCase> cases = {
        {"EHLO client.example", Verb::kEhlo, CommandError::kNone, "client.example"},
        {"ehlo client.example (comment)", Verb::kEhlo, CommandError::kNone, "client.example"},
        {"HELO [192.0.2.1]", Verb::kHelo, CommandError::kNone, "[192.0.2.1]"},
        {"EHLO", Verb::kEhlo, CommandError::kSyntax, ""},
        {"EHLO   ", Verb::kEhlo, CommandError::kSyntax, ""},
        {"MAIL FROM:<a@b.example>", Verb::kMail, CommandError::kNone, "a@b.example"},
        {"mail from: <a@b.example>", Verb::kMail, CommandError::kNone, "a@b.example"},
        {"MAIL FROM:<>", Verb::kMail, CommandError::kNone, ""},
        {"MAIL FROM:<@relay.example,@r2.example:a@b.example>", Verb::kMail, CommandError::kNone,
         "a@b.example"},
        {"MAIL FROM:<\"odd>name\"@b.example>", Verb::kMail, CommandError::kNone,
         "\"odd>name\"@b.example"},
        {"MAIL FROM:<j\xc3\xbcrgen@b\xc3\xa4r.example> SMTPUTF8", Verb::kMail, CommandError::kNone,
         "j\xc3\xbcrgen@b\xc3\xa4r.example"},
        {"MAIL FROM:a@b.example", Verb::kMail, CommandError::kSyntax, ""},
        {"MAIL TO:<a@b.example>", Verb::kMail, CommandError::kSyntax, ""},
        {"MAIL FROM:<a@b.example", Verb::kMail, CommandError::kBadAddress, ""},
        {"MAIL FROM:<a@b.example>x", Verb::kMail, CommandError::kSyntax, "a@b.example"},
        {"MAIL FROM:<no-at-sign>", Verb::kMail, CommandError::kBadAddress, ""},
        {"MAIL FROM:<a..b@b.example>", Verb::kMail, CommandError::kBadAddress, ""},
        {"MAIL FROM:<.a@b.example>", Verb::kMail, CommandError::kBadAddress, ""},
        {"MAIL FROM:<a@b..example>", Verb::kMail, CommandError::kBadAddress, ""},
        {"MAIL FROM:<a b@b.example>", Verb::kMail, CommandError::kBadAddress, ""},
        {"MAIL FROM:<a@b.example> SIZE=100 BODY=8BITMIME", Verb::kMail, CommandError::kNone,
         "a@b.example"},
        {"MAIL FROM:<a@b.example> AUTH=<>", Verb::kMail, CommandError::kNone, "a@b.example"},
        {"MAIL FROM:<a@b.example> SIZE=abc", Verb::kMail, CommandError::kBadParameterValue,
         "a@b.example"},
        {"MAIL FROM:<a@b.example> SIZE=99999999999999999999999", Verb::kMail,
         CommandError::kBadParameterValue, "a@b.example"},
        {"MAIL FROM:<a@b.example> SIZE", Verb::kMail, CommandError::kBadParameterValue,
         "a@b.example"},
        {"MAIL FROM:<a@b.example> BODY=BINARYMIME", Verb::kMail, CommandError::kBadParameterValue,
         "a@b.example"},
        {"MAIL FROM:<a@b.example> SMTPUTF8=yes", Verb::kMail, CommandError::kBadParameterValue,
         "a@b.example"},
        {"MAIL FROM:<a@b.example> RET=FULL", Verb::kMail, CommandError::kUnknownParameter,
         "a@b.example"},
        {"MAIL FROM:<a@b.example> =x", Verb::kMail, CommandError::kSyntax, "a@b.example"},
        {"RCPT TO:<user@local.example>", Verb::kRcpt, CommandError::kNone, "user@local.example"},
        {"RCPT TO:<>", Verb::kRcpt, CommandError::kBadAddress, ""},
        {"RCPT TO:<user@[192.0.2.7]>", Verb::kRcpt, CommandError::kNone, "user@[192.0.2.7]"},
        {"RCPT TO:<user@local.example> NOTIFY=NEVER", Verb::kRcpt, CommandError::kUnknownParameter,
         "user@local.example"},
        {"RCPT TO:<" + std::string(65, 'a') + "@b.example>", Verb::kRcpt, CommandError::kBadAddress,
         ""},
        {"RCPT TO:<a@" + std::string(64, 'b') + ".example>", Verb::kRcpt, CommandError::kBadAddress,
         ""},
        {"DATA", Verb::kData, CommandError::kNone, ""},
        {"DATA now", Verb::kData, CommandError::kSyntax, ""},
        {"RSET", Verb::kRset, CommandError::kNone, ""},
        {"NOOP anything", Verb::kNoop, CommandError::kNone, "anything"},
        {"QUIT", Verb::kQuit, CommandError::kNone, ""},
        {"VRFY postmaster", Verb::kVrfy, CommandError::kNone, "postmaster"},
        {"VRFY", Verb::kVrfy, CommandError::kSyntax, ""},
        {"HELP", Verb::kHelp, CommandError::kNone, ""},
        {"STARTTLS", Verb::kStartTls, CommandError::kNone, ""},
        {"AUTH PLAIN", Verb::kAuth, CommandError::kNone, "PLAIN"},
        {"AUTH LOGIN dXNlcg==", Verb::kAuth, CommandError::kNone, "LOGIN"},
        {"AUTH", Verb::kAuth, CommandError::kSyntax, ""},
        {"AUTH PLAIN a b", Verb::kAuth, CommandError::kSyntax, "PLAIN"},
        {"EXPN staff", Verb::kUnknown, CommandError::kUnknownVerb, ""},
        {"BDAT 10 LAST", Verb::kUnknown, CommandError::kUnknownVerb, ""},
        {"", Verb::kUnknown, CommandError::kUnknownVerb, ""},
        {"MAILFROM:<a@b.example>", Verb::kUnknown, CommandError::kUnknownVerb, ""},
        {"NOOP \r", Verb::kUnknown, CommandError::kBadCharacters, ""},
        {std::string("NOOP \0", 6), Verb::kUnknown, CommandError::kBadCharacters, ""},
        {"NOOP \x7f", Verb::kUnknown, CommandError::kBadCharacters, ""},
    };
    for (const CommandCase& c : cases) {
        SCOPED_TRACE(c.line);
        Command command = ParseCommand(c.line);
        EXPECT_EQ(command.verb, c.verb);
        EXPECT_EQ(command.error, c.error);
        if (c.verb == Verb::kMail || c.verb == Verb::kRcpt) {
            EXPECT_EQ(command.address, c.argumentOrAddress);
        } else {
            EXPECT_EQ(command.argument, c.argumentOrAddress);
        }
    }
}

TEST(CommandParser, MailParametersAndAuthResponse) {
    Command mail = ParseCommand("MAIL FROM:<a@b.example> size=12345 body=7bit SMTPUTF8");
    EXPECT_EQ(mail.error, CommandError::kNone);
    EXPECT_TRUE(mail.hasSize);
    EXPECT_EQ(mail.size, 12345u);
    EXPECT_EQ(mail.body, BodyType::k7Bit);
    EXPECT_TRUE(mail.smtpUtf8);

    Command plain = ParseCommand("MAIL FROM:<a@b.example>");
    EXPECT_FALSE(plain.hasSize);
    EXPECT_EQ(plain.body, BodyType::kUnspecified);
    EXPECT_FALSE(plain.smtpUtf8);

    Command auth = ParseCommand("AUTH PLAIN AHVzZXIAcGFzcw==");
    EXPECT_TRUE(auth.hasInitialResponse);
    EXPECT_EQ(auth.initialResponse, "AHVzZXIAcGFzcw==");
    EXPECT_FALSE(ParseCommand("AUTH LOGIN").hasInitialResponse);
}

TEST(CommandParser, LineEndsAndDomains) {
    size_t endLength = 0;
    EXPECT_EQ(FindLineEnd("NOOP\r\nQUIT\r\n", &endLength), 4u);
    EXPECT_EQ(endLength, 2u);
    EXPECT_EQ(FindLineEnd("NOOP\nQUIT\r\n", &endLength), 4u);
    EXPECT_EQ(endLength, 1u);
    EXPECT_EQ(FindLineEnd("NOOP\r", &endLength), std::string_view::npos);
    EXPECT_EQ(FindLineEnd("", &endLength), std::string_view::npos);

    EXPECT_EQ(MailboxDomain("\"a@b\"@c.example"), "c.example");
    EXPECT_EQ(MailboxDomain("nobody"), "");
}

// Feeds the input in pieces of the given size and returns the reader and bytes consumed.
struct DataResult {
    bool done = false;
    DataReader::Error error = DataReader::Error::kNone;
    std::string body;
    size_t consumed = 0;
};

DataResult ReadData(const std::string& input, size_t piece, size_t maxSize = 1 << 20) {
    DataReader reader(maxSize);
    DataResult result;
    while (result.consumed < input.size() && !reader.Done()) {
        std::string_view chunk = std::string_view(input).substr(result.consumed, piece);
        result.consumed += reader.Feed(chunk);
    }
    result.done = reader.Done();
    result.error = reader.error();
    result.body = reader.Body();
    return result;
}

struct DataCase {
    std::string name;
    std::string input;
    bool done;
    DataReader::Error error;
    std::string body;  // checked when error is kNone
    size_t consumed;   // bytes used; the rest belongs to the next commands
};

TEST(DataReader, EndsOnlyAtCrLfDotCrLfAtAnySplit) {
    using E = DataReader::Error;
    const std::string next = "QUIT\r\n";
    const std::vector<DataCase> cases = {
        {"empty message", ".\r\n" + next, true, E::kNone, "", 3},
        {"one line", "Hello\r\n.\r\n" + next, true, E::kNone, "Hello\r\n", 10},
        {"dot stuffing", "..leading\r\n...\r\n.x\r\n.\r\n", true, E::kNone,
         ".leading\r\n..\r\nx\r\n", 23},
        {"dot inside a line", "a.\r\nb\r\n.\r\n", true, E::kNone, "a.\r\nb\r\n", 10},
        {"no end yet", "Hello\r\n", false, E::kNone, "Hello\r\n", 7},
        {"LF.LF does not end", "a\n.\nMAIL FROM:<x@y.example>\r\n.\r\n", true, E::kBareLineEnd, "",
         32},
        {"CR.CR does not end", "a\r.\rRCPT TO:<x@y.example>\r\n.\r\n", true, E::kBareLineEnd, "",
         30},
        {"CRLF.LF does not end", "a\r\n.\nb\r\n.\r\n", true, E::kBareLineEnd, "", 11},
        {"LF.CRLF does not end", "a\n.\r\nb\r\n.\r\n", true, E::kBareLineEnd, "", 11},
        {"CRLF.CR does not end", "a\r\n.\rb\r\n.\r\n", true, E::kBareLineEnd, "", 11},
        {"bare LF inside", "a\nb\r\n.\r\n", true, E::kBareLineEnd, "", 8},
        {"bare CR inside", "a\rb\r\n.\r\n", true, E::kBareLineEnd, "", 8},
        {"CR CR LF", "a\r\r\n.\r\n", true, E::kBareLineEnd, "", 7},
        {"NUL", std::string("a\0b\r\n.\r\n", 8), true, E::kNul, "", 8},
        {"NUL after a bare LF", std::string("a\n\0\r\n.\r\n", 8), true, E::kBareLineEnd, "", 8},
        {"too big", std::string(200, 'x') + "\r\n.\r\n", true, E::kTooBig, "", 205},
        {"exactly the limit", std::string(98, 'x') + "\r\n.\r\n", true, E::kNone,
         std::string(98, 'x') + "\r\n", 103},
    };
    for (const DataCase& c : cases) {
        for (size_t piece : {size_t{1}, size_t{2}, size_t{3}, size_t{7}, size_t{4096}}) {
            SCOPED_TRACE(c.name + " in pieces of " + std::to_string(piece));
            DataResult result = ReadData(c.input, piece, 100);
            EXPECT_EQ(result.done, c.done);
            EXPECT_EQ(result.error, c.error);
            EXPECT_EQ(result.consumed, c.consumed);
            if (c.error == E::kNone) {
                EXPECT_EQ(result.body, c.body);
            } else {
                EXPECT_TRUE(result.body.empty());
            }
        }
    }
}

// The header section's bounds, whatever the pieces the text comes in: the section counts up to
// its empty line, a field with its continuation lines, and nothing after the section counts.
TEST(HeaderBounds, SectionAndFieldAtAnySplit) {
    using V = HeaderBounds::Verdict;
    const std::string field = "Subject: " + std::string(40, 's') + "\r\n";  // 51 bytes
    auto times = [](const std::string& text, int n) {
        std::string out;
        for (int i = 0; i < n; ++i) {
            out += text;
        }
        return out;
    };
    const std::string folded = "To: a@b.example,\r\n" + times(" c@d.example,\r\n", 8);
    const std::vector<std::tuple<std::string, std::string, V>> cases = {
        // name, text, verdict with a section bound of 500 and a field bound of 100
        {"short section, long body", field + "\r\n" + times(field, 50), V::kWithin},
        {"section exactly at the bound",
         times(field, 9) + "X: " + std::string(34, 'x') + "\r\n\r\n", V::kWithin},
        {"section one byte over", times(field, 9) + "X: " + std::string(35, 'x') + "\r\n\r\n",
         V::kSectionTooBig},
        {"many short lines, no end", times("A: b\r\n", 200), V::kSectionTooBig},
        {"continuation lines count in the field", folded, V::kFieldTooLong},
        {"the same lines as fields", times("To: c@d.example,\r\n", 8) + "\r\n", V::kWithin},
        {"a line that is no field starts the body", "no field here\r\n" + times(field, 20),
         V::kWithin},
        {"a continuation without a field starts the body", " x\r\n" + times(field, 20), V::kWithin},
        {"one long line without its end", "X: " + std::string(600, 'y'), V::kFieldTooLong},
    };
    for (const auto& [name, text, verdict] : cases) {
        for (size_t piece : {size_t{1}, size_t{3}, size_t{64}, text.size()}) {
            SCOPED_TRACE(name + " in pieces of " + std::to_string(piece));
            HeaderBounds bounds(500, 100);
            V seen = V::kWithin;
            for (size_t at = 0; at < text.size(); at += piece) {
                seen = bounds.Scan(std::string_view(text).substr(at, piece));
            }
            EXPECT_EQ(seen, verdict);
        }
    }
}

TEST(DataReader, ResetStartsAFreshMessage) {
    DataReader reader(10);
    reader.Feed(std::string(20, 'x'));
    EXPECT_EQ(reader.error(), DataReader::Error::kTooBig);
    reader.Reset(1000);
    EXPECT_EQ(reader.Feed("ok\r\n.\r\n"), 7u);
    EXPECT_TRUE(reader.Done());
    EXPECT_EQ(reader.error(), DataReader::Error::kNone);
    EXPECT_EQ(reader.Body(), "ok\r\n");
}

// Random input: the parser never crashes, views stay inside the line, and the DATA reader gives
// the same verdict however the input is split; any accepted body has only CRLF line ends and
// never a line that is a lone dot.
TEST(RandomInput, ParserAndDataReaderHoldTheirPromises) {
    std::mt19937 random(20261207);
    std::string alphabet = "\r\n.:<>@ \"\\=ABCDEFILMNOPRSTVXZabz0129\x80\xc3";
    alphabet.push_back('\0');
    auto randomText = [&](size_t length) {
        std::string text;
        for (size_t i = 0; i < length; ++i) {
            text.push_back(alphabet[random() % alphabet.size()]);
        }
        return text;
    };
    const std::vector<std::string> prefixes = {"MAIL FROM:<", "RCPT TO:<", "AUTH ", "EHLO ", ""};
    for (int round = 0; round < 20000; ++round) {
        std::string line = prefixes[random() % prefixes.size()] + randomText(random() % 60);
        Command command = ParseCommand(line);
        for (std::string_view view : {command.address, command.argument, command.initialResponse}) {
            if (!view.empty()) {
                ASSERT_GE(view.data(), line.data());
                ASSERT_LE(view.data() + view.size(), line.data() + line.size());
            }
        }
        if (command.error == CommandError::kNone && !command.address.empty()) {
            ASSERT_TRUE(IsValidMailbox(command.address)) << line;
        }

        std::string data = randomText(random() % 200) + "\r\n.\r\n";
        DataResult whole = ReadData(data, data.size());
        DataResult split = ReadData(data, 1 + random() % 5);
        ASSERT_EQ(whole.done, split.done);
        ASSERT_EQ(whole.error, split.error);
        ASSERT_EQ(whole.body, split.body);
        ASSERT_EQ(whole.consumed, split.consumed);
        ASSERT_TRUE(whole.done);
        if (whole.error == DataReader::Error::kNone) {
            for (size_t i = 0; i < whole.body.size(); ++i) {
                if (whole.body[i] == '\n') {
                    ASSERT_TRUE(i > 0 && whole.body[i - 1] == '\r');
                }
                if (whole.body[i] == '\r') {
                    ASSERT_TRUE(i + 1 < whole.body.size() && whole.body[i + 1] == '\n');
                }
            }
        }
    }
}

TEST(Sasl, PlainMessages) {
    auto ok = ParsePlainMessage(std::string("\0alice@x.example\0pw", 19));
    ASSERT_TRUE(ok.has_value());
    EXPECT_EQ(ok->user, "alice@x.example");
    EXPECT_EQ(ok->password, "pw");
    EXPECT_TRUE(ParsePlainMessage(std::string("ALICE@x.example\0alice@x.example\0pw", 34)));
    // Acting for another account, missing parts or an extra NUL: refused.
    EXPECT_FALSE(ParsePlainMessage(std::string("bob@x.example\0alice@x.example\0pw", 32)));
    EXPECT_FALSE(ParsePlainMessage(std::string("\0alice@x.example", 16)));
    EXPECT_FALSE(ParsePlainMessage(std::string("\0\0pw", 4)));
    EXPECT_FALSE(ParsePlainMessage(std::string("\0a@x.example\0pw\0", 16)));

    EXPECT_TRUE(PasswordsEqual("secret", "secret"));
    EXPECT_FALSE(PasswordsEqual("secret", "Secret"));
    EXPECT_FALSE(PasswordsEqual("secret", "secret "));
    EXPECT_FALSE(PasswordsEqual("", "x"));
}

// A window starts afresh after 15 minutes, a block ends after its 15 minutes, and the table keeps
// its bound without pushing out a block.
TEST(AuthFailureTable, WindowBlockAndBound) {
    using namespace std::chrono_literals;
    AuthFailureTable table(3);
    const auto t0 = AuthFailureTable::Clock::now();
    const std::vector<std::tuple<std::chrono::minutes, bool, bool>> steps = {
        // minutes after t0, block starts, blocked afterwards (limit 3)
        {0min, false, false},  {1min, false, false}, {15min, false, false},  // a new window
        {15min, false, false}, {16min, true, true},  {30min, false, true},  {32min, false, false},
    };
    for (const auto& [at, starts, blocked] : steps) {
        if (!table.Blocked("a", t0 + at)) {
            EXPECT_EQ(table.RecordFailure("a", 3, t0 + at), starts) << at.count();
        }
        EXPECT_EQ(table.Blocked("a", t0 + at + 1s), blocked) << at.count();
    }
    // Full of blocked keys and one unblocked ("a"): the unblocked one goes, the blocks stay
    // however many new keys come, and come back to count once their blocks have ended.
    for (const char* key : {"b", "c", "d", "e", "f"}) {
        table.RecordFailure(key, 1, t0 + 40min);
    }
    EXPECT_EQ(table.Size(), 3u);
    for (const char* key : {"b", "c", "d"}) {
        EXPECT_TRUE(table.Blocked(key, t0 + 41min)) << key;
    }
    EXPECT_FALSE(table.Blocked("e", t0 + 41min));
    EXPECT_TRUE(table.RecordFailure("e", 1, t0 + 56min));
    EXPECT_TRUE(table.Blocked("e", t0 + 57min));
    EXPECT_EQ(table.Size(), 1u);  // the ended blocks made room
}

}  // namespace
}  // namespace relvo::mail::smtp
