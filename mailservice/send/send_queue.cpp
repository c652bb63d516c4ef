#include "send/send_queue.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "config/profile_store.h"
#include "core/queue_store.h"

namespace relvo::mail::send {

namespace keys = relvo::mail::companion_keys;

namespace {

std::string CfgPath(const std::string& dir, uint32_t id) {
    return dir + "/" + std::to_string(id) + ".cfg";
}
std::string EmlPath(const std::string& dir, uint32_t id) {
    return dir + "/" + std::to_string(id) + ".eml";
}

// "<digits>.cfg" with a positive 32-bit id; everything else in the directory is not an entry.
bool ParseEntryName(const char* name, uint32_t* id) {
    size_t length = std::strlen(name);
    if (length < 5 || length > 14 || std::strcmp(name + length - 4, ".cfg") != 0) {
        return false;
    }
    uint64_t value = 0;
    for (size_t i = 0; i + 4 < length; ++i) {
        if (name[i] < '0' || name[i] > '9') {
            return false;
        }
        value = value * 10 + static_cast<uint64_t>(name[i] - '0');
    }
    if (value == 0 || value > 0xffffffffu) {
        return false;
    }
    *id = static_cast<uint32_t>(value);
    return true;
}

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

std::vector<uint32_t> ListQueue(const std::string& dir) {
    std::vector<uint32_t> ids;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) {
        return ids;
    }
    while (dirent* e = readdir(d)) {
        uint32_t id = 0;
        if (ParseEntryName(e->d_name, &id)) {
            ids.push_back(id);
        }
    }
    closedir(d);
    return ids;
}

bool IsFinal(const std::string& state) {
    return state.rfind(kStateDelivered, 0) == 0 || state.rfind(kStateFailed, 0) == 0;
}

bool AllFinal(const std::vector<std::string>& states) {
    return std::all_of(states.begin(), states.end(), IsFinal);
}

bool LoadQueuedMail(const std::string& dir, uint32_t id, size_t maxBytes, QueuedMail* mail,
                    std::string* error) {
    ProfileSnapshot companion(CfgPath(dir, id));
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

    int fd = open(EmlPath(dir, id).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = "cannot open " + EmlPath(dir, id) + ": " + std::strerror(errno);
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
    batch.SetInt(keys::kSection, keys::kTries, mail.tries);
    batch.Set(keys::kSection, keys::kNextTry, std::to_string(nextTry));
    return batch.Commit(CfgPath(dir, mail.id));
}

bool MoveToOld(const std::string& queueDir, const std::string& oldDir, uint32_t id) {
    mkdir(oldDir.c_str(), 0700);
    bool ok = rename(CfgPath(queueDir, id).c_str(), CfgPath(oldDir, id).c_str()) == 0;
    ok = rename(EmlPath(queueDir, id).c_str(), EmlPath(oldDir, id).c_str()) == 0 && ok;
    // The store's lock file of the companion: nobody writes this entry any more, and the queue
    // directory would otherwise keep one file per mail ever retried.
    unlink((CfgPath(queueDir, id) + ".lock").c_str());
    return ok;
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

std::int64_t RetryDelay(int tries, std::int64_t firstSeconds) {
    int doublings = std::clamp(tries - 1, 0, 16);
    return std::min<std::int64_t>(firstSeconds << doublings, 7 * 86400);
}

}  // namespace relvo::mail::send
