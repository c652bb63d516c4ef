// A profile file held as its bytes plus a table of classified lines, with lookups by the file's
// rules: names compare without regard to ASCII letter case, the first section and the first key
// of a name win, lines before the first header belong to no section. Parsing never fails: any
// bytes give some document. Immutable once built, so one parse is shared by any number of
// threads; the per-section key index is built on first use under the document's own lock.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace profile {

// Blanks as the file's readers trim them.
inline bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\v';
}
std::string_view TrimFileBlanks(std::string_view text);
// Section and key arguments lose their spaces only; any other blank is part of the name.
std::string_view TrimSpaces(std::string_view text);

// One pair of identical surrounding quotes removed, as readers do.
std::string_view Unquote(std::string_view value);
// The text to put after '=' so that a reader gives back exactly `value`.
std::string EncodeValue(std::string_view value);
// Optional sign and decimal digits up to the first other character, wrapping modulo 2^32.
int ParseWrappedInt(std::string_view text);

enum class LineKind : uint8_t {
    kOutside,  // before the first header: no lookup reaches it
    kHeader,
    kComment,
    kBlank,
    kKey,   // has '=': a key line
    kText,  // inside a section, neither of the above
};

struct Line {
    uint32_t start;   // offset of its first byte
    uint32_t length;  // bytes before the line break
    uint32_t equals;  // offset of the first '=' from start (key lines only)
    uint8_t breakLength;
    LineKind kind;
};

struct Section {
    std::string_view name;  // trimmed, spelled as in the file
    uint32_t header;        // index of the header line
    uint32_t end;           // one past its last line
};

// Open addressing over names, first occurrence only: no allocation per name.
struct NameTable {
    static constexpr uint32_t kFree = UINT32_MAX;
    struct Slot {
        uint32_t item;  // kFree: unused
        uint32_t hash;
    };
    std::vector<Slot> slots;
    size_t mask = 0;
};

class Document {
  public:
    // Far beyond any configuration, so that a damaged or hostile file cannot take the memory of
    // every process that reads it: 100,000 accounts take 400,000 lines and 15 MiB with fields
    // like "user12345@example.com" (bench_profile_memory), 58 MiB even with 64-character names
    // and passwords and 256-character descriptions. Within the limits a read takes a few times
    // the file's size at most (bench_profile_memory). A document over a limit holds no lines.
    static constexpr size_t kMaxBytes = size_t{64} << 20;
    static constexpr size_t kMaxLines = size_t{1} << 21;
    static constexpr size_t kMaxSections = size_t{1} << 16;

    explicit Document(std::string bytes);
    Document(const Document&) = delete;
    Document& operator=(const Document&) = delete;

    const std::string& Bytes() const { return bytes_; }
    // Over one of the limits above: parsed as if empty.
    bool TooLarge() const { return tooLarge_; }
    // Where the first line starts: after a UTF-8 byte order mark, if any.
    size_t ContentStart() const { return contentStart_; }
    const std::vector<Line>& Lines() const { return lines_; }
    const std::vector<Section>& Sections() const { return sections_; }
    // The line break of the file's first line, or CRLF when it has none.
    std::string_view LineBreak() const { return lineBreak_; }

    std::string_view Text(const Line& line) const {
        return {bytes_.data() + line.start, line.length};
    }
    std::string_view Raw(const Line& line) const {
        return {bytes_.data() + line.start, size_t{line.length} + line.breakLength};
    }
    std::string_view KeyOf(const Line& line) const;
    // Trimmed, quotes kept.
    std::string_view RawValueOf(const Line& line) const;

    // Names are compared as given: callers strip the spaces of arguments first.
    std::optional<uint32_t> FindSection(std::string_view name) const;
    std::optional<uint32_t> FindKey(uint32_t section, std::string_view key) const;
    // The same without building the section's key index: cheaper for a few lookups.
    std::optional<uint32_t> ScanForKey(uint32_t section, std::string_view key) const;

  private:
    // The key lines of one section by key, and which of them are the first of their name.
    // Lookups usually come in file order (a record's fields one after another), so the line
    // after the last one found is tried before the table.
    struct KeyIndex {
        NameTable table;
        std::vector<uint8_t> firstOfName;  // per line of the section, from its header on
        mutable std::atomic<uint32_t> next{0};
    };

    void Parse();
    // Lines the parse will find, counted before anything is allocated for them.
    size_t CountLines() const;
    void AddLine(size_t start, size_t end, size_t breakLength);
    const KeyIndex& IndexOf(uint32_t section) const;
    void BuildIndex(uint32_t section, KeyIndex& index) const;
    std::optional<uint32_t> FindNearHint(const KeyIndex& index, uint32_t section,
                                         std::string_view key) const;

    std::string bytes_;
    bool tooLarge_ = false;
    size_t contentStart_ = 0;
    std::string_view lineBreak_ = "\r\n";
    std::vector<Line> lines_;
    std::vector<Section> sections_;
    NameTable sectionIndex_;
    // The section found last: reads come in runs against one section.
    mutable std::atomic<uint32_t> lastSection_{UINT32_MAX};
    mutable std::mutex keyIndexMutex_;
    mutable std::vector<std::unique_ptr<KeyIndex>> keyIndexes_;  // owned; built under the mutex
    // The same once built, read without the mutex.
    mutable std::unique_ptr<std::atomic<const KeyIndex*>[]> publishedIndexes_;
};

}  // namespace profile
