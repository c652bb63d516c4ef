// The README's table of the engine's keys, written from the settings table, so that the README
// says what the code does.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// The markdown table (header, rule and one row per engine key), each line ending in '\n'.
std::string EngineSettingsTable();

// readme with its engine key table replaced by EngineSettingsTable(); none when readme has no
// such table (the line introducing it, then a table).
std::optional<std::string> WithEngineSettingsTable(std::string_view readme);
