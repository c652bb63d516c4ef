// The server settings: the fourteen keys of section System of the main configuration file and the
// engine's own keys of the Advanced page, their defaults as the settings sheet shows them, the
// order in which each sheet page reads and writes them, and how a numeric field is read. Reads
// never fail (defaults); a page is written as one atomic rewrite. No Qt; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

inline constexpr const char* kSettingsSection = "System";

// The pages of the settings sheet, in the order they are written.
enum class SettingsPage { General, Smtp, Send, Advanced };

enum class SettingKind {
    Flag,    // a check box: stored 1 or 0
    Number,  // an edit box read as unsigned, stored as signed decimal text
    Text,    // an edit box stored as it is
};

struct SettingKey {
    const char* name;
    SettingKind kind;
    int defaultValue;  // for a flag or a number; a text's default is empty
};

// The page's keys in the order the page reads and writes them.
std::span<const SettingKey> SettingsPageKeys(SettingsPage page);

// Where the key stands in SettingsPageKeys(page); nullopt when the page has no such key.
std::optional<std::size_t> SettingKeyIndex(SettingsPage page, std::string_view name);

// The page's keys in the order its form lists and reads them, which decides the field that a
// failed read stops at (its first numeric field without a number in this order).
std::span<const char* const> SettingsPageFormOrder(SettingsPage page);

// One value per key of a page, in SettingsPageKeys order.
struct SettingValue {
    int number = 0;  // flag or number
    std::string text;
};
using SettingValues = std::vector<SettingValue>;

// Reads the page's keys from the main configuration file, absent keys giving their defaults.
SettingValues LoadSettingsPage(SettingsPage page);

// Writes the page's keys in order as one rewrite of the main configuration file (numbers and
// flags as signed decimal text, the text as it is). False, with the file unchanged, when the
// values do not match the page's keys, a text cannot be stored faithfully or the write failed.
bool SaveSettingsPage(SettingsPage page, const SettingValues& values);

// Only this many characters of a numeric field are read.
inline constexpr std::size_t kNumberFieldReadLength = 63;

// Reads a numeric field as the "%u" conversion does: leading white space skipped, an optional
// sign, decimal digits up to the first other character ("25abc" is 25); a minus sign gives the
// 32-bit two's complement, so "-1" is 4294967295 and is stored as -1 again. No digits (an empty
// field included) is no number. A magnitude above 4294967295, which "%u" would wrap into some
// other number without a word, is no number either.
std::optional<std::uint32_t> ReadNumberField(std::string_view text);

// A stored number as the field shows it: unsigned decimal ("%u"), so a stored -1 shows
// 4294967295.
std::string NumberFieldText(int stored);

// A flag shows ticked when it holds 1 or 2 (what another program may store for "on"); any other
// value, 0 included, shows unticked and is saved as 0 if its page is saved.
bool SettingFlagTicked(int stored);
