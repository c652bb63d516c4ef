// Profile files on disk: loading through a per-path cache, and atomic rewrites serialised across
// processes by `<file>.lock`. Every rewrite also counts one more write generation in the lock
// file, which readers map: while the generation is unchanged and the file was last looked at less
// than kRecheckInterval ago, a cached parse is used without any system call. So a write through
// the store is seen by the next read of every process, an edit by another program within the
// interval. Without a usable lock file the cache is checked against the file (one stat) on every
// call. Loading never fails loudly: a missing or unreadable file is reported as such and readers
// give defaults. Any thread may call; fork only while no other thread is inside these functions.
#pragma once

#include <sys/stat.h>

#include <chrono>
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

// LoadDocument's document, lent rather than shared, for reading at once: valid until the calling
// thread's next call of these functions. None when the file is missing or unreadable.
const Document* BorrowDocument(const std::string& path);

// How long an edit made without the store can go unseen by readers that cached the file.
inline constexpr std::chrono::milliseconds kRecheckInterval{20};

// The file's current document; parsed again only when the file's identity (device, inode, size,
// modification and change times) differs from the cached parse, which is looked at when the
// generation moved or the interval passed.
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

// Replaces kRecheckInterval for the whole process and returns the interval it replaced; zero
// makes every call look at the file.
std::chrono::nanoseconds SetRecheckIntervalForTesting(std::chrono::nanoseconds interval);

}  // namespace profile
