// The queue stores' file work, on one small pool per process sized from the core count: the
// group commits, their flushes, and the spools' writes. Concurrent fdatasync calls share the file
// system's journal commits and the disk's cache flushes, where calls one after another pay for
// one each; a handful in flight at once gets that sharing, since a flush that finds its data
// written back and its metadata in a commit already made returns at once.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace relvo::mail {

class FlushPool {
  public:
    explicit FlushPool(int threads);
    ~FlushPool();  // runs every job posted, then joins the threads
    FlushPool(const FlushPool&) = delete;
    FlushPool& operator=(const FlushPool&) = delete;

    // The pool every queue store of this process shares, made by the first store that opens and
    // ended when the last one lets it go.
    static std::shared_ptr<FlushPool> Shared();
    // Threads for this machine: twice the cores, at least 4 and at most 8.
    static int DefaultThreads();

    int Threads() const { return static_cast<int>(threads_.size()); }
    // Runs job on one of the threads, in order of posting.
    void Post(std::function<void()> job);
    // fdatasync on every descriptor, the caller's thread taking part, so that it never waits for
    // a thread that other jobs hold; errors receives 0 or the errno of each. Any number of
    // callers, pool threads among them.
    void FlushAll(const std::vector<int>& fds, std::vector<int>& errors);

  private:
    void Run();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace relvo::mail
