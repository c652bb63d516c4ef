#include "mime/mail_saver.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

#include "common/ascii.h"
#include "common/file_descriptor.h"
#include "common/mail_address.h"
#include "common/profile_store.h"
#include "common/utilities.h"
#include "mime/message_composer.h"
#include "mime/text_charset.h"

namespace relvo::mail {
namespace {

constexpr const char* kSection = "MailInfo";

std::string ErrnoText(int error) {
    return std::generic_category().message(error);
}

bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(written));
    }
    return true;
}

std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == 0 ? "/" : path.substr(0, slash);
}

// New file beside the target, flushed, renamed over it, directory flushed: a reader sees the
// old file or the whole new one, also after a crash.
bool WriteFileAtomically(const std::string& path, std::string_view bytes, std::string* error) {
    std::string temporary = path + ".tmp-XXXXXX";
    FileDescriptor fd(mkostemp(temporary.data(), O_CLOEXEC));
    if (fd.Get() < 0) {
        *error = "Cannot create a file beside \"" + path + "\": " + ErrnoText(errno);
        return false;
    }
    const bool written = WriteAll(fd.Get(), bytes) && fsync(fd.Get()) == 0;
    const int writeErrno = errno;
    if (!written || close(fd.Release()) != 0 || rename(temporary.c_str(), path.c_str()) != 0) {
        *error = "Cannot write \"" + path + "\": " + ErrnoText(written ? errno : writeErrno);
        unlink(temporary.c_str());
        return false;
    }
    FileDescriptor directory(open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.Get() >= 0) {
        fsync(directory.Get());
    }
    return true;
}

// O_NONBLOCK so that a FIFO given as attachment cannot hang the save; regular files ignore it.
bool ReadAttachment(const std::string& path, size_t budget, std::string* bytes,
                    std::string* error) {
    FileDescriptor fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat info {};
    if (fd.Get() < 0 || fstat(fd.Get(), &info) != 0) {
        *error = "Cannot read attachment \"" + path + "\": " + ErrnoText(errno);
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        *error = "Cannot read attachment \"" + path + "\": not a regular file";
        return false;
    }
    bytes->clear();
    char buffer[65536];
    for (;;) {
        const ssize_t got = read(fd.Get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            *error = "Cannot read attachment \"" + path + "\": " + ErrnoText(errno);
            return false;
        }
        if (got == 0) {
            return true;
        }
        if (bytes->size() + static_cast<size_t>(got) > budget) {
            *error = "Cannot attach \"" + path + "\": the attachments would exceed " +
                     std::to_string(BuilderLimits::kAttachmentsBytes / (1024 * 1024)) + " MiB";
            return false;
        }
        bytes->append(buffer, static_cast<size_t>(got));
    }
}

std::string FileNameOf(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

// The store keeps outer blanks and quotes itself; a line break would end the value early.
std::string StoredValue(std::string_view text) {
    return OneLine(text);
}

// "RcptTo12" -> 12 for prefix "RcptTo"; none for other keys.
std::optional<size_t> NumberedKeyIndex(std::string_view key, std::string_view prefix) {
    if (key.size() <= prefix.size() || key.size() > prefix.size() + 9 ||
        !AsciiStartsNoCase(key, prefix)) {
        return std::nullopt;
    }
    size_t index = 0;
    for (const char c : key.substr(prefix.size())) {
        if (!std::isdigit(static_cast<unsigned char>(c))) {
            return std::nullopt;
        }
        index = index * 10 + static_cast<size_t>(c - '0');
    }
    return index;
}

struct Addresses {
    Mailbox from;
    std::vector<Mailbox> to;
};

// The mailboxes of the composed texts; the first reason the mail cannot be addressed otherwise.
Addresses ResolveAddresses(const MailDraft& draft, std::string* error) {
    Addresses addresses;
    addresses.from = {OneLine(ExplicitDisplayName(draft.sender)),
                      ExtractOneLineMailAddress(draft.sender)};
    if (!IsUsableMailAddress(addresses.from.address)) {
        addresses.from.address.clear();
        if (error->empty()) {
            *error = "The sender \"" + OneLine(draft.sender) + "\" has no usable mail address";
        }
    }
    for (const std::string& entry : SplitRecipientList(draft.recipients)) {
        Mailbox mailbox{OneLine(ExplicitDisplayName(entry)), ExtractOneLineMailAddress(entry)};
        if (IsUsableMailAddress(mailbox.address)) {
            addresses.to.push_back(std::move(mailbox));
        } else if (error->empty()) {
            *error = "The recipient \"" + OneLine(entry) + "\" has no usable mail address";
        }
    }
    if (addresses.to.empty() && error->empty()) {
        *error = "The mail has no recipient";
    }
    if (addresses.to.size() > BuilderLimits::kRecipients && error->empty()) {
        *error =
            "The mail has more than " + std::to_string(BuilderLimits::kRecipients) + " recipients";
    }
    return addresses;
}

std::string BodyCharset(const MailDraft& draft, const std::string& companionPath) {
    if (draft.charsetGiven) {
        return draft.charset;
    }
    // A mail edited again after the process that created it ended: keep the set it was made with.
    const std::string stored = ProfileSnapshot(companionPath).GetString(kSection, "Charset", "");
    return ResolveCharsetName(stored).value_or("utf-8");
}

std::string BuildMessage(const MailDraft& draft, const Addresses& addresses,
                         const std::string& charset, std::string* error) {
    MessageContent content;
    content.from = addresses.from;
    content.to = addresses.to;
    content.subject = OneLine(draft.subject);
    const std::string body = WithCrlfLineBreaks(draft.body);
    std::optional<std::string> bytes = ConvertFromUtf8(body, charset);
    content.bodyCharset = bytes ? charset : "utf-8";
    if (!bytes) {
        bytes = ConvertFromUtf8(body, "utf-8");
    }
    if (!bytes) {
        *error = "The body is not UTF-8 text";
        return {};
    }
    content.bodyBytes = std::move(*bytes);
    size_t budget = BuilderLimits::kAttachmentsBytes;
    for (const std::string& path : draft.attachments) {
        AttachmentContent attachment{FileNameOf(path), {}};
        if (!ReadAttachment(path, budget, &attachment.bytes, error)) {
            return {};
        }
        budget -= attachment.bytes.size();
        content.attachments.push_back(std::move(attachment));
    }
    return ComposeMessage(content);
}

bool WriteCompanion(const std::string& path, int id, const MailDraft& draft,
                    const Addresses& addresses, const std::string& charset,
                    const std::string& buildError) {
    ProfileBatch batch;
    batch.SetInt(kSection, "MailId", id);
    batch.Set(kSection, "MailFrom", addresses.from.address);
    batch.SetInt(kSection, "RcptToNumber", static_cast<int>(addresses.to.size()));
    for (size_t n = 0; n < addresses.to.size(); ++n) {
        batch.Set(kSection, "RcptTo" + std::to_string(n), addresses.to[n].address);
    }
    batch.Set(kSection, "Sender", StoredValue(draft.sender));
    batch.Set(kSection, "RecipientsTo", StoredValue(draft.recipients));
    batch.Set(kSection, "Subject", StoredValue(draft.subject));
    batch.SetInt(kSection, "AttachNumber", static_cast<int>(draft.attachments.size()));
    for (size_t n = 0; n < draft.attachments.size(); ++n) {
        batch.Set(kSection, "Attach" + std::to_string(n), StoredValue(draft.attachments[n]));
    }
    batch.Set(kSection, "Charset", charset);
    if (buildError.empty()) {
        batch.Remove(kSection, "BuildError");
    } else {
        batch.Set(kSection, "BuildError", StoredValue(buildError));
    }
    // Numbered keys left from an earlier save of this mail with more entries would be read as
    // part of it.
    std::vector<std::string> keys;
    ProfileSnapshot(path).GetSection(kSection, &keys);
    for (const std::string& key : keys) {
        const auto recipient = NumberedKeyIndex(key, "RcptTo");
        const auto attachment = NumberedKeyIndex(key, "Attach");
        if ((recipient && *recipient >= addresses.to.size()) ||
            (attachment && *attachment >= draft.attachments.size())) {
            batch.Remove(kSection, key);
        }
    }
    return batch.Commit(path);
}

bool IsAcceptableMessagePath(const std::string& path) {
    return path.size() > 1 && path.size() <= BuilderLimits::kPathBytes && path.front() == '/' &&
           path.back() != '/' && OneLine(path) == path;
}

}  // namespace

std::string SiblingPath(std::string_view messagePath, std::string_view extension) {
    const size_t slash = messagePath.rfind('/');
    const size_t nameStart = slash == std::string_view::npos ? 0 : slash + 1;
    const size_t dot = messagePath.rfind('.');
    const size_t stem = dot != std::string_view::npos && dot > nameStart ? dot : messagePath.size();
    return std::string(messagePath.substr(0, stem)) + std::string(extension);
}

bool SaveDraft(int id, const MailDraft& draft, const std::string& messagePath) {
    if (!IsAcceptableMessagePath(messagePath)) {
        return false;
    }
    const std::string companionPath = SiblingPath(messagePath, ".cfg");
    const std::string charset = BodyCharset(draft, companionPath);
    std::string error = draft.refusals.empty() ? std::string() : draft.refusals.front().second;
    const Addresses addresses = ResolveAddresses(draft, &error);
    if (error.empty() && !IsValidUtf8(draft.subject)) {
        error = "The subject is not UTF-8 text";
    }
    std::string message;
    if (error.empty()) {
        message = BuildMessage(draft, addresses, charset, &error);
    }
    if (error.empty() && message.empty()) {
        error = "The message could not be built";
    }
    // The body file first: a message is only stored together with its body file.
    std::string bodyError;
    if (!WriteFileAtomically(SiblingPath(messagePath, ".txt"), draft.body, &bodyError) &&
        error.empty()) {
        error = bodyError;
    }
    if (error.empty()) {
        WriteFileAtomically(messagePath, message, &error);
    }
    // An earlier build of this mail must not stand in for the one that failed.
    if (!error.empty() && unlink(messagePath.c_str()) != 0 && errno != ENOENT) {
        error += "; an earlier \"" + messagePath + "\" could not be removed: " + ErrnoText(errno);
    }
    const bool companionWritten =
        WriteCompanion(companionPath, id, draft, addresses, charset, error);
    return error.empty() && companionWritten;
}

}  // namespace relvo::mail
