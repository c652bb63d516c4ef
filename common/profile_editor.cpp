#include "common/profile_editor.h"

#include <algorithm>
#include <utility>

#include "common/ascii.h"

namespace profile {

namespace {

constexpr size_t kScannedLookups = 8;

}  // namespace

Editor::Editor(std::shared_ptr<const Document> document)
    : document_(std::move(document)),
      removed_(document_->Lines().size(), false),
      lineBreakAdded_(document_->Lines().size(), false) {}

std::optional<uint32_t> Editor::FindLiveKey(std::string_view section, std::string_view key) {
    auto s = document_->FindSection(section);
    if (!s) {
        return std::nullopt;
    }
    // A single write scans its section; a long batch pays once for the key index.
    auto line = ++lookups_ <= kScannedLookups ? document_->ScanForKey(*s, key)
                                              : document_->FindKey(*s, key);
    // Removal takes every line of a key, so a removed first line means the key is gone.
    if (!line || removed_[*line]) {
        return std::nullopt;
    }
    return line;
}

Editor::Additions* Editor::FindAdditions(std::string_view section, bool create) {
    if (auto s = document_->FindSection(section)) {
        auto found = added_.find(*s);
        if (found != added_.end()) {
            return &found->second;
        }
        return create ? &added_[*s] : nullptr;
    }
    std::string folded = AsciiLowerCopy(section);
    auto found = newSectionsByName_.find(folded);
    if (found != newSectionsByName_.end()) {
        return &newSections_[found->second].additions;
    }
    if (!create) {
        return nullptr;
    }
    newSectionsByName_.emplace(std::move(folded), newSections_.size());
    newSections_.push_back({std::string(section), {}});
    return &newSections_.back().additions;
}

void Editor::Set(std::string_view section, std::string_view key, std::string_view value) {
    std::string encoded = EncodeValue(value);
    if (auto index = FindLiveKey(section, key)) {
        const Line& line = document_->Lines()[*index];
        std::string text(document_->Text(line).substr(0, size_t{line.equals} + 1));
        text += encoded;
        // An unterminated last line gains a line break when rewritten.
        changed_ = changed_ || text != document_->Text(line) || line.breakLength == 0;
        replaced_[*index] = std::move(text);
        return;
    }
    auto existing = document_->FindSection(section);
    Additions* additions = FindAdditions(section, true);
    std::string folded = AsciiLowerCopy(key);
    auto found = additions->byFoldedKey.find(folded);
    if (found != additions->byFoldedKey.end() && !additions->lines[found->second].removed) {
        // As with a key already in the file, the first spelling of the key stays.
        NewLine& line = additions->lines[found->second];
        line.text.resize(line.text.find('=') + 1);
        line.text += encoded;
    } else {
        if (existing && additions->live == 0) {
            // Where a write of this key alone would put it, given the lines removed so far.
            additions->anchor = Anchor(*existing);
            lineBreakAdded_[additions->anchor] = true;
        }
        std::string text(key);
        text += '=';
        text += encoded;
        additions->byFoldedKey[std::move(folded)] = additions->lines.size();
        additions->lines.push_back({std::move(text), additions->anchor, additionCount_++, false});
        ++additions->live;
    }
    changed_ = true;
}

void Editor::Remove(std::string_view section, std::string_view key) {
    if (FindLiveKey(section, key)) {
        const Section& s = document_->Sections()[*document_->FindSection(section)];
        const auto& lines = document_->Lines();
        for (uint32_t i = s.header + 1; i < s.end; ++i) {
            if (lines[i].kind == LineKind::kKey &&
                AsciiEqualNoCase(document_->KeyOf(lines[i]), key)) {
                removed_[i] = true;
                replaced_.erase(i);
            }
        }
        changed_ = true;
    }
    if (Additions* additions = FindAdditions(section, false)) {
        auto found = additions->byFoldedKey.find(AsciiLowerCopy(key));
        if (found != additions->byFoldedKey.end() && !additions->lines[found->second].removed) {
            additions->lines[found->second].removed = true;
            --additions->live;
            changed_ = true;
        }
    }
}

uint32_t Editor::Anchor(uint32_t section) const {
    // New keys go after the section's last line that is neither blank nor a comment, so comments
    // and blank lines that close a section stay at its end.
    const Section& s = document_->Sections()[section];
    const auto& lines = document_->Lines();
    for (uint32_t i = s.end; i > s.header + 1; --i) {
        const Line& line = lines[i - 1];
        if (!removed_[i - 1] && (line.kind == LineKind::kKey || line.kind == LineKind::kText)) {
            return i - 1;
        }
    }
    return s.header;
}

void Editor::EndLine(std::string& out) const {
    if (out.size() > document_->ContentStart() && out.back() != '\n' && out.back() != '\r') {
        out += document_->LineBreak();
    }
}

std::string Editor::Serialize() const {
    const Document& doc = *document_;
    std::vector<const NewLine*> placed;
    size_t extra = 0;
    for (const auto& [section, additions] : added_) {
        for (const NewLine& line : additions.lines) {
            if (!line.removed) {
                placed.push_back(&line);
                extra += line.text.size() + 2;
            }
        }
    }
    std::sort(placed.begin(), placed.end(), [](const NewLine* a, const NewLine* b) {
        return a->anchor != b->anchor ? a->anchor < b->anchor : a->order < b->order;
    });
    for (const auto& [line, text] : replaced_) {
        extra += text.size() + 2;
    }

    std::string out;
    out.reserve(doc.Bytes().size() + extra);
    out.append(doc.Bytes(), 0, doc.ContentStart());
    size_t next = 0;
    const auto& lines = doc.Lines();
    for (uint32_t i = 0; i < lines.size(); ++i) {
        if (!removed_[i]) {
            auto replaced = replaced_.find(i);
            if (replaced == replaced_.end()) {
                out += doc.Raw(lines[i]);
            } else {
                out += replaced->second;
                out += lines[i].breakLength > 0 ? doc.Raw(lines[i]).substr(lines[i].length)
                                                : doc.LineBreak();
            }
            if (lineBreakAdded_[i]) {
                EndLine(out);
            }
        }
        for (; next < placed.size() && placed[next]->anchor == i; ++next) {
            EndLine(out);
            out += placed[next]->text;
            out += doc.LineBreak();
        }
    }
    for (const NewSection& section : newSections_) {
        EndLine(out);
        out += '[';
        out += section.name;
        out += ']';
        out += doc.LineBreak();
        for (const NewLine& line : section.additions.lines) {
            if (!line.removed) {
                out += line.text;
                out += doc.LineBreak();
            }
        }
    }
    return out;
}

}  // namespace profile
