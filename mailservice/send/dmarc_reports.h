// The SEND service's daily DMARC aggregate reports: once a UTC day has ended, the reports of the
// policy domains whose messages were evaluated that day (policy/dmarc_report.h) go out as mail
// from the DmarcReportFrom reporter, queued through the process's queue store like a failure
// notice. Queued from loopback, they are a trusted submission: the SEND service signs them with
// DKIM when the reporter's domain is a local domain with a selector.
#pragma once

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <asio/thread_pool.hpp>
#include <atomic>
#include <chrono>
#include <cstdint>

#include "send/transcript.h"

namespace relvo::mail {
class QueueStore;
}

namespace relvo::mail::send {

// Builds the reports of a finished UTC day (days since 1970-01-01) and queues each to its
// recipients, a line per report in log; a line and nothing else when DmarcReportFrom holds no
// valid address, nothing when it is empty. The store grants each policy domain at most two
// reports a day, so calling this again for the same day queues only what was left (destinations
// whose DNS answer was temporary). Blocks on the store's files and on DNS (each lookup bounded,
// the whole run too; cancel ends them early): never on an I/O thread. Returns the reports queued.
size_t QueueDmarcReports(std::int64_t day, QueueStore& queue, const Transcript& log,
                         const std::atomic<bool>* cancel = nullptr);

// The day whose reports are due at now: the last one that ended at least a minute ago, so that
// messages evaluated in its last seconds have reached the store.
std::int64_t DmarcReportDay(std::chrono::system_clock::time_point now);

// The service's daily run: at Start for the day just ended, then whenever another day has
// ended. The work runs on the blocking pool, the timer on the I/O thread; both stop with them
// (the runner stops its I/O context and joins the pool).
class DailyDmarcReports {
  public:
    DailyDmarcReports(asio::io_context& io, asio::thread_pool& blocking, QueueStore& queue,
                      Transcript log, const std::atomic<bool>& cancel);
    DailyDmarcReports(const DailyDmarcReports&) = delete;
    DailyDmarcReports& operator=(const DailyDmarcReports&) = delete;

    void Start();

  private:
    void RunDue();  // on the blocking pool
    void Arm();     // on the I/O thread

    asio::io_context& io_;
    asio::thread_pool& blocking_;
    QueueStore& queue_;
    const Transcript log_;
    const std::atomic<bool>& cancel_;
    asio::steady_timer timer_;
    std::int64_t lastDay_ = -1;  // the last day run; only the pool job touches it
};

}  // namespace relvo::mail::send
