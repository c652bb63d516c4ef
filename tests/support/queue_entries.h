// Writes queue entries as the receiving service leaves them (<id>.eml, then <id>.cfg under a
// temporary name renamed into place), without flushing: for console tests and benchmarks that
// need many mails in a queue directory quickly.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace queue_entries {

struct Entry {
    uint32_t id = 0;
    std::string from = "app@origin.test";
    std::vector<std::string> to = {"ops@far.test"};
    std::vector<std::string> states;  // RcptStatus<n>; "pending" when missing
    int tries = 0;
    int64_t nextTry = 0;
    std::string lastAnswer;
    std::string body = "Subject: test\r\n\r\nHello\r\n";
};

inline Entry Mail(uint32_t id, std::string to = "ops@far.test") {
    Entry entry;
    entry.id = id;
    entry.to = {std::move(to)};
    return entry;
}

inline bool WriteFile(const std::string& path, const std::string& bytes) {
    const std::string temporary = path + ".tmp";
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    bool ok = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    ok = close(fd) == 0 && ok;
    return ok && std::rename(temporary.c_str(), path.c_str()) == 0;
}

inline std::string CompanionText(const Entry& e) {
    std::string text = "[MailInfo]\r\nMailId=" + std::to_string(e.id) + "\r\nMailFrom=" + e.from +
                       "\r\nRcptToNumber=" + std::to_string(e.to.size()) + "\r\n";
    for (size_t n = 0; n < e.to.size(); ++n) {
        text += "RcptTo" + std::to_string(n) + "=" + e.to[n] + "\r\n";
    }
    text += "ArrivalTime=2026-12-07 10:00:00\r\nArrivalUnixTime=1796637600\r\nMailSize=" +
            std::to_string(e.body.size()) + "\r\nTries=" + std::to_string(e.tries) +
            "\r\nNextTry=" + std::to_string(e.nextTry) + "\r\n";
    if (!e.lastAnswer.empty()) {
        text += "LastAnswer=" + e.lastAnswer + "\r\n";
    }
    for (size_t n = 0; n < e.to.size(); ++n) {
        text += "RcptStatus" + std::to_string(n) + "=" +
                (n < e.states.size() ? e.states[n] : std::string("pending")) + "\r\n";
    }
    return text;
}

// The .eml first, then the companion that makes the entry complete.
inline bool Write(const std::string& dir, const Entry& e) {
    const std::string base = dir + "/" + std::to_string(e.id);
    return WriteFile(base + ".eml", e.body) && WriteFile(base + ".cfg", CompanionText(e));
}

}  // namespace queue_entries
