// The address rules on ordinary sender and recipient texts and on hostile ones: no "@", "@" at
// either end, nested quotes and brackets, second lines that could reach an SMTP command.
#include "mailtools/mail_address.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

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
