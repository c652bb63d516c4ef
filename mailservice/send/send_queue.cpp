#include "send/send_queue.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "common/profile_store.h"
#include "core/queue_store.h"
#include "send/delivery.h"

namespace relvo::mail::send {

namespace keys = relvo::mail::companion_keys;

namespace {

std::int64_t ToInt64(const std::string& text) {
    std::int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9' || value > 1000000000000000LL) {
            return 0;
        }
        value = value * 10 + (c - '0');
    }
    return value;
}

}  // namespace

bool LoadQueuedMail(const std::string& dir, uint32_t id, size_t maxBytes, QueuedMail* mail,
                    std::string* error) {
    ProfileSnapshot companion(mailqueue::CompanionFile(dir, id));
    mail->id = id;
    mail->mailFrom = companion.GetString(keys::kSection, "MailFrom", "");
    int count = companion.GetInt(keys::kSection, "RcptToNumber", 0);
    if (count <= 0 || count > 10000) {
        *error = "the companion lists no recipients";
        return false;
    }
    mail->recipients.clear();
    mail->states.clear();
    for (int n = 0; n < count; ++n) {
        std::string rcpt = companion.GetString(keys::kSection, "RcptTo" + std::to_string(n), "");
        std::string state = companion.GetString(
            keys::kSection, std::string(keys::kRcptStatusPrefix) + std::to_string(n),
            kStatePending);
        if (rcpt.empty()) {
            rcpt = "(empty)";
            state = StateText(kStateFailed, "553 5.1.3 empty recipient address");
        }
        mail->recipients.push_back(rcpt);
        mail->states.push_back(state);
    }
    mail->tries = std::max(0, companion.GetInt(keys::kSection, keys::kTries, 0));
    mail->arrival = ToInt64(companion.GetString(keys::kSection, keys::kArrivalUnix, "0"));
    mail->nextTry = ToInt64(companion.GetString(keys::kSection, keys::kNextTry, "0"));
    mail->loginUser = companion.GetString(keys::kSection, "LoginUser", "");
    mail->loginPass = companion.GetString(keys::kSection, "LoginPass", "");
    mail->noticeSent = !companion.GetString(keys::kSection, keys::kNoticeId, "").empty();

    int fd = open(mailqueue::MessageFile(dir, id).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = "cannot open " + mailqueue::MessageFile(dir, id) + ": " + std::strerror(errno);
        return false;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || static_cast<size_t>(info.st_size) > maxBytes) {
        close(fd);
        *error = "the mail is larger than " + std::to_string(maxBytes) + " bytes";
        return false;
    }
    mail->message.resize(static_cast<size_t>(info.st_size));
    size_t done = 0;
    while (done < mail->message.size()) {
        ssize_t n = read(fd, mail->message.data() + done, mail->message.size() - done);
        if (n <= 0) {
            break;
        }
        done += static_cast<size_t>(n);
    }
    close(fd);
    mail->message.resize(done);
    return true;
}

bool SaveState(const std::string& dir, const QueuedMail& mail, std::int64_t nextTry) {
    ProfileBatch batch;
    for (size_t n = 0; n < mail.states.size(); ++n) {
        batch.Set(keys::kSection, std::string(keys::kRcptStatusPrefix) + std::to_string(n),
                  mail.states[n]);
    }
    if (!mail.lastAnswer.empty()) {
        batch.Set(keys::kSection, keys::kLastAnswer, mail.lastAnswer);
    }
    batch.SetInt(keys::kSection, keys::kTries, mail.tries);
    batch.Set(keys::kSection, keys::kNextTry, std::to_string(nextTry));
    return batch.Commit(mailqueue::CompanionFile(dir, mail.id));
}

int DeleteOlderThan(const std::string& dir, int keepDays, std::time_t now) {
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) {
        return 0;
    }
    int deleted = 0;
    std::time_t limit = now - static_cast<std::time_t>(std::max(0, keepDays)) * 86400;
    while (dirent* e = readdir(d)) {
        std::string path = dir + "/" + e->d_name;
        struct stat info {};
        if (lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_mtime < limit &&
            unlink(path.c_str()) == 0) {
            ++deleted;
        }
    }
    closedir(d);
    return deleted;
}

std::string StateText(const char* state, const std::string& reply) {
    std::string text = state;
    if (!reply.empty()) {
        text += ' ';
        for (char c : reply.substr(0, 400)) {
            unsigned char u = static_cast<unsigned char>(c);
            text += (u < 0x20 || u == 0x7f || c == '"') ? '?' : c;
        }
    }
    while (!text.empty() && text.back() == ' ') {
        text.pop_back();
    }
    return text;
}

std::string LastAnswer(const std::vector<RecipientOutcome>& outcomes) {
    if (outcomes.empty()) {
        return {};
    }
    auto notDelivered = std::find_if(
        outcomes.begin(), outcomes.end(),
        [](const RecipientOutcome& o) { return o.status != RecipientOutcome::Status::kDelivered; });
    const std::string& reply =
        notDelivered != outcomes.end() ? notDelivered->text : outcomes.back().text;
    // StateText's cleaning, without a state word in front.
    std::string text = StateText("", reply);
    return text.empty() ? text : text.substr(1);
}

std::int64_t RetryDelay(int tries, std::int64_t firstSeconds) {
    int doublings = std::clamp(tries - 1, 0, 16);
    return std::min<std::int64_t>(firstSeconds << doublings, 7 * 86400);
}

}  // namespace relvo::mail::send
