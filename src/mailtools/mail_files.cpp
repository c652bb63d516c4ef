#include "mailtools/mail_files.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include <unistd.h>

#include "common/clock.h"
#include "common/owner_only_directory.h"
#include "common/profile_store.h"
#include "common/utilities.h"

namespace fs = std::filesystem;

namespace {

// A date for the sample's Date header, in the form mail readers expect.
std::string MailDate() {
    const std::time_t now = std::chrono::system_clock::to_time_t(CurrentTime());
    std::tm local{};
    if (localtime_r(&now, &local) == nullptr) {
        return {};
    }
    // English names whatever the locale: the header is read by programs.
    static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char zone[8] = {};
    std::strftime(zone, sizeof zone, "%z", &local);
    char text[64];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d %s", kDays[local.tm_wday],
                  local.tm_mday, kMonths[local.tm_mon], local.tm_year + 1900, local.tm_hour,
                  local.tm_min, local.tm_sec, zone);
    return text;
}

std::string SampleMessage() {
    return "From: \"Relvo SMTP Server\" <test@relvo.example>\r\n"
           "To: undisclosed-recipients:;\r\n"
           "Subject: Relvo SMTP Server test mail\r\n"
           "Date: " +
           MailDate() +
           "\r\n"
           "MIME-Version: 1.0\r\n"
           "Content-Type: text/plain; charset=us-ascii\r\n"
           "Content-Transfer-Encoding: 7bit\r\n"
           "\r\n"
           "This is a test mail sent from the Diagnose sending dialog of the Relvo SMTP Server.\r\n"
           "If it reached you, the server can deliver mail to this address.\r\n";
}

// Writes bytes under a temporary name and renames it into place, so no reader sees half a mail.
bool WriteFileAtomically(const std::string& path, const std::string& bytes) {
    const std::string temporary = path + ".tmp" + std::to_string(::getpid());
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << bytes;
        out.flush();
        if (!out) {
            std::error_code ignored;
            fs::remove(temporary, ignored);
            return false;
        }
    }
    std::error_code error;
    fs::rename(temporary, path, error);
    if (error) {
        fs::remove(temporary, error);
        return false;
    }
    return true;
}

// The whole file when it is no larger than limit; none otherwise or when it cannot be read.
std::optional<std::string> ReadSmallFile(const std::string& path, size_t limit) {
    std::error_code error;
    const auto size = fs::file_size(path, error);
    if (error || size > limit) {
        return std::nullopt;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::string bytes;
    bytes.resize(static_cast<size_t>(size));
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<size_t>(in.gcount()));
    return bytes;
}

}  // namespace

std::string MailFilePath(int mailId, std::string_view extension) {
    return AppFilePath(std::to_string(mailId) + std::string(extension), kMailDirectory);
}

std::string CompanionPath(std::string_view mailPath) {
    const auto slash = mailPath.rfind('/');
    const size_t nameStart = slash == std::string_view::npos ? 0 : slash + 1;
    const auto dot = mailPath.rfind('.');
    // A leading dot names a hidden file; it starts no extension.
    const bool nameHasDot = dot != std::string_view::npos && dot > nameStart;
    return std::string(mailPath.substr(0, nameHasDot ? dot : mailPath.size())) + ".cfg";
}

bool IsExistingFile(std::string_view path) {
    std::error_code error;
    return !path.empty() && fs::is_regular_file(fs::path(path), error);
}

std::optional<StoredMail> LoadStoredMail(int mailId, std::string_view currentSender,
                                         std::string_view currentRecipients) {
    const std::string companion = MailFilePath(mailId, ".cfg");
    if (mailId == 0 || !IsExistingFile(companion)) {
        return std::nullopt;
    }
    const ProfileSnapshot file(companion);
    StoredMail mail;
    mail.sender = file.GetString(kMailInfoSection, "Sender", currentSender);
    mail.recipients = file.GetString(kMailInfoSection, "RecipientsTo", currentRecipients);
    mail.subject = file.GetString(kMailInfoSection, "Subject", "");
    const int count = std::min(file.GetInt(kMailInfoSection, "AttachNumber", 0), kMaxAttachments);
    for (int n = 0; n < count; ++n) {
        std::string path = file.GetString(kMailInfoSection, IntToText("Attach", n), "");
        if (!path.empty() && std::find(mail.attachments.begin(), mail.attachments.end(), path) ==
                                 mail.attachments.end()) {
            mail.attachments.push_back(std::move(path));
        }
    }
    if (auto body = ReadSmallFile(MailFilePath(mailId, ".txt"), kMaxBodyBytes)) {
        mail.body = std::move(*body);
    }
    return mail;
}

std::string MailBuildError(int mailId) {
    return ProfileGetString(kMailInfoSection, "BuildError", "", MailFilePath(mailId, ".cfg"));
}

bool EnsureSampleMail() {
    const std::string directory = AppFilePath(kHelpDirectory);
    bool ok = MakeOwnerOnlyDirectory(directory).empty();
    const std::string mail = AppFilePath(kSampleMailName, kHelpDirectory);
    if (!FileExists(mail)) {
        ok = WriteFileAtomically(mail, SampleMessage()) && ok;
    }
    const std::string companion = AppFilePath(kSampleCompanionName, kHelpDirectory);
    if (!FileExists(companion)) {
        ProfileBatch batch;
        batch.SetInt(kMailInfoSection, "MailId", 0);
        batch.Set(kMailInfoSection, "MailFrom", "");
        batch.SetInt(kMailInfoSection, "RcptToNumber", 0);
        batch.Set(kMailInfoSection, "Subject", "Relvo SMTP Server test mail");
        ok = batch.Commit(companion) && ok;
    }
    return ok;
}
