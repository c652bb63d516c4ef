// The console as a portable program in a test's directory: the engine is loaded only from the
// program's own directory, so a test that wants a console with the fake engine, the real one or
// none puts that library beside this link. A hard link, not a symbolic one: the program finds its
// directory through /proc/self/exe, which resolves symbolic links.
#pragma once

#include <QString>
#include <filesystem>
#include <string>
#include <system_error>

inline QString PortableConsole(const std::string& directory) {
    const std::filesystem::path console = std::filesystem::path(directory) / "relvoconsole";
    std::error_code error;
    if (!std::filesystem::exists(console, error)) {
        std::filesystem::create_hard_link(RELVO_CONSOLE_PATH, console, error);
        if (error) {
            std::filesystem::copy_file(RELVO_CONSOLE_PATH, console, error);
        }
    }
    return QString::fromStdString(console.string());
}
