// Walks the header section of a message held in memory, one complete field at a time.
#pragma once

#include <cstddef>
#include <string_view>

namespace relvo::mail {

// Calls field(text) for each header field, its continuation lines and line ends included, and
// returns where the body starts: after the empty line, or at the first line that is not a
// field (a message without a header section starts its body at once).
template <class Field>
size_t SplitHeaderFields(std::string_view message, Field&& field) {
    size_t start = 0;
    while (start < message.size()) {
        size_t lineEnd = message.find('\n', start);
        lineEnd = lineEnd == std::string_view::npos ? message.size() : lineEnd + 1;
        std::string_view line = message.substr(start, lineEnd - start);
        if (line == "\r\n" || line == "\n") {
            return lineEnd;
        }
        size_t colon = line.find(':');
        if (colon == 0 || colon == std::string_view::npos ||
            line.substr(0, colon).find_first_of(" \t") != std::string_view::npos) {
            return start;
        }
        size_t end = lineEnd;
        while (end < message.size() && (message[end] == ' ' || message[end] == '\t')) {
            size_t next = message.find('\n', end);
            end = next == std::string_view::npos ? message.size() : next + 1;
        }
        field(message.substr(start, end - start));
        start = end;
    }
    return message.size();
}

// The field's name as written (before the colon).
inline std::string_view HeaderFieldName(std::string_view field) {
    size_t colon = field.find(':');
    return colon == std::string_view::npos ? std::string_view() : field.substr(0, colon);
}

}  // namespace relvo::mail
