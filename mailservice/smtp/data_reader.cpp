#include "smtp/data_reader.h"

#include <cstring>

namespace relvo::mail::smtp {

void DataReader::Reset(size_t maxSize) {
    maxSize_ = maxSize;
    state_ = State::kLineStart;
    error_ = Error::kNone;
    seen_ = 0;
    stored_ = 0;
    pauseAt_ = std::numeric_limits<size_t>::max();
    body_.clear();
}

void DataReader::Fail(Error error) {
    if (error_ == Error::kNone) {
        error_ = error;
        body_.clear();
    }
}

void DataReader::Append(std::string_view text) {
    seen_ += text.size();
    if (error_ != Error::kNone) {
        return;
    }
    if (stored_ + text.size() > maxSize_) {
        Fail(Error::kTooBig);
        return;
    }
    stored_ += text.size();
    body_.append(text);
}

size_t DataReader::Feed(std::string_view input) {
    const char* p = input.data();
    const char* end = p + input.size();
    while (p < end && state_ != State::kDone && !Paused()) {
        if (state_ == State::kMid) {
            p = TakeText(p, end);
        } else if (TakeMark(*p)) {
            ++p;
        }
    }
    return static_cast<size_t>(p - input.data());
}

bool DataReader::TakeMark(char c) {
    switch (state_) {
        case State::kLineStart:
            state_ = c == '.' ? State::kDot : State::kMid;
            return c == '.';
        case State::kDot:
            // A leading dot is removed whatever follows (RFC 5321 4.5.2).
            state_ = c == '\r' ? State::kDotCr : State::kMid;
            return c == '\r';
        case State::kDotCr:
            if (c == '\n') {
                state_ = State::kDone;
                return true;
            }
            // ".\r" then something else: the CR was bare.
            Fail(Error::kBareLineEnd);
            state_ = State::kMid;
            return false;
        case State::kCr:
            if (c == '\n') {
                Append("\r\n");
                state_ = State::kLineStart;
                return true;
            }
            Fail(Error::kBareLineEnd);
            state_ = State::kMid;
            return false;
        case State::kMid:
        case State::kDone:
            break;
    }
    return false;
}

const char* DataReader::TakeText(const char* p, const char* end) {
    // The run of text up to the next CR, with no LF or NUL inside it.
    const void* cr = std::memchr(p, '\r', static_cast<size_t>(end - p));
    const char* stop = cr ? static_cast<const char*>(cr) : end;
    const void* lf = std::memchr(p, '\n', static_cast<size_t>(stop - p));
    const char* runEnd = lf ? static_cast<const char*>(lf) : stop;
    const void* nul = std::memchr(p, '\0', static_cast<size_t>(runEnd - p));
    if (nul != nullptr || lf != nullptr) {
        const char* bad = nul ? static_cast<const char*>(nul) : runEnd;
        Append(std::string_view(p, static_cast<size_t>(bad - p)));
        // The line goes on as far as ending the data is concerned: only CRLF "." CRLF ends it.
        Fail(nul ? Error::kNul : Error::kBareLineEnd);
        seen_ += 1;
        return bad + 1;
    }
    Append(std::string_view(p, static_cast<size_t>(stop - p)));
    if (stop < end) {
        state_ = State::kCr;
        return stop + 1;
    }
    return stop;
}

}  // namespace relvo::mail::smtp
