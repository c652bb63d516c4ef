// Renames that never replace what is at the target, so that no entry of the queue (or of old/)
// is ever lost to a rename of another with the same name: the file keeps its old name instead.
#pragma once

#include <string>

// rename(from, to), failing with EEXIST when `to` exists. False with errno set.
bool RenameNoReplace(const std::string& from, const std::string& to);
// The same relative to two open directories.
bool RenameNoReplaceAt(int fromDir, const char* from, int toDir, const char* to);
