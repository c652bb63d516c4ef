// The process's one queue store: both services hold the same store, which hands what it places
// to the listener of its channel; a holder that lets go first waits for the completions it handed
// in, and the last one closes the store.
#include "core/shared_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "support/temp_app_dir.h"

namespace relvo::mail {
namespace {

using namespace std::chrono_literals;

Envelope TestEnvelope() {
    Envelope envelope;
    envelope.mailFrom = "a@origin.test";
    envelope.recipients = {"b@far.test"};
    envelope.clientAddress = "127.0.0.1:40000";
    envelope.heloName = "client.test";
    return envelope;
}

TEST(SharedQueueTest, OneStoreForBothHoldersHandsOverWhatItPlacesAndClosesWithTheLast) {
    TempAppDir app;
    const std::string dir = app.File("queue");
    SharedQueue shared;
    std::mutex toldMutex;
    std::vector<uint32_t> told;
    shared.Arrivals().Listen([&](const std::string& queueDir, uint32_t id) {
        std::lock_guard lock(toldMutex);
        EXPECT_EQ(queueDir, dir);
        told.push_back(id);
    });

    std::string error;
    QueueLease receiving = shared.Acquire(dir, &error);
    QueueLease sending = shared.Acquire(dir, &error);
    ASSERT_TRUE(receiving && sending) << error;
    ASSERT_EQ(&receiving.Store(), &sending.Store());

    // A completion that is slow to return: letting go must wait for it, though the store stays.
    std::atomic<bool> completionOver{false};
    std::promise<uint32_t> firstId;
    receiving.Store().Store(TestEnvelope(), "", "Subject: one\r\n\r\n1\r\n",
                            [&](bool ok, uint32_t id, const std::string&) {
                                firstId.set_value(ok ? id : 0);
                                std::this_thread::sleep_for(200ms);
                                completionOver = true;
                            });
    receiving.Reset();
    EXPECT_TRUE(completionOver);
    const uint32_t first = firstId.get_future().get();
    ASSERT_NE(first, 0u);

    // Still open for the other holder.
    QueueStore& store = sending.Store();
    std::promise<uint32_t> secondId;
    store.Store(TestEnvelope(), "", "Subject: two\r\n\r\n2\r\n",
                [&](bool ok, uint32_t id, const std::string&) { secondId.set_value(ok ? id : 0); });
    const uint32_t second = secondId.get_future().get();
    ASSERT_NE(second, 0u);
    {
        std::lock_guard lock(toldMutex);
        EXPECT_EQ(told, (std::vector<uint32_t>{first, second}));
    }

    // The last holder closes it: a new holder gets a store opened afresh, which has stored
    // nothing yet.
    EXPECT_EQ(store.StoredCount(), 2u);
    sending.Reset();
    QueueLease again = shared.Acquire(dir, &error);
    ASSERT_TRUE(again) << error;
    EXPECT_EQ(again.Store().StoredCount(), 0u);
    again.Reset();
    shared.Arrivals().Listen(nullptr);
    EXPECT_TRUE(std::filesystem::exists(dir + "/" + std::to_string(first) + ".cfg"));
}

}  // namespace
}  // namespace relvo::mail
