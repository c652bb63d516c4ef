#include "send/owed_states_journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <map>
#include <utility>

#include "common/ascii.h"

namespace relvo::mail::send {
namespace {

constexpr std::string_view kVersion = "1";

void AppendEscaped(std::string& out, std::string_view text) {
    for (char c : text) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\0':
                out += "\\0";
                break;
            default:
                out += c;
        }
    }
}

std::optional<std::string> Unescaped(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (++i == text.size()) {
            return std::nullopt;
        }
        switch (text[i]) {
            case '\\':
                out += '\\';
                break;
            case 't':
                out += '\t';
                break;
            case 'n':
                out += '\n';
                break;
            case '0':
                out += '\0';
                break;
            default:
                return std::nullopt;
        }
    }
    return out;
}

template <typename Number>
bool ParseWhole(std::string_view text, Number* value) {
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value);
    return error == std::errc() && end == text.data() + text.size() && *value >= 0;
}

bool WriteAll(int fd, const char* data, size_t size, off_t offset) {
    while (size > 0) {
        ssize_t written = pwrite(fd, data, size, offset);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        data += written;
        size -= static_cast<size_t>(written);
        offset += written;
    }
    return true;
}

}  // namespace

std::string EncodeOwedStates(const QueuedMail& states) {
    std::string line(kVersion);
    for (const std::string& number :
         {std::to_string(states.id), std::to_string(states.tries), std::to_string(states.nextTry),
          std::to_string(states.states.size())}) {
        line += '\t';
        line += number;
    }
    for (const std::string& state : states.states) {
        line += '\t';
        AppendEscaped(line, state);
    }
    line += '\t';
    AppendEscaped(line, states.lastAnswer);
    line += '\n';
    return line;
}

std::optional<QueuedMail> DecodeOwedStates(std::string_view line) {
    std::vector<std::string_view> fields = SplitAt(line, '\t');
    QueuedMail states;
    size_t count = 0;
    if (fields.size() < 6 || fields[0] != kVersion || !ParseWhole(fields[1], &states.id) ||
        states.id == 0 || !ParseWhole(fields[2], &states.tries) ||
        !ParseWhole(fields[3], &states.nextTry) || !ParseWhole(fields[4], &count) ||
        count > static_cast<size_t>(mailqueue::kMostRecipients) || fields.size() != 6 + count) {
        return std::nullopt;
    }
    for (size_t n = 0; n <= count; ++n) {
        std::optional<std::string> text = Unescaped(fields[5 + n]);
        if (!text) {
            return std::nullopt;
        }
        if (n < count) {
            states.states.push_back(std::move(*text));
        } else {
            states.lastAnswer = std::move(*text);
        }
    }
    return states;
}

OwedStatesJournal::OwedStatesJournal(std::string path) : path_(std::move(path)) {
    fd_ = open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, S_IRUSR | S_IWUSR);
    struct stat info {};
    if (fd_ < 0 || fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) {
        problem_ = path_ + ": " + (fd_ < 0 ? std::strerror(errno) : "not a regular file");
        if (fd_ >= 0) {
            close(fd_);
            fd_ = -1;
        }
        return;
    }
    Read();
    // Taken now, while there is room: a record is then written into blocks the file owns.
    if (static_cast<size_t>(info.st_size) < kRoom) {
        int error = posix_fallocate(fd_, 0, static_cast<off_t>(kRoom));
        if (error != 0) {
            problem_ = path_ + ": cannot take its room: " + std::strerror(error);
        }
    }
}

OwedStatesJournal::~OwedStatesJournal() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

void OwedStatesJournal::Read() {
    std::string text(kRoom, '\0');
    ssize_t size = pread(fd_, text.data(), text.size(), 0);
    text.resize(size > 0 ? static_cast<size_t>(size) : 0);
    // Records end with a line end; the room after them is zeros, and a record cut off by a crash
    // has no line end and is written over.
    text.resize(std::min(text.size(), text.find('\0')));
    std::map<uint32_t, size_t> latest;
    size_t start = 0;
    for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
        if (auto states = DecodeOwedStates(std::string_view(text).substr(start, end - start))) {
            auto [at, fresh] = latest.emplace(states->id, replayed_.size());
            if (fresh) {
                replayed_.push_back(std::move(*states));
            } else {
                replayed_[at->second] = std::move(*states);
            }
        }
        start = end + 1;
    }
    used_ = start;
}

bool OwedStatesJournal::Append(const QueuedMail& states) {
    const std::string line = EncodeOwedStates(states);
    if (fd_ < 0 || used_ + line.size() > kRoom ||
        !WriteAll(fd_, line.data(), line.size(), static_cast<off_t>(used_)) ||
        fdatasync(fd_) != 0) {
        return false;
    }
    used_ += line.size();
    return true;
}

void OwedStatesJournal::Clear() {
    if (fd_ < 0 || used_ == 0) {
        return;
    }
    const std::string zeros(used_, '\0');
    if (WriteAll(fd_, zeros.data(), zeros.size(), 0) && fdatasync(fd_) == 0) {
        used_ = 0;
    }
}

}  // namespace relvo::mail::send
