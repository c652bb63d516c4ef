#include "common/install_layout.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string_view>
#include <system_error>

#include <sys/stat.h>

#include "common/app_paths.h"
#include "common/owner_only_directory.h"

namespace {

constexpr const char* kEngineLibraryName = "librelvomailservice.so";

std::mutex layoutMutex;
InstallLayout chosenLayout;
bool layoutChosen = false;

std::string DirectoryOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool EndsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

bool IsRegularFile(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// An absolute path without symbolic links, so that a later change of the working directory or a
// relative argument cannot move the data elsewhere; nullopt when the directory does not exist.
std::optional<std::string> Resolved(const std::string& directory) {
    char resolved[PATH_MAX];
    if (realpath(directory.c_str(), resolved) == nullptr) {
        return std::nullopt;
    }
    return std::string(resolved);
}

}  // namespace

std::optional<std::string> UserDataDirectory(const char* xdgDataHome, const char* home) {
    // A relative XDG_DATA_HOME is ignored, as desktops do.
    if (xdgDataHome != nullptr && xdgDataHome[0] == '/') {
        return std::string(xdgDataHome) + "/" + kPrivateDirectoryName;
    }
    if (home != nullptr && home[0] == '/') {
        return std::string(home) + "/.local/share/" + kPrivateDirectoryName;
    }
    return std::nullopt;
}

InstallLayout DetectInstallLayout(const std::string& executablePath,
                                  const std::string& dataDirArgument,
                                  const std::string& environmentOverride, const char* xdgDataHome,
                                  const char* home) {
    InstallLayout layout;
    const std::string executableDirectory = DirectoryOf(executablePath);
    const std::string privateSuffix = std::string("/lib/") + kPrivateDirectoryName;
    const std::string sibling = DirectoryOf(executableDirectory) + privateSuffix;
    // The engine beside the executable always means portable, whatever the directory is called.
    if (!IsRegularFile(executableDirectory + "/" + kEngineLibraryName) &&
        EndsWith(executableDirectory, "/bin") &&
        IsRegularFile(sibling + "/" + kEngineLibraryName)) {
        layout.kind = InstallKind::Installed;
        layout.programDirectory = sibling;
    } else if (EndsWith(executableDirectory, privateSuffix)) {
        layout.kind = InstallKind::Installed;  // relvoserver in its installed place
        layout.programDirectory = executableDirectory;
    } else {
        layout.programDirectory = executableDirectory;
    }

    if (!dataDirArgument.empty()) {
        layout.dataDirectory = dataDirArgument;
    } else if (!environmentOverride.empty()) {
        // Only the data moves: code is never loaded from a data directory, which others may be
        // able to write.
        layout.dataDirectory = environmentOverride;
    } else if (layout.kind == InstallKind::Installed) {
        layout.dataDirectory = UserDataDirectory(xdgDataHome, home).value_or(std::string());
    } else {
        layout.dataDirectory = executableDirectory;
    }
    return layout;
}

std::optional<std::string> TakeDataDirArgument(int& argc, char** argv) {
    std::optional<std::string> directory;
    int kept = 1;
    const std::string withValue = std::string(kDataDirOption) + "=";
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == kDataDirOption) {
            directory = i + 1 < argc ? std::string(argv[++i]) : std::string();
        } else if (argument.starts_with(withValue)) {
            directory = std::string(argument.substr(withValue.size()));
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    argv[argc] = nullptr;
    return directory;
}

std::string ApplyInstallLayout(const std::optional<std::string>& dataDirArgument) {
    if (dataDirArgument && dataDirArgument->empty()) {
        return std::string(kDataDirOption) + " needs a directory";
    }
    const char* environment = std::getenv(kAppDirEnvironmentVariable);
    InstallLayout layout =
        DetectInstallLayout(ExecutablePath(), dataDirArgument.value_or(std::string()),
                            environment != nullptr ? environment : "", std::getenv("XDG_DATA_HOME"),
                            std::getenv("HOME"));
    if (layout.dataDirectory.empty()) {
        return "no data directory: neither XDG_DATA_HOME nor HOME is set (use --data-dir DIR)";
    }
    const bool isDefault = !dataDirArgument && (environment == nullptr || *environment == '\0');
    if (layout.kind == InstallKind::Installed && isDefault) {
        // Mail and accounts are private to the user.
        std::error_code error;
        const bool made = std::filesystem::create_directories(layout.dataDirectory, error);
        if (error) {
            return "cannot create the data directory " + layout.dataDirectory + ": " +
                   error.message();
        }
        if (made) {
            // A mode chosen later by the user stays.
            RestrictDirectoryToOwner(layout.dataDirectory);
        }
    }
    const std::optional<std::string> resolved = Resolved(layout.dataDirectory);
    if (!resolved) {
        return "the data directory " + layout.dataDirectory + " does not exist";
    }
    layout.dataDirectory = *resolved;
    // The engine library keeps its own copy of the application paths and reads this at load.
    if (setenv(kAppDirEnvironmentVariable, layout.dataDirectory.c_str(), 1) != 0) {
        return std::string("cannot set ") + kAppDirEnvironmentVariable + ": " +
               std::strerror(errno);
    }
    OverrideApplicationDirectory(layout.dataDirectory);
    std::lock_guard lock(layoutMutex);
    chosenLayout = std::move(layout);
    layoutChosen = true;
    return {};
}

InstallKind CurrentInstallKind() {
    std::lock_guard lock(layoutMutex);
    return layoutChosen ? chosenLayout.kind : InstallKind::Portable;
}

std::string ProgramDirectory() {
    {
        std::lock_guard lock(layoutMutex);
        if (layoutChosen && !chosenLayout.programDirectory.empty()) {
            return chosenLayout.programDirectory;
        }
    }
    return ApplicationDirectory();
}

std::string DefaultDataDirectory() {
    InstallLayout layout = DetectInstallLayout(ExecutablePath(), {}, {},
                                               std::getenv("XDG_DATA_HOME"), std::getenv("HOME"));
    return Resolved(layout.dataDirectory).value_or(layout.dataDirectory);
}
