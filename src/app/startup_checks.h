// Checks made when the console starts whose failures the user must hear of, because what follows
// would otherwise look like an empty configuration or fail later without a word. No Qt.
#pragma once

#include <string>

// Why the file at path cannot be read, or "" when it can be read or does not exist (a missing
// configuration file means the defaults, which is no fault).
std::string FileReadProblem(const std::string& path);

// Creates the directory unless something of that name exists; why it could not be made, or ""
// when it exists as a directory now.
std::string WorkingDirectoryProblem(const std::string& path);
