// The server settings: which keys of section System (common/settings_table.h) each page of the
// settings sheet edits, the order in which it reads and writes them, and how a numeric field is
// read. Reads never fail (defaults); a page is written as one atomic rewrite. No Qt; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/settings_table.h"

// The pages of the settings sheet, in the order they are written.
enum class SettingsPage { General, Smtp, Send, Advanced };

// A page's keys, each with its kind and defaults in the settings table. A flag shows as a check
// box, any other key as an edit box: a number read as unsigned and stored as signed decimal text,
// a text stored as it is.
using PageKeys = std::span<const relvo::SettingInfo* const>;

// The page's keys in the order the page reads and writes them.
PageKeys SettingsPageKeys(SettingsPage page);

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

// Reads the page's keys from the main configuration file, absent keys giving the defaults the
// sheet shows.
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
