#include "send/send_service.h"

#include <algorithm>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/strand.hpp>
#include <asio/thread_pool.hpp>
#include <atomic>
#include <thread>
#include <vector>

#include "common/settings_table.h"
#include "core/app_dirs.h"
#include "core/engine_config.h"
#include "core/event_log.h"
#include "core/service_lock.h"
#include "send/arrival_watch.h"
#include "send/dmarc_reports.h"
#include "send/mail_try.h"
#include "send/recipient_states.h"
#include "send/scheduler.h"

namespace relvo::mail::send {

namespace {

constexpr auto kStopGrace = std::chrono::milliseconds(3500);

}  // namespace

// One run of the service, from Start to Stop: its threads and the parts they drive.
class SendRunner {
  public:
    SendRunner(EventLog& log, int threads, std::unique_ptr<ServiceLock> lock, SharedQueue& queue,
               std::optional<std::chrono::milliseconds> scanInterval)
        : log_(log),
          lock_(std::move(lock)),
          sharedQueue_(queue),
          queueDir_(QueueDir()),
          oldDir_(OldDir()),
          work_(asio::make_work_guard(io_)),
          blocking_(static_cast<size_t>(std::clamp(threads, 2, 16))),
          states_(queueDir_, oldDir_, log),
          arrivals_(io_, queue.Arrivals(), queueDir_, log, scanInterval,
                    {[this](uint32_t id) { scheduler_.Learn(id); }, [this] { scheduler_.Wake(); }}),
          scheduler_(threads, queueDir_, oldDir_, log, arrivals_, states_,
                     [this](uint32_t id) { StartTry(id); }) {}

    bool Begin(std::string* error) {
        // Failure notices go through the process's one queue store.
        notices_ = sharedQueue_.Acquire(queueDir_, error);
        if (!notices_) {
            return false;
        }
        states_.Open();
        tries_ = std::make_unique<MailTries>(MailTries::Context{
            queueDir_, oldDir_, log_, blocking_, sessions_, cancel_, states_, notices_.Store(),
            [this](uint32_t id, std::int64_t nextTry, bool left) {
                scheduler_.Finished(id, nextTry, left);
            }});
        arrivals_.Start();
        reports_ = std::make_unique<DailyDmarcReports>(
            io_, blocking_, notices_.Store(), [this](std::string_view line) { log_.Line(line); },
            cancel_);
        reports_->Start();
        // One I/O thread: the conversations are light next to the file work on the blocking
        // workers, and kept connections may then pass from one delivery to the next.
        ioThread_ = std::thread([this] { io_.run(); });
        scheduler_.Begin();
        return true;
    }

    // Returns how many deliveries were cut off.
    size_t End() {
        arrivals_.Stop();
        // Deliveries under way get a moment; what is cut off stays pending in the queue.
        size_t cut = scheduler_.End(kStopGrace);
        cancel_ = true;
        io_.stop();
        if (ioThread_.joinable()) {
            ioThread_.join();
        }
        blocking_.join();
        notices_.Reset();
        std::lock_guard sessionsLock(sessions_.mutex);
        sessions_.idle.clear();  // closes the kept connections
        return cut;
    }

  private:
    // Under the scheduler's lock: the try runs on a strand of the I/O thread.
    void StartTry(uint32_t id) {
        asio::co_spawn(asio::make_strand(io_), tries_->Try(id), asio::detached);
    }

    EventLog& log_;
    std::unique_ptr<ServiceLock> lock_;
    SharedQueue& sharedQueue_;
    const std::string queueDir_;
    const std::string oldDir_;

    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    std::thread ioThread_;
    asio::thread_pool blocking_;
    QueueLease notices_;
    SessionCache sessions_;            // before io_ goes: its sockets belong to io_
    std::atomic<bool> cancel_{false};  // ends DNS lookups under way at Stop
    RecipientStates states_;
    ArrivalWatch arrivals_;  // before io_ goes: its watch belongs to io_
    SendScheduler scheduler_;
    std::unique_ptr<MailTries> tries_;
    std::unique_ptr<DailyDmarcReports> reports_;  // its timer belongs to io_
};

SendService::SendService(SharedQueue& queue) : queue_(queue) {}

SendService::~SendService() {
    Stop();
}

EventLog& SendService::Log() {
    // The application directory may have changed since the last start (tests, relvoserver).
    if (!log_ || logDir_ != LogDir()) {
        logDir_ = LogDir();
        log_ = std::make_unique<EventLog>(logDir_, "send");
        log_->SetWindow(window_, message_);
    }
    return *log_;
}

bool SendService::Start(int threads) {
    std::lock_guard lock(mutex_);
    auto config = EngineConfig::Load();
    EventLog& log = runner_ ? *log_ : Log();
    log.Configure(config->logSend, config->logSendDays);
    if (runner_) {
        log.Line("SEND service is already running");
        return true;
    }
    constexpr const SettingInfo& kThreads = Setting("SendMailThread");
    int clamped = NumberInUse(kThreads, threads);
    if (clamped != threads) {
        log.Line("SEND service: " + std::to_string(threads) + " sending threads is outside " +
                 std::to_string(kThreads.minimum) + " to " + std::to_string(kThreads.maximum) +
                 "; using " + std::to_string(clamped));
    }
    std::string why;
    if (!EnsureWorkingDirectories(&why)) {
        log.Line("SEND service could not start: " + why);
        return false;
    }
    auto serviceLock = ServiceLock::Acquire("send", &why);
    if (!serviceLock) {
        log.Line("SEND service could not start: " + why);
        return false;
    }
    auto runner =
        std::make_unique<SendRunner>(log, clamped, std::move(serviceLock), queue_, scanInterval_);
    if (!runner->Begin(&why)) {
        log.Line("SEND service could not start: " + why);
        return false;
    }
    runner_ = std::move(runner);
    log.Line("SEND service started with " + std::to_string(clamped) + " sending threads");
    return true;
}

void SendService::Stop() {
    std::lock_guard lock(mutex_);
    if (!runner_) {
        return;
    }
    size_t cut = runner_->End();
    runner_.reset();
    log_->Line(cut == 0 ? std::string("SEND service stopped")
                        : "SEND service stopped; " + std::to_string(cut) +
                              " delivery(ies) cut off stay in the queue");
    log_->Flush();
}

void SendService::SetWindow(RelvoMailWindow* window, unsigned int message) {
    std::lock_guard lock(mutex_);
    window_ = window;
    message_ = message;
    if (log_) {
        log_->SetWindow(window, message);
    }
}

bool SendService::Running() const {
    std::lock_guard lock(mutex_);
    return runner_ != nullptr;
}

void SendService::SetScanInterval(std::chrono::milliseconds interval) {
    std::lock_guard lock(mutex_);
    scanInterval_ = interval;
}

}  // namespace relvo::mail::send
