// The configuration store: read and write `key=value` values in sectioned profile files, with the
// semantics the engine library relies on (case-insensitive names, first occurrence wins, untouched
// lines kept byte for byte). Reads never fail: a missing or damaged file gives the defaults. Writes
// are atomic (new file, then rename) and serialised across processes by a lock file, and refuse
// names or values that would break the file. Any thread may call; no Qt.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace profile {
enum class Flush;    // common/profile_file.h
enum class Writers;  // common/profile_file.h
class Document;
}  // namespace profile

// Resolves a file argument: "" -> default profile file (<exe base>.ini); ".xyz" -> <exe base>.xyz;
// anything containing ':' or starting with '/' -> itself; else <application directory>/<argument>.
std::string ResolveProfilePath(std::string_view fileArgument);

// The integer under the key (optional sign, decimal digits, wrapping modulo 2^32); the default
// when the file, section or key is missing or the value is empty.
int ProfileGetInt(std::string_view section, std::string_view key, int defaultValue,
                  std::string_view fileArgument);

// The value under the key (blanks around it removed, one pair of surrounding quotes stripped), at
// most 1023 characters; the default (trailing spaces removed) when the key is missing.
std::string ProfileGetString(std::string_view section, std::string_view key,
                             std::string_view defaultValue, std::string_view fileArgument);

// Whether the section has a line for the key (even one with an empty value).
bool ProfileHasKey(std::string_view section, std::string_view key, std::string_view fileArgument);

// Writes the value as signed decimal text. True when the file was written.
bool ProfileSetInt(std::string_view section, std::string_view key, int value,
                   std::string_view fileArgument);

// Writes the value; with no value the key is removed. Creates file and section as needed.
// False (file unchanged) when a name or value cannot be stored faithfully or the write failed.
bool ProfileSetString(std::string_view section, std::string_view key,
                      std::optional<std::string_view> value, std::string_view fileArgument);

// Why this thread's last failed write (set, remove, batch commit) failed, naming the file: for
// messages to the user. Empty after a write that succeeded.
std::string ProfileLastWriteError();

// Number of lines of the section (main configuration file) that have a non-empty key before their
// first '='; when keys is given it is emptied and receives those keys, trimmed, in file order.
int ProfileGetSection(std::string_view section, std::vector<std::string>* keys);

// One file as it was when the snapshot was taken, for reading many values with one look at the
// file (each of the functions above checks the file again on every call). Reads as they do; take
// a new snapshot to see later changes. Any thread may use a snapshot.
class ProfileSnapshot {
  public:
    explicit ProfileSnapshot(std::string_view fileArgument);

    int GetInt(std::string_view section, std::string_view key, int defaultValue) const;
    std::string GetString(std::string_view section, std::string_view key,
                          std::string_view defaultValue) const;
    bool HasKey(std::string_view section, std::string_view key) const;
    int GetSection(std::string_view section, std::vector<std::string>* keys) const;

  private:
    std::shared_ptr<const profile::Document> document_;  // none: missing or unreadable file
};

// Several writes to one file applied as one atomic rewrite under one lock: all or nothing.
class ProfileBatch {
  public:
    void Set(std::string_view section, std::string_view key, std::string_view value);
    void SetInt(std::string_view section, std::string_view key, int value);
    void Remove(std::string_view section, std::string_view key);
    bool Empty() const { return operations_.empty(); }
    size_t Size() const { return operations_.size(); }
    void Clear() { operations_.clear(); }
    // Applies every operation in order; false (file unchanged) if any one is refused or the
    // write fails. The batch is left as it was.
    bool Commit(std::string_view fileArgument) const;
    // The same, but written over the file in place where it can be and left to the kernel to
    // write back (profile::Flush::kInPlace): for records whose loss in a crash costs nothing.
    bool CommitInPlace(std::string_view fileArgument) const;
    // Either of them for a file whose every writer first takes another exclusive right, held by
    // the caller now (a queue entry's claim): no lock file is made beside the file.
    bool CommitHeld(std::string_view fileArgument, profile::Flush flush) const;

    struct Operation {
        std::string section;
        std::string key;
        std::optional<std::string> value;  // none: remove the key
    };
    const std::vector<Operation>& Operations() const { return operations_; }

  private:
    bool Apply(std::string_view fileArgument, profile::Flush flush, profile::Writers writers) const;

    std::vector<Operation> operations_;
};

// Whether a section name, key or value can be written and read back unchanged.
bool IsStorableSectionName(std::string_view section);
bool IsStorableKey(std::string_view key);
bool IsStorableValue(std::string_view value);
