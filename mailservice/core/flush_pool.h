// Flushes many files at once. Concurrent fdatasync calls share the file system's journal
// commits and the disk's cache flushes, where calls one after another pay for one each: with a
// few milliseconds per flush, this is what lets many sessions' messages reach the disk together.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace relvo::mail {

class FlushPool {
  public:
    explicit FlushPool(int threads);
    ~FlushPool();
    FlushPool(const FlushPool&) = delete;
    FlushPool& operator=(const FlushPool&) = delete;

    // fdatasync on every descriptor, in parallel; errors receives 0 or the errno of each. One
    // caller at a time.
    void FlushAll(const std::vector<int>& fds, std::vector<int>& errors);

  private:
    void Run();
    // Claims and flushes descriptors of the current job until none is left.
    void Work(std::unique_lock<std::mutex>& lock);

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    const std::vector<int>* fds_ = nullptr;
    std::vector<int>* errors_ = nullptr;
    size_t next_ = 0;
    size_t finished_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace relvo::mail
