// Which of the two layouts the running program belongs to, and so where its files are. Portable
// (a build tree or an unpacked archive): everything beside the executable. Installed: the console
// in <prefix>/bin, the engine library and relvoserver in <prefix>/lib/relvo-smtp-server, the
// configuration and working directories in a writable data directory of the user. Decided once
// at start-up by ApplyInstallLayout; no Qt, so the engine links the same rule.
#pragma once

#include <optional>
#include <string>

inline constexpr const char* kPrivateDirectoryName = "relvo-smtp-server";
inline constexpr const char* kSystemDataDirectory = "/var/lib/relvo-smtp-server";
inline constexpr const char* kDataDirOption = "--data-dir";

enum class InstallKind { Portable, Installed };

struct InstallLayout {
    InstallKind kind = InstallKind::Portable;
    // Where the engine library (and relvoserver) are: the program's own directory or the
    // install directory, never the data directory.
    std::string programDirectory;
    // The application directory: configuration and working directories.
    std::string dataDirectory;
};

// $XDG_DATA_HOME/relvo-smtp-server when that variable holds an absolute path, else
// $HOME/.local/share/relvo-smtp-server; nullopt when neither is known.
std::optional<std::string> UserDataDirectory(const char* xdgDataHome, const char* home);

// The layout of the program at executablePath (read from the file system), with the data
// directory given on the command line (dataDirArgument) or by RELVO_APP_DIR (environmentOverride)
// taking precedence in that order. dataDirectory stays empty when no rule yields one.
InstallLayout DetectInstallLayout(const std::string& executablePath,
                                  const std::string& dataDirArgument,
                                  const std::string& environmentOverride, const char* xdgDataHome,
                                  const char* home);

// Removes "--data-dir DIR" or "--data-dir=DIR" from argv (argc shrinks) and returns DIR: nullopt
// when the option is absent, "" when it has no value.
std::optional<std::string> TakeDataDirArgument(int& argc, char** argv);

// Decides the layout of this process from its executable, the data directory argument and the
// environment; makes the default data directory of an installed layout (mode 0700); sets the
// application directory and exports RELVO_APP_DIR so that the engine library uses the same one.
// Returns "" on success, else why the program cannot run.
std::string ApplyInstallLayout(const std::optional<std::string>& dataDirArgument);

// The layout ApplyInstallLayout chose (portable beside the executable when it was never called).
InstallKind CurrentInstallKind();

// The directory the engine library is loaded from; the application directory only in a process
// that never called ApplyInstallLayout (a test program).
std::string ProgramDirectory();

// The application directory a console started without options would use in this layout; the
// autostart entry hands over only a directory that differs from it.
std::string DefaultDataDirectory();
