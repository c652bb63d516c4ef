// The process's queue writer: one QueueStore per queue directory, shared by the receiving
// service (its sessions' messages) and the SEND service (its failure notices), and the channel
// through which that store hands new entries to the SEND service. The store is opened when the
// first service asks for it and closed when the last one lets it go; either service may start and
// stop on its own (the console's entry points), or both run together (relvoserver).
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "core/arrival_channel.h"
#include "core/queue_store.h"

namespace relvo::mail {

class SharedQueue;

// One service's hold on the shared store; letting it go (reset or destruction) closes the store
// when nobody else holds it, else waits until every completion handed in before has run, so that
// nothing the holder's completions refer to is used after it.
class QueueLease {
  public:
    QueueLease() = default;
    ~QueueLease();
    QueueLease(QueueLease&& other) noexcept;
    QueueLease& operator=(QueueLease&& other) noexcept;
    QueueLease(const QueueLease&) = delete;
    QueueLease& operator=(const QueueLease&) = delete;

    explicit operator bool() const { return store_ != nullptr; }
    QueueStore& Store() const { return *store_; }
    void Reset();

  private:
    friend class SharedQueue;
    QueueLease(SharedQueue* owner, std::shared_ptr<QueueStore> store)
        : owner_(owner), store_(std::move(store)) {}

    SharedQueue* owner_ = nullptr;
    std::shared_ptr<QueueStore> store_;
};

class SharedQueue {
  public:
    SharedQueue() = default;
    ~SharedQueue();  // every lease must be gone by now
    SharedQueue(const SharedQueue&) = delete;
    SharedQueue& operator=(const SharedQueue&) = delete;

    // The store of queueDir, opened on the first call; an empty lease with error set when it
    // cannot be opened.
    QueueLease Acquire(const std::string& queueDir, std::string* error);
    ArrivalChannel& Arrivals() { return arrivals_; }

  private:
    friend class QueueLease;
    void Release(std::shared_ptr<QueueStore> store);

    ArrivalChannel arrivals_;
    std::mutex mutex_;
    // Open stores and their holders. A store closes outside the mutex, and one whose last
    // holder is closing it is already out of the table, so a new Acquire opens a fresh one.
    struct Entry {
        std::shared_ptr<QueueStore> store;
        int holders = 0;
    };
    std::map<std::string, Entry> stores_;
};

}  // namespace relvo::mail
