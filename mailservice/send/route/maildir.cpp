#include "send/route/maildir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string_view>

#include "common/ascii.h"
#include "common/mail_address.h"
#include "core/engine_config.h"

namespace relvo::mail::send {

namespace {

std::string MaildirName() {
    static std::atomic<unsigned> counter{0};
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    std::string safeHost;
    for (char c : std::string(host)) {
        safeHost += (c == '/' || c == ':') ? '_' : c;
    }
    auto now = std::chrono::system_clock::now().time_since_epoch();
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now).count();
    auto micros = std::chrono::duration_cast<std::chrono::microseconds>(now).count() % 1000000;
    return std::to_string(seconds) + ".M" + std::to_string(micros) + "P" +
           std::to_string(getpid()) + "Q" + std::to_string(++counter) + "." + safeHost;
}

bool MakeDirs(const std::string& path) {
    size_t pos = 1;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        std::string part = path.substr(0, pos);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            return false;
        }
    }
    return true;
}

bool SyncPath(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    bool ok = fsync(fd) == 0;
    close(fd);
    return ok;
}

// A local part or domain usable as one directory name.
bool SafeName(std::string_view name) {
    return !name.empty() && name.size() <= 255 && name != "." && name != ".." &&
           std::none_of(name.begin(), name.end(), [](char c) {
               return c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
           });
}

bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

bool MakeMaildir(const std::string& box, std::string* error) {
    for (const char* sub : {"/tmp", "/new", "/cur"}) {
        if (!MakeDirs(box + sub)) {
            *error = "451 4.3.0 cannot make " + box + sub + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

// Writes head and message into a new file at path, flushed; removes it on failure.
bool WriteNewFile(const std::string& path, std::string_view head, std::string_view message) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    bool ok = WriteAll(fd, head) && WriteWithLineFeeds(fd, message) && fsync(fd) == 0;
    int saved = errno;
    ok = close(fd) == 0 && ok;
    if (!ok) {
        unlink(path.c_str());
        errno = saved;
    }
    return ok;
}

// Maildir++ readers (and delivery agents) tell a folder by this empty file in it.
bool MarkFolder(const std::string& folder, std::string* error) {
    const std::string path = folder + "/maildirfolder";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        *error = "451 4.3.0 cannot make " + path + ": " + std::strerror(errno);
        return false;
    }
    close(fd);
    return true;
}

}  // namespace

std::string LocalMailboxName(const EngineConfig& config, std::string_view recipient) {
    if (const AccountEntry* account = config.FindAccount(recipient)) {
        return account->name;
    }
    return AsciiLowerCopy(recipient);
}

bool WriteWithLineFeeds(int fd, std::string_view message) {
    char buffer[65536];
    size_t used = 0;
    for (size_t i = 0; i < message.size(); ++i) {
        if (message[i] == '\r' && i + 1 < message.size() && message[i + 1] == '\n') {
            continue;
        }
        buffer[used++] = message[i];
        if (used == sizeof buffer) {
            if (!WriteAll(fd, std::string_view(buffer, used))) {
                return false;
            }
            used = 0;
        }
    }
    return WriteAll(fd, std::string_view(buffer, used));
}

bool WriteMaildir(const std::string& mailboxDir, const std::string& mailbox,
                  const std::string& mailFrom, const std::string& message, std::string* error,
                  const std::string& folder) {
    // One directory per domain, whatever case its accounts spell it in.
    std::string domain = AsciiLowerCopy(MailboxDomain(mailbox));
    std::string local(MailboxLocalPart(mailbox));
    if (!SafeName(domain) || !SafeName(local)) {
        *error = "550 5.1.3 the mailbox name " + mailbox + " cannot be a directory name";
        return false;
    }
    std::string box = mailboxDir + "/" + domain + "/" + local;
    if (!MakeMaildir(box, error)) {
        return false;
    }
    if (!folder.empty()) {
        box += "/." + folder;
        if (!MakeMaildir(box, error) || !MarkFolder(box, error)) {
            return false;
        }
    }
    std::string name = MaildirName();
    std::string tmpPath = box + "/tmp/" + name;
    std::string newPath = box + "/new/" + name;
    std::string head = "Return-Path: <" + mailFrom + ">\nDelivered-To: " + mailbox + "\n";
    if (!WriteNewFile(tmpPath, head, message)) {
        *error = "451 4.3.0 cannot write " + tmpPath + ": " + std::strerror(errno);
        return false;
    }
    // A link never replaces a file already in new/, where a rename would.
    bool linked = link(tmpPath.c_str(), newPath.c_str()) == 0;
    int saved = errno;
    unlink(tmpPath.c_str());
    if (linked && SyncPath(box + "/new")) {
        return true;
    }
    *error = "451 4.3.0 cannot store into " + box + ": " + std::strerror(linked ? errno : saved);
    if (linked) {
        unlink(newPath.c_str());
    }
    return false;
}

}  // namespace relvo::mail::send
