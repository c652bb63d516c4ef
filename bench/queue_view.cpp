// The mail queue view with a long queue: opening it on N queued mails (default 100,000) and
// keeping up with R arrivals a second (default 1,000 for 10 s), then with 1,000 mails leaving for
// old/ at once, without stalling the window. A 1 ms timer on the UI thread ticks throughout; the
// largest gap between two ticks, less the interval, is the longest stall a user would have felt.
// Each time is printed next to its floor, measured in the same run on the same files:
//  (a) one directory scan: the index's rescan with nothing changed (readdir and one stat each),
//  (b) one parse of every companion, single thread.
// Usage: bench_queue_view [--mails N] [--arrivals-per-second R] [--seconds S]

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/mail_queue.h"
#include "common/queue_scan.h"
#include "controls/sort_list_ctrl.h"
#include "mailtools/dlg_queue.h"
#include "support/queue_entries.h"
#include "support/temp_app_dir.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kStallTargetMs = 100.0;
constexpr int kRemovedMails = 1000;
constexpr int64_t kMostMails = 2000000;
// A phase that has not caught up by then has failed.
constexpr double kCatchUpTimeoutS = 60.0;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

struct Options {
    int mails = 100000;
    int arrivalsPerSecond = 1000;
    int seconds = 10;
};

// Bounded, so a typo cannot fill the disk.
bool ParseCount(const char* text, long most, int* value) {
    char* end = nullptr;
    const long parsed = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || parsed < 1 || parsed > most) {
        return false;
    }
    *value = static_cast<int>(parsed);
    return true;
}

bool ParseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; i += 2) {
        const std::string name = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : "";
        bool ok = false;
        if (name == "--mails") {
            ok = ParseCount(value, kMostMails, &options->mails);
        } else if (name == "--arrivals-per-second") {
            ok = ParseCount(value, 20000, &options->arrivalsPerSecond);
        } else if (name == "--seconds") {
            ok = ParseCount(value, 600, &options->seconds);
        }
        if (!ok) {
            std::fprintf(stderr,
                         "usage: %s [--mails 1..2000000] [--arrivals-per-second 1..20000] "
                         "[--seconds 1..600]\n",
                         argv[0]);
            return false;
        }
    }
    // Each mail takes two file system blocks.
    const int64_t total = options->mails + int64_t{options->arrivalsPerSecond} * options->seconds;
    if (total > kMostMails) {
        std::fprintf(stderr, "at most %lld mails in all, queued and arriving\n",
                     static_cast<long long>(kMostMails));
        return false;
    }
    return true;
}

queue_entries::Entry MakeEntry(uint32_t id) {
    queue_entries::Entry entry;
    entry.id = id;
    entry.from = "app" + std::to_string(id % 97) + "@origin.test";
    entry.to = {"user" + std::to_string(id % 1009) + "@far.test"};
    if (id % 3 == 0) {
        entry.to.push_back("ops@far.test");
        entry.states = {"pending", "delivered 250 2.0.0 Ok"};
    }
    entry.tries = static_cast<int>(id % 4);
    entry.lastAnswer = entry.tries > 0 ? "451 4.7.1 Try again later" : "";
    return entry;
}

// The UI thread's ticks. A gap longer than the 1 ms interval is time the event loop did not
// turn: the thread was busy, blocked, or runnable but waiting for a CPU that other programs had.
// The kernel's schedstat tells the last apart, so a loaded machine can be seen in the figures.
class TickMeter {
  public:
    struct Gaps {
        double stallMs = 0;     // the largest gap less the interval
        double ownStallMs = 0;  // the same less the gap's wait for a CPU
        double p99Ms = 0;
        int over100Ms = 0;
    };

    TickMeter() : schedstat_(open("/proc/thread-self/schedstat", O_RDONLY | O_CLOEXEC)) {
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.setInterval(1);
        QObject::connect(&timer_, &QTimer::timeout, [this] { ticks_.push_back(Now()); });
        ticks_.reserve(1u << 20);
        ticks_.push_back(Now());
        timer_.start();
    }
    ~TickMeter() {
        if (schedstat_ >= 0) {
            close(schedstat_);
        }
    }
    TickMeter(const TickMeter&) = delete;
    TickMeter& operator=(const TickMeter&) = delete;

    // Gaps from now on only.
    void Restart() {
        ticks_.clear();
        ticks_.push_back(Now());
    }

    // The gaps since Restart, the one still open included.
    Gaps Measure() const {
        std::vector<Tick> ticks = ticks_;
        ticks.push_back(Now());
        std::vector<double> gaps;
        gaps.reserve(ticks.size());
        Gaps result;
        for (size_t i = 1; i < ticks.size(); ++i) {
            const double gap = Ms(ticks[i].wall - ticks[i - 1].wall);
            const double wait = static_cast<double>(ticks[i].waitNs - ticks[i - 1].waitNs) / 1e6;
            gaps.push_back(gap);
            result.ownStallMs = std::max(result.ownStallMs, gap - wait - 1.0);
        }
        std::sort(gaps.begin(), gaps.end());
        result.stallMs = std::max(0.0, gaps.back() - 1.0);
        result.p99Ms = gaps[std::min(gaps.size() - 1, gaps.size() * 99 / 100)];
        result.over100Ms = static_cast<int>(
            gaps.end() - std::upper_bound(gaps.begin(), gaps.end(), kStallTargetMs));
        return result;
    }

    // The longest gaps since Restart, and the longest once the wait for a CPU is taken out: when,
    // how long, and how much of it the UI thread ran and waited for a CPU (the rest it was
    // blocked).
    void PrintLongest(size_t count) const {
        std::vector<size_t> order;
        for (size_t i = 1; i < ticks_.size(); ++i) {
            order.push_back(i);
        }
        auto gap = [this](size_t i) { return ticks_[i].wall - ticks_[i - 1].wall; };
        auto waitMs = [this](size_t i) {
            return static_cast<double>(ticks_[i].waitNs - ticks_[i - 1].waitNs) / 1e6;
        };
        auto print = [&](size_t i) {
            std::printf(
                "   gap at %8.1f ms: %6.1f ms, UI thread ran %5.1f ms, waited for a CPU "
                "%5.1f ms\n",
                Ms(ticks_[i - 1].wall - ticks_[0].wall), Ms(gap(i)),
                static_cast<double>(ticks_[i].cpuNs - ticks_[i - 1].cpuNs) / 1e6, waitMs(i));
        };
        count = std::min(count, order.size());
        std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(count),
                          order.end(), [&](size_t a, size_t b) { return gap(a) > gap(b); });
        for (size_t n = 0; n < count; ++n) {
            print(order[n]);
        }
        auto own = std::max_element(order.begin(), order.end(), [&](size_t a, size_t b) {
            return Ms(gap(a)) - waitMs(a) < Ms(gap(b)) - waitMs(b);
        });
        if (own != order.end() && own >= order.begin() + static_cast<std::ptrdiff_t>(count)) {
            print(*own);
        }
    }

  private:
    struct Tick {
        Clock::time_point wall;
        int64_t cpuNs = 0;
        int64_t waitNs = 0;  // runnable, not running
    };

    // "<ns on a CPU> <ns waiting on a run queue> <slices>"; without it, no wait is known.
    Tick Now() const {
        Tick tick{Clock::now()};
        char text[96];
        const ssize_t n = schedstat_ >= 0 ? pread(schedstat_, text, sizeof text - 1, 0) : -1;
        long long cpu = 0;
        long long wait = 0;
        if (n > 0 && (text[n] = '\0', std::sscanf(text, "%lld %lld", &cpu, &wait) == 2)) {
            tick.cpuNs = cpu;
            tick.waitNs = wait;
        } else {
            timespec now{};
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
            tick.cpuNs = now.tv_sec * 1000000000LL + now.tv_nsec;
        }
        return tick;
    }

    const int schedstat_;
    QTimer timer_;
    std::vector<Tick> ticks_;
};

// Turns the event loop (the meter ticks meanwhile) until done() or the timeout. False on timeout.
bool SpinUntil(const std::function<bool()>& done, double timeoutS) {
    const auto until = Clock::now() + std::chrono::duration<double>(timeoutS);
    while (!done()) {
        if (Clock::now() > until) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
}

void SpinFor(double seconds) {
    SpinUntil([] { return false; }, seconds);
}

// Whether the view shows exactly the ids [1, last] but the removed ones, each once.
bool ViewHoldsExactly(const CDlgQueue& dialog, uint32_t last, const std::vector<uint32_t>& removed,
                      std::string* problem) {
    std::vector<char> expected(last + 1u, 1);
    expected[0] = 0;
    for (uint32_t id : removed) {
        expected[id] = 0;
    }
    std::vector<int> seen(last + 1u, 0);
    const CSortListCtrl* list = dialog.List();
    for (int row = 0; row < list->RowCount(); ++row) {
        bool ok = false;
        const uint32_t id = list->CellText(row, kIdColumn).toUInt(&ok);
        if (!ok || id > last) {
            *problem = "row " + std::to_string(row) + " has an unexpected id";
            return false;
        }
        ++seen[id];
    }
    size_t lost = 0;
    size_t doubled = 0;
    size_t stale = 0;
    for (uint32_t id = 1; id <= last; ++id) {
        lost += expected[id] && seen[id] == 0;
        doubled += seen[id] > 1;
        stale += !expected[id] && seen[id] > 0;
    }
    if (lost + doubled + stale > 0) {
        *problem = std::to_string(lost) + " lost, " + std::to_string(doubled) + " doubled, " +
                   std::to_string(stale) + " shown after they left";
        return false;
    }
    return true;
}

struct Row {
    std::string what;
    std::string measured;
    std::string floor;
    bool ok = true;
};

std::string Fixed(double value, const char* unit) {
    char text[64];
    std::snprintf(text, sizeof text, "%.1f %s", value, unit);
    return text;
}

void AddGaps(std::vector<Row>* table, const std::string& phase, const TickMeter::Gaps& gaps) {
    const std::string target = Fixed(kStallTargetMs, "ms (target)");
    table->push_back({phase + ": largest stall", Fixed(gaps.stallMs, "ms"), target,
                      gaps.stallMs <= kStallTargetMs});
    // What is left when the wait for a CPU (other programs' load) is taken out.
    table->push_back({phase + ": largest stall less CPU wait", Fixed(gaps.ownStallMs, "ms"), target,
                      gaps.ownStallMs <= kStallTargetMs});
    table->push_back({phase + ": p99 tick gap", Fixed(gaps.p99Ms, "ms"), "1.0 ms (interval)"});
    table->push_back({phase + ": gaps > 100 ms", std::to_string(gaps.over100Ms), "0 (target)",
                      gaps.over100Ms == 0});
}

void PrintTable(const std::vector<Row>& table) {
    std::printf("\n%-38s %18s   %-26s %s\n", "figure", "measured", "floor / target", "result");
    for (const Row& row : table) {
        std::printf("%-38s %18s   %-26s %s\n", row.what.c_str(), row.measured.c_str(),
                    row.floor.c_str(), row.ok ? "ok" : "NOT MET");
    }
}

// Writes entries [first, first + count) paced evenly over `seconds`: every 10 ms the mails due by
// then. Returns how far behind its schedule the writer fell at most.
double WriteArrivals(const std::string& queueDir, uint32_t first, int perSecond, int seconds,
                     std::atomic<int>* failures) {
    constexpr auto kStep = std::chrono::milliseconds(10);
    const int64_t total = static_cast<int64_t>(perSecond) * seconds;
    const int64_t steps = static_cast<int64_t>(seconds) * 100;
    const auto start = Clock::now();
    int64_t written = 0;
    double lateMs = 0;
    for (int64_t step = 1; step <= steps; ++step) {
        const auto due = start + kStep * step;
        std::this_thread::sleep_until(due);
        lateMs = std::max(lateMs, Ms(Clock::now() - due));
        const int64_t upTo = total * step / steps;
        for (; written < upTo; ++written) {
            if (!queue_entries::Write(queueDir,
                                      MakeEntry(first + static_cast<uint32_t>(written)))) {
                ++*failures;
            }
        }
    }
    return lateMs;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        return 2;
    }
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    QApplication app(argc, argv);
    TempAppDir appDir;
    const std::string queueDir = appDir.File("queue");
    const std::string oldDir = appDir.File("old");
    mkdir(queueDir.c_str(), 0700);
    mkdir(oldDir.c_str(), 0700);
    const auto mails = static_cast<uint32_t>(options.mails);
    const int64_t arrivals = static_cast<int64_t>(options.arrivalsPerSecond) * options.seconds;
    const auto lastId = static_cast<uint32_t>(mails + arrivals);
    std::vector<Row> table;
    bool correct = true;

    std::printf("queue view: %u queued mails, then %d arrivals/s for %d s, then %d removed\n",
                mails, options.arrivalsPerSecond, options.seconds,
                std::min<int>(kRemovedMails, options.mails));
    {
        const auto start = Clock::now();
        for (uint32_t id = 1; id <= mails; ++id) {
            if (!queue_entries::Write(queueDir, MakeEntry(id))) {
                std::printf("cannot write entry %u in %s: %s\n", id, queueDir.c_str(),
                            std::strerror(errno));
                return 1;
            }
        }
        std::printf("generated %u entries in %s in %.1f s (not timed)\n", mails, queueDir.c_str(),
                    Ms(Clock::now() - start) / 1e3);
    }

    // The floors, on the same (now cached) files the dialog reads.
    double scanFloorMs = 0;
    double parseFloorMs = 0;
    {
        mailqueue::QueueDirectoryIndex index(queueDir);
        size_t read = 0;
        index.Rescan(2000, [&](mailqueue::QueueDirectoryIndex::Changes changes, bool) {
            read += changes.changed.size();
            return true;
        });
        size_t changed = 0;
        const auto start = Clock::now();
        index.Rescan(2000, [&](mailqueue::QueueDirectoryIndex::Changes changes, bool) {
            changed += changes.changed.size() + changes.removed.size();
            return true;
        });
        scanFloorMs = Ms(Clock::now() - start);
        const size_t counted = mailqueue::CountEntries(queueDir);
        if (read != mails || changed != 0 || counted != mails) {
            std::printf("the index read %zu entries (%zu changed on a rescan), %zu counted\n", read,
                        changed, counted);
            return 1;
        }
    }
    {
        uint64_t recipients = 0;
        const auto start = Clock::now();
        for (uint32_t id = 1; id <= mails; ++id) {
            recipients += mailqueue::ReadQueueEntry(queueDir, id).recipients.size();
        }
        parseFloorMs = Ms(Clock::now() - start);
        if (recipients < mails) {
            std::printf("the companions hold %llu recipients for %u mails\n",
                        static_cast<unsigned long long>(recipients), mails);
            return 1;
        }
    }
    table.push_back({"(a) directory scan", Fixed(scanFloorMs, "ms"), "readdir + stat"});
    table.push_back({"(b) parse of every companion", Fixed(parseFloorMs, "ms"), "1 thread"});

    TickMeter meter;
    SpinFor(0.1);

    // Open: construct and show, until the first scan has been applied in full.
    std::unique_ptr<CDlgQueue> dialog;
    Clock::time_point firstApplied;
    bool applied = false;
    {
        meter.Restart();
        const auto start = Clock::now();
        dialog = std::make_unique<CDlgQueue>(nullptr, QString::fromStdString(queueDir),
                                             QString::fromStdString(oldDir));
        QObject::connect(dialog.get(), &CDlgQueue::ScanApplied, [&] {
            if (!applied && dialog->EntryCount() == static_cast<int>(mails) &&
                dialog->List()->RowCount() == static_cast<int>(mails)) {
                applied = true;
                firstApplied = Clock::now();
            }
        });
        dialog->show();
        if (!SpinUntil([&] { return applied; }, kCatchUpTimeoutS)) {
            std::printf("the first scan was not applied within %.0f s (%d entries, %d rows)\n",
                        kCatchUpTimeoutS, dialog->EntryCount(), dialog->List()->RowCount());
            return 1;
        }
        const TickMeter::Gaps gaps = meter.Measure();
        meter.PrintLongest(3);
        const double openMs = Ms(firstApplied - start);
        table.push_back({"open: first scan applied", Fixed(openMs, "ms"),
                         Fixed(scanFloorMs + parseFloorMs, "ms (a + b)")});
        AddGaps(&table, "open", gaps);
        std::printf("open: %d rows after %.1f ms, largest stall %.1f ms\n",
                    dialog->List()->RowCount(), openMs, gaps.stallMs);
    }
    // Mails spread over the queue that finish later on; the user has chosen one of them.
    const int removedCount = std::min<int>(kRemovedMails, options.mails);
    std::vector<uint32_t> removed;
    for (int k = 0; k < removedCount; ++k) {
        removed.push_back(1 +
                          static_cast<uint32_t>(static_cast<int64_t>(k) * mails / removedCount));
    }
    dialog->SelectIds({removed[removed.size() / 2]});
    SpinUntil([&] { return !dialog->Scanning(); }, kCatchUpTimeoutS);

    // Arrivals: a writer thread paced evenly; the view follows through its watcher.
    {
        meter.Restart();
        std::atomic<int> failures{0};
        std::atomic<bool> writing{true};
        double lateMs = 0;
        Clock::time_point writerStart = Clock::now();
        Clock::time_point writerEnd;
        std::thread writer([&] {
            lateMs = WriteArrivals(queueDir, mails + 1, options.arrivalsPerSecond, options.seconds,
                                   &failures);
            writerEnd = Clock::now();
            writing = false;
        });
        SpinUntil([&] { return !writing; }, options.seconds + kCatchUpTimeoutS);
        writer.join();
        const TickMeter::Gaps during = meter.Measure();
        const int expected = static_cast<int>(lastId);
        const bool caughtUp = SpinUntil(
            [&] {
                return dialog->EntryCount() == expected && dialog->List()->RowCount() == expected;
            },
            kCatchUpTimeoutS);
        const double lagMs = Ms(Clock::now() - writerEnd);
        const TickMeter::Gaps gaps = meter.Measure();
        meter.PrintLongest(3);
        const double rate = static_cast<double>(arrivals) / (Ms(writerEnd - writerStart) / 1e3);
        std::string problem;
        const bool exact =
            caughtUp && failures == 0 && ViewHoldsExactly(*dialog, lastId, {}, &problem);
        correct = correct && exact;
        if (!caughtUp) {
            problem = "not caught up: " + std::to_string(dialog->EntryCount()) + " entries, " +
                      std::to_string(dialog->List()->RowCount()) + " rows";
        }
        std::printf(
            "arrivals: %lld written at %.0f/s (writer at most %.1f ms late, %d failed), "
            "largest stall while writing %.1f ms\n",
            static_cast<long long>(arrivals), rate, lateMs, failures.load(), during.stallMs);
        // A machine too busy to write at the asked rate did not load the view as asked.
        table.push_back({"arrivals: rate written", Fixed(rate, "/s"),
                         Fixed(options.arrivalsPerSecond, "/s (asked)"),
                         rate >= 0.95 * options.arrivalsPerSecond});
        AddGaps(&table, "arrivals", gaps);
        table.push_back({"arrivals: lag after the last", Fixed(lagMs, "ms"),
                         Fixed(scanFloorMs + CDlgQueue::kSettleMs, "ms (a + settle)")});
        table.push_back({"arrivals: rows, each id once", std::to_string(dialog->List()->RowCount()),
                         std::to_string(expected) + (exact ? "" : " (" + problem + ")"), exact});
    }

    // Removal: the spread mails leave for old/ at once, as finished deliveries do.
    {
        SpinUntil([&] { return !dialog->Scanning(); }, kCatchUpTimeoutS);
        meter.Restart();
        std::atomic<bool> moving{true};
        std::atomic<int> failures{0};
        Clock::time_point movedAt;
        std::thread mover([&] {
            for (uint32_t id : removed) {
                if (!mailqueue::MoveToOld(queueDir, oldDir, id)) {
                    ++failures;
                }
            }
            movedAt = Clock::now();
            moving = false;
        });
        SpinUntil([&] { return !moving; }, kCatchUpTimeoutS);
        mover.join();
        const int expected = static_cast<int>(lastId) - removedCount;
        const bool caughtUp = SpinUntil(
            [&] {
                return dialog->EntryCount() == expected && dialog->List()->RowCount() == expected;
            },
            kCatchUpTimeoutS);
        const double lagMs = Ms(Clock::now() - movedAt);
        SpinFor(0.3);
        const TickMeter::Gaps gaps = meter.Measure();
        meter.PrintLongest(3);
        std::string problem;
        const bool exact =
            caughtUp && failures == 0 && ViewHoldsExactly(*dialog, lastId, removed, &problem);
        correct = correct && exact;
        if (!caughtUp) {
            problem = "not caught up: " + std::to_string(dialog->EntryCount()) + " entries, " +
                      std::to_string(dialog->List()->RowCount()) + " rows";
        }
        table.push_back({"removal: view follows after", Fixed(lagMs, "ms"),
                         Fixed(scanFloorMs + CDlgQueue::kSettleMs, "ms (a + settle)")});
        AddGaps(&table, "removal", gaps);
        table.push_back({"removal: rows, each id once", std::to_string(dialog->List()->RowCount()),
                         std::to_string(expected) + (exact ? "" : " (" + problem + ")"), exact});
    }

    PrintTable(table);
    dialog.reset();
    return correct ? 0 : 1;
}
