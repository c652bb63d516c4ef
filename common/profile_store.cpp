#include "common/profile_store.h"

#include "common/app_paths.h"
#include "common/profile_document.h"
#include "common/profile_file.h"

namespace {

// The longest value a reader receives, as with the fixed buffers of the old callers.
constexpr size_t kMaxValueLength = 1023;

using profile::Document;
using profile::TrimSpaces;

// At most kMaxValueLength bytes, never ending inside a UTF-8 sequence.
std::string CappedText(std::string_view text) {
    if (text.size() <= kMaxValueLength) {
        return std::string(text);
    }
    size_t length = kMaxValueLength;
    // Back up over continuation bytes to the start of the cut character (at most 3 of them).
    for (int step = 0; step < 3 && length > 0 && (text[length] & 0xC0) == 0x80; ++step) {
        --length;
    }
    if ((text[length] & 0xC0) == 0x80) {
        length = kMaxValueLength;  // not UTF-8 anyway: cut at the byte limit
    }
    return std::string(text.substr(0, length));
}

std::optional<std::string_view> FindValue(const Document& document, std::string_view section,
                                          std::string_view key) {
    auto s = document.FindSection(TrimSpaces(section));
    if (!s) {
        return std::nullopt;
    }
    auto line = document.FindKey(*s, TrimSpaces(key));
    if (!line) {
        return std::nullopt;
    }
    return profile::Unquote(document.RawValueOf(document.Lines()[*line]));
}

int IntFrom(const Document* document, std::string_view section, std::string_view key,
            int defaultValue) {
    auto value = document ? FindValue(*document, section, key) : std::nullopt;
    if (!value || value->empty()) {
        return defaultValue;
    }
    return profile::ParseWrappedInt(*value);
}

std::string StringFrom(const Document* document, std::string_view section, std::string_view key,
                       std::string_view defaultValue) {
    if (auto value = document ? FindValue(*document, section, key) : std::nullopt) {
        return CappedText(*value);
    }
    size_t end = defaultValue.find_last_not_of(' ');
    return CappedText(defaultValue.substr(0, end == std::string_view::npos ? 0 : end + 1));
}

int SectionFrom(const Document* document, std::string_view section,
                std::vector<std::string>* keys) {
    if (keys) {
        keys->clear();
    }
    auto s = document ? document->FindSection(TrimSpaces(section)) : std::nullopt;
    if (!s) {
        return 0;
    }
    int count = 0;
    const profile::Section& found = document->Sections()[*s];
    if (keys) {
        keys->reserve(found.end - found.header - 1);
    }
    for (uint32_t i = found.header + 1; i < found.end; ++i) {
        const profile::Line& line = document->Lines()[i];
        // Lines without '=' have an empty key and are not listed, like "=value" lines.
        if (line.kind != profile::LineKind::kKey) {
            continue;
        }
        std::string_view name = document->KeyOf(line);
        if (name.empty()) {
            continue;
        }
        ++count;
        if (keys) {
            keys->emplace_back(name);
        }
    }
    return count;
}

bool HasEdgeBlank(std::string_view name) {
    return !name.empty() && (profile::IsBlank(name.front()) || profile::IsBlank(name.back()));
}

bool HasLineBreakOrNul(std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// ResolveProfilePath without building the same path again on every read: the thread's last result,
// kept while the argument and the executable base path it came from are unchanged. The reference
// is good until the thread's next call.
const std::string& ResolvedPath(std::string_view fileArgument) {
    struct Resolved {
        std::string argument;
        unsigned long long pathsVersion = 0;
        std::string path;
    };
    thread_local Resolved last;
    if (!fileArgument.empty() &&
        (fileArgument.front() == '/' || fileArgument.find(':') != std::string_view::npos)) {
        last.pathsVersion = 0;  // what is kept no longer belongs to a "." argument
        last.path.assign(fileArgument);
        return last.path;
    }
    if (fileArgument.empty() || fileArgument.front() == '.') {
        unsigned long long version = ApplicationPathsVersion();
        if (version != last.pathsVersion || fileArgument != last.argument || last.path.empty()) {
            last.path = ExecutableBasePath();
            last.path.append(fileArgument.empty() ? std::string_view(".ini") : fileArgument);
            last.pathsVersion = version;
            last.argument.assign(fileArgument);
        }
        return last.path;
    }
    last.pathsVersion = 0;
    last.path = ResolveProfilePath(fileArgument);
    return last.path;
}

bool IsStorable(const ProfileBatch::Operation& operation) {
    return IsStorableSectionName(operation.section) && IsStorableKey(operation.key) &&
           (!operation.value || IsStorableValue(*operation.value));
}

}  // namespace

std::string ResolveProfilePath(std::string_view fileArgument) {
    if (fileArgument.empty()) {
        return ExecutableBasePath() + ".ini";
    }
    if (fileArgument.front() == '.') {
        return ExecutableBasePath() + std::string(fileArgument);
    }
    if (fileArgument.front() == '/' || fileArgument.find(':') != std::string_view::npos) {
        return std::string(fileArgument);
    }
    return ApplicationDirectory() + "/" + std::string(fileArgument);
}

int ProfileGetInt(std::string_view section, std::string_view key, int defaultValue,
                  std::string_view fileArgument) {
    return IntFrom(profile::BorrowDocument(ResolvedPath(fileArgument)), section, key, defaultValue);
}

std::string ProfileGetString(std::string_view section, std::string_view key,
                             std::string_view defaultValue, std::string_view fileArgument) {
    return StringFrom(profile::BorrowDocument(ResolvedPath(fileArgument)), section, key,
                      defaultValue);
}

bool ProfileHasKey(std::string_view section, std::string_view key, std::string_view fileArgument) {
    const Document* document = profile::BorrowDocument(ResolvedPath(fileArgument));
    return document && FindValue(*document, section, key).has_value();
}

bool ProfileSetInt(std::string_view section, std::string_view key, int value,
                   std::string_view fileArgument) {
    ProfileBatch batch;
    batch.SetInt(section, key, value);
    return batch.Commit(fileArgument);
}

bool ProfileSetString(std::string_view section, std::string_view key,
                      std::optional<std::string_view> value, std::string_view fileArgument) {
    ProfileBatch batch;
    if (value) {
        batch.Set(section, key, *value);
    } else {
        batch.Remove(section, key);
    }
    return batch.Commit(fileArgument);
}

int ProfileGetSection(std::string_view section, std::vector<std::string>* keys) {
    return SectionFrom(profile::BorrowDocument(ResolvedPath(".cfg")), section, keys);
}

ProfileSnapshot::ProfileSnapshot(std::string_view fileArgument)
    : document_(profile::LoadDocument(ResolvedPath(fileArgument)).document) {}

int ProfileSnapshot::GetInt(std::string_view section, std::string_view key,
                            int defaultValue) const {
    return IntFrom(document_.get(), section, key, defaultValue);
}

std::string ProfileSnapshot::GetString(std::string_view section, std::string_view key,
                                       std::string_view defaultValue) const {
    return StringFrom(document_.get(), section, key, defaultValue);
}

bool ProfileSnapshot::HasKey(std::string_view section, std::string_view key) const {
    return document_ && FindValue(*document_, section, key).has_value();
}

int ProfileSnapshot::GetSection(std::string_view section, std::vector<std::string>* keys) const {
    return SectionFrom(document_.get(), section, keys);
}

void ProfileBatch::Set(std::string_view section, std::string_view key, std::string_view value) {
    operations_.push_back({std::string(section), std::string(key), std::string(value)});
}

void ProfileBatch::SetInt(std::string_view section, std::string_view key, int value) {
    Set(section, key, std::to_string(value));
}

void ProfileBatch::Remove(std::string_view section, std::string_view key) {
    operations_.push_back({std::string(section), std::string(key), std::nullopt});
}

bool ProfileBatch::Commit(std::string_view fileArgument) const {
    return Apply(fileArgument, profile::Flush::kToDisk, profile::Writers::kLockFile);
}

bool ProfileBatch::CommitInPlace(std::string_view fileArgument) const {
    return Apply(fileArgument, profile::Flush::kInPlace, profile::Writers::kLockFile);
}

bool ProfileBatch::CommitHeld(std::string_view fileArgument, profile::Flush flush) const {
    return Apply(fileArgument, flush, profile::Writers::kCaller);
}

bool ProfileBatch::Apply(std::string_view fileArgument, profile::Flush flush,
                         profile::Writers writers) const {
    for (const Operation& operation : operations_) {
        if (!IsStorable(operation)) {
            profile::SetLastWriteError("the section name, key or value of [" + operation.section +
                                       "] " + operation.key +
                                       " cannot be stored: line breaks, NUL or misplaced '=', "
                                       "';', '[' or ']'");
            return false;
        }
    }
    auto edit = [this](profile::Editor& editor) {
        for (const Operation& operation : operations_) {
            std::string_view section = TrimSpaces(operation.section);
            std::string_view key = TrimSpaces(operation.key);
            if (operation.value) {
                editor.Set(section, key, *operation.value);
            } else {
                editor.Remove(section, key);
            }
        }
    };
    return profile::RewriteFile(ResolveProfilePath(fileArgument), edit, flush, writers);
}

std::string ProfileLastWriteError() {
    return profile::LastWriteError();
}

bool IsStorableSectionName(std::string_view section) {
    section = TrimSpaces(section);
    // A ']' would end the name early; edge tabs would be trimmed by readers but not by lookups.
    return !HasLineBreakOrNul(section) && section.find(']') == std::string_view::npos &&
           !HasEdgeBlank(section);
}

bool IsStorableKey(std::string_view key) {
    key = TrimSpaces(key);
    // A key line starting with ';' is a comment, one starting with '[' a section header.
    return !HasLineBreakOrNul(key) && key.find('=') == std::string_view::npos &&
           !HasEdgeBlank(key) && (key.empty() || (key.front() != ';' && key.front() != '['));
}

bool IsStorableValue(std::string_view value) {
    return !HasLineBreakOrNul(value);
}
