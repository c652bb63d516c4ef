// The console's entry in the user's XDG autostart directory, which makes the desktop start the
// console at login. Writing replaces the entry atomically (new file, then rename); removing an
// absent entry succeeds. Failures come back as a reason in words, never as an exception. No Qt;
// any thread, but one writer at a time.
#pragma once

#include <optional>
#include <string>
#include <string_view>

inline constexpr const char* kAutostartEntryName = "relvoconsole.desktop";

// $XDG_CONFIG_HOME/autostart when that variable holds an absolute path, else
// $HOME/.config/autostart; nullopt when neither is known.
std::optional<std::string> AutostartDirectory();

// What the entry starts: the executable, and the application directory to hand it through
// RELVO_APP_DIR when it is not the one the layout gives by default (empty: none to hand).
struct AutostartCommand {
    std::string executable;
    std::string applicationDirectory;
};

// The console as it runs now: its executable and, when overridden, its application directory.
AutostartCommand CurrentConsoleCommand();

// The Exec value for the command, every argument quoted and escaped as desktop entries require;
// nullopt when a path holds what an Exec line cannot carry (control characters, invalid UTF-8)
// or is not absolute.
std::optional<std::string> AutostartExecLine(const AutostartCommand& command);

// The whole desktop entry text; nullopt as for AutostartExecLine.
std::optional<std::string> AutostartEntryText(const AutostartCommand& command);

// Writes the entry into the directory (created when missing). Returns an empty text on success,
// else why it failed (also when the executable cannot be run).
std::string WriteAutostartEntry(const std::string& directory, const AutostartCommand& command);

// Removes the entry from the directory; an absent entry is no failure. Empty text on success.
std::string RemoveAutostartEntry(const std::string& directory);
