#include "settings/port_rule.h"

namespace {
constexpr std::uint32_t kHighestPort = 65535;
}  // namespace

std::string PortFieldHint(std::string_view key, std::uint32_t value) {
    if (key == "SmtpPort") {
        return value >= 1 && value <= kHighestPort ? "" : "A port is a number from 1 to 65535";
    }
    if (key == "SmtpPort2nd") {
        return value <= kHighestPort
                   ? ""
                   : "A port is a number from 1 to 65535, or 0 for no second port";
    }
    return {};
}
