// Prints the README's tables of the console's and the engine's keys from the settings table, or
// with --update README.md writes them into the README in place of the tables there.
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "settings/settings_markdown.h"

int main(int argc, char** argv) {
    const std::string usage = "usage: settings_doc [--update README.md]\n";
    if (argc == 1) {
        std::cout << SettingsTable(relvo::SettingOwner::Console) << "\n"
                  << SettingsTable(relvo::SettingOwner::Engine);
        return 0;
    }
    if (argc != 3 || std::string(argv[1]) != "--update") {
        std::cerr << usage;
        return 2;
    }
    const std::filesystem::path path = argv[2];
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open()) {
        std::cerr << "settings_doc: cannot read " << path << "\n";
        return 1;
    }
    std::ostringstream text;
    text << in.rdbuf();
    const auto updated = WithSettingsTables(text.str());
    if (!updated) {
        std::cerr << "settings_doc: " << path << " lacks a table of settings\n";
        return 1;
    }
    // A new file renamed over the old one: an interrupted run leaves the README whole.
    const std::filesystem::path temporary = path.string() + ".new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << *updated;
        if (!out.flush()) {
            std::cerr << "settings_doc: cannot write " << temporary << "\n";
            return 1;
        }
    }
    std::error_code error;
    std::filesystem::rename(temporary, path, error);
    if (error) {
        std::cerr << "settings_doc: cannot replace " << path << ": " << error.message() << "\n";
        return 1;
    }
    return 0;
}
