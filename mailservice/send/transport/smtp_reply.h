// The client side of the SMTP dialogue as pure code: replies read from a byte stream, the EHLO
// capabilities, and the DATA payload. Every input from the peer is bounded.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace relvo::mail::send {

struct Reply {
    int code = 0;
    std::vector<std::string> lines;  // the text after "ddd-" / "ddd "
    bool Positive() const { return code >= 200 && code < 400; }
    bool Transient() const { return code >= 400 && code < 500; }
    bool Permanent() const { return code >= 500; }
    // "550 5.1.1 no such user" (lines after the first joined with " / ").
    std::string Summary() const;
};

class ReplyReader {
  public:
    static constexpr size_t kMaxLine = 2048;  // RFC 5321 allows 512; servers add slack
    static constexpr size_t kMaxLines = 200;  // a reply longer than this is not a server's
    enum class Status { kNeedMore, kReply, kError };

    void Append(std::string_view bytes) { buffer_.append(bytes); }
    // Takes the next complete reply from what was appended. kError (with a reason) when the
    // peer's text is not a reply or exceeds the bounds; the reader is then unusable.
    Status Next(Reply* reply, std::string* error);
    bool Buffered() const { return start_ < buffer_.size(); }

  private:
    std::string buffer_;
    size_t start_ = 0;
    Reply partial_;
};

struct Capabilities {
    bool esmtp = false;
    bool startTls = false;
    bool pipelining = false;
    bool eightBitMime = false;
    bool smtpUtf8 = false;
    uint64_t maxSize = 0;  // 0: no limit announced
    bool authPlain = false;
    bool authLogin = false;
};

// From the lines of a positive EHLO reply (the first line is the greeting name).
Capabilities ParseEhlo(const Reply& reply);

// The message as DATA sends it: bare LF and CR made CRLF, lines starting with "." doubled, and
// the final ".". The caller's text is not changed.
std::string DataPayload(std::string_view message);

}  // namespace relvo::mail::send
