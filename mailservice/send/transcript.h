// The lines a delivery tells as it goes (DNS answers, each command and reply), for the SEND log
// or the diagnose window. Shared by the routing and the transport.
#pragma once

#include <functional>
#include <string_view>

namespace relvo::mail::send {

// Receives the lines of a conversation (without time stamp).
using Transcript = std::function<void(std::string_view line)>;

}  // namespace relvo::mail::send
