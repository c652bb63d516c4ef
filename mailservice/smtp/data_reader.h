// The message text after DATA: ends only at CRLF "." CRLF, removes dot-stuffing, and refuses a
// bare CR or LF anywhere (a receiver that ended the data at LF "." LF or similar could be made to
// read a second, smuggled message). Accepts the input in pieces of any size.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace relvo::mail::smtp {

class DataReader {
  public:
    enum class Error { kNone, kBareLineEnd, kTooBig };

    // maxSize bounds the stored message (after unstuffing, final CRLF included).
    explicit DataReader(size_t maxSize) : maxSize_(maxSize) {}

    // Consumes input up to and including the terminating ".CRLF" and returns how many bytes
    // were used; the rest belongs to the commands that follow. After an error the reader keeps
    // looking for the end but stores nothing more.
    size_t Feed(std::string_view input);

    bool Done() const { return state_ == State::kDone; }
    Error error() const { return error_; }
    // The message: CRLF lines, dot-unstuffed, ending with CRLF unless empty.
    std::string& Body() { return body_; }
    // Bytes of message text seen, whether stored or not (for the log).
    size_t BytesSeen() const { return seen_; }

    // Starts a new message, keeping the body's capacity.
    void Reset(size_t maxSize);

  private:
    enum class State { kLineStart, kMid, kCr, kDot, kDotCr, kDone };

    // One character where a line starts, after a leading dot or after a CR; true when it is
    // used up, false when it belongs to the text that follows.
    bool TakeMark(char c);
    // Text from p up to the next CR (used up too) or bare LF; returns where it stopped.
    const char* TakeText(const char* p, const char* end);
    void Append(std::string_view text);
    void Fail(Error error);

    size_t maxSize_;
    State state_ = State::kLineStart;
    Error error_ = Error::kNone;
    size_t seen_ = 0;
    std::string body_;
};

}  // namespace relvo::mail::smtp
