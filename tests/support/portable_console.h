// The console as a portable program in a test's directory, loading the engine the test put there.
// A hard link where it can be made, else a copy: /proc/self/exe, where the program finds its
// directory, resolves symbolic links, and a hard link cannot cross file systems (a tmpfs /tmp).
#pragma once

#include <QString>
#include <filesystem>
#include <stdexcept>
#include <string>

inline QString PortableConsole(const std::string& directory) {
    const std::string console = directory + "/relvoconsole";
    std::error_code error;
    if (!std::filesystem::exists(console, error)) {
        std::filesystem::create_hard_link(RELVO_CONSOLE_PATH, console, error);
        if (error) {
            // Throws when neither works: the test then fails saying why, not with a process
            // that never started.
            std::filesystem::copy_file(RELVO_CONSOLE_PATH, console);
        }
    }
    return QString::fromStdString(console);
}
