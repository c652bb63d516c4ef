// The console as a portable program in a test's directory, loading the engine the test put there.
// A hard link: /proc/self/exe, where the program finds its directory, resolves symbolic links.
#pragma once

#include <QString>
#include <filesystem>
#include <string>

inline QString PortableConsole(const std::string& directory) {
    const std::string console = directory + "/relvoconsole";
    std::error_code error;
    if (!std::filesystem::exists(console, error)) {
        std::filesystem::create_hard_link(RELVO_CONSOLE_PATH, console, error);
    }
    return QString::fromStdString(console);
}
