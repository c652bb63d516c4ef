// The profile store's parsed files by path, which reads and writes share (common/profile_file.h
// says when a read trusts them), and the rules for the files beside a profile that both follow.
// Internal to the store.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>

#include "common/profile_file.h"

namespace profile::detail {

// Flags for every descriptor of a file the store does not control: opening a FIFO or a device
// must neither block nor make it our terminal; what is opened is checked with fstat.
inline constexpr int kOpenFlags = O_CLOEXEC | O_NONBLOCK | O_NOCTTY;

// The lock file's first 8 bytes count the writes made through the store, so a reader can tell
// that nothing was written since it last looked with one read of 8 bytes. They are read with
// pread, never through a mapping: a mapping faults (SIGBUS) once another program truncates the
// lock file, and any program may.
inline constexpr size_t kGenerationBytes = sizeof(uint64_t);

int64_t Nanoseconds(const timespec& time);
int64_t CoarseNow();
std::string LockPathOf(const std::string& target);
bool IsRegularFile(int fd);
std::string DirectoryOf(const std::string& path);
// The file a path finally names, following symbolic links (also to a target that is missing).
std::optional<std::string> ResolveLinks(std::string path);

// The file's current document; with `trustGeneration`, without looking at the file while the
// lock file's generation is unchanged and the last check is recent.
Loaded Load(const std::string& path, bool trustGeneration);
// Drops this thread's and the shared cache's parse of the file, so that its memory is free
// before a new one is built.
void Forget(const std::string& path);
// A write through the store: this process then reads what it wrote without parsing the file
// again. Call while the file's writers are kept apart, so that the generation read here is the
// one this write left.
void RememberWrite(const std::string& path, const struct stat& written,
                   std::shared_ptr<const Document> document, int64_t writtenAt);
// Counts a write of this process once the cache holds it: a thread's own copies of entries must
// not outlive it even when the lock file could not count it.
void CountLocalWrite();

}  // namespace profile::detail
