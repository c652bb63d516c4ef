// What the settings sheet's two port fields accept: a port that can work, 1 to 65535, and for
// the second port also 0, which means none. Other numbers of the sheet have no range.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The hint shown beside the form when the field of key holds value (none: the field holds no
// number), or "" when it may be saved or is no port field.
std::string PortFieldHint(std::string_view key, std::optional<std::uint32_t> value);
