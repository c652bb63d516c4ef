// Small shared helpers: paths under the application directory, file tests and listings, time
// texts, integer texts and splitting. No state beyond the cached application directory; failures
// read as "nothing found" or an empty text. No Qt.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// name absent: the executable's path. Otherwise <app dir>/<subdirectory>/<name> (or <app
// dir>/<name> when the subdirectory is absent or empty), every "//" then made "/" in one pass.
std::string AppFilePath(std::optional<std::string_view> name,
                        std::optional<std::string_view> subdirectory = std::nullopt);

// True when a file or directory matches; '*' and '?' are honoured in the last path component.
bool FileExists(std::string_view pathOrPattern);

// Fills the list with the full paths of a directory's entries (or of a pattern's matches), sorted
// by name, without "." and "..". Returns their number; 0 leaves the list untouched.
int ListDirectory(std::string_view pathOrPattern, std::vector<std::string>& list);

// The current local time: kind 0 "2009-03-07 14:05:09", 2 "14:05:09", 5 "Saturday, Mar.07";
// English names whatever the locale; "" for other kinds or a time that cannot be converted.
std::string CurrentTimeText(int kind);

// "<prefix><n>" with n as signed decimal text.
std::string IntToText(std::optional<std::string_view> prefix, int n);

// Splits at every separator, trims the pieces and keeps the non-empty ones. A text that is blank
// returns 0 and leaves the list untouched; otherwise the list is replaced.
int SplitText(std::string_view text, std::vector<std::string>& list, std::string_view separator);

// Whether the text is valid UTF-8 (no overlong forms, no surrogates, nothing past U+10FFFF).
bool IsValidUtf8(std::string_view text);

// Blanks removed from both ends (space, tab, CR, LF, VT, FF).
std::string_view TrimBlanks(std::string_view text);

// Whether a name matches a pattern with '*' and '?'; "*.*" matches every name.
bool WildcardMatch(std::string_view pattern, std::string_view name);
