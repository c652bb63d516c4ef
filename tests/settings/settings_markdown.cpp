#include "settings/settings_markdown.h"

#include "common/settings_table.h"

namespace {

// The paragraph the table follows.
constexpr std::string_view kIntroduction = "Engine settings in section `System`";

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
    return text;
}

}  // namespace

std::string EngineSettingsTable() {
    std::string table = "| Key | Default | Meaning |\n|---|---|---|\n";
    for (const relvo::SettingInfo& setting : relvo::AllSettings()) {
        if (setting.owner == relvo::SettingOwner::Engine) {
            table += "| `" + std::string(setting.key) + "` | " + Cell(DefaultCell(setting)) +
                     " | " + Cell(setting.description) + " |\n";
        }
    }
    return table;
}

std::optional<std::string> WithEngineSettingsTable(std::string_view readme) {
    const size_t introduction = readme.find(kIntroduction);
    if (introduction == std::string_view::npos) {
        return std::nullopt;
    }
    // The table: the first line starting with '|' after the introduction, to the first line
    // that does not.
    size_t begin = readme.find("\n|", introduction);
    if (begin == std::string_view::npos) {
        return std::nullopt;
    }
    ++begin;
    size_t end = begin;
    while (end < readme.size() && readme[end] == '|') {
        const size_t newline = readme.find('\n', end);
        end = newline == std::string_view::npos ? readme.size() : newline + 1;
    }
    std::string result(readme.substr(0, begin));
    result += EngineSettingsTable();
    result += readme.substr(end);
    return result;
}
