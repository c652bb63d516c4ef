// The companion's reading and writing, and the message read that goes with it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/mail_queue.h"
#include "common/profile_file.h"

namespace mailqueue {

namespace {

// The store returns at most this many characters of a value.
constexpr size_t kMaxCompanionValue = 1023;

bool IsBlankOrQuote(char c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '"' || c == '\'';
}

// Whether a value comes back from the store exactly as written (after the quoting below).
bool IsCompanionValue(const std::string& value) {
    return value.size() <= kMaxCompanionValue - 2 &&
           value.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos;
}

// The store trims blanks and strips one pair of surrounding quotes: a value that would lose
// either is written inside a pair of quotes, which the reader removes.
void AppendValueLine(std::string& text, std::string_view key, const std::string& value) {
    text.append(key);
    text.push_back('=');
    if (!value.empty() && (IsBlankOrQuote(value.front()) || IsBlankOrQuote(value.back()))) {
        text.push_back('"');
        text.append(value);
        text.push_back('"');
    } else {
        text.append(value);
    }
    text.append("\r\n");
}

}  // namespace

std::int64_t ParseNumber(std::string_view text) {
    std::int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9' || value > 1000000000000000LL) {
            return 0;
        }
        value = value * 10 + (c - '0');
    }
    return value;
}

bool CanStore(const Envelope& envelope) {
    return !envelope.recipients.empty() && IsCompanionValue(envelope.mailFrom) &&
           IsCompanionValue(envelope.clientAddress) && IsCompanionValue(envelope.heloName) &&
           IsCompanionValue(envelope.authUser) && IsCompanionValue(envelope.spfResult) &&
           IsCompanionValue(envelope.quarantine) &&
           std::all_of(envelope.recipients.begin(), envelope.recipients.end(), IsCompanionValue);
}

std::string NewCompanionText(uint32_t id, const Envelope& envelope, size_t mailSize,
                             std::int64_t arrivalUnix, const std::string& arrivalText) {
    std::string text;
    text.reserve(256 + envelope.recipients.size() * 64);
    text.append("[").append(kSection).append("]\r\n");
    AppendValueLine(text, kMailId, std::to_string(id));
    AppendValueLine(text, kMailFrom, envelope.mailFrom);
    AppendValueLine(text, kRecipientCount, std::to_string(envelope.recipients.size()));
    for (size_t i = 0; i < envelope.recipients.size(); ++i) {
        AppendValueLine(text, RecipientKey(static_cast<int>(i)), envelope.recipients[i]);
    }
    AppendValueLine(text, kArrivalTime, arrivalText);
    AppendValueLine(text, kArrivalUnix, std::to_string(arrivalUnix));
    AppendValueLine(text, kClientAddress, envelope.clientAddress);
    AppendValueLine(text, kHeloName, envelope.heloName);
    AppendValueLine(text, kAuthUser, envelope.authUser);
    if (!envelope.spfResult.empty()) {
        AppendValueLine(text, kSpfResult, envelope.spfResult);
    }
    if (!envelope.quarantine.empty()) {
        AppendValueLine(text, kQuarantine, envelope.quarantine);
    }
    AppendValueLine(text, kMailSize, std::to_string(mailSize));
    AppendValueLine(text, kTries, "0");
    AppendValueLine(text, kNextTry, "0");
    for (size_t i = 0; i < envelope.recipients.size(); ++i) {
        AppendValueLine(text, StatusKey(static_cast<int>(i)), kStatePending);
    }
    return text;
}

CompanionReader::CompanionReader(const std::string& dir, uint32_t id)
    : companion_(CompanionFile(dir, id)) {}

int CompanionReader::RecipientCount() const {
    return companion_.GetInt(kSection, kRecipientCount, 0);
}

std::string CompanionReader::Recipient(int n) const {
    return companion_.GetString(kSection, RecipientKey(n), "");
}

bool CompanionReader::HasRecipient(int n) const {
    // A line can hold no line feed, so this default is never a stored value.
    return companion_.GetString(kSection, RecipientKey(n), "\n") != "\n";
}

std::string CompanionReader::Status(int n) const {
    return companion_.GetString(kSection, StatusKey(n), kStatePending);
}

int CompanionReader::Tries() const {
    return std::max(0, companion_.GetInt(kSection, kTries, 0));
}

std::int64_t CompanionReader::Number(const char* key) const {
    return ParseNumber(companion_.GetString(kSection, key, "0"));
}

std::string CompanionReader::Text(const char* key) const {
    return companion_.GetString(kSection, key, "");
}

bool CompanionReader::Has(const char* key) const {
    // A line can hold no line feed, so this default is never a stored value.
    return companion_.GetString(kSection, key, "\n") != "\n";
}

bool LoadQueuedMail(const std::string& dir, uint32_t id, size_t maxBytes, QueuedMail* mail,
                    std::string* error, bool* damaged) {
    *damaged = true;
    if (!IsPlainCompanion(dir, id)) {
        *damaged = false;  // not ours to move: a link is skipped, never followed
        *error = "its companion is a symbolic link or not a regular file";
        return false;
    }
    const CompanionReader companion(dir, id);
    mail->id = id;
    mail->mailFrom = companion.Text(kMailFrom);
    const int count = companion.RecipientCount();
    if (count <= 0 || count > kMostRecipients) {
        *error = "the companion lists no recipients";
        return false;
    }
    if (!companion.HasRecipient(count - 1)) {
        *error = "the companion counts " + std::to_string(count) + " recipients but lists fewer";
        return false;
    }
    mail->recipients.clear();
    mail->states.clear();
    for (int n = 0; n < count; ++n) {
        std::string rcpt = companion.Recipient(n);
        std::string state = companion.Status(n);
        if (rcpt.empty()) {
            rcpt = "(empty)";
            state = StateText(kStateFailed, "553 5.1.3 empty recipient address");
        }
        mail->recipients.push_back(rcpt);
        mail->states.push_back(state);
    }
    mail->tries = companion.Tries();
    mail->arrival = companion.Number(kArrivalUnix);
    mail->nextTry = companion.Number(kNextTry);
    mail->loginUser = companion.Text(kLoginUser);
    mail->loginPass = companion.Text(kLoginPass);
    mail->noticeSent = !companion.Text(kNoticeId).empty();
    mail->authUser = companion.Text(kAuthUser);
    mail->clientAddress.reset();
    if (companion.Has(kClientAddress)) {
        mail->clientAddress = companion.Text(kClientAddress);
    }
    mail->spfResult = companion.Text(kSpfResult);
    mail->quarantine = companion.Text(kQuarantine);

    bool whole = false;
    if (!ReadMessage(dir, id, maxBytes, &mail->message, &whole, error)) {
        // Only a message that is not there, or not a file, is never readable.
        *damaged = errno == ENOENT || errno == ELOOP || errno == 0;
        return false;
    }
    if (!whole) {
        *damaged = true;
        *error = "the mail is larger than " + std::to_string(maxBytes) + " bytes";
        return false;
    }
    *damaged = false;
    return true;
}

bool ReadMessage(const std::string& dir, uint32_t id, size_t maxBytes, std::string* text,
                 bool* whole, std::string* error) {
    const std::string path = MessageFile(dir, id);
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        const int why = fd < 0 ? errno : 0;  // 0: there, but not a regular file
        *error = "cannot read " + path + (fd < 0 ? ": " + std::string(std::strerror(why)) : "");
        if (fd >= 0) {
            close(fd);
        }
        errno = why;
        return false;
    }
    const size_t size = static_cast<size_t>(info.st_size);
    text->resize(std::min(size, maxBytes));
    size_t done = 0;
    while (done < text->size()) {
        ssize_t n = read(fd, text->data() + done, text->size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        done += static_cast<size_t>(n);
    }
    close(fd);
    text->resize(done);
    *whole = done == size;
    return true;
}

namespace {

ProfileBatch StateBatch(const QueuedMail& mail, std::int64_t nextTry) {
    ProfileBatch batch;
    for (size_t n = 0; n < mail.states.size(); ++n) {
        batch.Set(kSection, StatusKey(static_cast<int>(n)), mail.states[n]);
    }
    if (!mail.lastAnswer.empty()) {
        batch.Set(kSection, kLastAnswer, mail.lastAnswer);
    }
    batch.SetInt(kSection, kTries, mail.tries);
    batch.Set(kSection, kNextTry, std::to_string(nextTry));
    return batch;
}

}  // namespace

bool SaveState(const std::string& dir, const QueuedMail& mail, std::int64_t nextTry) {
    // The store would write through a link to whatever file it names.
    return IsPlainCompanion(dir, mail.id) &&
           StateBatch(mail, nextTry)
               .CommitHeld(CompanionFile(dir, mail.id), profile::Flush::kToDisk);
}

bool SaveFinalState(const std::string& oldDir, const QueuedMail& mail) {
    return StateBatch(mail, 0).CommitHeld(CompanionFile(oldDir, mail.id), profile::Flush::kInPlace);
}

}  // namespace mailqueue
