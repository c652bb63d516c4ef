// A service's lines: the local time stamp is prepended, the line goes to the daily log
// <logDir>/<prefix>YYYYMMDD.txt when logging is on and to the registered window. Line only
// appends to a buffer; a background thread writes the files and delivers the window lines at
// least once a second, so logging never holds up a session. Old daily files are deleted when the
// log is configured and at each change of day.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/progress.h"

namespace relvo::mail {

class EventLog {
  public:
    EventLog(std::string logDir, std::string prefix /* "smtp" or "send" */);
    ~EventLog();  // writes what is buffered
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;

    // keepDays: files dated keepDays or more days before today are deleted (values below 1
    // keep today's file only). Deletes at once and again at every change of day.
    void Configure(bool enabled, int keepDays);
    void SetWindow(RelvoMailWindow* window, unsigned int message);
    void Line(std::string_view text);
    // Whether debug lines (a session's state changes) are wanted: off unless RELVO_DEBUG_LOG=1
    // was in the environment at the last Configure. Callers build such a line only then and pass
    // it to Line; it never holds message text or AUTH data.
    bool Debugging() const { return debug_.load(std::memory_order_relaxed); }
    // Writes everything buffered so far before it returns.
    void Flush();

    // Deletes <prefix>YYYYMMDD.txt files in dir dated keepDays or more days before today's
    // date key; returns how many were deleted.
    static int DeleteOldFiles(const std::string& dir, const std::string& prefix, int keepDays,
                              std::chrono::system_clock::time_point now);

  private:
    struct Chunk {
        std::string dateKey;
        std::string text;                // lines, each ended by "\r\n" as in the file
        std::vector<size_t> lineStarts;  // where each line starts in text
    };
    void Run();
    void WriteChunks(std::vector<Chunk>& chunks, bool toFile);
    // The day's file opened for appending, or -1 (told once a day when refused).
    int OpenDailyFile(const std::string& dateKey);

    const std::string logDir_;
    const std::string prefix_;
    ProgressChannel window_;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable flushed_;
    std::vector<Chunk> pending_;
    size_t bufferedBytes_ = 0;
    unsigned long long dropped_ = 0;  // lines refused while the buffer was full
    bool enabled_ = false;
    bool hasWindow_ = false;
    std::atomic<bool> debug_{false};
    int keepDays_ = 7;
    bool stopping_ = false;
    bool flushRequested_ = false;
    unsigned long long appended_ = 0;  // lines appended, for Flush
    unsigned long long written_ = 0;   // lines written
    std::string lastDateKey_;          // today as the worker last saw it, for the change of day
    std::chrono::system_clock::time_point stampSecond_;
    std::string stampText_;
    std::string stampDateKey_;

    // Worker only.
    int fd_ = -1;
    std::string fdDateKey_;
    std::string refusedDateKey_;  // the day whose file was last refused
    std::thread worker_;
};

}  // namespace relvo::mail
