// The results of the checks the SMTP service made when a mail arrived: the Authentication-Results
// fields it writes at the top of a stored message (after taking out any that a client forged
// under our name), for the queue view and the diagnose dialog to show. No Qt; any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

inline constexpr size_t kMaxArrivalHeaderRead = 256 * 1024;  // of a message, for its header
inline constexpr size_t kMaxArrivalResults = 8;
inline constexpr size_t kMaxArrivalResultLength = 2000;

// The values of the message's Authentication-Results fields, unfolded, in their order; only the
// header section (up to its first empty line) is looked at. Empty when it has none.
std::vector<std::string> ArrivalResults(std::string_view message);
// The same for the message file at path (its first kMaxArrivalHeaderRead bytes).
std::vector<std::string> ArrivalResultsOfFile(const std::string& path);
// "Checks on arrival: <value>", one line per field; "" when there is none.
std::string ArrivalResultsText(const std::vector<std::string>& results);
