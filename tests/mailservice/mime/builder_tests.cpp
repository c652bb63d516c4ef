// The mail builder end to end: mails built through the builder's entry functions, stored in a
// temporary application directory, then read by two mail readers nobody here wrote (Python's
// email package and GMime), and their companion and body files read through the store.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/profile_store.h"
#include "message_readers.h"
#include "mime/builder_api.h"
#include "support/temp_app_dir.h"

namespace relvo::mail {
namespace {

struct FileToAttach {
    std::string name;
    std::string bytes;
};

struct MailCase {
    const char* label;
    std::string charset;  // as given to CreateMail
    std::string sender;
    std::string recipients;
    std::string subject;
    std::string body;
    std::vector<FileToAttach> files;
    // What a reader must find:
    std::string bodyCharset;
    std::pair<std::string, std::string> from;
    std::vector<std::pair<std::string, std::string>> to;
    std::string subjectRead;  // "" = the subject as given
};

std::string Binary(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 37 + i / 256) & 0xff);
    }
    return bytes;
}

std::string Lf(std::string text) {
    std::erase(text, '\r');
    return text;
}

std::string CollapseBlanks(std::string text) {
    for (size_t at; (at = text.find("  ")) != std::string::npos;) {
        text.erase(at, 1);
    }
    return text;
}

std::string WithoutBlanks(std::string text) {
    std::erase(text, ' ');
    return text;
}

std::string Repeat(const std::string& text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) {
        out += text;
    }
    return out;
}

const std::vector<MailCase>& MailCases() {
    static const std::vector<MailCase> cases = {
        {"ascii",
         "",
         "\"Alice Example\" <alice@example.com>",
         "bob@example.org",
         "Plain test",
         "Hello,\nthis is a test.\n\n-- \nAlice\n",
         {},
         "utf-8",
         {"Alice Example", "alice@example.com"},
         {{"", "bob@example.org"}},
         ""},
        {"utf8",
         "utf-8",
         "\"J\xc3\xbcrgen M\xc3\xbcller\" <jm@example.de>",
         "\"Zo\xc3\xab, Q.\" <zoe@example.com>; carl@example.net",
         "Gr\xc3\xbc\xc3\x9f"
         "e aus K\xc3\xb6ln \xe2\x80\x94 \xe6\x9d\xb1\xe4\xba\xac \xf0\x9f\x99\x82",
         "\xc3\x9cn\xc3\xaf"
         "c\xc3\xb6"
         "d\xc3\xa9 \xf0\x9f\x99\x82\r\nzweite Zeile\r\n",
         {{"Bericht M\xc3\xa4rz 2024.pdf", Binary(3000)}, {"no extension", Binary(1)}},
         "utf-8",
         {"J\xc3\xbcrgen M\xc3\xbcller", "jm@example.de"},
         {{"Zo\xc3\xab, Q.", "zoe@example.com"}, {"", "carl@example.net"}},
         ""},
        {"iso-2022-jp",
         "Japanese (iso-2022-jp)",
         "\"\xe5\xb1\xb1\xe7\x94\xb0\" <yamada@example.jp>",
         "tanaka@example.jp",
         Repeat("\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e\xe3\x81\xae\xe4\xbb\xb6\xe5\x90\x8d", 12),
         "\xe3\x81\x93\xe3\x82\x93\xe3\x81\xab\xe3\x81\xa1\xe3\x81\xaf\n"
         "ASCII and \xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e mixed\n",
         {{"\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e "
           "\xe3\x83\x95\xe3\x82\xa1\xe3\x82\xa4\xe3\x83\xab.txt",
           "plain text \xe6\x97\xa5\n"}},
         "iso-2022-jp",
         {"\xe5\xb1\xb1\xe7\x94\xb0", "yamada@example.jp"},
         {{"", "tanaka@example.jp"}},
         ""},
        {"windows-1251",
         "windows-1251",
         "\"\xd0\x98\xd0\xb2\xd0\xb0\xd0\xbd\x20\xd0\x9f\xd0\xb5\xd1\x82\xd1\x80\xd0\xbe\xd0\xb2"
         "\xd0\xb8\xd1\x87\x20\xd0\xa1\xd0\xb8\xd0\xb4\xd0\xbe\xd1\x80\xd0\xbe\xd0\xb2\x2d\xd0\x92"
         "\xd0\xbe\xd0\xb4\xd0\xba\xd0\xb8\xd0\xbd\x20\xd0\x90\xd0\xbb\xd0\xb5\xd0\xba\xd1\x81\xd0"
         "\xb0\xd0\xbd\xd0\xb4\xd1\x80\xd0\xbe\xd0\xb2\" <ivan@example.ru>",
         "\xd0\x9f\xd1\x91\xd1\x82\xd1\x80 <petr@example.ru>",
         Repeat("\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82, \xd0\xbc\xd0\xb8\xd1\x80! ",
                10) +
             " ",
         "\xd0\xa2\xd0\xb5\xd0\xba\xd1\x81\xd1\x82 "
         "\xd0\xbf\xd0\xb8\xd1\x81\xd1\x8c\xd0\xbc\xd0\xb0.\n"
         "\xd0\x81\xd0\xbb\xd0\xba\xd0\xb0.\n",
         {{"\xd0\x9e\xd1\x82\xd1\x87\xd1\x91\xd1\x82 \xd0\xb7\xd0\xb0 "
           "\xd0\xbc\xd0\xb0\xd0\xb9.docx",
           Binary(70000)}},
         "windows-1251",
         {"\xd0\x98\xd0\xb2\xd0\xb0\xd0\xbd\x20\xd0\x9f\xd0\xb5\xd1\x82\xd1\x80\xd0\xbe\xd0\xb2\xd0"
          "\xb8\xd1\x87\x20\xd0\xa1\xd0\xb8\xd0\xb4\xd0\xbe\xd1\x80\xd0\xbe\xd0\xb2\x2d\xd0\x92\xd0"
          "\xbe\xd0\xb4\xd0\xba\xd0\xb8\xd0\xbd\x20\xd0\x90\xd0\xbb\xd0\xb5\xd0\xba\xd1\x81\xd0\xb0"
          "\xd0\xbd\xd0\xb4\xd1\x80\xd0\xbe\xd0\xb2",
          "ivan@example.ru"},
         {{"\xd0\x9f\xd1\x91\xd1\x82\xd1\x80", "petr@example.ru"}},
         ""},
        // Cyrillic does not fit Latin-1: the body goes out in UTF-8 rather than with lost letters.
        {"latin-1 fallback",
         "English (iso-8859-1)",
         "carl@example.net",
         "dora@example.net",
         "Caf\xc3\xa9",
         "Caf\xc3\xa9 \xd0\xb8 \xd1\x87\xd0\xb0\xd0\xb9\n",
         {},
         "utf-8",
         {"", "carl@example.net"},
         {{"", "dora@example.net"}},
         ""},
        {"long ascii subject",
         "iso-8859-1",
         "carl@example.net",
         "dora@example.net",
         Repeat("A rather long subject line that must be folded; ", 6) + "end",
         "x",
         {},
         "iso-8859-1",
         {"", "carl@example.net"},
         {{"", "dora@example.net"}},
         ""},
        // A line longer than a mail line may be is encoded, not cut.
        {"long body line",
         "us-ascii",
         "carl@example.net",
         "dora@example.net",
         "Long line",
         std::string(3000, 'a') + "\n",
         {},
         "us-ascii",
         {"", "carl@example.net"},
         {{"", "dora@example.net"}},
         ""},
        // Line breaks in one-line texts never start a header of their own.
        {"header injection",
         "",
         "\"Eve\nBcc: spy@example.com\" <eve@example.com>",
         "dora@example.net",
         "Hello\r\nBcc: spy@example.com\nX-Evil: 1",
         "body",
         {},
         "utf-8",
         {"Eve Bcc: spy@example.com", "eve@example.com"},
         {{"", "dora@example.net"}},
         "Hello  Bcc: spy@example.com X-Evil: 1"},
    };
    return cases;
}

class MailBuilderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.Path().empty());
        std::filesystem::create_directories(MailDir());
        std::filesystem::create_directories(dir_.File("files"));
    }

    std::string MailDir() const { return dir_.File("mail"); }
    std::string MailPath(int id, const char* extension = ".eml") const {
        return MailDir() + "/" + std::to_string(id) + extension;
    }
    std::string AttachmentPath(const std::string& name) const { return dir_.File("files/" + name); }

    // Builds the case's mail and stores it as <id>.eml in the mail directory; the id.
    int Build(const MailCase& mail) {
        const int id = BuilderCreateMail(mail.charset.c_str());
        EXPECT_GT(id, 0) << mail.label;
        EXPECT_EQ(BuilderSetFrom(id, mail.sender.c_str()), 1) << mail.label;
        EXPECT_EQ(BuilderAddRecipients(id, mail.recipients.c_str()), 1) << mail.label;
        EXPECT_EQ(BuilderSetSubject(id, mail.subject.c_str()), 1) << mail.label;
        EXPECT_EQ(BuilderSetMailBody(id, mail.body.c_str()), 1) << mail.label;
        for (const FileToAttach& file : mail.files) {
            dir_.Write("files/" + file.name, file.bytes);
            EXPECT_EQ(BuilderAttachFile(id, AttachmentPath(file.name).c_str()), 1) << mail.label;
        }
        EXPECT_EQ(BuilderSaveMailAs(id, MailPath(id).c_str()), 1) << mail.label;
        return id;
    }

    std::string Info(int id, const std::string& key) const {
        return ProfileGetString("MailInfo", key, "<missing>", MailPath(id, ".cfg"));
    }

    TempAppDir dir_;
};

// The header lines of the message and of its parts, to show what a reader complained about.
std::string HeaderBlocks(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string blocks;
    bool inHeader = true;
    for (std::string line; std::getline(in, line);) {
        if (line == "\r") {
            inHeader = false;
        } else if (line.rfind("--", 0) == 0) {
            inHeader = true;
        }
        if (inHeader) {
            blocks += line + "\n";
        }
    }
    return blocks;
}

void ExpectReadAsComposed(const MailCase& mail, const ReadMessage& read, const char* reader) {
    SCOPED_TRACE(std::string(mail.label) + " read by " + reader);
    EXPECT_EQ(read.subject, mail.subjectRead.empty() ? mail.subject : mail.subjectRead);
    // RFC 2047 §6.2: blanks between encoded words are not part of the text. Python's email puts
    // one into display names all the same; a name longer than one word shows one blank doubled.
    const bool python = std::string(reader) == "Python";
    EXPECT_EQ(python ? CollapseBlanks(read.from.first) : read.from.first, mail.from.first);
    EXPECT_EQ(read.from.second, mail.from.second);
    EXPECT_EQ(read.to, mail.to);
    EXPECT_EQ(read.bodyCharset, mail.bodyCharset);
    // A message ends with a line break: a body without one may read back with one added.
    const std::string body = Lf(mail.body);
    const std::string readBody = Lf(read.body);
    EXPECT_TRUE(readBody == body || (body.back() != '\n' && readBody == body + "\n")) << readBody;
    ASSERT_EQ(read.attachments.size(), mail.files.size());
    for (size_t i = 0; i < mail.files.size(); ++i) {
        EXPECT_EQ(read.attachments[i].fileName, mail.files[i].name);
        EXPECT_TRUE(read.attachments[i].bytes == mail.files[i].bytes) << mail.files[i].name;
    }
}

TEST_F(MailBuilderTest, BuiltMailsReadBackAsComposedByTwoReaders) {
    std::vector<std::string> paths;
    std::vector<int> ids;
    for (const MailCase& mail : MailCases()) {
        ids.push_back(Build(mail));
        paths.push_back(MailPath(ids.back()));
    }
    const std::vector<ReadMessage> python = ReadWithPython(paths);
    ASSERT_EQ(python.size(), MailCases().size()) << "python3 could not read the messages";
    for (size_t i = 0; i < paths.size(); ++i) {
        const MailCase& mail = MailCases()[i];
        const ReadMessage& read = python[i];
        ExpectReadAsComposed(mail, read, "Python");
        ExpectReadAsComposed(mail, ReadWithGMime(paths[i]), "GMime");
        SCOPED_TRACE(mail.label);
        EXPECT_TRUE(read.defects.empty()) << read.defects.front() << "\n" << HeaderBlocks(paths[i]);
        EXPECT_EQ(read.mimeVersion, "1.0");
        EXPECT_TRUE(read.hasDate);
        EXPECT_EQ(read.messageId.front(), '<');
        EXPECT_NE(read.messageId.find('@'), std::string::npos);
        EXPECT_LE(read.longestHeaderLine, 78u) << HeaderBlocks(paths[i]);
        EXPECT_LE(read.longestLine, 998u);
        EXPECT_EQ(read.bareLineFeeds, 0u);
        for (const std::string& name : read.headerNames) {
            EXPECT_TRUE(name != "Bcc" && name != "X-Evil") << name;
        }
        // ISO-2022-JP is 7-bit by design; mail readers expect it unencoded.
        if (mail.bodyCharset == "iso-2022-jp") {
            EXPECT_EQ(read.bodyEncoding, "7bit");
        }
        for (const ReadAttachment& attachment : read.attachments) {
            EXPECT_NE(attachment.mediaType, "");
        }
    }
    EXPECT_EQ(python[1].attachments[0].mediaType, "application/pdf");
    EXPECT_EQ(python[1].attachments[1].mediaType, "application/octet-stream");
}

// Texts drawn at random from blanks, characters that headers treat specially and letters of
// several scripts read back exactly: subjects, display names and file names.
TEST_F(MailBuilderTest, RandomTextsReadBackExactly) {
    const std::vector<std::string> pieces = {" ",
                                             "  ",
                                             "a",
                                             "Z",
                                             "0",
                                             "\\",
                                             "(",
                                             ")",
                                             "<",
                                             ">",
                                             ",",
                                             ";",
                                             ":",
                                             "@",
                                             ".",
                                             "=?",
                                             "?=",
                                             "%",
                                             "*",
                                             "'",
                                             "=",
                                             "\xc3\xa9",
                                             "\xd0\x96",
                                             "\xe6\x97\xa5",
                                             "\xf0\x9f\x99\x82",
                                             "word",
                                             std::string(40, 'x')};
    std::mt19937 random(20261207);
    auto draw = [&](size_t most) {
        std::string text;
        for (size_t n = 1 + random() % most; n > 0; --n) {
            text += pieces[random() % pieces.size()];
        }
        return text;
    };
    struct Drawn {
        std::string subject, name, fileName;
        int id;
    };
    std::vector<Drawn> mails;
    std::vector<std::string> paths;
    for (int i = 0; i < 12; ++i) {
        Drawn mail{draw(40), draw(12), draw(15), 0};
        mail.id = BuilderCreateMail("");
        const std::string sender = "\"" + mail.name + "\" <s@example.com>";
        BuilderSetFrom(mail.id, sender.c_str());
        BuilderAddRecipients(mail.id, "r@example.com");
        BuilderSetSubject(mail.id, mail.subject.c_str());
        dir_.Write("files/" + mail.fileName, "x");
        BuilderAttachFile(mail.id, AttachmentPath(mail.fileName).c_str());
        ASSERT_EQ(BuilderSaveMailAs(mail.id, MailPath(mail.id).c_str()), 1) << sender;
        const size_t first = mail.name.find_first_not_of(' ');
        mail.name = first == std::string::npos
                        ? ""
                        : mail.name.substr(first, mail.name.find_last_not_of(' ') - first + 1);
        mails.push_back(mail);
        paths.push_back(MailPath(mail.id));
    }
    const std::vector<ReadMessage> python = ReadWithPython(paths);
    ASSERT_EQ(python.size(), mails.size());
    for (size_t i = 0; i < mails.size(); ++i) {
        const ReadMessage gmime = ReadWithGMime(paths[i]);
        for (const ReadMessage* read : {&python[i], &gmime}) {
            SCOPED_TRACE(std::string(read == &gmime ? "GMime" : "Python") + " reading\n" +
                         HeaderBlocks(paths[i]));
            EXPECT_EQ(read->subject, mails[i].subject);
            ASSERT_EQ(read->attachments.size(), 1u);
            if (read == &gmime) {
                EXPECT_EQ(read->from.first, mails[i].name);
                EXPECT_EQ(read->attachments[0].fileName, mails[i].fileName);
            } else {
                // Python's email gives display names with their blanks normalised and file
                // names without outer blanks.
                EXPECT_EQ(WithoutBlanks(read->from.first), WithoutBlanks(mails[i].name));
                EXPECT_EQ(WithoutBlanks(read->attachments[0].fileName),
                          WithoutBlanks(mails[i].fileName));
            }
        }
        EXPECT_TRUE(python[i].defects.empty()) << python[i].defects.front();
        EXPECT_LE(python[i].longestHeaderLine, 78u);
    }
}

TEST_F(MailBuilderTest, CompanionAndBodyFilesDescribeTheMail) {
    const MailCase& mail = MailCases()[1];
    const int id = Build(mail);
    EXPECT_EQ(Info(id, "MailId"), std::to_string(id));
    EXPECT_EQ(Info(id, "MailFrom"), "jm@example.de");
    EXPECT_EQ(Info(id, "RcptToNumber"), "2");
    EXPECT_EQ(Info(id, "RcptTo0"), "zoe@example.com");
    EXPECT_EQ(Info(id, "RcptTo1"), "carl@example.net");
    EXPECT_EQ(Info(id, "Sender"), mail.sender);
    EXPECT_EQ(Info(id, "RecipientsTo"), mail.recipients);
    EXPECT_EQ(Info(id, "Subject"), mail.subject);
    EXPECT_EQ(Info(id, "AttachNumber"), "2");
    EXPECT_EQ(Info(id, "Attach0"), AttachmentPath(mail.files[0].name));
    EXPECT_EQ(Info(id, "Attach1"), AttachmentPath(mail.files[1].name));
    EXPECT_EQ(Info(id, "BuildError"), "<missing>");
    EXPECT_EQ(dir_.Read("mail/" + std::to_string(id) + ".txt"), mail.body);
}

// Texts whose outer blanks or quotes a profile reader would strip still read back unchanged.
TEST_F(MailBuilderTest, CompanionKeepsTextsAProfileReaderWouldTrim) {
    const int id = BuilderCreateMail("");
    BuilderSetFrom(id, "\"Only Name\"  <a@example.com>");
    BuilderAddRecipients(id, "b@example.com ");
    BuilderSetSubject(id, "\"quoted\"");
    BuilderSetMailBody(id, "");
    ASSERT_EQ(BuilderSaveMailAs(id, MailPath(id).c_str()), 1);
    EXPECT_EQ(Info(id, "Sender"), "\"Only Name\"  <a@example.com>");
    EXPECT_EQ(Info(id, "RecipientsTo"), "b@example.com ");
    EXPECT_EQ(Info(id, "Subject"), "\"quoted\"");
}

struct UnreadableCase {
    const char* label;
    std::string (*make)(const TempAppDir& dir);  // the path to attach
    const char* reason;
};

TEST_F(MailBuilderTest, AnUnreadableAttachmentStoresNoMessageAndSaysWhy) {
    const std::vector<UnreadableCase> cases = {
        {"missing", [](const TempAppDir& d) { return d.File("files/gone.pdf"); },
         "No such file or directory"},
        {"directory", [](const TempAppDir& d) { return d.File("files"); }, "not a regular file"},
        {"fifo",
         [](const TempAppDir& d) {
             mkfifo(d.File("files/pipe").c_str(), 0600);
             return d.File("files/pipe");
         },
         "not a regular file"},
        {"relative", [](const TempAppDir&) { return std::string("files/x.txt"); },
         "not an absolute UTF-8 file path"},
        {"too large",
         [](const TempAppDir& d) {
             d.Write("files/big.bin", "");  // sparse: costs no disk
             std::filesystem::resize_file(d.File("files/big.bin"), 32 * 1024 * 1024 + 1);
             return d.File("files/big.bin");
         },
         "would exceed 32 MiB"},
        {"not UTF-8",
         [](const TempAppDir& d) {
             d.Write("files/caf\xe9.txt", "latin-1 name");
             return d.File("files/caf\xe9.txt");
         },
         "not an absolute UTF-8 file path"},
    };
    for (const UnreadableCase& c : cases) {
        SCOPED_TRACE(c.label);
        const int id = BuilderCreateMail("");
        BuilderSetFrom(id, "a@example.com");
        BuilderAddRecipients(id, "b@example.com");
        BuilderSetMailBody(id, "text");
        dir_.Write("files/good.txt", "fine");
        BuilderAttachFile(id, AttachmentPath("good.txt").c_str());
        const std::string bad = c.make(dir_);
        BuilderAttachFile(id, bad.c_str());
        dir_.Write("mail/" + std::to_string(id) + ".eml", "an earlier build");
        EXPECT_EQ(BuilderSaveMailAs(id, MailPath(id).c_str()), 0);
        EXPECT_FALSE(std::filesystem::exists(MailPath(id)));
        const std::string error = Info(id, "BuildError");
        EXPECT_NE(error.find(bad), std::string::npos) << error;
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
        EXPECT_EQ(Info(id, "AttachNumber"), "2");
        EXPECT_EQ(Info(id, "Attach1"), bad);
        EXPECT_EQ(dir_.Read("mail/" + std::to_string(id) + ".txt"), "text");
    }
}

struct RefusedCase {
    const char* label;
    std::string sender;
    std::string recipients;
    std::string subject;
    const char* reason;
};

TEST_F(MailBuilderTest, RefusedInputsMakeTheSaveFailWithTheirReason) {
    const std::vector<RefusedCase> cases = {
        {"no sender address", "Alice", "b@example.com", "s", "sender"},
        {"sender with a blank", "\"A\" <al ice@example.com>", "b@example.com", "s", "sender"},
        {"sender with a line feed", "a@example.com\nBcc: x@example.com", "b@example.com", "s",
         "sender"},
        {"one bad recipient", "a@example.com", "b@example.com, nobody", "s", "\"nobody\""},
        {"two at signs", "a@example.com", "b@c@example.com", "s", "b@c@example.com"},
        {"no recipient", "a@example.com", " ; ", "s", "no recipient"},
        {"subject too long", "a@example.com", "b@example.com", std::string(2001, 's'),
         "subject is longer"},
        {"subject not UTF-8", "a@example.com", "b@example.com", "caf\xe9", "not UTF-8"},
    };
    for (const RefusedCase& c : cases) {
        SCOPED_TRACE(c.label);
        const int id = BuilderCreateMail("");
        BuilderSetFrom(id, c.sender.c_str());
        BuilderAddRecipients(id, c.recipients.c_str());
        BuilderSetSubject(id, c.subject.c_str());
        EXPECT_EQ(BuilderSaveMailAs(id, MailPath(id).c_str()), 0);
        EXPECT_FALSE(std::filesystem::exists(MailPath(id)));
        const std::string error = Info(id, "BuildError");
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    }
}

TEST_F(MailBuilderTest, SettersAnswerWhetherTheyTookTheInput) {
    EXPECT_EQ(BuilderCreateMail("Klingon (x-no-such-set)"), 0);
    EXPECT_EQ(BuilderCreateMail("utf-8\r\nX: y"), 0);
    const int id = BuilderCreateMail("Cyrillic (windows-1251)");
    ASSERT_GT(id, 0);
    EXPECT_EQ(BuilderSetFrom(id, "nobody"), 0);
    EXPECT_EQ(BuilderSetFrom(id, "a@example.com"), 1);
    EXPECT_EQ(BuilderAddRecipients(id, "b@example.com, junk"), 0);
    EXPECT_EQ(BuilderSetMailBody(id, std::string(16 * 1024 * 1024 + 1, 'x').c_str()), 0);
    EXPECT_EQ(BuilderAttachFile(id, std::string(5000, 'a').c_str()), 0);
    EXPECT_EQ(BuilderSetSubject(0, "s"), 0);
    EXPECT_EQ(BuilderSaveMailAs(id, "relative/path.eml"), 0);
}

// A mail stored and then edited again under its id (the compose dialog opened on a stored mail)
// is built from the new texts only; keys of the earlier, longer build and its error do not linger.
TEST_F(MailBuilderTest, EditingAStoredMailReplacesIt) {
    const int id = BuilderCreateMail("windows-1251");
    BuilderSetFrom(id, "a@example.com");
    BuilderAddRecipients(id, "b@example.com, c@example.com, d@example.com");
    BuilderSetMailBody(id, "first");
    for (const char* name : {"one.txt", "two.txt"}) {
        dir_.Write(std::string("files/") + name, name);
        BuilderAttachFile(id, AttachmentPath(name).c_str());
    }
    BuilderAttachFile(id, AttachmentPath("missing.txt").c_str());
    ASSERT_EQ(BuilderSaveMailAs(id, MailPath(id).c_str()), 0);
    ASSERT_EQ(Info(id, "RcptTo2"), "d@example.com");
    ASSERT_EQ(Info(id, "Attach2"), AttachmentPath("missing.txt"));
    ASSERT_NE(Info(id, "BuildError"), "<missing>");

    BuilderSetFrom(id, "a@example.com");
    BuilderAddRecipients(id, "e@example.com");
    BuilderAddRecipients(id, "\"F\" <f@example.com>");
    BuilderSetMailBody(id, "\xd0\xb2\xd1\x82\xd0\xbe\xd1\x80\xd0\xbe\xd0\xb9");
    ASSERT_EQ(BuilderSaveMailAs(id, MailPath(id).c_str()), 1);
    EXPECT_EQ(Info(id, "RcptToNumber"), "2");
    EXPECT_EQ(Info(id, "RcptTo1"), "f@example.com");
    EXPECT_EQ(Info(id, "RcptTo2"), "<missing>");
    EXPECT_EQ(Info(id, "RecipientsTo"), "e@example.com, \"F\" <f@example.com>");
    EXPECT_EQ(Info(id, "AttachNumber"), "0");
    EXPECT_EQ(Info(id, "Attach0"), "<missing>");
    EXPECT_EQ(Info(id, "BuildError"), "<missing>");
    const ReadMessage read = ReadWithGMime(MailPath(id));
    EXPECT_EQ(read.to.size(), 2u);
    EXPECT_TRUE(read.attachments.empty());
    EXPECT_EQ(read.bodyCharset, "windows-1251");

    // An id this process never created: a mail stored by an earlier run keeps its set.
    const int earlier = id + 100000;
    ProfileSetString("MailInfo", "Charset", "windows-1251", MailPath(earlier, ".cfg"));
    BuilderSetFrom(earlier, "a@example.com");
    BuilderAddRecipients(earlier, "b@example.com");
    BuilderSetMailBody(earlier, "\xd0\xb5\xd1\x89\xd1\x91");
    ASSERT_EQ(BuilderSaveMailAs(earlier, MailPath(earlier).c_str()), 1);
    EXPECT_EQ(ReadWithGMime(MailPath(earlier)).bodyCharset, "windows-1251");
    EXPECT_EQ(Info(earlier, "MailId"), std::to_string(earlier));
}

// Several threads building at once each get their own mail; mails left unsaved are bounded, and
// saved ones make room again.
TEST_F(MailBuilderTest, MailsInProgressAreSeparateAndBounded) {
    std::vector<std::thread> threads;
    std::vector<std::vector<int>> built(4);
    for (size_t t = 0; t < built.size(); ++t) {
        threads.emplace_back([&, t] {
            for (int n = 0; n < 5; ++n) {
                const int id = BuilderCreateMail("utf-8");
                const std::string to = "t" + std::to_string(t) + "@example.com";
                BuilderSetFrom(id, "a@example.com");
                BuilderAddRecipients(id, to.c_str());
                BuilderSetMailBody(id, to.c_str());
                built[t].push_back(BuilderSaveMailAs(id, MailPath(id).c_str()) ? id : 0);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (size_t t = 0; t < built.size(); ++t) {
        for (const int id : built[t]) {
            ASSERT_GT(id, 0);
            EXPECT_EQ(Info(id, "RcptTo0"), "t" + std::to_string(t) + "@example.com");
            EXPECT_EQ(dir_.Read("mail/" + std::to_string(id) + ".txt"), Info(id, "RcptTo0"));
        }
    }

    std::vector<int> open;
    for (int id; open.size() <= 300 && (id = BuilderCreateMail("")) != 0;) {
        open.push_back(id);
    }
    EXPECT_GT(open.size(), 200u);
    EXPECT_LE(open.size(), 256u);
    BuilderSetFrom(open.front(), "a@example.com");
    BuilderAddRecipients(open.front(), "b@example.com");
    ASSERT_EQ(BuilderSaveMailAs(open.front(), MailPath(open.front()).c_str()), 1);
    const int next = BuilderCreateMail("");
    EXPECT_GT(next, 0);
    open.push_back(next);
    // A save ends the mail in progress even when it cannot write (here: no such directory).
    const std::string nowhere = dir_.File("absent/x.eml");
    for (const int id : open) {
        EXPECT_EQ(BuilderSaveMailAs(id, nowhere.c_str()), 0);
    }
    EXPECT_GT(BuilderCreateMail(""), 0);
}

// Ids come from the application directory's allocator: two processes building at once never
// get the same id.
TEST_F(MailBuilderTest, IdsAreUniqueAcrossProcesses) {
    const std::string helper = RELVO_MIME_ID_HELPER;
    const std::string run = "RELVO_APP_DIR='" + dir_.Path() + "' " + helper + " 200 > '";
    const std::string command =
        "(" + run + dir_.File("a.txt") + "' & " + run + dir_.File("b.txt") + "'; wait)";
    ASSERT_EQ(std::system(command.c_str()), 0);
    std::vector<std::string> ids;
    for (const char* name : {"a.txt", "b.txt"}) {
        std::istringstream lines(dir_.Read(name));
        for (std::string line; std::getline(lines, line);) {
            EXPECT_GT(std::stol(line), 0);
            ids.push_back(line);
        }
    }
    EXPECT_EQ(ids.size(), 400u);
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(std::adjacent_find(ids.begin(), ids.end()), ids.end());
}

}  // namespace
}  // namespace relvo::mail
