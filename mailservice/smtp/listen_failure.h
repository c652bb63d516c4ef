// One line for the operator when a port cannot be opened: why, and what to do about it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace relvo::mail::smtp {

struct PortHolder {
    int pid = 0;
    std::string name;  // the command name, as /proc/<pid>/comm gives it
};

// The process with a TCP socket listening on the port (IPv4 or IPv6), found through the socket's
// inode in /proc/net/tcp{,6} and the descriptors under /proc/<pid>/fd; nullopt when it cannot be
// seen (another user's process, for instance). procRoot is "/proc" except in tests.
std::optional<PortHolder> FindPortHolder(int port, const std::string& procRoot = "/proc");

// The line for a failed bind or listen on address:port ("" = all addresses).
std::string DescribeListenFailure(int port, std::string_view address, std::error_code error);

// The line for a port outside 1 to 65535.
std::string DescribeBadPort(int port);

}  // namespace relvo::mail::smtp
