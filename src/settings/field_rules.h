// What the settings sheet's fields accept, as plain rules the page and its tests share: a number
// with a range in the settings table is held to that range (the range the engine holds it to),
// and the engine's text settings by their kind (an address of this machine, a DNS server, a list
// of networks, a certificate file). A refused field is explained by a hint beside the form.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The hint shown beside the form when the numeric field of key holds value (none: the field
// holds no number), or "" when it may be saved or has no range.
std::string NumberFieldHint(std::string_view key, std::optional<std::uint32_t> value);

// The same for a text field: "" for keys without a rule and for values that may be saved.
std::string TextFieldHint(std::string_view key, std::string_view value);

// The certificate and its key go together: "" when both or neither are given.
std::string TlsPairHint(std::string_view certificateFile, std::string_view keyFile);
