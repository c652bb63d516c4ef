#include "common/app_paths.h"

#include <atomic>
#include <filesystem>
#include <mutex>
#include <optional>
#include <system_error>

namespace {

std::mutex pathsMutex;
std::atomic<unsigned long long> pathsVersion{1};
std::optional<std::string> directoryOverride;
std::optional<std::string> cachedExecutable;

std::string ReadExecutablePath() {
    std::error_code error;
    auto path = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string() : path.string();
}

std::string DirectoryOf(const std::string& path) {
    auto slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

}  // namespace

std::string ExecutablePath() {
    std::lock_guard lock(pathsMutex);
    if (!cachedExecutable) {
        cachedExecutable = ReadExecutablePath();
    }
    return *cachedExecutable;
}

std::string ApplicationDirectory() {
    {
        std::lock_guard lock(pathsMutex);
        if (directoryOverride) {
            return *directoryOverride;
        }
    }
    return DirectoryOf(ExecutablePath());
}

std::string ExecutableBasePath() {
    {
        std::lock_guard lock(pathsMutex);
        if (directoryOverride) {
            return *directoryOverride + "/relvoconsole";
        }
    }
    std::string path = ExecutablePath();
    auto slash = path.find_last_of('/');
    auto dot = path.find_last_of('.');
    // Only a dot in the file name starts an extension, not one in a directory name.
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash + 1)) {
        path.erase(dot);
    }
    return path;
}

unsigned long long ApplicationPathsVersion() {
    return pathsVersion.load(std::memory_order_acquire);
}

void OverrideApplicationDirectory(std::string_view directory) {
    std::lock_guard lock(pathsMutex);
    pathsVersion.fetch_add(1, std::memory_order_acq_rel);
    if (directory.empty()) {
        directoryOverride.reset();
        return;
    }
    std::string value(directory);
    while (value.size() > 1 && value.back() == '/') {
        value.pop_back();
    }
    directoryOverride = value;
}
