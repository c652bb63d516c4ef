// Crash probe: a process writing a main configuration file with 10,000 accounts is killed with
// SIGKILL at random moments. After every kill the file must be whole (every account and every
// field there, the last write complete or absent), and after the next write through the store no
// temporary file may be left beside it. Usage: bench_profile_crash [kills] (default 200).
// Exit code 0 when every kill left the file whole and every next write cleaned up.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/profile_store.h"

namespace {

constexpr int kAccounts = 10000;

std::string Name(int account) {
    return "user" + std::to_string(account) + "@example.com";
}

std::string AccountFile() {
    std::string list = "[AccountList]\r\n";
    std::string info = "[AccountInfo]\r\n";
    for (int i = 0; i < kAccounts; ++i) {
        list += Name(i) + "=1\r\n";
        info += Name(i) + "_Password=secret" + std::to_string(i * 7919) + "\r\n";
        info += Name(i) + "_Desc=Mailbox of user " + std::to_string(i) + "\r\n";
        info += Name(i) + "_Enabled=1\r\n";
    }
    return list + info;
}

// Every account listed once with its three fields; a changed password must be one the writer
// wrote in full ("p" and its round number).
bool Whole(const std::string& path) {
    ProfileSnapshot snapshot(path);
    std::vector<std::string> names;
    if (snapshot.GetSection("AccountList", &names) != kAccounts) {
        return false;
    }
    for (int i = 0; i < kAccounts; ++i) {
        const std::string password = snapshot.GetString("AccountInfo", Name(i) + "_Password", "");
        if (names[static_cast<size_t>(i)] != Name(i) || password.empty() ||
            (password != "secret" + std::to_string(i * 7919) && password.front() != 'p') ||
            snapshot.GetInt("AccountInfo", Name(i) + "_Enabled", 0) != 1) {
            return false;
        }
    }
    return true;
}

std::vector<std::string> Temporaries(const std::string& directory) {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        if (entry.path().filename().string().find(".tmp.") != std::string::npos) {
            found.push_back(entry.path().filename().string());
        }
    }
    return found;
}

}  // namespace

int main(int argc, char** argv) {
    const int kills = argc > 1 ? std::atoi(argv[1]) : 200;
    std::string pattern = (std::filesystem::temp_directory_path() / "relvo-crash-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string directory = pattern;
    const std::string path = directory + "/relvoconsole.cfg";
    std::ofstream(path, std::ios::binary) << AccountFile();

    // How long one write takes here, so that the kills spread over whole writes.
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 10; ++i) {
        ProfileSetString("AccountInfo", Name(i) + "_Password", "p" + std::to_string(i), path);
    }
    const auto perWrite = (std::chrono::steady_clock::now() - start) / 10;

    std::mt19937 rng(20261207);
    std::uniform_int_distribution<long> delay(
        0, 3 * std::chrono::duration_cast<std::chrono::microseconds>(perWrite).count());
    int whole = 0;
    int hitDuringAWrite = 0;  // a temporary file was there after the kill
    int leftAfterNextWrite = 0;
    int nextWriteFailed = 0;
    start = std::chrono::steady_clock::now();
    for (int kill = 0; kill < kills; ++kill) {
        pid_t writer = fork();
        if (writer == 0) {
            std::mt19937 own(static_cast<unsigned>(kill));
            for (int round = 0;; ++round) {
                const int account = static_cast<int>(own() % kAccounts);
                ProfileSetString("AccountInfo", Name(account) + "_Password",
                                 "p" + std::to_string(round), path);
            }
        }
        std::this_thread::sleep_for(std::chrono::microseconds(delay(rng)));
        ::kill(writer, SIGKILL);
        waitpid(writer, nullptr, 0);
        whole += Whole(path);
        hitDuringAWrite += !Temporaries(directory).empty();
        nextWriteFailed += !ProfileSetString("Probe", "kill", std::to_string(kill), path);
        leftAfterNextWrite += !Temporaries(directory).empty();
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%d kills of a writer of %d accounts (%.1f ms a write) in %.1f s\n", kills,
                kAccounts, std::chrono::duration<double, std::milli>(perWrite).count(), seconds);
    std::printf("file whole after the kill:                %d of %d\n", whole, kills);
    std::printf("kills that left a temporary file:         %d\n", hitDuringAWrite);
    std::printf("temporary files left after the next write: %d kills\n", leftAfterNextWrite);
    std::printf("next writes that failed:                  %d\n", nextWriteFailed);
    std::filesystem::remove_all(directory);
    return whole == kills && leftAfterNextWrite == 0 && nextWriteFailed == 0 ? 0 : 1;
}
