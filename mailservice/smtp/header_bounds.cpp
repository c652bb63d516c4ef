#include "smtp/header_bounds.h"

namespace relvo::mail::smtp {

HeaderBounds::Verdict HeaderBounds::Scan(std::string_view text) {
    while (!Done() && !text.empty()) {
        text.remove_prefix(TakeLine(text));
    }
    return verdict_;
}

size_t HeaderBounds::TakeLine(std::string_view text) {
    size_t taken = 1;
    bool ofField = true;  // the empty line belongs to no field
    const char c = text.front();
    switch (line_) {
        case Line::kRest: {
            // The bulk of a field: up to its line's end at once.
            const size_t lf = text.find('\n');
            taken = lf == std::string_view::npos ? text.size() : lf + 1;
            if (lf != std::string_view::npos) {
                line_ = Line::kStart;
            }
            break;
        }
        case Line::kStart:
            if (c == '\r') {
                line_ = Line::kEmpty;
                ofField = false;
            } else if (c == ' ' || c == '\t') {
                if (!inField_) {
                    ended_ = true;  // no field to continue: the body starts here
                    return 0;
                }
                line_ = Line::kRest;
            } else if (c > ' ' && c <= '~' && c != ':') {
                inField_ = true;
                field_ = 0;
                line_ = Line::kName;
            } else {
                ended_ = true;
                return 0;
            }
            break;
        case Line::kEmpty:
            // The empty line belongs to the section; anything else after a lone CR cannot be
            // stored text, and ends the look all the same.
            ended_ = true;
            if (c != '\n') {
                return 0;
            }
            ofField = false;
            break;
        case Line::kName:
            if (c == ':') {
                line_ = Line::kRest;
            } else if (c <= ' ' || c > '~') {
                ended_ = true;  // "name:" it is not (RFC 5322 2.2): the body starts here
                return 0;
            }
            break;
    }
    section_ += taken;
    field_ += ofField ? taken : 0;
    // Both may be passed in one step: the verdict is the bound passed first, as byte by byte.
    const size_t sectionOver = section_ > maxSection_ ? section_ - maxSection_ : 0;
    const size_t fieldOver = inField_ && field_ > maxField_ ? field_ - maxField_ : 0;
    if (sectionOver > 0 && sectionOver >= fieldOver) {
        verdict_ = Verdict::kSectionTooBig;
    } else if (fieldOver > 0) {
        verdict_ = Verdict::kFieldTooLong;
    }
    return taken;
}

}  // namespace relvo::mail::smtp
