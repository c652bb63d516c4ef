// Where the program's files are: the application directory (the executable's directory, or the
// one override set for tests and installed layouts) and the executable base path from which the
// profile files take their names. Computed once; the override must be set before first use or
// replaces what was computed. Thread-safe.
#pragma once

#include <string>
#include <string_view>

// The application directory, without a trailing separator.
std::string ApplicationDirectory();

// The full path of the running executable (as the system reports it).
std::string ExecutablePath();

// The executable's path without its extension; with an override, <override>/relvoconsole.
std::string ExecutableBasePath();

// Changes whenever the override does, so callers may keep paths built from the ones above
// while it stays the same. Cheap: no lock.
unsigned long long ApplicationPathsVersion();

// Sets the application directory for the whole process ("" clears the override).
void OverrideApplicationDirectory(std::string_view directory);

// Name of the environment variable that main() applies through OverrideApplicationDirectory.
inline constexpr const char* kAppDirEnvironmentVariable = "RELVO_APP_DIR";
