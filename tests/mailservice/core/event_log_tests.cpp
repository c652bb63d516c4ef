// The daily logs: line format in the file and to the window, writing without Flush within a
// second, retention at start and at the change of day.
#include "core/event_log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>
#include <set>
#include <thread>

#include "common/clock.h"
#include "support/local_time.h"
#include "support/temp_app_dir.h"

namespace relvo::mail {
namespace {

std::mutex windowMutex;
std::vector<std::string> windowLines;

void Record(RelvoMailWindow*, unsigned int message, uintptr_t, const char* text) {
    std::lock_guard lock(windowMutex);
    windowLines.push_back(std::to_string(message) + "|" + text);
}

RelvoMailWindow recordingWindow{&Record};

class EventLogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::lock_guard lock(windowMutex);
        windowLines.clear();
    }
    void TearDown() override { SetClockForTesting(nullptr); }

    void SetNow(std::chrono::system_clock::time_point when) {
        now_ = when;
        SetClockForTesting([this] { return now_.load(); });
    }
    std::set<std::string> LogNames() const {
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(LogDir())) {
            names.insert(entry.path().filename().string());
        }
        return names;
    }
    std::string LogDir() const { return app_.File("log"); }

    TempAppDir app_;
    std::atomic<std::chrono::system_clock::time_point> now_;
};

TEST_F(EventLogTest, LinesCarryTheTimeStampInTheFileAndInTheWindow) {
    SetNow(LocalTime(2026, 3, 7, 14, 5, 9));
    {
        EventLog log(LogDir(), "smtp");
        log.Configure(true, 7);
        log.SetWindow(&recordingWindow, 0x8000);
        log.Line("Client/127.0.0.1:5000 EHLO client.test");
        log.Line("Server/127.0.0.1:5000 250 OK");
        // Texts can neither forge a line of their own nor grow without bound.
        log.Line("bad\r\n2026-03-07 00:00:00 forged");
        log.Line(std::string(5000, 'x'));
        log.Flush();
        EXPECT_EQ(app_.Read("log/smtp20260307.txt"),
                  "2026-03-07 14:05:09 Client/127.0.0.1:5000 EHLO client.test\r\n"
                  "2026-03-07 14:05:09 Server/127.0.0.1:5000 250 OK\r\n"
                  "2026-03-07 14:05:09 bad  2026-03-07 00:00:00 forged\r\n"
                  "2026-03-07 14:05:09 " +
                      std::string(4096, 'x') + "...\r\n");
    }
    std::lock_guard lock(windowMutex);
    ASSERT_EQ(windowLines.size(), 4u);
    EXPECT_EQ(windowLines[0], "32768|2026-03-07 14:05:09 Client/127.0.0.1:5000 EHLO client.test");
    EXPECT_EQ(windowLines[1], "32768|2026-03-07 14:05:09 Server/127.0.0.1:5000 250 OK");
    EXPECT_EQ(windowLines[2], "32768|2026-03-07 14:05:09 bad  2026-03-07 00:00:00 forged");
}

TEST_F(EventLogTest, DisabledLogWritesNoFileButFeedsTheWindow) {
    SetNow(LocalTime(2026, 3, 7, 10, 0, 0));
    EventLog log(LogDir(), "send");
    log.Configure(false, 7);
    log.SetWindow(&recordingWindow, 0x8000);
    log.Line("delivered");
    log.Flush();
    EXPECT_FALSE(std::filesystem::exists(LogDir()));
    std::lock_guard lock(windowMutex);
    EXPECT_EQ(windowLines, std::vector<std::string>{"32768|2026-03-07 10:00:00 delivered"});
}

TEST_F(EventLogTest, LinesReachTheFileWithinASecondWithoutFlush) {
    EventLog log(LogDir(), "smtp");
    log.Configure(true, 7);
    const auto start = std::chrono::steady_clock::now();
    log.Line("arrives on its own");
    std::string name;
    while (std::chrono::steady_clock::now() - start < std::chrono::seconds(2)) {
        if (std::filesystem::exists(LogDir()) && !LogNames().empty()) {
            name = *LogNames().begin();
            if (app_.Read("log/" + name).find("arrives on its own\r\n") != std::string::npos) {
                break;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_NE(app_.Read("log/" + name).find("arrives on its own"), std::string::npos);
}

TEST_F(EventLogTest, RetentionKeepsTheLastDaysOfItsOwnFilesOnly) {
    std::filesystem::create_directory(LogDir());
    struct File {
        const char* name;
        int keepDays;  // deleted when keepDays is at most this; 0 = never deleted
    };
    // Today is 2026-03-07.
    const char* files[] = {"smtp20260307.txt", "smtp20260306.txt", "smtp20260301.txt",
                           "smtp20260228.txt", "smtp20251231.txt", "send20250101.txt",
                           "smtp2026030.txt",  "smtpABCDEFGH.txt", "smtp20200101.log"};
    struct Case {
        int keepDays;
        std::set<std::string> left;
    };
    const std::set<std::string> others = {"send20250101.txt", "smtp2026030.txt", "smtpABCDEFGH.txt",
                                          "smtp20200101.log"};
    auto with = [&](std::set<std::string> ours) {
        ours.insert(others.begin(), others.end());
        return ours;
    };
    const Case cases[] = {
        {7, with({"smtp20260307.txt", "smtp20260306.txt", "smtp20260301.txt"})},
        {8, with({"smtp20260307.txt", "smtp20260306.txt", "smtp20260301.txt", "smtp20260228.txt"})},
        {2, with({"smtp20260307.txt", "smtp20260306.txt"})},
        {1, with({"smtp20260307.txt"})},
        {0, with({"smtp20260307.txt"})},  // never today's own file
        {400, with({"smtp20260307.txt", "smtp20260306.txt", "smtp20260301.txt", "smtp20260228.txt",
                    "smtp20251231.txt"})},
    };
    const auto today = LocalTime(2026, 3, 7, 12, 0, 0);
    for (const auto& testCase : cases) {
        for (const char* name : files) {
            app_.Write(std::string("log/") + name, "x");
        }
        EventLog::DeleteOldFiles(LogDir(), "smtp", testCase.keepDays, today);
        EXPECT_EQ(LogNames(), testCase.left) << "keepDays " << testCase.keepDays;
    }
}

TEST_F(EventLogTest, ChangeOfDayStartsANewFileAndDeletesTheDayThatAgedOut) {
    SetNow(LocalTime(2026, 3, 7, 23, 59, 59));
    std::filesystem::create_directory(LogDir());
    app_.Write("log/smtp20260305.txt", "old\r\n");
    app_.Write("log/smtp20260306.txt", "yesterday\r\n");
    EventLog log(LogDir(), "smtp");
    log.Configure(true, 3);
    log.Line("before midnight");
    log.Flush();
    EXPECT_EQ(LogNames(),
              (std::set<std::string>{"smtp20260305.txt", "smtp20260306.txt", "smtp20260307.txt"}));

    SetNow(LocalTime(2026, 3, 8, 0, 0, 1));
    log.Line("after midnight");
    log.Flush();
    EXPECT_EQ(LogNames(),
              (std::set<std::string>{"smtp20260306.txt", "smtp20260307.txt", "smtp20260308.txt"}));
    EXPECT_EQ(app_.Read("log/smtp20260307.txt"), "2026-03-07 23:59:59 before midnight\r\n");
    EXPECT_EQ(app_.Read("log/smtp20260308.txt"), "2026-03-08 00:00:01 after midnight\r\n");
}

TEST_F(EventLogTest, LinesFromManyThreadsAreWholeAndNoneIsLost) {
    EventLog log(LogDir(), "smtp");
    log.Configure(true, 7);
    constexpr int kThreads = 4;
    constexpr int kLines = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kLines; ++i) {
                log.Line("thread " + std::to_string(t) + " line " + std::to_string(i));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    log.Flush();
    ASSERT_EQ(LogNames().size(), 1u);
    const std::string text = app_.Read("log/" + *LogNames().begin());
    size_t lines = 0;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find("\r\n", start);
        ASSERT_NE(end, std::string::npos);
        const std::string line = text.substr(start, end - start);
        EXPECT_EQ(line.find("thread ", 20), 20u) << line;
        ++lines;
        start = end + 2;
    }
    EXPECT_EQ(lines, size_t{kThreads * kLines});
}

}  // namespace
}  // namespace relvo::mail
