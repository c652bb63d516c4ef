// The builder's pure text rules: addresses in composed texts, recipient lists, character-set
// names and conversion, the names of a mail's files, and the status codes and loop count of
// failure notices.
#include <gmime/gmime.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mime/delivery_report.h"
#include "mime/header_section.h"
#include "mime/header_text.h"
#include "mime/mail_saver.h"
#include "mime/message_composer.h"
#include "mime/text_charset.h"

namespace relvo::mail {
namespace {

TEST(CharsetRules, NamesResolveToTheirMimeNames) {
    const std::vector<std::pair<const char*, const char*>> cases = {
        {"", "utf-8"},
        {"UTF-8", "utf-8"},
        {"English (iso-8859-1)", "iso-8859-1"},
        {"Chinese (gb2312)", "gb2312"},
        {"Chinese (BIG5)", "big5"},
        {"Cyrillic (windows-1251)", "windows-1251"},
        {"German (DIN_66003)", "DIN_66003"},
        {"Japanese (iso-2022-jp)", "iso-2022-jp"},
        {"Korean (iso-2022-kr)", "iso-2022-kr"},
        {"Swedish (SEN_850200_B)", "SEN_850200_B"},
        {"Thai (windows-874)", "windows-874"},
        {"koi8-r", "koi8-r"},
    };
    for (const auto& [name, mimeName] : cases) {
        EXPECT_EQ(ResolveCharsetName(name).value_or("<none>"), mimeName) << name;
    }
    for (const char* bad : {"x-no-such-set", "utf-8; x=y", "a b", "utf-8\r\n"}) {
        EXPECT_FALSE(ResolveCharsetName(bad).has_value()) << bad;
    }
}

TEST(CharsetRules, ConversionOnlyWhenEveryCharacterFits) {
    struct Case {
        const char* charset;
        std::string text;
        std::optional<std::string> bytes;
    };
    const std::vector<Case> cases = {
        {"iso-8859-1", "Caf\xc3\xa9", std::string("Caf\xe9")},
        {"iso-8859-1", "\xd0\xb8", std::nullopt},
        {"windows-1251", "\xd0\x81\xd0\xb6", std::string("\xa8\xe6")},
        // The stateful set returns to ASCII at the end.
        {"iso-2022-jp", "\xe6\x97\xa5", std::string("\x1b$BF|\x1b(B")},
        {"iso-2022-jp", "\xd0\xb8\xe2\x82\xac\xf0\x9f\x99\x82", std::nullopt},
        // '{' has no place in the German 7-bit set: that letter is ä there.
        {"DIN_66003", "{", std::nullopt},
        {"DIN_66003", "\xc3\xa4", std::string("{")},
        {"utf-8", "caf\xe9", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ConvertFromUtf8(c.text, c.charset), c.bytes) << c.charset << " " << c.text;
    }
}

// Encoded words of any script stay within their width, hold whole characters, and read back as
// the text, also for a reader that joins adjacent words before decoding (GMime).
TEST(HeaderTextRules, EncodedWordsFitAndReadBack) {
    g_mime_init();
    const std::vector<std::string> texts = {
        "a",
        "\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82, \xd0\xbc\xd0\xb8\xd1\x80! ",
        "\xe4\xbc\x9a\xe8\xad\xb0\xe3\x81\xae\xe3\x81\x8a\xe7\x9f\xa5\xe3\x82\x89\xe3\x81\x9b",
        "\xf0\x9f\x99\x82\xf0\x9f\x8e\x89 mixed \xc3\xa9t\xc3\xa9 \xe6\x97\xa5",
    };
    for (const std::string& unit : texts) {
        std::string text;
        for (int i = 0; i < 12; ++i) {
            text += unit;
        }
        for (const size_t firstWidth : {69u, 40u, 28u}) {
            const std::vector<std::string> words = EncodedWords(text, firstWidth);
            std::string joined;
            for (size_t i = 0; i < words.size(); ++i) {
                EXPECT_LE(words[i].size(), i == 0 ? firstWidth : 75u);
                joined += (i == 0 ? "" : " ") + words[i];
            }
            char* decoded = g_mime_utils_header_decode_text(nullptr, joined.c_str());
            EXPECT_EQ(std::string(decoded), text) << joined;
            g_free(decoded);
        }
    }
    const std::string subject = FormatUnstructured(std::string(100, 'x') + " tail", 7);
    EXPECT_EQ(subject.substr(0, 11), " =?UTF-8?B?");  // an unbreakable word longer than a line
    EXPECT_EQ(FormatUnstructured("short =?x?q?y?= text", 7).substr(0, 11), " =?UTF-8?B?");
    EXPECT_EQ(FormatUnstructured("two words", 7), " two words\n");
}

TEST(TextRules, LinesAndFileNames) {
    EXPECT_EQ(WithCrlfLineBreaks("a\nb\rc\r\nd\n\n"), "a\r\nb\r\nc\r\nd\r\n\r\n");
    EXPECT_EQ(OneLine("a\r\nb\tc\x7f"), "a  b c ");

    const std::vector<std::pair<const char*, const char*>> siblings = {
        {"/app/mail/12.eml", "/app/mail/12.cfg"},   {"/app/mail/12", "/app/mail/12.cfg"},
        {"/app/ma.il/12", "/app/ma.il/12.cfg"},  // a dot in a directory is not an extension
        {"/app/mail/a.b.eml", "/app/mail/a.b.cfg"}, {"/app/mail/.eml", "/app/mail/.eml.cfg"},
    };
    for (const auto& [message, companion] : siblings) {
        EXPECT_EQ(SiblingPath(message, ".cfg"), companion) << message;
    }
    EXPECT_EQ(MediaTypeForFileName("Report.PDF"), "application/pdf");
    EXPECT_EQ(MediaTypeForFileName("archive.tar.gz"), "application/gzip");
    EXPECT_EQ(MediaTypeForFileName("README"), "application/octet-stream");
}

TEST(BounceTest, StatusCodesAndLoopCount) {
    const std::vector<std::pair<std::string, std::string>> codes = {
        {"550 5.1.1 no such user", "5.1.1"}, {"451 4.2.0 busy", "4.2.0"},
        {"550 no such user", "5.0.0"},       {"421 closing", "4.0.0"},
        {"cannot connect", "5.0.0"},         {"550 5.1 short", "5.0.0"},
        {"554 5.x.1 junk", "5.0.0"},
    };
    for (const auto& [reply, code] : codes) {
        EXPECT_EQ(StatusCodeOf(reply), code) << reply;
    }
    std::string header;
    for (int i = 0; i < 3; ++i) {
        header += "Received: from a\r\n\tby b\r\n";
    }
    EXPECT_EQ(CountReceived(header + "received: x\r\nSubject: s\r\n\r\nReceived: body\r\n"), 4u);
    EXPECT_EQ(CountReceived("Subject: s\n\nReceived: body\n"), 0u);
}

}  // namespace
}  // namespace relvo::mail
