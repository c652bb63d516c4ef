// The durable queue alone: S closed-loop writers (each stores its next 5 KB message when the
// last one completed), as S SMTP sessions would. Prints messages per second and the average
// number of messages per flush round, for S = 1, 20 and 100.
// usage: bench_queue_store [directory on the disk to measure, default /var/tmp] [messages]
// (default $RELVO_BENCH_SCRATCH when set)
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>

#include "common/app_paths.h"
#include "core/queue_store.h"

int main(int argc, char** argv) {
    // Under bench/run-all the directory is left for it to remove after the last benchmark: the
    // inodes freed here would slow the next benchmark's file creations (bench/scratch.py).
    const char* scratch = std::getenv("RELVO_BENCH_SCRATCH");
    const std::string base = argc > 1 ? argv[1] : scratch != nullptr ? scratch : "/var/tmp";
    const int messages = argc > 2 ? std::atoi(argv[2]) : 5000;
    std::string pattern = base + "/relvo-queue-bench-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    OverrideApplicationDirectory(pattern);
    const std::string body = "Subject: bench\r\n\r\n" + std::string(5000, 'x') + "\r\n";
    for (int sessions : {1, 20, 100}) {
        relvo::mail::QueueStore store(pattern + "/queue");
        std::string error;
        if (!store.Open(&error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
        std::mutex mutex;
        std::condition_variable finished;
        int started = 0;
        int done = 0;
        std::function<void()> next = [&] {
            {
                std::lock_guard lock(mutex);
                if (started == messages) {
                    return;
                }
                ++started;
            }
            store.Store({"a@bench.test", {"b@bench.test"}, "127.0.0.1:1", "bench", ""},
                        "Received: from bench\r\n", body, [&](bool, uint32_t, const std::string&) {
                            {
                                std::lock_guard lock(mutex);
                                ++done;
                            }
                            finished.notify_one();
                            next();
                        });
        };
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < sessions; ++i) {
            next();
        }
        {
            std::unique_lock lock(mutex);
            finished.wait(lock, [&] { return done == messages; });
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf(
            "S=%3d: %6.0f messages/s, %5.1f messages per flush round\n", sessions,
            messages / seconds,
            static_cast<double>(store.StoredCount()) / static_cast<double>(store.FlushRounds()));
        store.Close();
    }
    if (scratch == nullptr || base != scratch) {
        std::filesystem::remove_all(pattern);
    }
    return 0;
}
