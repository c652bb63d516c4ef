#include "mime/header_section.h"

#include <algorithm>

#include "common/ascii.h"

namespace relvo::mail {

size_t HeaderSectionEnd(std::string_view message) {
    size_t crlf = message.find("\r\n\r\n");
    size_t lf = message.find("\n\n");
    size_t end = std::min(crlf == std::string_view::npos ? message.size() : crlf + 2,
                          lf == std::string_view::npos ? message.size() : lf + 1);
    return end;
}

size_t CountReceived(std::string_view message) {
    std::string_view header = message.substr(0, HeaderSectionEnd(message));
    size_t count = 0;
    size_t start = 0;
    while (start < header.size()) {
        if (AsciiStartsNoCase(header.substr(start), "Received:")) {
            ++count;
        }
        size_t end = header.find('\n', start);
        start = end == std::string_view::npos ? header.size() : end + 1;
    }
    return count;
}

}  // namespace relvo::mail
