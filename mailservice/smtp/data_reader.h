// The message text after DATA: ends only at CRLF "." CRLF, removes dot-stuffing, and refuses a
// bare CR or LF anywhere (a receiver that ended the data at LF "." LF or similar could be made to
// read a second, smuggled message) and NUL bytes (which the mail's readers and relays would cut
// or pass on differently). Accepts the input in pieces of any size.
#pragma once

#include <cstddef>
#include <limits>
#include <string>
#include <string_view>

namespace relvo::mail::smtp {

class DataReader {
  public:
    // kStopped: the receiver told the reader to store nothing more (its reason is its own).
    enum class Error { kNone, kBareLineEnd, kNul, kTooBig, kStopped };

    // maxSize bounds the stored message (after unstuffing, final CRLF included).
    explicit DataReader(size_t maxSize) : maxSize_(maxSize) {}

    // Consumes input up to and including the terminating ".CRLF" and returns how many bytes
    // were used; the rest belongs to the commands that follow. After an error the reader keeps
    // looking for the end but stores nothing more. Stops early, with input left, while Paused().
    size_t Feed(std::string_view input);

    bool Done() const { return state_ == State::kDone; }
    Error error() const { return error_; }
    // The text stored so far: CRLF lines, dot-unstuffed, ending with CRLF unless empty. The
    // receiver may put text in front of it and take stored text out of it.
    std::string& Body() { return body_; }
    // Bytes of message text stored, whatever was taken out of Body() since.
    size_t StoredBytes() const { return stored_; }
    // Bytes of message text seen, whether stored or not (for the log and rate checks).
    size_t BytesSeen() const { return seen_; }

    // Feed stops once Body() holds this many bytes, until the receiver has taken some out.
    void SetPauseAt(size_t bytes) { pauseAt_ = bytes; }
    bool Paused() const {
        return state_ != State::kDone && error_ == Error::kNone && body_.size() >= pauseAt_;
    }
    // Stores nothing more; the message ends with kStopped.
    void Stop() { Fail(Error::kStopped); }

    // Starts a new message, keeping the body's capacity.
    void Reset(size_t maxSize);

  private:
    enum class State { kLineStart, kMid, kCr, kDot, kDotCr, kDone };

    // One character where a line starts, after a leading dot or after a CR; true when it is
    // used up, false when it belongs to the text that follows.
    bool TakeMark(char c);
    // Text from p up to the next CR (used up too), bare LF or NUL; returns where it stopped.
    const char* TakeText(const char* p, const char* end);
    void Append(std::string_view text);
    void Fail(Error error);

    size_t maxSize_;
    size_t pauseAt_ = std::numeric_limits<size_t>::max();
    State state_ = State::kLineStart;
    Error error_ = Error::kNone;
    size_t seen_ = 0;
    size_t stored_ = 0;
    std::string body_;
};

}  // namespace relvo::mail::smtp
