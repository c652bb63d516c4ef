// Several processes on one profile file: readers never see a half-written file and concurrent
// writers lose no update.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "config/profile_store.h"
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

}  // namespace
