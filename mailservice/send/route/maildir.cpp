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

}  // namespace

bool WriteMaildir(const std::string& mailboxDir, const std::string& recipient,
                  const std::string& mailFrom, const std::string& message, std::string* error) {
    std::string domain = AsciiLowerCopy(MailboxDomain(recipient));
    std::string local(MailboxLocalPart(recipient));
    if (!SafeName(domain) || !SafeName(local)) {
        *error = "550 5.1.3 the mailbox name " + recipient + " cannot be a directory name";
        return false;
    }
    std::string box = mailboxDir + "/" + domain + "/" + local;
    for (const char* sub : {"/tmp", "/new", "/cur"}) {
        if (!MakeDirs(box + sub)) {
            *error = "451 4.3.0 cannot make " + box + sub + ": " + std::strerror(errno);
            return false;
        }
    }
    std::string name = MaildirName();
    std::string tmpPath = box + "/tmp/" + name;
    std::string newPath = box + "/new/" + name;
    int fd = open(tmpPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = "451 4.3.0 cannot write " + tmpPath + ": " + std::strerror(errno);
        return false;
    }
    std::string head = "Return-Path: <" + mailFrom + ">\r\nDelivered-To: " + recipient + "\r\n";
    bool ok = true;
    for (std::string_view part : {std::string_view(head), std::string_view(message)}) {
        while (ok && !part.empty()) {
            ssize_t n = write(fd, part.data(), part.size());
            ok = n > 0;
            if (ok) {
                part.remove_prefix(static_cast<size_t>(n));
            }
        }
    }
    ok = ok && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (ok && rename(tmpPath.c_str(), newPath.c_str()) == 0 && SyncPath(box + "/new") &&
        SyncPath(box + "/tmp")) {
        return true;
    }
    *error = "451 4.3.0 cannot store into " + box + ": " + std::strerror(errno);
    unlink(tmpPath.c_str());
    return false;
}

}  // namespace relvo::mail::send
