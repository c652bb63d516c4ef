// Why a configuration file that exists cannot be read, in the system's words. No Qt (the store's
// headers and Qt's keywords do not mix); any thread.
#pragma once

#include <optional>
#include <string>

// None when the file is readable or does not exist; otherwise the reason, such as
// "Permission denied" or "it is not a regular file".
std::optional<std::string> ConfigReadProblemReason(const std::string& path);
