#include "send/transport/smtp_reply.h"

#include <algorithm>
#include <cctype>

#include "common/ascii.h"

namespace relvo::mail::send {

namespace {

std::vector<std::string_view> Words(std::string_view line) {
    std::vector<std::string_view> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && line[i] == ' ') {
            ++i;
        }
        size_t start = i;
        while (i < line.size() && line[i] != ' ') {
            ++i;
        }
        if (i > start) {
            words.push_back(line.substr(start, i - start));
        }
    }
    return words;
}

}  // namespace

std::string Reply::Summary() const {
    std::string text = std::to_string(code);
    for (size_t i = 0; i < lines.size(); ++i) {
        text += i == 0 ? " " : " / ";
        text += lines[i];
    }
    return text;
}

ReplyReader::Status ReplyReader::Next(Reply* reply, std::string* error) {
    for (;;) {
        size_t lf = buffer_.find('\n', start_);
        if (lf == std::string::npos) {
            if (buffer_.size() - start_ > kMaxLine) {
                *error = "reply line longer than " + std::to_string(kMaxLine) + " bytes";
                return Status::kError;
            }
            if (start_ > 0) {
                buffer_.erase(0, start_);
                start_ = 0;
            }
            return Status::kNeedMore;
        }
        std::string_view line(buffer_.data() + start_, lf - start_);
        start_ = lf + 1;
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (line.size() > kMaxLine) {
            *error = "reply line longer than " + std::to_string(kMaxLine) + " bytes";
            return Status::kError;
        }
        bool digits = line.size() >= 3 && line[0] >= '2' && line[0] <= '5' &&
                      std::isdigit(static_cast<unsigned char>(line[1])) &&
                      std::isdigit(static_cast<unsigned char>(line[2]));
        if (!digits || (line.size() > 3 && line[3] != ' ' && line[3] != '-')) {
            *error = "not an SMTP reply";
            return Status::kError;
        }
        int code = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
        if (!partial_.lines.empty() && code != partial_.code) {
            *error = "reply lines with different codes";
            return Status::kError;
        }
        if (partial_.lines.size() >= kMaxLines) {
            *error = "reply of more than " + std::to_string(kMaxLines) + " lines";
            return Status::kError;
        }
        partial_.code = code;
        // A server's text reaches the send log, the console and a companion's LastAnswer:
        // control characters (terminal escapes) are shown as '?'.
        std::string& text =
            partial_.lines.emplace_back(line.size() > 4 ? line.substr(4) : std::string_view());
        for (char& c : text) {
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
                c = '?';
            }
        }
        if (line.size() == 3 || line[3] == ' ') {
            *reply = std::move(partial_);
            partial_ = Reply();
            return Status::kReply;
        }
    }
}

Capabilities ParseEhlo(const Reply& reply) {
    Capabilities caps;
    caps.esmtp = true;
    for (size_t i = 1; i < reply.lines.size(); ++i) {
        std::vector<std::string_view> words = Words(reply.lines[i]);
        if (words.empty()) {
            continue;
        }
        std::string_view keyword = words[0];
        if (AsciiEqualNoCase(keyword, "STARTTLS")) {
            caps.startTls = true;
        } else if (AsciiEqualNoCase(keyword, "PIPELINING")) {
            caps.pipelining = true;
        } else if (AsciiEqualNoCase(keyword, "8BITMIME")) {
            caps.eightBitMime = true;
        } else if (AsciiEqualNoCase(keyword, "SMTPUTF8")) {
            caps.smtpUtf8 = true;
        } else if (AsciiEqualNoCase(keyword, "SIZE") && words.size() > 1) {
            uint64_t value = 0;
            bool valid = words[1].size() <= 18;
            for (char c : words[1]) {
                valid = valid && std::isdigit(static_cast<unsigned char>(c));
                value = value * 10 + static_cast<uint64_t>(c - '0');
            }
            caps.maxSize = valid ? value : 0;
        } else if (AsciiEqualNoCase(keyword, "AUTH")) {
            for (size_t w = 1; w < words.size(); ++w) {
                caps.authPlain = caps.authPlain || AsciiEqualNoCase(words[w], "PLAIN");
                caps.authLogin = caps.authLogin || AsciiEqualNoCase(words[w], "LOGIN");
            }
        }
    }
    return caps;
}

std::string DataPayload(std::string_view message) {
    std::string out;
    out.reserve(message.size() + message.size() / 64 + 8);
    bool lineStart = true;
    for (size_t i = 0; i < message.size(); ++i) {
        char c = message[i];
        if (c == '\r' || c == '\n') {
            out += "\r\n";
            if (c == '\r' && i + 1 < message.size() && message[i + 1] == '\n') {
                ++i;
            }
            lineStart = true;
            continue;
        }
        if (lineStart && c == '.') {
            out += '.';
        }
        out += c;
        lineStart = false;
    }
    if (!lineStart) {
        out += "\r\n";
    }
    out += ".\r\n";
    return out;
}

}  // namespace relvo::mail::send
