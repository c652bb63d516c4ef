// The address rules on ordinary sender and recipient texts and on hostile ones: no "@", "@" at
// either end, nested quotes and brackets, second lines that could reach an SMTP command.
#include "common/mail_address.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

struct Case {
    std::optional<std::string> text;
    std::string expected;
};

std::string Shown(const std::optional<std::string>& text) {
    return text ? "\"" + *text + "\"" : "<none>";
}

}  // namespace

TEST(ExtractMailAddressTest, GivesTheBareAddressOfEveryForm) {
    const Case cases[] = {Case{std::nullopt, ""}, Case{"", ""}, Case{" \t ", ""},
                          Case{"a@b.c", "a@b.c"}, Case{"  joe@x.org  ", "joe@x.org"},
                          Case{"\"Joe Bloggs\" <joe@x.org>", "joe@x.org"},
                          Case{"Joe Bloggs <joe@x.org>", "joe@x.org"},
                          Case{"<joe@x.org>", "joe@x.org"}, Case{"< joe@x.org >", "joe@x.org"},
                          Case{"\"Joe\" joe@x.org", "joe@x.org"}, Case{"joe@x.org>", "joe@x.org"},
                          Case{"Joe <joe@x.org", "joe@x.org"}, Case{"Joe <a@b.c> <d@e.f>", "a@b.c"},
                          Case{"\"Last, First\" <user@example.com>", "user@example.com"},
                          Case{"\"x\" y <z@example.com> trailing", "z@example.com"},
                          Case{"a<b@example.com>c", "b@example.com"}, Case{"<", ""},
                          // only the first "@" is examined
                          Case{"a@b@c", "a@b@c"}, Case{"a@b", "a@b"}};
    for (const Case& c : cases) {
        EXPECT_EQ(ExtractMailAddress(c.text), c.expected) << Shown(c.text);
    }
}

TEST(ExtractMailAddressTest, GivesNothingOrOnlyTheFirstLineForHostileTexts) {
    const Case cases[] = {
        Case{"joe", ""}, Case{"Joe Bloggs <joe>", ""}, Case{"@x.org", ""}, Case{"joe@", ""},
        Case{"<@x.org>", ""}, Case{"<joe@>", ""}, Case{"<>", ""}, Case{"\"a@b.c\"", ""},
        Case{"\"Joe\"", ""}, Case{"\"Joe \"the\" Bloggs\" <joe@x.org>", "joe@x.org"},
        // the text after the last quote counts, even inside the brackets
        Case{"<jo\"e@x.org>", "e@x.org"},
        // what is left between nested brackets still holds one: no address
        Case{"<<joe@x.org>>", ""}, Case{"Joe <x <joe@x.org>>", ""},
        // a second line never reaches the address, whichever line break starts it
        Case{"joe@x.org\r\nRCPT TO:<evil@y.org>", "joe@x.org"},
        Case{"joe@x.org\nRCPT TO:<evil@y.org>", "joe@x.org"}, Case{"joe@x.org\rDATA", "joe@x.org"},
        Case{"Joe\r\n<joe@x.org>", ""}, Case{"\r\n joe@x.org", "joe@x.org"},
        Case{"jo\te@x.org", ""}, Case{std::string("joe@x.org\x01", 10), ""},
        Case{std::string("jo\0e@x.org", 10), ""}};
    for (const Case& c : cases) {
        EXPECT_EQ(ExtractMailAddress(c.text), c.expected) << Shown(c.text);
    }
}

TEST(MailDisplayNameTest, GivesTheQuotedNameTheTextBeforeTheBracketOrTheLocalPart) {
    const Case cases[] = {
        Case{std::nullopt, ""}, Case{"", ""}, Case{"\"Joe Bloggs\" <joe@x.org>", "Joe Bloggs"},
        Case{"\" Joe \" <joe@x.org>", "Joe"}, Case{"Joe Bloggs <joe@x.org>", "Joe Bloggs"},
        // a bare address shows its local part
        Case{"joe@x.org", "joe"}, Case{"<joe@x.org>", "joe"}, Case{"\"Joe\"", "Joe"},
        Case{"a \"b\" c <x@y.z>", "b"}, Case{"Joe <a@b.c> <d@e.f>", "Joe <a@b.c>"}};
    for (const Case& c : cases) {
        EXPECT_EQ(MailDisplayName(c.text), c.expected) << Shown(c.text);
    }
}

TEST(MailDisplayNameTest, GivesNothingWhereNoNameIsThere) {
    const Case cases[] = {// an empty quoted name or an empty text before "<" leaves nothing to show
                          Case{"\"\" <joe@x.org>", ""},
                          Case{"\"  \" <joe@x.org>", ""},
                          Case{" <joe@x.org>", ""},
                          Case{"\"Joe", ""},
                          Case{"Joe", ""},
                          Case{"@x.org", ""},
                          Case{"joe@", ""},
                          Case{"\"Joe \"the\" Bloggs\" <joe@x.org>", "Joe \"the\" Bloggs"},
                          Case{"joe@x.org\r\nSubject: x", "joe"}};
    for (const Case& c : cases) {
        EXPECT_EQ(MailDisplayName(c.text), c.expected) << Shown(c.text);
    }
}

TEST(MailAddressRulesTest, DisplayNamesAndRecipientLists) {
    EXPECT_EQ(ExplicitDisplayName("\"  Zoë Q.  \" <z@example.com>"), "Zoë Q.");
    EXPECT_EQ(ExplicitDisplayName("Peter Pan <p@example.com>"), "Peter Pan");
    EXPECT_EQ(ExplicitDisplayName("<p@example.com>"), "");
    EXPECT_EQ(ExplicitDisplayName("p@example.com"), "");

    const std::vector<std::pair<const char*, std::vector<std::string>>> lists = {
        {"a@x.org", {"a@x.org"}},
        {"a@x.org, b@y.org;c@z.org", {"a@x.org", "b@y.org", "c@z.org"}},
        {"\"Doe, John; Jr\" <j@x.org>, b@y.org", {"\"Doe, John; Jr\" <j@x.org>", "b@y.org"}},
        {"<odd,one@x.org>; b@y.org", {"<odd,one@x.org>", "b@y.org"}},
        {" ; , ", {}},
        {"a@x.org;", {"a@x.org"}},
    };
    for (const auto& [text, entries] : lists) {
        EXPECT_EQ(SplitRecipientList(text), entries) << text;
    }
}

TEST(MailAddressRulesTest, UsableAddresses) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"user@example.com", true},
        {"first.last+tag@sub.example.co.uk", true},
        {"user@[192.0.2.1]", true},
        {"j\xc3\xbcrgen@example.de", true},
        {"", false},
        {"@example.com", false},
        {"user@", false},
        {"a@b@example.com", false},
        {"us er@example.com", false},
        {"user@example.com\r\nBcc: x", false},
        {"user@exa\tmple.com", false},
        {"<user@example.com>", false},
        {"user@example..com", false},
        {"user@.example.com", false},
        {std::string(65, 'a') + "@example.com", false},
        {"user@" + std::string(254, 'd'), false},
        {"caf\xe9@example.com", false},  // not UTF-8
    };
    for (const auto& [address, usable] : cases) {
        EXPECT_EQ(IsUsableMailAddress(address), usable) << address;
    }
}
