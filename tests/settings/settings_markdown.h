// The README's tables of the keys of section System, written from the settings table, so that the
// README says what the code does.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/settings_table.h"

// The markdown table of one owner's keys (header, rule and one row per key), each line ending in
// '\n'.
std::string SettingsTable(relvo::SettingOwner owner);

// readme with its table of the console's keys and its table of the engine's keys replaced by
// SettingsTable(); none when readme lacks one of them (the line introducing it, then a table).
std::optional<std::string> WithSettingsTables(std::string_view readme);
