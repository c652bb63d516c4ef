#include "settings/autostart_entry.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include <sys/stat.h>
#include <unistd.h>

#include "common/app_paths.h"
#include "common/install_layout.h"
#include "common/utilities.h"

namespace {

// Whether the text can stand in an Exec line: UTF-8 without control characters, which neither
// quoting nor the desktop entry's own escapes would bring through every launcher intact.
bool CanQuote(std::string_view text) {
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            return false;
        }
    }
    return IsValidUtf8(text);
}

// One Exec argument: quoted, with the characters special inside quotes escaped, then "%" doubled
// (field codes) and every backslash doubled again (the escape rule of all string values).
std::string ExecArgument(std::string_view text) {
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') {
            quoted += '\\';
        }
        quoted += c;
    }
    quoted += '"';
    std::string value;
    for (char c : quoted) {
        if (c == '%') {
            value += "%%";
        } else if (c == '\\') {
            value += "\\\\";
        } else {
            value += c;
        }
    }
    return value;
}

std::string Reason(const char* what, const std::string& path, int error) {
    return std::string(what) + " " + path + ": " + std::strerror(error);
}

}  // namespace

std::optional<std::string> AutostartDirectory() {
    const char* configHome = std::getenv("XDG_CONFIG_HOME");
    // A relative XDG_CONFIG_HOME is ignored, as desktops do.
    if (configHome != nullptr && configHome[0] == '/') {
        return std::string(configHome) + "/autostart";
    }
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') {
        return std::string(home) + "/.config/autostart";
    }
    return std::nullopt;
}

AutostartCommand CurrentConsoleCommand() {
    AutostartCommand command;
    command.executable = ExecutablePath();
    std::string directory = ApplicationDirectory();
    if (directory != DefaultDataDirectory()) {
        std::error_code error;
        const auto absolute = std::filesystem::absolute(directory, error);
        command.applicationDirectory = error ? directory : absolute.string();
    }
    return command;
}

std::optional<std::string> AutostartExecLine(const AutostartCommand& command) {
    const auto usable = [](const std::string& path) {
        return !path.empty() && path.front() == '/' && CanQuote(path);
    };
    if (!usable(command.executable)) {
        return std::nullopt;
    }
    if (command.applicationDirectory.empty()) {
        return ExecArgument(command.executable);
    }
    if (!usable(command.applicationDirectory)) {
        return std::nullopt;
    }
    return "env " +
           ExecArgument(std::string(kAppDirEnvironmentVariable) + "=" +
                        command.applicationDirectory) +
           " " + ExecArgument(command.executable);
}

std::optional<std::string> AutostartEntryText(const AutostartCommand& command) {
    const std::optional<std::string> exec = AutostartExecLine(command);
    if (!exec) {
        return std::nullopt;
    }
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Relvo SMTP Server\n"
           "Comment=Console of the Relvo SMTP Server\n"
           "Exec=" +
           *exec +
           "\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
}

std::string WriteAutostartEntry(const std::string& directory, const AutostartCommand& command) {
    const std::optional<std::string> text = AutostartEntryText(command);
    if (!text) {
        return "The console's path cannot be written into a desktop entry: " + command.executable;
    }
    // An entry that names no program would fail at every login without a word.
    if (access(command.executable.c_str(), X_OK) != 0) {
        return Reason("Cannot run", command.executable, errno);
    }
    std::error_code error;
    std::filesystem::create_directories(directory, error);
    if (error) {
        return "Cannot create " + directory + ": " + error.message();
    }
    const std::string path = directory + "/" + kAutostartEntryName;
    std::string temporary = path + ".XXXXXX";
    const int fd = mkstemp(temporary.data());
    if (fd < 0) {
        return Reason("Cannot write into", directory, errno);
    }
    fchmod(fd, 0644);
    std::size_t done = 0;
    int failure = 0;
    while (done < text->size() && failure == 0) {
        const ssize_t written = write(fd, text->data() + done, text->size() - done);
        if (written < 0 && errno != EINTR) {
            failure = errno;
        } else if (written > 0) {
            done += static_cast<std::size_t>(written);
        }
    }
    if (failure == 0 && fsync(fd) != 0) {
        failure = errno;
    }
    if (close(fd) != 0 && failure == 0) {
        failure = errno;
    }
    if (failure == 0 && std::rename(temporary.c_str(), path.c_str()) != 0) {
        failure = errno;
    }
    if (failure != 0) {
        unlink(temporary.c_str());
        return Reason("Cannot write", path, failure);
    }
    return {};
}

std::string RemoveAutostartEntry(const std::string& directory) {
    const std::string path = directory + "/" + kAutostartEntryName;
    if (unlink(path.c_str()) != 0 && errno != ENOENT && errno != ENOTDIR) {
        return Reason("Cannot remove", path, errno);
    }
    return {};
}
