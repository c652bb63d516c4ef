// Has the engine build a composed mail and store it as `<id>.eml` in the mail directory: the
// checks the compose dialog makes first, the nine character sets it offers, and the engine call
// sequence, with the outcome read back from the mail directory (the engine's setters report
// nothing). UI thread only.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

struct ComposedMail {
    std::string sender;      // passed as typed or chosen
    std::string recipients;  // passed as typed
    std::string subject;
    std::string body;                      // line breaks as CR LF
    std::vector<std::string> attachments;  // in list order
};

// The first field the compose dialog refuses, in the order it checks them.
enum class ComposeFault { kNone, kSender, kRecipients, kSubject };
ComposeFault CheckComposedMail(const ComposedMail& mail);

// The character-set entries in display order; the first is the default.
inline constexpr std::array<std::string_view, 9> kCharsetEntries = {
    "English (iso-8859-1)",    "Chinese (gb2312)",       "Chinese (BIG5)",
    "Cyrillic (windows-1251)", "German (DIN_66003)",     "Japanese (iso-2022-jp)",
    "Korean (iso-2022-kr)",    "Swedish (SEN_850200_B)", "Thai (windows-874)"};

// The character-set name inside an entry's parentheses ("iso-2022-jp"); "" when it has none.
std::string CharsetName(std::string_view entry);

struct MailBuildResult {
    int mailId = 0;       // the mail's id (0: the engine could not create one)
    bool stored = false;  // `<id>.eml` exists in the mail directory
    std::string reason;   // why not, for the operator, when not stored
};

// For mail id 0 creates a mail in the character set charsetName; an existing mail keeps its
// own. Then sets sender, recipients, subject, body and each attachment and saves the mail as
// `<id>.eml` in the mail directory.
MailBuildResult BuildMail(int mailId, std::string_view charsetName, const ComposedMail& mail);
