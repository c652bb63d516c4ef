#include "core/flush_pool.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace relvo::mail {

namespace {

// One FlushAll: its descriptors are claimed one at a time by the caller and the helpers posted.
// A helper that starts once everything is claimed finds nothing to do, so the descriptors are
// never touched after the caller has returned.
struct FlushJob {
    explicit FlushJob(const std::vector<int>& descriptors)
        : fds(descriptors), errors(descriptors.size(), 0) {}

    void Work() {
        std::unique_lock lock(mutex);
        while (next < fds.size()) {
            const size_t index = next++;
            const int fd = fds[index];
            lock.unlock();
            int error = 0;
            while (fdatasync(fd) != 0) {
                if (errno != EINTR) {
                    error = errno;
                    break;
                }
            }
            lock.lock();
            errors[index] = error;
            if (++finished == fds.size()) {
                done.notify_all();
            }
        }
    }

    const std::vector<int> fds;
    std::vector<int> errors;
    std::mutex mutex;
    std::condition_variable done;
    size_t next = 0;
    size_t finished = 0;
};

}  // namespace

FlushPool::FlushPool(int threads) {
    for (int i = 0; i < std::max(1, threads); ++i) {
        threads_.emplace_back([this] { Run(); });
    }
}

FlushPool::~FlushPool() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (auto& thread : threads_) {
        thread.join();
    }
}

int FlushPool::DefaultThreads() {
    return static_cast<int>(std::clamp(2 * std::thread::hardware_concurrency(), 4u, 8u));
}

std::shared_ptr<FlushPool> FlushPool::Shared() {
    static std::mutex mutex;
    static std::weak_ptr<FlushPool> shared;
    std::lock_guard lock(mutex);
    std::shared_ptr<FlushPool> pool = shared.lock();
    if (!pool) {
        pool = std::make_shared<FlushPool>(DefaultThreads());
        shared = pool;
    }
    return pool;
}

void FlushPool::Post(std::function<void()> job) {
    {
        std::lock_guard lock(mutex_);
        jobs_.push_back(std::move(job));
    }
    wake_.notify_one();
}

void FlushPool::FlushAll(const std::vector<int>& fds, std::vector<int>& errors) {
    auto job = std::make_shared<FlushJob>(fds);
    // Helpers for the files besides the caller's own, at most one per thread.
    const size_t helpers = fds.size() > 1 ? std::min(fds.size() - 1, threads_.size()) : 0;
    for (size_t i = 0; i < helpers; ++i) {
        Post([job] { job->Work(); });
    }
    job->Work();
    std::unique_lock lock(job->mutex);
    job->done.wait(lock, [&] { return job->finished == job->fds.size(); });
    errors = job->errors;
}

void FlushPool::Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
        if (jobs_.empty()) {
            return;  // stopping, and every job posted has run
        }
        std::function<void()> job = std::move(jobs_.front());
        jobs_.pop_front();
        lock.unlock();
        job();
        job = nullptr;  // what it holds (a spool to remove) goes here, off the lock
        lock.lock();
    }
}

}  // namespace relvo::mail
