#include "config/profile_document.h"

#include <algorithm>
#include <cstring>

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

bool EqualsFolded(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i] && FoldCase(a[i]) != FoldCase(b[i])) {
            return false;
        }
    }
    return true;
}

std::string Folded(std::string_view text) {
    std::string folded(text);
    for (char& c : folded) {
        c = FoldCase(c);
    }
    return folded;
}

size_t FoldedHash::operator()(std::string_view text) const {
    // FNV-1a over the folded bytes.
    uint64_t hash = 14695981039346656037ull;
    for (char c : text) {
        hash ^= static_cast<unsigned char>(FoldCase(c));
        hash *= 1099511628211ull;
    }
    return static_cast<size_t>(hash);
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
    lines_.reserve(size / 32 + 1);
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
    if (!sections_.empty()) {
        sections_.back().end = static_cast<uint32_t>(lines_.size());
    }
    keyIndexes_.resize(sections_.size());
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
        sectionIndex_.emplace(name, static_cast<uint32_t>(sections_.size() - 1));
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
    auto found = sectionIndex_.find(name);
    if (found == sectionIndex_.end()) {
        return std::nullopt;
    }
    return found->second;
}

Document::KeyIndex Document::BuildIndex(uint32_t section) const {
    const Section& s = sections_[section];
    KeyIndex index;
    size_t capacity = 16;
    while (capacity < 2 * size_t{s.end - s.header}) {
        capacity *= 2;
    }
    index.slots.assign(capacity, {kNoLine, 0});
    index.mask = capacity - 1;
    const FoldedHash hasher;
    for (uint32_t i = s.header + 1; i < s.end; ++i) {
        if (lines_[i].kind != LineKind::kKey) {
            continue;
        }
        std::string_view key = KeyOf(lines_[i]);
        const auto hash = static_cast<uint32_t>(hasher(key));
        for (size_t slot = hash & index.mask;; slot = (slot + 1) & index.mask) {
            KeyIndex::Slot& entry = index.slots[slot];
            if (entry.line == kNoLine) {
                entry = {i, hash};
                break;
            }
            if (entry.hash == hash && EqualsFolded(KeyOf(lines_[entry.line]), key)) {
                break;  // a later duplicate: the first one answers
            }
        }
    }
    return index;
}

const Document::KeyIndex& Document::IndexOf(uint32_t section) const {
    std::lock_guard lock(keyIndexMutex_);
    auto& index = keyIndexes_[section];
    if (!index) {
        index = std::make_unique<KeyIndex>(BuildIndex(section));
    }
    return *index;
}

std::optional<uint32_t> Document::FindKey(uint32_t section, std::string_view key) const {
    const Section& s = sections_[section];
    if (s.end - s.header <= kIndexThreshold) {
        return ScanForKey(section, key);
    }
    const KeyIndex& index = IndexOf(section);
    const auto hash = static_cast<uint32_t>(FoldedHash()(key));
    for (size_t slot = hash & index.mask;; slot = (slot + 1) & index.mask) {
        const KeyIndex::Slot& entry = index.slots[slot];
        if (entry.line == kNoLine) {
            return std::nullopt;
        }
        if (entry.hash == hash && EqualsFolded(KeyOf(lines_[entry.line]), key)) {
            return entry.line;
        }
    }
}

std::optional<uint32_t> Document::ScanForKey(uint32_t section, std::string_view key) const {
    const Section& s = sections_[section];
    for (uint32_t i = s.header + 1; i < s.end; ++i) {
        if (lines_[i].kind == LineKind::kKey && EqualsFolded(KeyOf(lines_[i]), key)) {
            return i;
        }
    }
    return std::nullopt;
}

}  // namespace profile
