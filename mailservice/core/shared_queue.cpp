#include "core/shared_queue.h"

#include <utility>

namespace relvo::mail {

QueueLease::~QueueLease() {
    Reset();
}

QueueLease::QueueLease(QueueLease&& other) noexcept
    : owner_(std::exchange(other.owner_, nullptr)), store_(std::move(other.store_)) {}

QueueLease& QueueLease::operator=(QueueLease&& other) noexcept {
    if (this != &other) {
        Reset();
        owner_ = std::exchange(other.owner_, nullptr);
        store_ = std::move(other.store_);
    }
    return *this;
}

void QueueLease::Reset() {
    if (store_ != nullptr) {
        owner_->Release(std::move(store_));
        store_ = nullptr;
        owner_ = nullptr;
    }
}

SharedQueue::~SharedQueue() {
    // A lease outliving its owner would be a fault of the owner's order of destruction; the
    // stores still open are finished here all the same rather than cut off.
    for (auto& [dir, entry] : stores_) {
        entry.store->Close();
    }
}

QueueLease SharedQueue::Acquire(const std::string& queueDir, std::string* error) {
    std::lock_guard lock(mutex_);
    Entry& entry = stores_[queueDir];
    if (entry.store == nullptr) {
        auto store = std::make_shared<QueueStore>(queueDir, &arrivals_);
        if (!store->Open(error)) {
            stores_.erase(queueDir);
            return {};
        }
        entry.store = std::move(store);
    }
    ++entry.holders;
    return QueueLease(this, entry.store);
}

void SharedQueue::Release(std::shared_ptr<QueueStore> store) {
    bool last = false;
    {
        std::lock_guard lock(mutex_);
        for (auto it = stores_.begin(); it != stores_.end(); ++it) {
            if (it->second.store == store) {
                last = --it->second.holders == 0;
                if (last) {
                    stores_.erase(it);
                }
                break;
            }
        }
    }
    if (last) {
        store->Close();
    } else {
        store->Drain();
    }
}

}  // namespace relvo::mail
