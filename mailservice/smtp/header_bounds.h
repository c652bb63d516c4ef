// The bounds of a message's header section, for every message whatever its recipients: the whole
// section (SmtpMaxHeaderSize) and each field with its continuation lines. Looks at the text as
// the DATA reader stores it, a piece at a time, and at nothing once the section has ended, so a
// session never needs more of the header than what it has not yet written out.
#pragma once

#include <cstddef>
#include <string_view>

namespace relvo::mail::smtp {

class HeaderBounds {
  public:
    enum class Verdict { kWithin, kSectionTooBig, kFieldTooLong };

    // A longer field is refused: checks that show fields whole must not hold an unbounded one.
    static constexpr size_t kMaxField = 32 * 1024;

    explicit HeaderBounds(size_t maxSection, size_t maxField = kMaxField)
        : maxSection_(maxSection), maxField_(maxField) {}

    // The next piece of message text (dot-unstuffed, CRLF lines). Once a bound is passed the
    // verdict stays.
    Verdict Scan(std::string_view text);
    // The section ended within the bounds, or a bound was passed: nothing more is looked at.
    bool Done() const { return ended_ || verdict_ != Verdict::kWithin; }

  private:
    enum class Line {
        kStart,  // no byte of the line yet
        kEmpty,  // a CR at the start: the section's end if LF follows
        kName,   // a field's name so far
        kRest,   // the rest of a field line (value or continuation)
    };
    // Takes bytes of the line under way from text; returns how many.
    size_t TakeLine(std::string_view text);

    const size_t maxSection_;
    const size_t maxField_;
    size_t section_ = 0;  // bytes of the section so far
    size_t field_ = 0;    // bytes of the field under way, its continuation lines included
    bool inField_ = false;
    bool ended_ = false;
    Line line_ = Line::kStart;
    Verdict verdict_ = Verdict::kWithin;
};

}  // namespace relvo::mail::smtp
