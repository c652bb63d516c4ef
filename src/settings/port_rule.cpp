#include "settings/port_rule.h"

namespace {
constexpr std::uint32_t kHighestPort = 65535;
}  // namespace

std::string PortFieldHint(std::string_view key, std::optional<std::uint32_t> value) {
    if (key == "SmtpPort") {
        const bool fits = value && *value >= 1 && *value <= kHighestPort;
        return fits ? "" : "A port is a number from 1 to 65535";
    }
    if (key == "SmtpPort2nd") {
        const bool fits = value && *value <= kHighestPort;  // 0: no second port
        return fits ? "" : "A port is a number from 1 to 65535, or 0 for no second port";
    }
    return {};
}
