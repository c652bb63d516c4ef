#include "core/flush_pool.h"

#include <unistd.h>

#include <cerrno>

namespace relvo::mail {

FlushPool::FlushPool(int threads) {
    for (int i = 0; i < threads; ++i) {
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

void FlushPool::FlushAll(const std::vector<int>& fds, std::vector<int>& errors) {
    errors.assign(fds.size(), 0);
    if (fds.empty()) {
        return;
    }
    std::unique_lock lock(mutex_);
    fds_ = &fds;
    errors_ = &errors;
    next_ = 0;
    finished_ = 0;
    // Wake only as many helpers as there are files besides the caller's own.
    if (fds.size() > 1) {
        if (fds.size() - 1 >= threads_.size()) {
            wake_.notify_all();
        } else {
            for (size_t i = 1; i < fds.size(); ++i) {
                wake_.notify_one();
            }
        }
    }
    Work(lock);
    done_.wait(lock, [&] { return finished_ == fds.size(); });
    fds_ = nullptr;
    errors_ = nullptr;
}

void FlushPool::Work(std::unique_lock<std::mutex>& lock) {
    while (fds_ != nullptr && next_ < fds_->size()) {
        const size_t index = next_++;
        const int fd = (*fds_)[index];
        lock.unlock();
        int error = 0;
        while (fdatasync(fd) != 0) {
            if (errno != EINTR) {
                error = errno;
                break;
            }
        }
        lock.lock();
        (*errors_)[index] = error;
        if (++finished_ == fds_->size()) {
            done_.notify_all();
        }
    }
}

void FlushPool::Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || (fds_ != nullptr && next_ < fds_->size()); });
        if (stopping_) {
            return;
        }
        Work(lock);
    }
}

}  // namespace relvo::mail
