// Several processes on one profile file: readers never see a half-written file, concurrent
// writers lose no update, and a write through the store is seen by every process's next read.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "common/profile_file.h"
#include "common/profile_store.h"
#include "support/temp_app_dir.h"

namespace {

constexpr const char* kFile = "shared.ini";

// Runs `work` in a child process; its exit status says whether every write succeeded.
pid_t RunChild(const std::function<bool()>& work) {
    pid_t pid = fork();
    if (pid == 0) {
        _exit(work() ? 0 : 1);
    }
    return pid;
}

bool ExitedCleanly(pid_t pid) {
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Readers trust a cached parse for as long as the test says, unless a write was counted.
class RecheckInterval {
  public:
    explicit RecheckInterval(std::chrono::nanoseconds interval)
        : previous_(profile::SetRecheckIntervalForTesting(interval)) {}
    ~RecheckInterval() { profile::SetRecheckIntervalForTesting(previous_); }
    RecheckInterval(const RecheckInterval&) = delete;
    RecheckInterval& operator=(const RecheckInterval&) = delete;

  private:
    std::chrono::nanoseconds previous_;
};

struct stat StatOf(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
    return info;
}

// A write through the store in a child process that leaves the file with the size and the
// modification time it had: nothing a reader could see without the write generation, but inode
// and change time.
pid_t WriteKeepingSizeAndTime(const TempAppDir& dir, const std::string& value) {
    const struct stat before = StatOf(dir.File(kFile));
    const std::string path = dir.File(kFile);
    return RunChild([&] {
        timespec times[2] = {before.st_atim, before.st_mtim};
        return ProfileSetString("S", "k", value, kFile) &&
               utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
    });
}

TEST(ProfileStoreProcessTest, ReadersNeverSeeAFileMissingAKeptKey) {
    TempAppDir dir;
    dir.Write(kFile, "[S]\r\nfirst=kept\r\n[T]\r\nlast=kept\r\n");
    pid_t writer = RunChild([] {
        for (int i = 0; i < 300; ++i) {
            // Values of changing length, new keys and removals: every rewrite moves lines.
            std::string value(static_cast<size_t>(i % 50), 'x');
            if (!ProfileSetString("S", "k" + std::to_string(i % 7), value, kFile) ||
                !ProfileSetString("T", "k" + std::to_string(i % 5), std::nullopt, kFile)) {
                return false;
            }
        }
        return true;
    });
    ASSERT_GT(writer, 0);
    int reads = 0;
    int lost = 0;
    int status = 0;
    do {
        lost += ProfileGetString("S", "first", "", kFile) != "kept";
        lost += ProfileGetString("T", "last", "", kFile) != "kept";
        ++reads;
    } while (waitpid(writer, &status, WNOHANG) == 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(lost, 0) << "in " << reads << " reads";
    EXPECT_EQ(ProfileGetString("S", "k5", "?", kFile), std::string(299 % 50, 'x'));
}

TEST(ProfileStoreProcessTest, ConcurrentWritersLoseNoUpdate) {
    TempAppDir dir;
    constexpr int kWrites = 150;
    auto writeAll = [](const char* prefix) {
        return [prefix] {
            for (int i = 0; i < kWrites; ++i) {
                if (!ProfileSetInt("S", prefix + std::to_string(i), i, kFile)) {
                    return false;
                }
            }
            return true;
        };
    };
    pid_t first = RunChild(writeAll("a"));
    pid_t second = RunChild(writeAll("b"));
    ASSERT_GT(first, 0);
    ASSERT_GT(second, 0);
    EXPECT_TRUE(ExitedCleanly(first));
    EXPECT_TRUE(ExitedCleanly(second));
    int missing = 0;
    for (int i = 0; i < kWrites; ++i) {
        missing += ProfileGetInt("S", "a" + std::to_string(i), -1, kFile) != i;
        missing += ProfileGetInt("S", "b" + std::to_string(i), -1, kFile) != i;
    }
    EXPECT_EQ(missing, 0);
}

TEST(ProfileStoreProcessTest, AWriteByAnotherProcessIsSeenByTheNextRead) {
    TempAppDir dir;
    // Only the write generation can tell this reader that its cached parse is stale.
    RecheckInterval trustForAnHour(std::chrono::hours(1));
    ASSERT_TRUE(ProfileSetString("S", "k", "first", kFile));
    ASSERT_EQ(ProfileGetString("S", "k", "", kFile), "first");
    const struct stat before = StatOf(dir.File(kFile));
    for (const char* value : {"later", "third"}) {
        pid_t writer = WriteKeepingSizeAndTime(dir, value);
        ASSERT_GT(writer, 0);
        ASSERT_TRUE(ExitedCleanly(writer));
        const struct stat after = StatOf(dir.File(kFile));
        ASSERT_EQ(after.st_size, before.st_size);
        ASSERT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
        ASSERT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
        EXPECT_EQ(ProfileGetString("S", "k", "", kFile), value);
        EXPECT_TRUE(ProfileHasKey("S", "k", kFile));
    }
}

TEST(ProfileStoreProcessTest, ALockFileThatAppearsLaterIsUsed) {
    TempAppDir dir;
    RecheckInterval trustForAnHour(std::chrono::hours(1));
    dir.Write(kFile, "[S]\r\nk=first\r\n");
    // Earlier versions left the lock file empty; readers must neither fail nor trust it.
    dir.Write(std::string(kFile) + ".lock", "");
    ASSERT_EQ(ProfileGetString("S", "k", "", kFile), "first");
    for (const char* value : {"later", "third"}) {
        pid_t writer = WriteKeepingSizeAndTime(dir, value);
        ASSERT_GT(writer, 0);
        ASSERT_TRUE(ExitedCleanly(writer));
        EXPECT_EQ(ProfileGetString("S", "k", "", kFile), value);
    }
    EXPECT_GE(StatOf(dir.File(std::string(kFile) + ".lock")).st_size, 8);
}

TEST(ProfileStoreProcessTest, AWriteByAnotherThreadIsSeenByTheNextRead) {
    TempAppDir dir;
    RecheckInterval trustForAnHour(std::chrono::hours(1));
    ASSERT_TRUE(ProfileSetString("S", "k", "first", kFile));
    std::string seen;
    auto read = [&seen] { seen = ProfileGetString("S", "k", "", kFile); };
    std::thread(read).join();
    ASSERT_EQ(seen, "first");
    std::thread([] { EXPECT_TRUE(ProfileSetString("S", "k", "later", kFile)); }).join();
    std::thread(read).join();
    EXPECT_EQ(seen, "later");
    // The same thread reading before and after another thread's write.
    std::string before;
    std::string after;
    std::thread reader([&] {
        before = ProfileGetString("S", "k", "", kFile);
        std::thread([] { EXPECT_TRUE(ProfileSetString("S", "k", "third", kFile)); }).join();
        after = ProfileGetString("S", "k", "", kFile);
    });
    reader.join();
    EXPECT_EQ(before, "later");
    EXPECT_EQ(after, "third");
}

}  // namespace
