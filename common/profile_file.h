// Profile files on disk: loading through a per-path cache, and atomic rewrites serialised across
// processes by `<file>.lock`. Every rewrite also counts one more write generation in the first 8
// bytes of the lock file. A reader trusts its cached parse, without looking at the file, while the
// generation it reads (one pread, never a mapping: other programs may cut the lock file) is
// unchanged and it last looked at the file less than kRecheckInterval ago by the coarse monotonic
// clock. So a write through the store is seen by the next read of every process. An edit by
// another program that changes the file's size, inode or timestamps is seen by reads that start
// later than kRecheckInterval plus one tick of that clock (clock_getres(CLOCK_MONOTONIC_COARSE):
// 1 to 10 ms by kernel, 4 ms on common ones) after it. Only an edit in place that keeps the size
// and falls in the same file-timestamp tick as the change a reader last saw goes unseen until the
// next change; kernels from 6.13 give it a finer timestamp once the file was looked at.
// Without a usable lock file the cache is checked against the file (one stat) on every call.
// Only regular files are read or locked, opened so that nothing blocks; profiles over the
// Document limits are refused. Loading never fails loudly: a missing, unusable or unreadable file
// is reported as such and readers give defaults. Writes that fail say why (LastWriteError). Any
// thread may call; fork only while no other thread is inside these functions. Reading and its
// cache are in profile_cache.cpp, writing in profile_file.cpp.
#pragma once

#include <sys/stat.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "common/profile_document.h"
#include "common/profile_editor.h"

namespace profile {

enum class LoadStatus {
    kMissing,
    kUnreadable,
    kLoaded,
    kNotAFile,  // a directory, FIFO, socket or device: read as missing, never written
    kTooLarge,  // over Document::kMaxBytes, kMaxLines or kMaxSections
};

struct Loaded {
    LoadStatus status = LoadStatus::kMissing;
    std::shared_ptr<const Document> document;  // set when loaded
    struct stat info {};                       // of the file that was read
};

// LoadDocument's document, lent rather than shared, for reading at once: valid until the calling
// thread's next call of these functions. None when the file is missing or unreadable.
const Document* BorrowDocument(const std::string& path);

// How long, plus one tick of the coarse clock, an edit made without the store can go unseen by
// readers that cached the file.
inline constexpr std::chrono::milliseconds kRecheckInterval{20};

// The file's current document; parsed again only when the file's identity (device, inode, size,
// modification and change times) differs from the cached parse, which is looked at when the
// generation moved or the interval passed.
Loaded LoadDocument(const std::string& path);

// Under the file's lock: removes the temporary files that killed writers left beside the file
// (found by one listing of its directory per process, and by the lock file's record afterwards),
// loads the current document, lets `edit` change it and, if it changed anything, replaces the
// file atomically (the target of a symbolic link, when the path is one). A file that exists but
// cannot be read, is not a regular file or is too large is never replaced, nor is one that the
// edit would make too large. True when the file now holds the edits (also when there was nothing
// to write); otherwise LastWriteError says why.
enum class Flush {
    kToDisk,  // the new file and its directory entry are flushed before the call returns
    kNone,    // left to the kernel: for records whose loss in a crash costs nothing
    // As kNone, but written over the file's own bytes when its blocks already hold the new text,
    // so that no file is created or freed: on ext4 without a journal each freed inode slows every
    // file creation in its block group for the next minute or more. For a record with one writer
    // at a time; a reader racing the write may parse a mix once and sees the whole on its next
    // read (the write counts a generation).
    kInPlace,
};
// Who keeps the writers of a file from overlapping.
enum class Writers {
    kLockFile,  // the store, by the file's lock file
    // The caller, by a right of its own that every writer of the file takes first (a queue
    // entry's claim): no lock file is made, so none is left behind when the file moves or goes.
    // One made before is still taken and counted in, for the readers that watch its count. The
    // temporary of a writer killed mid-write is found by listing the directory (at the first
    // write of each process, and by RemoveStaleTemporariesIn).
    kCaller,
};
bool RewriteFile(const std::string& path, const std::function<void(Editor&)>& edit,
                 Flush flush = Flush::kToDisk, Writers writers = Writers::kLockFile);

// Why this thread's last write failed, naming the file; empty after a write that succeeded.
const std::string& LastWriteError();
void SetLastWriteError(std::string message);

// Removes the temporary files of every file in the directory whose writers are gone (one
// listing); how many. For a periodic clean-up: rewrites list no directory after their first.
int RemoveStaleTemporariesIn(const std::string& directory);

// Writes the bytes to a new file beside the path, flushes it to disk and renames it over the path,
// with the given mode; what the store does for a rewrite, without lock or parsing.
bool ReplaceFileAtomically(const std::string& path, const std::string& bytes,
                           const struct stat* previous);

// Replaces kRecheckInterval for the whole process and returns the interval it replaced; zero
// makes every call look at the file.
std::chrono::nanoseconds SetRecheckIntervalForTesting(std::chrono::nanoseconds interval);

}  // namespace profile
