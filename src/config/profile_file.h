// Profile files on disk: loading through a per-path cache that is checked against the file on
// every call (one stat), and atomic rewrites serialised across processes by `<file>.lock`.
// Loading never fails loudly: a missing or unreadable file is reported as such and readers give
// defaults. Any thread may call; fork only while no other thread is inside these functions.
#pragma once

#include <sys/stat.h>

#include <functional>
#include <memory>
#include <string>

#include "config/profile_document.h"
#include "config/profile_editor.h"

namespace profile {

enum class LoadStatus { kMissing, kUnreadable, kLoaded };

struct Loaded {
    LoadStatus status = LoadStatus::kMissing;
    std::shared_ptr<const Document> document;  // set when loaded
    struct stat info {};                       // of the file that was read
};

// The file's current document; parsed again only when the file's identity (device, inode, size,
// modification and change times) differs from the cached parse.
Loaded LoadDocument(const std::string& path);

// Under the file's lock: loads the current document, lets `edit` change it and, if it changed
// anything, replaces the file atomically (the target of a symbolic link, when the path is one).
// A file that exists but cannot be read is never replaced. True when the file now holds the
// edits (also when there was nothing to write).
bool RewriteFile(const std::string& path, const std::function<void(Editor&)>& edit);

// Writes the bytes to a new file beside the path, flushes it to disk and renames it over the path,
// with the given mode; what the store does for a rewrite, without lock or parsing.
bool ReplaceFileAtomically(const std::string& path, const std::string& bytes,
                           const struct stat* previous);

}  // namespace profile
