// Peak memory of reading one key from, and writing one key into, a large main configuration file,
// against the file's size. Usage: bench_profile_memory [accounts ...] (default 10000 100000).
// Each count gives an account file (four lines an account, as the Accounts dialog writes them);
// a file with the same number of bytes of the shortest key lines shows the worst case per byte.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "common/app_paths.h"
#include "common/profile_file.h"
#include "common/profile_store.h"

namespace {

std::string AccountFile(int accounts) {
    std::string list = "[AccountList]\r\n";
    std::string info = "[AccountInfo]\r\n";
    for (int i = 0; i < accounts; ++i) {
        const std::string name = "user" + std::to_string(i) + "@example.com";
        list += name + "=1\r\n";
        info += name + "_Password=secret" + std::to_string(i * 7919) + "\r\n";
        info += name + "_Desc=Mailbox of user " + std::to_string(i) + "\r\n";
        info += name + "_Enabled=1\r\n";
    }
    return list + info;
}

// Lines like "k123=1": as many lines per byte as a file of keys can have.
std::string DenseFile(size_t bytes) {
    std::string text = "[AccountInfo]\r\n";
    for (size_t i = 0; text.size() < bytes; ++i) {
        text += "k" + std::to_string(i) + "=1\r\n";
    }
    return text;
}

long StatusKiB(const char* field) {
    std::ifstream status("/proc/self/status");
    const std::string wanted(field);
    for (std::string line; std::getline(status, line);) {
        if (line.compare(0, wanted.size(), wanted) == 0) {
            return std::stol(line.substr(wanted.size()));
        }
    }
    return -1;
}

struct Peak {
    long kib = -1;  // growth of the child's peak resident memory
    bool done = false;
};

// What a child doing `work` needed beyond what it started with, and whether the work succeeded.
Peak PeakOf(const std::function<bool()>& work) {
    int fds[2];
    if (pipe(fds) != 0) {
        return {};
    }
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        std::ofstream("/proc/self/clear_refs") << "5";
        const long start = StatusKiB("VmRSS:");
        Peak peak;
        peak.done = work();
        peak.kib = StatusKiB("VmHWM:") - start;
        [[maybe_unused]] ssize_t ignored = write(fds[1], &peak, sizeof peak);
        _exit(0);
    }
    close(fds[1]);
    Peak peak;
    if (read(fds[0], &peak, sizeof peak) != static_cast<ssize_t>(sizeof peak)) {
        peak = {};
    }
    close(fds[0]);
    waitpid(pid, nullptr, 0);
    return peak;
}

void Report(const char* shape, const std::string& path, std::string text) {
    const double size = static_cast<double>(text.size());
    std::ofstream(path, std::ios::binary) << text;
    text = std::string();  // the children start without the text
    const std::string key = shape[0] == 'a' ? "user1@example.com_Desc" : "k1";
    Peak read = PeakOf([&] { return !ProfileGetString("AccountInfo", key, "", path).empty(); });
    Peak write = PeakOf([&] { return ProfileSetString("AccountInfo", key, "changed", path); });
    auto ratio = [size](const Peak& peak) { return static_cast<double>(peak.kib) * 1024 / size; };
    std::printf("%-26s %9.2f MiB  read %8.1f MiB (%4.2fx)  write %8.1f MiB (%4.2fx)%s\n", shape,
                size / 1048576, static_cast<double>(read.kib) / 1024, ratio(read),
                static_cast<double>(write.kib) / 1024, ratio(write),
                read.done && write.done ? "" : "  refused");
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<int> counts;
    for (int i = 1; i < argc; ++i) {
        counts.push_back(std::atoi(argv[i]));
    }
    if (counts.empty()) {
        counts = {10000, 100000};
    }
    std::string pattern = (std::filesystem::temp_directory_path() / "relvo-mem-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string path = pattern + "/relvoconsole.cfg";
    std::printf("limits: %.0f MiB, %zu lines\n",
                static_cast<double>(profile::Document::kMaxBytes) / 1048576,
                profile::Document::kMaxLines);
    for (int accounts : counts) {
        std::string text = AccountFile(accounts);
        const size_t bytes = text.size();
        Report(("accounts " + std::to_string(accounts)).c_str(), path, std::move(text));
        Report("  same size, dense keys", path, DenseFile(bytes));
    }
    std::filesystem::remove_all(pattern);
    return 0;
}
