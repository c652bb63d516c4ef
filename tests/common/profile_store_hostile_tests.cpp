// The store beside files it does not control: lock files changed by other programs, things that
// are not regular files in place of the profile or its lock, leftovers of killed writers and
// profiles far larger than any configuration. Every case runs in a child process with a deadline,
// so a crash or a hang fails the case instead of the whole suite.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/profile_document.h"
#include "common/profile_file.h"
#include "common/profile_store.h"
#include "support/temp_app_dir.h"

namespace {

constexpr const char* kFile = "h.ini";
constexpr unsigned kDeadlineSeconds = 10;

// How a child process ended: its exit code, or the signal that ended it.
struct Outcome {
    int code = -1;
    int signal = 0;
    bool operator==(const Outcome&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Outcome& outcome) {
    return outcome.signal ? out << "killed by signal " << strsignal(outcome.signal)
                          : out << "exit code " << outcome.code;
}

Outcome Wait(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) {
        return {};
    }
    return WIFSIGNALED(status) ? Outcome{-1, WTERMSIG(status)} : Outcome{WEXITSTATUS(status), 0};
}

// Runs `body` in a child that the alarm ends if it hangs; exit code 0 means every check held.
Outcome RunIsolated(const std::function<bool()>& body) {
    pid_t pid = fork();
    if (pid == 0) {
        alarm(kDeadlineSeconds);
        _exit(body() ? 0 : 1);
    }
    return Wait(pid);
}

const Outcome kPassed{0, 0};

class HostileFileTest : public ::testing::Test {
  protected:
    std::string Path(const std::string& name = kFile) const { return dir.File(name); }
    std::string LockPath() const { return Path() + ".lock"; }
    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    TempAppDir dir;
};

// --- Lock files changed by other programs --------------------------------------------------

TEST_F(HostileFileTest, OutsideChangesToTheLockFileNeitherCrashReadersNorHideWrites) {
    using std::chrono::milliseconds;
    const auto overwrite = [](const std::string& lock, const std::string& bytes) {
        int fd = open(lock.c_str(), O_WRONLY);
        [[maybe_unused]] ssize_t ignored = write(fd, bytes.data(), bytes.size());
        close(fd);
    };
    struct Case {
        const char* name;
        std::function<void(const std::string& lock)> change;
        // Changed in place, only the generation can tell readers about the next write: they
        // trust their parse meanwhile. A new lock file counts nothing readers look at, so the
        // write is seen once their recheck interval has passed.
        bool inPlace;
    };
    const std::vector<Case> cases = {
        {"emptied", [](const std::string& lock) { truncate(lock.c_str(), 0); }, true},
        {"cut short", [](const std::string& lock) { truncate(lock.c_str(), 3); }, true},
        {"zeroed", [&](const std::string& lock) { overwrite(lock, std::string(8, '\0')); }, true},
        {"deleted", [](const std::string& lock) { unlink(lock.c_str()); }, false},
        {"replaced",
         [](const std::string& lock) {
             std::ofstream(lock + ".new") << "x";
             rename((lock + ".new").c_str(), lock.c_str());
         },
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(ProfileSetString("S", "k", "before", kFile));
        const std::string lock = LockPath();
        Outcome reader = RunIsolated([&] {
            const milliseconds interval = c.inPlace ? milliseconds(3600000) : milliseconds(20);
            profile::SetRecheckIntervalForTesting(interval);
            if (ProfileGetString("S", "k", "", kFile) != "before") {
                return false;
            }
            c.change(lock);
            bool survived = ProfileGetString("S", "k", "", kFile) == "before";
            Outcome writer = RunIsolated([] { return ProfileSetString("S", "k", "after", kFile); });
            if (!c.inPlace) {
                std::this_thread::sleep_for(interval + milliseconds(30));
            }
            return survived && writer == kPassed &&
                   ProfileGetString("S", "k", "", kFile) == "after";
        });
        EXPECT_EQ(reader, kPassed);
    }
}

// --- Things that are not regular files -----------------------------------------------------

TEST_F(HostileFileTest, OnlyRegularFilesAreReadOrLockedAndOthersFailAtOnce) {
    auto fifo = [](const std::string& path) { mkfifo(path.c_str(), 0600); };
    auto directory = [](const std::string& path) { mkdir(path.c_str(), 0700); };
    auto socketFile = [](const std::string& path) {
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        [[maybe_unused]] int ignored =
            bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        close(fd);
    };
    struct Case {
        const char* name;
        bool inPlaceOfLock;  // else in place of the profile
        std::function<void(const std::string&)> make;
    };
    const std::vector<Case> cases = {
        {"profile is a FIFO", false, fifo},           {"lock is a FIFO", true, fifo},
        {"profile is a directory", false, directory}, {"lock is a directory", true, directory},
        {"profile is a socket", false, socketFile},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(Path());
        std::filesystem::remove_all(LockPath());
        if (c.inPlaceOfLock) {
            dir.Write(kFile, "[S]\nk=kept\n");
        }
        const std::string odd = c.inPlaceOfLock ? LockPath() : Path();
        c.make(odd);
        Outcome outcome = RunIsolated([&] {
            const std::string expected = c.inPlaceOfLock ? "kept" : "<default>";
            bool reads = ProfileGetString("S", "k", "<default>", kFile) == expected &&
                         ProfileSnapshot(kFile).GetString("S", "k", "<default>") == expected;
            bool refused = !ProfileSetString("S", "k", "new", kFile) &&
                           ProfileLastWriteError().find(c.inPlaceOfLock ? ".lock" : kFile) !=
                               std::string::npos &&
                           ProfileLastWriteError().find("not a regular file") != std::string::npos;
            return reads && refused;
        });
        EXPECT_EQ(outcome, kPassed);
        if (c.inPlaceOfLock) {
            EXPECT_EQ(dir.Read(kFile), "[S]\nk=kept\n");
        }
    }
}

TEST_F(HostileFileTest, ALockThatIsASymbolicLinkIsNeverWrittenThrough) {
    dir.Write(kFile, "[S]\nk=1\n");
    const std::string precious = "eight bytes and more";
    for (const char* target : {"victim", "missing"}) {
        SCOPED_TRACE(target);
        std::filesystem::remove(Path("victim"));
        std::filesystem::remove(LockPath());
        if (std::string(target) == "victim") {
            dir.Write("victim", precious);
        }
        ASSERT_EQ(symlink(target, LockPath().c_str()), 0);
        EXPECT_FALSE(ProfileSetString("S", "k", "2", kFile));
        EXPECT_NE(ProfileLastWriteError().find("symbolic link"), std::string::npos)
            << ProfileLastWriteError();
        EXPECT_EQ(ProfileGetString("S", "k", "", kFile), "1");
        if (std::string(target) == "victim") {
            EXPECT_EQ(dir.Read("victim"), precious);
        } else {
            EXPECT_FALSE(std::filesystem::exists(Path("missing")));
        }
    }
    EXPECT_EQ(dir.Read(kFile), "[S]\nk=1\n");
}

// --- Leftovers of killed writers -----------------------------------------------------------

pid_t PidOfAnEndedProcess() {
    pid_t pid = fork();
    if (pid == 0) {
        _exit(0);
    }
    Wait(pid);
    return pid;
}

TEST_F(HostileFileTest, TheNextWriteRemovesTemporaryFilesOfDeadWritersOnly) {
    const std::string dead = std::to_string(PidOfAnEndedProcess());
    const std::string alive = std::to_string(getppid());
    dir.Write(kFile, "[S]\nk=1\n");
    const std::vector<std::string> stale = {std::string(kFile) + ".tmp." + dead + ".0",
                                            std::string(kFile) + ".tmp." + dead + ".17"};
    const std::vector<std::string> kept = {
        std::string(kFile) + ".tmp." + alive + ".0",  // a writer that still runs
        std::string(kFile) + ".tmp." + dead,          // not a name the store gives
        std::string(kFile) + ".tmp." + dead + ".x",
        "other.ini.tmp." + dead + ".0",  // another file's: cleaned under that file's lock
        std::string(kFile) + ".tmpfile",
    };
    for (const auto& name : stale) {
        dir.Write(name, "[S]\nk=password\n");
    }
    for (const auto& name : kept) {
        dir.Write(name, "x");
    }
    ASSERT_TRUE(ProfileSetString("S", "k", "2", kFile));
    std::vector<std::string> expected = kept;
    expected.push_back(kFile);
    expected.push_back(std::string(kFile) + ".lock");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Entries(), expected);
}

// A writer of a file with 10,000 accounts, killed at random moments: the file is whole after
// every kill, and the next write leaves no temporary file. bench/bench_profile_crash does 200.
TEST_F(HostileFileTest, AKilledWriterNeverLeavesADamagedFileOrACopy) {
    std::string text = "[AccountList]\r\n";
    for (int i = 0; i < 10000; ++i) {
        text += "user" + std::to_string(i) + "@example.com=1\r\n";
    }
    dir.Write(kFile, text);
    const std::string path = Path();
    std::mt19937 rng(4711);
    int damaged = 0;
    int leftBehind = 0;
    for (int kill = 0; kill < 20; ++kill) {
        pid_t writer = fork();
        if (writer == 0) {
            for (int i = 0;; ++i) {
                ProfileSetInt("Counter", "n", i, path);
            }
        }
        std::this_thread::sleep_for(
            std::chrono::microseconds(std::uniform_int_distribution<int>(0, 20000)(rng)));
        ::kill(writer, SIGKILL);
        Wait(writer);
        ProfileSnapshot snapshot(path);
        std::vector<std::string> keys;
        damaged += snapshot.GetSection("AccountList", &keys) != 10000 ||
                   !snapshot.HasKey("AccountList", "user9999@example.com");
        ASSERT_TRUE(ProfileSetString("Probe", "k", std::to_string(kill), path));
        leftBehind += Entries().size() != 2;
    }
    EXPECT_EQ(damaged, 0);
    EXPECT_EQ(leftBehind, 0) << ::testing::PrintToString(Entries());
}

// --- Profiles far larger than any configuration --------------------------------------------

TEST_F(HostileFileTest, OversizedProfilesAreRefusedWithAReason) {
    struct Case {
        const char* name;
        std::function<void(const std::string&)> make;
    };
    const std::vector<Case> cases = {
        {"one byte over the size limit",
         [](const std::string& path) {
             std::ofstream(path) << "[S]\nk=1\n";
             truncate(path.c_str(), static_cast<off_t>(profile::Document::kMaxBytes + 1));
         }},
        {"too many sections",
         [](const std::string& path) {
             std::ofstream file(path);
             file << "[S]\nk=1\n";
             for (size_t i = 0; i < profile::Document::kMaxSections; ++i) {
                 file << "[s" << i << "]\n";
             }
         }},
        {"too many lines", [](const std::string& path) {
             std::ofstream(path) << "[S]\nk=1\n" << std::string(profile::Document::kMaxLines, '\n');
         }}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.make(Path());
        const auto size = std::filesystem::file_size(Path());
        EXPECT_EQ(profile::LoadDocument(Path()).status, profile::LoadStatus::kTooLarge);
        EXPECT_EQ(ProfileGetString("S", "k", "<default>", kFile), "<default>");
        EXPECT_FALSE(ProfileSetString("S", "k", "2", kFile));
        EXPECT_NE(ProfileLastWriteError().find("too large"), std::string::npos)
            << ProfileLastWriteError();
        EXPECT_EQ(std::filesystem::file_size(Path()), size);
    }
    // A write that would take a file past the limit is refused, and the file stays readable.
    dir.Write(kFile, "[S]\nk=1\n" + std::string(profile::Document::kMaxBytes - 100, ';'));
    EXPECT_FALSE(ProfileSetString("S", "k", std::string(200, 'v'), kFile));
    EXPECT_NE(ProfileLastWriteError().find("too large"), std::string::npos);
    EXPECT_EQ(ProfileGetString("S", "k", "", kFile), "1");
    EXPECT_TRUE(ProfileSetString("S", "k", "2", kFile));
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kPlainAllocator = false;
#else
constexpr bool kPlainAllocator = true;
#endif

// A figure of this process from /proc/self/status, in KiB.
long StatusKiB(const std::string& field) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.compare(0, field.size(), field) == 0) {
            return std::stol(line.substr(field.size()));
        }
    }
    return -1;
}

// Peak memory of a child that reads or writes one key of a large account file, against the size.
TEST_F(HostileFileTest, MemoryStaysWithinASmallMultipleOfTheFileSize) {
    if (!kPlainAllocator) {
        GTEST_SKIP() << "the sanitizer's allocator keeps freed memory";
    }
    std::string text = "[AccountList]\r\n";
    std::string info = "[AccountInfo]\r\n";
    for (int i = 0; i < 100000; ++i) {
        const std::string name = "user" + std::to_string(i) + "@example.com";
        text += name + "=1\r\n";
        info += name + "_Password=secret" + std::to_string(i * 7919) + "\r\n";
        info += name + "_Desc=Mailbox of user " + std::to_string(i) + "\r\n";
        info += name + "_Enabled=1\r\n";
    }
    text += info;
    info.clear();
    info.shrink_to_fit();
    dir.Write(kFile, text);
    const double size = static_cast<double>(text.size());
    text.clear();
    text.shrink_to_fit();
    struct Case {
        const char* name;
        std::function<bool()> work;
        double limit;  // peak growth over the child's start, in file sizes
    };
    const std::vector<Case> cases = {
        {"read",
         [] {
             return ProfileGetString("AccountInfo", "user99999@example.com_Desc", "", kFile) ==
                    "Mailbox of user 99999";
         },
         3.0},
        {"write",
         [] { return ProfileSetString("AccountInfo", "user5@example.com_Desc", "x", kFile); }, 4.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // In a new child, with its peak reset: what it reports is this work's own.
        int pipeFds[2];
        ASSERT_EQ(pipe(pipeFds), 0);
        pid_t pid = fork();
        if (pid == 0) {
            close(pipeFds[0]);
            std::ofstream("/proc/self/clear_refs") << "5";
            const long start = StatusKiB("VmRSS:");
            bool done = c.work();
            long grown = StatusKiB("VmHWM:") - start;
            [[maybe_unused]] ssize_t ignored = write(pipeFds[1], &grown, sizeof grown);
            _exit(done ? 0 : 1);
        }
        close(pipeFds[1]);
        long grownKiB = -1;
        ASSERT_EQ(read(pipeFds[0], &grownKiB, sizeof grownKiB),
                  static_cast<ssize_t>(sizeof grownKiB));
        close(pipeFds[0]);
        EXPECT_EQ(Wait(pid), kPassed);
        EXPECT_GT(grownKiB, 0);
        EXPECT_LE(static_cast<double>(grownKiB) * 1024.0, c.limit * size)
            << grownKiB << " KiB for a file of " << size / 1024.0 << " KiB";
    }
}

}  // namespace
