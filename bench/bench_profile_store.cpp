// How the configuration store performs on a main configuration file with 10,000 accounts:
//  (a) reading and parsing the file once, against
//  (b) what the Accounts dialog does when it opens (list the accounts, then read two fields of
//      each), starting from a file the cache cannot trust (changed by another program, and the
//      readers' recheck interval passed), in a directory where the store has written before;
//  (c) one ProfileSetString into that file, against
//  (d) writing the same bytes once with the same durability (new file, fsync, rename).
// Prints the best and median of several runs and the ratios against their targets, and what the
// dialog's own work in (b) costs without the store (building key names, copying values).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/app_paths.h"
#include "common/profile_document.h"
#include "common/profile_file.h"
#include "common/profile_store.h"

namespace {

constexpr int kAccounts = 10000;
constexpr int kRuns = 9;

using Clock = std::chrono::steady_clock;

struct Timing {
    double best;
    double median;
};

Timing Summarise(std::vector<double> seconds) {
    std::sort(seconds.begin(), seconds.end());
    return {seconds.front(), seconds[seconds.size() / 2]};
}

Timing Measure(int runs, const std::function<void()>& before, const std::function<void()>& work) {
    std::vector<double> seconds;
    for (int run = 0; run < runs; ++run) {
        before();
        auto start = Clock::now();
        work();
        seconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    }
    return Summarise(seconds);
}

std::string AccountFile() {
    std::string text = "[AccountList]\r\n";
    for (int i = 0; i < kAccounts; ++i) {
        text += "user" + std::to_string(i) + "@example.com=1\r\n";
    }
    text += "[AccountInfo]\r\n";
    unsigned seed = 12345;
    for (int i = 0; i < kAccounts; ++i) {
        std::string name = "user" + std::to_string(i) + "@example.com";
        std::string password;
        for (int c = 0; c < 12; ++c) {
            seed = seed * 1103515245u + 12345u;
            password += static_cast<char>('a' + (seed >> 16) % 26);
        }
        text += name + "_Desc=Mailbox of user " + std::to_string(i) + "\r\n";
        text += name + "_Enabled=" + std::to_string(i % 3 != 0) + "\r\n";
        text += name + "_Password=" + password + "\r\n";
    }
    return text;
}

std::string ReadFile(const std::string& path) {
    std::string bytes;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (fd >= 0 && fstat(fd, &info) == 0) {
        bytes.resize(static_cast<size_t>(info.st_size));
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t got = read(fd, bytes.data() + done, bytes.size() - done);
            if (got <= 0) {
                break;
            }
            done += static_cast<size_t>(got);
        }
        bytes.resize(done);
    }
    if (fd >= 0) {
        close(fd);
    }
    return bytes;
}

// The baseline for a rewrite: the same bytes, new file, fsync, rename, directory fsync.
bool WriteDurably(const std::string& path, const std::string& bytes) {
    std::string temporary = path + ".tmp";
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    bool ok = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()) &&
              fsync(fd) == 0;
    ok = close(fd) == 0 && ok && rename(temporary.c_str(), path.c_str()) == 0;
    int directory = open(std::filesystem::path(path).parent_path().c_str(), O_RDONLY | O_DIRECTORY);
    if (directory >= 0) {
        fsync(directory);
        close(directory);
    }
    return ok;
}

// Makes the file look changed by another program, and waits until readers must look at it again,
// so the next read cannot use a cached parse.
void TouchFile(const std::string& path) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    timespec times[2] = {{0, UTIME_OMIT}, now};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
    std::this_thread::sleep_for(profile::kRecheckInterval + std::chrono::milliseconds(10));
}

void PrintRatio(const char* what, double ratio, double target) {
    std::printf("%-34s %6.2fx  (target <= %.0fx: %s)\n", what, ratio, target,
                ratio <= target ? "met" : "NOT met");
}

}  // namespace

int main() {
    std::string pattern = (std::filesystem::temp_directory_path() / "relvo-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string directory = pattern;
    OverrideApplicationDirectory(directory);
    const std::string path = ResolveProfilePath(".cfg");
    const std::string bytes = AccountFile();
    std::ofstream(path, std::ios::binary) << bytes;
    // As in any installation the store has written to before: the lock file with its write
    // generation exists. The bytes end as they were.
    if (!ProfileSetString("AccountList", "bench", "1", ".cfg") ||
        !ProfileSetString("AccountList", "bench", std::nullopt, ".cfg") ||
        ReadFile(path) != bytes) {
        std::printf("could not prepare the file through the store\n");
        return 1;
    }
    const double megabytes = static_cast<double>(bytes.size()) / (1024.0 * 1024.0);
    std::printf("file: %s, %.2f MiB, %d accounts\n", path.c_str(), megabytes, kAccounts);

    size_t parsedLines = 0;
    Timing parse = Measure(
        kRuns, [] {},
        [&] {
            profile::Document document(ReadFile(path));
            parsedLines = document.Lines().size();
        });

    long enabled = 0;
    auto openDialog = [&] {
        std::vector<std::string> names;
        ProfileGetSection("AccountList", &names);
        enabled = 0;
        std::string key;  // one buffer for every key name, as a careful caller keeps it
        for (const std::string& name : names) {
            key.assign(name).append("_Desc");
            enabled += !ProfileGetString("AccountInfo", key, "", ".cfg").empty();
            key.assign(name).append("_Enabled");
            enabled += ProfileGetInt("AccountInfo", key, 0, ".cfg");
        }
    };
    Timing cold = Measure(
        kRuns, [&] { TouchFile(path); }, openDialog);
    const long expected = enabled;
    Timing warm = Measure(
        kRuns, [] {}, openDialog);

    // The same loop with every store call replaced by a copy of a value of the same length.
    std::vector<std::string> accountNames;
    ProfileGetSection("AccountList", &accountNames);
    const std::string sampleValue = "Mailbox of user 1234";
    auto callerOnly = [&] {
        enabled = 0;
        std::string key;
        for (const std::string& name : accountNames) {
            key.assign(name).append("_Desc");
            enabled += !std::string(sampleValue).empty() + (key.size() > 1);
            key.assign(name).append("_Enabled");
            enabled += key.size() > 1;
        }
    };
    Timing caller = Measure(
        kRuns, [] {}, callerOnly);

    auto openDialogWithSnapshot = [&] {
        ProfileSnapshot snapshot(".cfg");
        std::vector<std::string> names;
        snapshot.GetSection("AccountList", &names);
        enabled = 0;
        std::string key;
        for (const std::string& name : names) {
            key.assign(name).append("_Desc");
            enabled += !snapshot.GetString("AccountInfo", key, "").empty();
            key.assign(name).append("_Enabled");
            enabled += snapshot.GetInt("AccountInfo", key, 0);
        }
    };
    Timing snapshotCold = Measure(
        kRuns, [&] { TouchFile(path); }, openDialogWithSnapshot);
    const bool snapshotAgrees = enabled == expected;

    // The store's write and the plain durable write take turns, so both see the same disk load.
    int change = 0;
    bool written = true;
    const std::string copy = directory + "/copy.cfg";
    std::vector<double> setSeconds, plainSeconds;
    for (int run = 0; run < kRuns; ++run) {
        auto start = Clock::now();
        written = ProfileSetString("AccountInfo", "user5000@example.com_Desc",
                                   "changed " + std::to_string(change++), ".cfg") &&
                  written;
        setSeconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
        const std::string after = ReadFile(path);
        start = Clock::now();
        written = WriteDurably(copy, after) && written;
        plainSeconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    }
    Timing set = Summarise(setSeconds);
    Timing plain = Summarise(plainSeconds);

    std::printf(
        "(a) read + parse:                   best %8.3f ms  median %8.3f ms  (%zu lines, %.0f "
        "MB/s)\n",
        parse.best * 1e3, parse.median * 1e3, parsedLines,
        static_cast<double>(bytes.size()) / parse.best / 1e6);
    std::printf(
        "(b) dialog open, cold cache:        best %8.3f ms  median %8.3f ms  (%d reads, %.0f ns "
        "each)\n",
        cold.best * 1e3, cold.median * 1e3, 1 + 2 * kAccounts,
        cold.best * 1e9 / (1 + 2 * kAccounts));
    std::printf("    dialog open, warm cache:        best %8.3f ms  median %8.3f ms\n",
                warm.best * 1e3, warm.median * 1e3);
    std::printf("    the dialog's own work, no store: best %8.3f ms  median %8.3f ms\n",
                caller.best * 1e3, caller.median * 1e3);
    std::printf("    dialog open, one snapshot, cold: best %8.3f ms  median %8.3f ms\n",
                snapshotCold.best * 1e3, snapshotCold.median * 1e3);
    std::printf("(c) ProfileSetString:               best %8.3f ms  median %8.3f ms\n",
                set.best * 1e3, set.median * 1e3);
    std::printf("(d) same bytes, fsync + rename:     best %8.3f ms  median %8.3f ms\n",
                plain.best * 1e3, plain.median * 1e3);
    PrintRatio("(b)/(a) best:", cold.best / parse.best, 5);
    PrintRatio("(b)/(a) median:", cold.median / parse.median, 5);
    PrintRatio("snapshot dialog open/(a) best:", snapshotCold.best / parse.best, 5);
    PrintRatio("snapshot dialog open/(a) median:", snapshotCold.median / parse.median, 5);
    PrintRatio("(c)/(d) best:", set.best / plain.best, 3);
    PrintRatio("(c)/(d) median:", set.median / plain.median, 3);

    bool consistent = written && snapshotAgrees && expected > kAccounts;
    if (!consistent) {
        std::printf("inconsistent results: the store did not behave\n");
    }
    OverrideApplicationDirectory("");
    std::filesystem::remove_all(directory);
    return consistent ? 0 : 1;
}
