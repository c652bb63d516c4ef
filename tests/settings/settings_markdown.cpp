#include "settings/settings_markdown.h"

#include <utility>

namespace {

// The paragraphs the tables follow.
constexpr std::pair<std::string_view, relvo::SettingOwner> kTables[] = {
    {"The console's keys in section `System`", relvo::SettingOwner::Console},
    {"Engine settings in section `System`", relvo::SettingOwner::Engine},
};

std::string Cell(std::string_view text) {
    std::string cell;
    for (char c : text) {
        if (c == '|') {
            cell += '\\';
        }
        cell += c;
    }
    return cell;
}

std::string DefaultCell(const relvo::SettingInfo& setting) {
    if (setting.IsText()) {
        return setting.emptyMeans == nullptr ? "empty"
                                             : std::string("empty: ") + setting.emptyMeans;
    }
    std::string text = std::to_string(setting.defaultValue);
    if (setting.HasRange()) {
        text +=
            " (" + std::to_string(setting.minimum) + " to " + std::to_string(setting.maximum) + ")";
    }
    if (setting.SheetDefault() != setting.defaultValue) {
        text += "; the settings sheet shows " + std::to_string(setting.SheetDefault());
    }
    return text;
}

}  // namespace

std::string SettingsTable(relvo::SettingOwner owner) {
    std::string table = "| Key | Default | Meaning |\n|---|---|---|\n";
    for (const relvo::SettingInfo& setting : relvo::AllSettings()) {
        if (setting.owner == owner) {
            table += "| `" + std::string(setting.key) + "` | " + Cell(DefaultCell(setting)) +
                     " | " + Cell(setting.description) + " |\n";
        }
    }
    return table;
}

std::optional<std::string> WithSettingsTables(std::string_view readme) {
    std::string result(readme);
    for (const auto& [introductionText, owner] : kTables) {
        const size_t introduction = result.find(introductionText);
        if (introduction == std::string::npos) {
            return std::nullopt;
        }
        // The table: the first line starting with '|' after the introduction, to the first line
        // that does not.
        size_t begin = result.find("\n|", introduction);
        if (begin == std::string::npos) {
            return std::nullopt;
        }
        ++begin;
        size_t end = begin;
        while (end < result.size() && result[end] == '|') {
            const size_t newline = result.find('\n', end);
            end = newline == std::string::npos ? result.size() : newline + 1;
        }
        result.replace(begin, end - begin, SettingsTable(owner));
    }
    return result;
}
