// The durable queue on real files: what a stored message leaves on disk, what a crash leaves
// behind and Open removes, and stores from many threads and two processes.
#include "core/queue_store.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <future>
#include <set>
#include <thread>

#include "common/profile_store.h"
#include "core/mail_ids.h"
#include "support/temp_app_dir.h"

namespace relvo::mail {
namespace {

struct Outcome {
    bool ok = false;
    uint32_t id = 0;
    std::string error;
    bool filesCompleteAtDone = false;
};

// The queue's files, without the writers' lock file that every open queue has.
std::set<std::string> Names(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        names.insert(entry.path().filename().string());
    }
    names.erase(".writers.lock");
    return names;
}

class QueueStoreTest : public ::testing::Test {
  protected:
    std::string QueueDir() const { return app_.File("queue"); }

    // Stores and waits; records whether both files were whole when done ran.
    Outcome StoreAndWait(QueueStore& store, Envelope envelope, const std::string& header,
                         const std::string& body) {
        std::promise<Outcome> promise;
        const std::string dir = QueueDir();
        const std::string expected = header + body;
        store.Store(
            std::move(envelope), header, body, [&](bool ok, uint32_t id, const std::string& error) {
                Outcome outcome{ok, id, error, false};
                if (ok) {
                    const std::string base = "queue/" + std::to_string(id);
                    outcome.filesCompleteAtDone = app_.Read(base + ".eml") == expected &&
                                                  std::filesystem::exists(app_.File(base + ".cfg"));
                }
                promise.set_value(outcome);
            });
        return promise.get_future().get();
    }

    TempAppDir app_;
};

TEST_F(QueueStoreTest, StoredMessageIsExactlyTheTwoFiles) {
    QueueStore store(QueueDir());
    std::string error;
    ASSERT_TRUE(store.Open(&error)) << error;

    const std::string header = "Received: from client.example ([127.0.0.1])\r\n\tby relvo; now\r\n";
    std::string body = "Subject: t\r\n\r\nline one\r\n.leading dot kept unstuffed\r\n";
    body += std::string(70000, 'x') + "\r\n";  // more than one write's worth
    Envelope envelope{"sender@example.com",
                      {"a@local.test", " spaced@x.test ", "\"quoted\"@x.test"},
                      "127.0.0.1:40000",
                      "client.example",
                      "user@local.test"};
    Outcome outcome = StoreAndWait(store, envelope, header, body);
    ASSERT_TRUE(outcome.ok) << outcome.error;
    EXPECT_TRUE(outcome.filesCompleteAtDone);

    const std::string id = std::to_string(outcome.id);
    EXPECT_EQ(Names(QueueDir()), (std::set<std::string>{id + ".eml", id + ".cfg"}));
    EXPECT_EQ(app_.Read("queue/" + id + ".eml"), header + body);
    EXPECT_EQ(std::filesystem::status(QueueDir()).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_all);

    // The companion reads back through the configuration store, every value unchanged.
    const ProfileSnapshot companion(app_.File("queue/" + id + ".cfg"));
    const std::pair<const char*, std::string> expected[] = {
        {"MailId", id},
        {"MailFrom", "sender@example.com"},
        {"RcptToNumber", "3"},
        {"RcptTo0", "a@local.test"},
        {"RcptTo1", " spaced@x.test "},
        {"RcptTo2", "\"quoted\"@x.test"},
        {"ClientAddress", "127.0.0.1:40000"},
        {"HeloName", "client.example"},
        {"AuthUser", "user@local.test"},
        {"MailSize", std::to_string(header.size() + body.size())},
        {"Tries", "0"},
        {"NextTry", "0"},
        {"RcptStatus0", "pending"},
        {"RcptStatus2", "pending"},
    };
    for (const auto& [key, value] : expected) {
        EXPECT_EQ(companion.GetString("MailInfo", key, "<missing>"), value) << key;
    }
    EXPECT_EQ(companion.GetString("MailInfo", "ArrivalTime", "").size(), 19u);
    EXPECT_GT(companion.GetInt("MailInfo", "ArrivalUnixTime", 0), 1600000000);
}

TEST_F(QueueStoreTest, RefusesWhatTheCompanionCannotHoldAndLeavesNothing) {
    QueueStore store(QueueDir());
    ASSERT_TRUE(store.Open(nullptr));
    const Envelope refused[] = {
        {"a@b.test", {}, "127.0.0.1:1", "h", ""},                                    // no recipient
        {"a@b.test\r\nRcptTo0=x", {"c@d.test"}, "127.0.0.1:1", "h", ""},             // line break
        {"a@b.test", {std::string(1100, 'r') + "@d.test"}, "127.0.0.1:1", "h", ""},  // too long
    };
    for (const auto& envelope : refused) {
        Outcome outcome = StoreAndWait(store, envelope, "Received: x\r\n", "body\r\n");
        EXPECT_FALSE(outcome.ok);
        EXPECT_FALSE(outcome.error.empty());
    }
    store.Close();
    EXPECT_TRUE(Names(QueueDir()).empty());

    Outcome afterClose = StoreAndWait(store, {"a@b.test", {"c@d.test"}, "", "", ""}, "", "x");
    EXPECT_FALSE(afterClose.ok);
}

TEST_F(QueueStoreTest, OpenRemovesLeftoversOfInterruptedWritesOnly) {
    struct File {
        const char* name;
        bool kept;
    };
    const File files[] = {
        {"10.eml.tmp", false},  // crash while writing the message
        {"11.eml", false},      // message renamed, companion never written
        {"11.cfg.tmp", false},  // companion not yet renamed
        {"12.eml", true},       // a complete entry
        {"12.cfg", true},
        {"13.cfg", true},     // a companion without message is not ours to judge here
        {"notes.txt", true},  // not a queue file
        {"x14.eml", true},
    };
    // While another writer has the queue open, what looks half written may be its work in
    // progress: nothing is removed.
    auto otherWriter = std::make_unique<QueueStore>(QueueDir());
    ASSERT_TRUE(otherWriter->Open(nullptr));
    std::set<std::string> all;
    std::set<std::string> kept;
    for (const auto& file : files) {
        app_.Write(std::string("queue/") + file.name, "data");
        all.insert(file.name);
        if (file.kept) {
            kept.insert(file.name);
        }
    }
    {
        QueueStore second(QueueDir());
        ASSERT_TRUE(second.Open(nullptr));
        EXPECT_EQ(Names(QueueDir()), all);
    }
    otherWriter.reset();
    QueueStore alone(QueueDir());
    ASSERT_TRUE(alone.Open(nullptr));
    EXPECT_EQ(Names(QueueDir()), kept);
}

TEST_F(QueueStoreTest, ConcurrentStoresShareFlushesAndAllComplete) {
    QueueStore store(QueueDir());
    ASSERT_TRUE(store.Open(nullptr));
    constexpr int kThreads = 8;
    constexpr int kPerThread = 40;
    std::mutex mutex;
    std::vector<uint32_t> ids;
    std::atomic<int> failures{0};
    std::atomic<int> incompleteAtDone{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::vector<std::future<void>> waits;
            for (int i = 0; i < kPerThread; ++i) {
                auto promise = std::make_shared<std::promise<void>>();
                waits.push_back(promise->get_future());
                const std::string body =
                    "thread " + std::to_string(t) + " mail " + std::to_string(i) + "\r\n";
                store.Store({"s@x.test", {"r@y.test"}, "127.0.0.1:2", "h", ""}, "R: 1\r\n", body,
                            [&, promise, body](bool ok, uint32_t id, const std::string&) {
                                if (!ok) {
                                    ++failures;
                                } else {
                                    const std::string base = "queue/" + std::to_string(id);
                                    if (app_.Read(base + ".eml") != "R: 1\r\n" + body ||
                                        !std::filesystem::exists(app_.File(base + ".cfg"))) {
                                        ++incompleteAtDone;
                                    }
                                    std::lock_guard lock(mutex);
                                    ids.push_back(id);
                                }
                                promise->set_value();
                            });
            }
            for (auto& wait : waits) {
                wait.get();
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(incompleteAtDone.load(), 0);
    ASSERT_EQ(ids.size(), size_t{kThreads * kPerThread});
    EXPECT_EQ(std::set<uint32_t>(ids.begin(), ids.end()).size(), ids.size());
    EXPECT_EQ(store.StoredCount(), uint64_t{kThreads * kPerThread});
    // Stores that arrived during a flush went to disk together.
    EXPECT_LT(store.FlushRounds(), store.StoredCount());
    EXPECT_EQ(Names(QueueDir()).size(), 2 * ids.size());
}

// Two stores of one process (the receiving side's and the notices') share its pool: closing one
// finishes its own stores and spool writes, and removes its dropped spools, while the other goes
// on; the pool ends with the last.
TEST_F(QueueStoreTest, CloseFinishesEveryPendingStoreAndSpoolOfItsOwn) {
    QueueStore stores[2] = {QueueStore(QueueDir()), QueueStore(QueueDir())};
    std::atomic<int> done[2] = {0, 0};
    std::atomic<int> appended[2] = {0, 0};
    for (int n = 0; n < 2; ++n) {
        ASSERT_TRUE(stores[n].Open(nullptr));
    }
    // Spool writes long enough to outlast the stores' flushes, and each spool dropped at once.
    const std::string text(256 * 1024, 'x');
    for (int n = 0; n < 2; ++n) {
        for (int i = 0; i < 100; ++i) {
            stores[n].Store({"s@x.test", {"r@y.test"}, "", "", ""}, "", "m\r\n",
                            [&, n](bool ok, uint32_t, const std::string&) { done[n] += ok; });
        }
        for (int i = 0; i < 100; ++i) {
            auto spool = std::make_shared<Spool>();
            stores[n].Append(
                spool, text, text.size(),
                [&, n](bool ok, std::string, const std::string&) { appended[n] += ok; });
            stores[n].Drop(std::move(spool));
        }
    }
    stores[0].Close();
    EXPECT_EQ(done[0].load(), 100);
    EXPECT_EQ(appended[0].load(), 100);
    stores[1].Close();
    EXPECT_EQ(done[1].load(), 100);
    EXPECT_EQ(appended[1].load(), 100);
    EXPECT_EQ(Names(QueueDir()).size(), 400u);  // each entry's two files, and no spool left
}

// Mail ids from two processes sharing one state file never meet, and a restart goes on above.
TEST_F(QueueStoreTest, MailIdsAreUniqueAcrossProcessesAndRestarts) {
    const std::string state = app_.File("mailid.next");
    constexpr int kEach = 600;
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // A small block makes the two processes meet at the lock often.
        MailIdAllocator allocator(state, {}, 7);
        std::vector<uint32_t> mine(kEach);
        for (auto& id : mine) {
            id = allocator.Next();
        }
        ssize_t ignored = write(pipeFds[1], mine.data(), mine.size() * sizeof(uint32_t));
        (void)ignored;
        _exit(0);
    }
    close(pipeFds[1]);
    MailIdAllocator allocator(state, {}, 7);
    std::vector<uint32_t> ids;
    for (int i = 0; i < kEach; ++i) {
        ids.push_back(allocator.Next());
    }
    std::vector<uint32_t> theirs(kEach);
    size_t got = 0;
    while (got < theirs.size() * sizeof(uint32_t)) {
        ssize_t n = read(pipeFds[0], reinterpret_cast<char*>(theirs.data()) + got,
                         theirs.size() * sizeof(uint32_t) - got);
        ASSERT_GT(n, 0);
        got += static_cast<size_t>(n);
    }
    close(pipeFds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    ids.insert(ids.end(), theirs.begin(), theirs.end());
    EXPECT_EQ(std::count(ids.begin(), ids.end(), 0u), 0);
    const std::set<uint32_t> unique(ids.begin(), ids.end());
    EXPECT_EQ(unique.size(), ids.size());

    MailIdAllocator restarted(state, {}, 7);
    EXPECT_GT(restarted.Next(), *unique.rbegin());
}

TEST_F(QueueStoreTest, ForkedChildDoesNotReuseItsParentsBlock) {
    const uint32_t before = AllocateMailId();
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        uint32_t id = AllocateMailId();
        ssize_t ignored = write(pipeFds[1], &id, sizeof id);
        (void)ignored;
        _exit(0);
    }
    close(pipeFds[1]);
    uint32_t childId = 0;
    ASSERT_EQ(read(pipeFds[0], &childId, sizeof childId), static_cast<ssize_t>(sizeof childId));
    close(pipeFds[0]);
    waitpid(child, nullptr, 0);
    const uint32_t after = AllocateMailId();
    EXPECT_EQ(after, before + 1);
    EXPECT_NE(childId, 0u);
    EXPECT_NE(childId, after);
    EXPECT_GT(childId, before);
}

TEST_F(QueueStoreTest, LostIdStateStartsAboveQueuedMail) {
    std::filesystem::create_directory(QueueDir());
    app_.Write("queue/41.eml", "x");
    app_.Write("queue/41.cfg", "x");
    app_.Write("queue/notanid.eml", "x");
    MailIdAllocator allocator(app_.File("mailid.next"), {QueueDir()}, 10);
    EXPECT_EQ(allocator.Next(), 42u);
    app_.Write("mailid.next", "garbage");
    MailIdAllocator damaged(app_.File("mailid.next"), {QueueDir()}, 10);
    EXPECT_EQ(damaged.Next(), 42u);
}

}  // namespace
}  // namespace relvo::mail
