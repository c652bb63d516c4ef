#include "common/utilities.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "common/app_paths.h"
#include "common/clock.h"

namespace fs = std::filesystem;

namespace {

bool HasWildcard(std::string_view text) {
    return text.find_first_of("*?") != std::string_view::npos;
}

struct PathParts {
    std::string directory;  // "" means the current directory
    std::string name;
};

PathParts SplitLastComponent(std::string_view path) {
    auto slash = path.find_last_of('/');
    if (slash == std::string_view::npos) {
        return {"", std::string(path)};
    }
    return {std::string(path.substr(0, slash == 0 ? 1 : slash)),
            std::string(path.substr(slash + 1))};
}

std::string JoinPath(const std::string& directory, const std::string& name) {
    if (directory.empty()) {
        return name;
    }
    return directory.back() == '/' ? directory + name : directory + "/" + name;
}

// Names in a directory that match a pattern, sorted; empty when the directory cannot be read.
std::vector<std::string> MatchingNames(const std::string& directory, std::string_view pattern) {
    std::vector<std::string> names;
    std::error_code error;
    fs::directory_iterator it(directory.empty() ? "." : directory, error);
    for (; !error && it != fs::directory_iterator(); it.increment(error)) {
        std::string name = it->path().filename().string();
        if (WildcardMatch(pattern, name)) {
            names.push_back(std::move(name));
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool PathExists(const std::string& path) {
    std::error_code error;
    return fs::exists(fs::symlink_status(path, error)) && !error;
}

bool IsDirectory(const std::string& path) {
    std::error_code error;
    return fs::is_directory(path, error);
}

constexpr std::array<const char*, 7> kWeekdays = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                                  "Thursday", "Friday", "Saturday"};
constexpr std::array<const char*, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

}  // namespace

std::string_view TrimBlanks(std::string_view text) {
    constexpr std::string_view blanks = " \t\r\n\v\f";
    auto first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) {
        return {};
    }
    auto last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

bool WildcardMatch(std::string_view pattern, std::string_view name) {
    if (pattern == "*.*") {
        return true;  // matches names without a dot too, as users of such patterns expect
    }
    // Iterative matcher with back-tracking to the last '*': linear in practice, no recursion.
    size_t p = 0, n = 0, starP = std::string_view::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[n])) {
            ++p;
            ++n;
        } else if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starN = n;
        } else if (starP != std::string_view::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') {
        ++p;
    }
    return p == pattern.size();
}

std::string AppFilePath(std::optional<std::string_view> name,
                        std::optional<std::string_view> subdirectory) {
    if (!name) {
        return ExecutablePath();
    }
    std::string joined = ApplicationDirectory();
    if (subdirectory && !subdirectory->empty()) {
        joined += '/';
        joined += *subdirectory;
    }
    joined += '/';
    joined += *name;
    // One left-to-right pass over non-overlapping pairs: "///" becomes "//".
    std::string result;
    result.reserve(joined.size());
    for (size_t i = 0; i < joined.size(); ++i) {
        result += joined[i];
        if (joined[i] == '/' && i + 1 < joined.size() && joined[i + 1] == '/') {
            ++i;
        }
    }
    return result;
}

bool FileExists(std::string_view pathOrPattern) {
    if (pathOrPattern.empty()) {
        return false;
    }
    PathParts parts = SplitLastComponent(pathOrPattern);
    if (!HasWildcard(parts.name)) {
        return PathExists(std::string(pathOrPattern));
    }
    return !MatchingNames(parts.directory, parts.name).empty();
}

int ListDirectory(std::string_view pathOrPattern, std::vector<std::string>& list) {
    std::string path(pathOrPattern);
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    std::string directory;
    std::vector<std::string> names;
    PathParts parts = SplitLastComponent(path);
    if (!HasWildcard(parts.name) && IsDirectory(path)) {
        directory = path;
        names = MatchingNames(directory, "*");
    } else if (HasWildcard(parts.name)) {
        directory = parts.directory;
        names = MatchingNames(directory, parts.name);
    } else if (PathExists(path)) {
        directory = parts.directory;
        names.push_back(parts.name);
    }
    std::erase_if(names, [](const std::string& n) { return n == "." || n == ".."; });
    if (names.empty()) {
        return 0;
    }
    list.clear();
    for (const auto& name : names) {
        list.push_back(JoinPath(directory, name));
    }
    return static_cast<int>(list.size());
}

std::string CurrentTimeText(int kind) {
    std::time_t now = std::chrono::system_clock::to_time_t(CurrentTime());
    std::tm local{};
    if (localtime_r(&now, &local) == nullptr) {
        return {};
    }
    char buffer[128];
    int written = -1;
    switch (kind) {
        case 0:
            written = std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d",
                                    local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                                    local.tm_hour, local.tm_min, local.tm_sec);
            break;
        case 2:
            written = std::snprintf(buffer, sizeof buffer, "%02d:%02d:%02d", local.tm_hour,
                                    local.tm_min, local.tm_sec);
            break;
        case 5:
            if (local.tm_wday < 0 || local.tm_wday > 6 || local.tm_mon < 0 || local.tm_mon > 11) {
                return {};
            }
            written = std::snprintf(buffer, sizeof buffer, "%s, %s.%02d", kWeekdays[local.tm_wday],
                                    kMonths[local.tm_mon], local.tm_mday);
            break;
        default:
            return {};
    }
    if (written < 0 || static_cast<size_t>(written) >= sizeof buffer) {
        return {};
    }
    return std::string(buffer, static_cast<size_t>(written));
}

std::string IntToText(std::optional<std::string_view> prefix, int n) {
    std::string text = prefix ? std::string(*prefix) : std::string();
    return text + std::to_string(n);
}

int SplitText(std::string_view text, std::vector<std::string>& list, std::string_view separator) {
    text = TrimBlanks(text);
    if (text.empty()) {
        return 0;
    }
    list.clear();
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = separator.empty() ? std::string_view::npos : text.find(separator, pos);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        std::string_view piece = TrimBlanks(text.substr(pos, end - pos));
        if (!piece.empty()) {
            list.emplace_back(piece);
        }
        // Step over the whole separator so a longer one never leaks into the next piece.
        pos = end + std::max<size_t>(separator.size(), 1);
    }
    return static_cast<int>(list.size());
}

bool IsValidUtf8(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        size_t length = 0;
        uint32_t codePoint = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if ((lead & 0xe0) == 0xc0) {
            length = 2;
            codePoint = lead & 0x1f;
        } else if ((lead & 0xf0) == 0xe0) {
            length = 3;
            codePoint = lead & 0x0f;
        } else if ((lead & 0xf8) == 0xf0) {
            length = 4;
            codePoint = lead & 0x07;
        } else {
            return false;
        }
        if (i + length > text.size()) {
            return false;
        }
        for (size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xc0) != 0x80) {
                return false;
            }
            codePoint = (codePoint << 6) | (next & 0x3f);
        }
        static constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (codePoint < kSmallest[length] || codePoint > 0x10ffff ||
            (codePoint >= 0xd800 && codePoint <= 0xdfff)) {
            return false;
        }
        i += length;
    }
    return true;
}
