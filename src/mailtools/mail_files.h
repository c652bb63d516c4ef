// The files of a mail: `<id>.eml`, its companion `<id>.cfg` (section `MailInfo`) and the body
// `<id>.txt` in the mail directory, how a mail stored by the engine is read back, and the sample
// mail of the diagnose dialog. Reads never fail (missing files give defaults); no Qt, UI thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::string_view kMailInfoSection = "MailInfo";
inline constexpr std::string_view kMailRelaySection = "RelayInfo";
inline constexpr std::string_view kMailDirectory = "mail";

// The sample mail kept in the help directory; its id is too large for a mail id, so its
// companion holds MailId=0.
inline constexpr std::string_view kHelpDirectory = "help";
inline constexpr std::string_view kSampleMailName = "9999000001.eml";
inline constexpr std::string_view kSampleCompanionName = "9999000001.cfg";

// <application directory>/mail/<id><extension>, e.g. MailFilePath(7, ".eml").
std::string MailFilePath(int mailId, std::string_view extension);

// The companion file of a mail file: the extension of its file name replaced by ".cfg" (added
// when the name has none). A dot in a directory name never counts, so the result always lies
// beside the mail and can never name the main configuration file.
std::string CompanionPath(std::string_view mailPath);

// Whether the path names an existing regular file (a directory is no mail).
bool IsExistingFile(std::string_view path);

// A mail as the engine stored it, for editing.
struct StoredMail {
    std::string sender;
    std::string recipients;
    std::string subject;
    std::vector<std::string> attachments;  // non-empty paths, each once, in stored order
    std::string body;
};

// Bodies larger than this are not loaded (a test mail's text is small; the file is untrusted).
inline constexpr size_t kMaxBodyBytes = 4 * 1024 * 1024;
// At most this many `Attach<n>` keys are read, whatever `AttachNumber` claims.
inline constexpr int kMaxAttachments = 1000;

// The stored values of mail `mailId`, or none when its companion file does not exist. Sender and
// recipients default to the given texts; the body is empty when `<id>.txt` is missing, cannot be
// read or is larger than kMaxBodyBytes.
std::optional<StoredMail> LoadStoredMail(int mailId, std::string_view currentSender,
                                         std::string_view currentRecipients);

// What the engine wrote about a failed build (`MailInfo`/`BuildError`), or "".
std::string MailBuildError(int mailId);

// Writes the sample mail and its companion into the help directory, each only when missing.
// False when a missing file could not be written.
bool EnsureSampleMail();
