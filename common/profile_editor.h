// Changes to a parsed profile file, applied as an overlay and written out as new bytes: lines the
// changes do not touch come out byte for byte. Replacing a key keeps its line up to and including
// the '='; a new key follows the last line of its section that is neither blank nor a comment; a
// new section goes at the end of the file. Names and values must be checked by the caller.
// One thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/profile_document.h"

namespace profile {

class Editor {
  public:
    explicit Editor(std::shared_ptr<const Document> document);

    // Section and key without surrounding spaces; the value as the caller wants to read it back.
    void Set(std::string_view section, std::string_view key, std::string_view value);
    // Removes every line of the key in the first matching section.
    void Remove(std::string_view section, std::string_view key);

    // False while the output would equal the original bytes.
    bool Changed() const { return changed_; }
    std::string Serialize() const;

  private:
    struct NewLine {
        std::string text;
        uint32_t anchor;  // the line it follows (existing sections)
        size_t order;     // when it was added, to keep that order among lines at one place
        bool removed = false;
    };
    // Keys added to one section, in the order they were added.
    struct Additions {
        std::vector<NewLine> lines;
        std::unordered_map<std::string, size_t> byFoldedKey;
        size_t live = 0;
        uint32_t anchor = 0;
    };
    struct NewSection {
        std::string name;
        Additions additions;
    };

    Additions* FindAdditions(std::string_view section, bool create);
    std::optional<uint32_t> FindLiveKey(std::string_view section, std::string_view key);
    uint32_t Anchor(uint32_t section) const;
    void EndLine(std::string& out) const;

    std::shared_ptr<const Document> document_;
    std::vector<bool> removed_;
    std::unordered_map<uint32_t, std::string> replaced_;  // line -> its new text
    std::unordered_map<uint32_t, Additions> added_;       // existing section -> keys added
    std::vector<bool> lineBreakAdded_;                    // lines that new keys followed
    std::vector<NewSection> newSections_;
    std::unordered_map<std::string, size_t> newSectionsByName_;
    size_t additionCount_ = 0;
    size_t lookups_ = 0;
    bool changed_ = false;
};

}  // namespace profile
