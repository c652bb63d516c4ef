// Directories the console and the engine make under the data directory hold mail, logs and
// credentials' traces: whatever the umask (or a default ACL) would allow, a directory made here is
// open to its owner only. One that is already there is kept as it is: its mode is the operator's.
#pragma once

#include <string>

// Makes path with mode 0700 unless a directory (or a link to one) is there. "" when path is a
// directory afterwards, otherwise why not.
std::string MakeOwnerOnlyDirectory(const std::string& path);
// Sets an existing directory to mode 0700 through its own open descriptor (never through a link
// put where it was). "" when done, otherwise why not.
std::string RestrictDirectoryToOwner(const std::string& path);
