#include "common/profile_document.h"

#include <algorithm>
#include <cstring>

#include "common/ascii.h"

namespace profile {

namespace {

// Sections this short are searched line by line: cheaper than building an index.
constexpr uint32_t kIndexThreshold = 16;

bool IsQuote(char c) {
    return c == '"' || c == '\'';
}

size_t FindByte(const char* data, size_t from, size_t size, char wanted) {
    const void* hit = std::memchr(data + from, wanted, size - from);
    return hit ? static_cast<size_t>(static_cast<const char*>(hit) - data) : size;
}

NameTable EmptyTable(size_t names) {
    size_t capacity = 16;
    while (capacity < 2 * names) {
        capacity *= 2;
    }
    NameTable table;
    table.slots.assign(capacity, {NameTable::kFree, 0});
    table.mask = capacity - 1;
    return table;
}

// Adds the item unless an earlier one has the same name; `nameOf` gives an item's name.
template <typename NameOf>
// False when the name is there already (the item is a later one of the same name).
bool Insert(NameTable& table, uint32_t item, std::string_view name, uint32_t hash,
            const NameOf& nameOf) {
    for (size_t slot = hash & table.mask;; slot = (slot + 1) & table.mask) {
        NameTable::Slot& entry = table.slots[slot];
        if (entry.item == NameTable::kFree) {
            entry = {item, hash};
            return true;
        }
        if (entry.hash == hash && AsciiEqualNoCase(nameOf(entry.item), name)) {
            return false;
        }
    }
}

template <typename NameOf>
std::optional<uint32_t> Lookup(const NameTable& table, std::string_view name,
                               const NameOf& nameOf) {
    const auto hash = static_cast<uint32_t>(AsciiNoCaseHash()(name));
    for (size_t slot = hash & table.mask;; slot = (slot + 1) & table.mask) {
        const NameTable::Slot& entry = table.slots[slot];
        if (entry.item == NameTable::kFree) {
            return std::nullopt;
        }
        if (entry.hash == hash && AsciiEqualNoCase(nameOf(entry.item), name)) {
            return entry.item;
        }
    }
}

}  // namespace

std::string_view TrimFileBlanks(std::string_view text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && IsBlank(text[begin])) {
        ++begin;
    }
    while (end > begin && IsBlank(text[end - 1])) {
        --end;
    }
    return text.substr(begin, end - begin);
}

std::string_view TrimSpaces(std::string_view text) {
    size_t begin = text.find_first_not_of(' ');
    if (begin == std::string_view::npos) {
        return {};
    }
    return text.substr(begin, text.find_last_not_of(' ') - begin + 1);
}

std::string_view Unquote(std::string_view value) {
    if (value.size() >= 2 && IsQuote(value.front()) && value.back() == value.front()) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

std::string EncodeValue(std::string_view value) {
    // Readers trim blanks and drop one pair of quotes; wrapping in quotes protects both.
    bool readsBackChanged =
        !value.empty() &&
        (IsBlank(value.front()) || IsBlank(value.back()) ||
         (value.size() >= 2 && IsQuote(value.front()) && value.back() == value.front()));
    if (!readsBackChanged) {
        return std::string(value);
    }
    std::string quoted;
    quoted.reserve(value.size() + 2);
    quoted += '"';
    quoted += value;
    quoted += '"';
    return quoted;
}

int ParseWrappedInt(std::string_view text) {
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    uint32_t result = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        result = result * 10u + static_cast<uint32_t>(text[i] - '0');
    }
    if (negative) {
        result = 0u - result;
    }
    return static_cast<int>(result);
}

Document::Document(std::string bytes) : bytes_(std::move(bytes)) {
    Parse();
}

void Document::Parse() {
    const char* data = bytes_.data();
    const size_t size = bytes_.size();
    if (size >= 3 && std::memcmp(data, "\xEF\xBB\xBF", 3) == 0) {
        contentStart_ = 3;
    }
    // Every line takes at least one byte: only a larger file can have too many. Counting them
    // costs a pass, so smaller files guess, and larger ones get exactly the room they need.
    const size_t lines = size > kMaxBytes   ? kMaxLines + 1
                         : size > kMaxLines ? CountLines()
                                            : size / 32 + 1;
    if (lines > kMaxLines) {
        tooLarge_ = true;
        return;
    }
    lines_.reserve(lines);
    bool breakSeen = false;
    size_t nextLf = FindByte(data, contentStart_, size, '\n');
    size_t nextCr = FindByte(data, contentStart_, size, '\r');
    size_t pos = contentStart_;
    while (pos < size) {
        if (nextLf < pos) {
            nextLf = FindByte(data, pos, size, '\n');
        }
        if (nextCr < pos) {
            nextCr = FindByte(data, pos, size, '\r');
        }
        size_t end = std::min(nextLf, nextCr);
        size_t breakLength = 0;
        if (end < size) {
            breakLength = data[end] == '\r' && end + 1 < size && data[end + 1] == '\n' ? 2 : 1;
            if (!breakSeen) {
                breakSeen = true;
                lineBreak_ = breakLength == 2 ? "\r\n" : (data[end] == '\n' ? "\n" : "\r");
            }
        }
        AddLine(pos, end, breakLength);
        pos = end + breakLength;
    }
    if (sections_.size() > kMaxSections) {
        tooLarge_ = true;
        lines_ = {};
        sections_ = {};
        lineBreak_ = "\r\n";
    }
    if (!sections_.empty()) {
        sections_.back().end = static_cast<uint32_t>(lines_.size());
    }
    sectionIndex_ = EmptyTable(sections_.size());
    auto nameOf = [this](uint32_t section) { return sections_[section].name; };
    for (uint32_t i = 0; i < sections_.size(); ++i) {
        Insert(sectionIndex_, i, sections_[i].name,
               static_cast<uint32_t>(AsciiNoCaseHash()(sections_[i].name)), nameOf);
    }
    keyIndexes_.resize(sections_.size());
    publishedIndexes_ = std::make_unique<std::atomic<const KeyIndex*>[]>(sections_.size());
}

size_t Document::CountLines() const {
    const char* data = bytes_.data();
    const size_t size = bytes_.size();
    size_t lines = 0;
    size_t pos = contentStart_;
    // CR LF, lone LF and lone CR each end one line; a last line without a break counts too.
    size_t nextLf = FindByte(data, pos, size, '\n');
    size_t nextCr = FindByte(data, pos, size, '\r');
    while (pos < size) {
        if (nextLf < pos) {
            nextLf = FindByte(data, pos, size, '\n');
        }
        if (nextCr < pos) {
            nextCr = FindByte(data, pos, size, '\r');
        }
        const size_t end = std::min(nextLf, nextCr);
        ++lines;
        pos = end + (end + 1 < size && data[end] == '\r' && data[end + 1] == '\n' ? 2 : 1);
    }
    return lines;
}

void Document::AddLine(size_t start, size_t end, size_t breakLength) {
    const char* data = bytes_.data();
    Line line{static_cast<uint32_t>(start), static_cast<uint32_t>(end - start), 0,
              static_cast<uint8_t>(breakLength), LineKind::kBlank};
    size_t first = start;
    while (first < end && IsBlank(data[first])) {
        ++first;
    }
    const auto index = static_cast<uint32_t>(lines_.size());
    if (first < end && data[first] == '[') {
        line.kind = LineKind::kHeader;
        size_t close = FindByte(data, first + 1, end, ']');
        std::string_view name = TrimFileBlanks({data + first + 1, close - first - 1});
        if (!sections_.empty()) {
            sections_.back().end = index;
        }
        sections_.push_back({name, index, index + 1});
    } else if (sections_.empty()) {
        line.kind = LineKind::kOutside;
    } else if (first == end) {
        line.kind = LineKind::kBlank;
    } else if (data[first] == ';') {
        line.kind = LineKind::kComment;
    } else {
        size_t equals = FindByte(data, first, end, '=');
        if (equals < end) {
            line.kind = LineKind::kKey;
            line.equals = static_cast<uint32_t>(equals - start);
        } else {
            line.kind = LineKind::kText;
        }
    }
    lines_.push_back(line);
}

std::string_view Document::KeyOf(const Line& line) const {
    return TrimFileBlanks({bytes_.data() + line.start, line.equals});
}

std::string_view Document::RawValueOf(const Line& line) const {
    return TrimFileBlanks(
        {bytes_.data() + line.start + line.equals + 1, size_t{line.length} - line.equals - 1});
}

std::optional<uint32_t> Document::FindSection(std::string_view name) const {
    // What a lookup found is the first section of its name, so a name equal to it finds it too.
    const uint32_t last = lastSection_.load(std::memory_order_relaxed);
    if (last < sections_.size() && AsciiEqualNoCase(sections_[last].name, name)) {
        return last;
    }
    std::optional<uint32_t> found =
        Lookup(sectionIndex_, name, [this](uint32_t section) { return sections_[section].name; });
    if (found) {
        lastSection_.store(*found, std::memory_order_relaxed);
    }
    return found;
}

void Document::BuildIndex(uint32_t section, KeyIndex& keyIndex) const {
    const Section& s = sections_[section];
    keyIndex.table = EmptyTable(s.end - s.header);
    keyIndex.firstOfName.assign(s.end - s.header, 0);
    keyIndex.next.store(s.header + 1, std::memory_order_relaxed);
    NameTable& index = keyIndex.table;
    const AsciiNoCaseHash hasher;
    auto keyOf = [this](uint32_t line) { return KeyOf(lines_[line]); };
    auto insert = [&](uint32_t line, std::string_view key, uint32_t hash) {
        keyIndex.firstOfName[line - s.header] = Insert(index, line, key, hash, keyOf) ? 1 : 0;
    };
    // Keys are inserted in file order (the first one of a name wins) a few lines behind where
    // they are hashed, so that their slots are already being fetched from memory.
    struct Pending {
        uint32_t line;
        uint32_t hash;
        std::string_view key;
    };
    constexpr size_t kAhead = 8;
    Pending pending[kAhead];
    size_t hashed = 0;
    for (uint32_t i = s.header + 1; i < s.end; ++i) {
        if (lines_[i].kind != LineKind::kKey) {
            continue;
        }
        std::string_view key = KeyOf(lines_[i]);
        const auto hash = static_cast<uint32_t>(hasher(key));
        __builtin_prefetch(&index.slots[hash & index.mask], 1);
        Pending& slot = pending[hashed++ % kAhead];
        if (hashed > kAhead) {
            insert(slot.line, slot.key, slot.hash);
        }
        slot = {i, hash, key};
    }
    for (size_t done = hashed > kAhead ? hashed - kAhead : 0; done < hashed; ++done) {
        const Pending& slot = pending[done % kAhead];
        insert(slot.line, slot.key, slot.hash);
    }
}

const Document::KeyIndex& Document::IndexOf(uint32_t section) const {
    if (const KeyIndex* built = publishedIndexes_[section].load(std::memory_order_acquire)) {
        return *built;
    }
    std::lock_guard lock(keyIndexMutex_);
    auto& index = keyIndexes_[section];
    if (!index) {
        index = std::make_unique<KeyIndex>();
        BuildIndex(section, *index);
        publishedIndexes_[section].store(index.get(), std::memory_order_release);
    }
    return *index;
}

std::optional<uint32_t> Document::FindKey(uint32_t section, std::string_view key) const {
    const Section& s = sections_[section];
    if (s.end - s.header <= kIndexThreshold) {
        return ScanForKey(section, key);
    }
    const KeyIndex& index = IndexOf(section);
    std::optional<uint32_t> found = FindNearHint(index, section, key);
    if (!found) {
        found = Lookup(index.table, key, [this](uint32_t line) { return KeyOf(lines_[line]); });
    }
    if (found) {
        index.next.store(*found + 1, std::memory_order_relaxed);
    }
    return found;
}

std::optional<uint32_t> Document::FindNearHint(const KeyIndex& index, uint32_t section,
                                               std::string_view key) const {
    // A few lines, so that a field skipped between two reads is stepped over.
    constexpr uint32_t kLinesTried = 4;
    const Section& s = sections_[section];
    // Another thread may move the hint at the same time: any line of the section will do.
    const uint32_t from = std::max(index.next.load(std::memory_order_relaxed), s.header + 1);
    const uint32_t to = std::min(from + kLinesTried, s.end);
    for (uint32_t i = from; i < to; ++i) {
        // Only the first line of a name is what the table would give.
        if (lines_[i].kind == LineKind::kKey && index.firstOfName[i - s.header] != 0 &&
            AsciiEqualNoCase(KeyOf(lines_[i]), key)) {
            return i;
        }
    }
    return std::nullopt;
}

std::optional<uint32_t> Document::ScanForKey(uint32_t section, std::string_view key) const {
    const Section& s = sections_[section];
    for (uint32_t i = s.header + 1; i < s.end; ++i) {
        if (lines_[i].kind == LineKind::kKey && AsciiEqualNoCase(KeyOf(lines_[i]), key)) {
            return i;
        }
    }
    return std::nullopt;
}

}  // namespace profile
