#include "mailtools/arrival_results.h"

#include <fstream>

namespace {

constexpr std::string_view kFieldName = "authentication-results:";

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
        if (c != prefix[i]) {
            return false;
        }
    }
    return true;
}

// Folded lines joined with one space, runs of blanks made one, control characters dropped.
std::string Unfolded(std::string_view value) {
    std::string out;
    bool blank = false;
    for (char c : value) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            blank = !out.empty();
            continue;
        }
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            continue;
        }
        if (blank) {
            out += ' ';
            blank = false;
        }
        out += c;
        if (out.size() >= kMaxArrivalResultLength) {
            out += "...";
            break;
        }
    }
    return out;
}

}  // namespace

std::vector<std::string> ArrivalResults(std::string_view message) {
    std::vector<std::string> results;
    size_t start = 0;
    bool collecting = false;
    std::string field;
    auto finish = [&] {
        if (collecting && results.size() < kMaxArrivalResults) {
            results.push_back(Unfolded(std::string_view(field).substr(kFieldName.size())));
        }
        collecting = false;
        field.clear();
    };
    while (start < message.size()) {
        size_t end = message.find('\n', start);
        std::string_view line =
            message.substr(start, end == std::string_view::npos ? end : end - start);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (line.empty()) {
            break;  // the end of the header section
        }
        if (line.front() == ' ' || line.front() == '\t') {
            if (collecting && field.size() < 4 * kMaxArrivalResultLength) {
                field += ' ';
                field += line;
            }
        } else {
            finish();
            if (StartsWithNoCase(line, kFieldName)) {
                collecting = true;
                field = std::string(line.substr(0, 4 * kMaxArrivalResultLength));
            }
        }
        if (end == std::string_view::npos) {
            break;
        }
        start = end + 1;
    }
    finish();
    return results;
}

std::vector<std::string> ArrivalResultsOfFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string head(kMaxArrivalHeaderRead, '\0');
    in.read(head.data(), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<size_t>(in.gcount()));
    return ArrivalResults(head);
}

std::string ArrivalResultsText(const std::vector<std::string>& results) {
    std::string text;
    for (const std::string& result : results) {
        if (!text.empty()) {
            text += '\n';
        }
        text += "Checks on arrival: " + result;
    }
    return text;
}
