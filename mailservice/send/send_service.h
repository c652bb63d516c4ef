// The SEND service: delivers the queue's mail in arrival order with a bounded number of
// deliveries in flight, keeps each recipient's state in the mail's companion, retries temporary
// failures with growing intervals, returns what failed to the sender, and moves finished mail to
// old/. One per application directory (the "send" service lock). Its parts: the scheduler
// (send/scheduler.h), one try of a mail (send/mail_try.h), the recipient states
// (send/recipient_states.h) and the arrivals (send/arrival_watch.h). It takes new mail from the
// process's shared queue, whose store also carries its failure notices.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "core/shared_queue.h"
#include "relvomail.h"

namespace relvo::mail {
class EventLog;
}

namespace relvo::mail::send {

class SendRunner;

class SendService {
  public:
    // threads: deliveries in flight at once, held to the range of SendMailThread with a line
    // saying so. False, with a line saying why, when the service cannot run.
    bool Start(int threads);
    // Ends within 5 seconds: deliveries under way get a moment to finish; those cut off stay
    // pending in the queue with every recipient's state as last recorded.
    void Stop();
    void SetWindow(RelvoMailWindow* window, unsigned int message);
    bool Running() const;
    // How often the queue directory is listed, for the starts after this call. New entries are
    // taken at once without it: this process's receiving side hands them over, and a watch on
    // the directory sees those of other processes. By default every 30 seconds while the watch
    // works, else every second.
    void SetScanInterval(std::chrono::milliseconds interval);

    // queue: the process's queue store and its hand-over of new entries, held while running.
    explicit SendService(SharedQueue& queue);
    ~SendService();
    SendService(const SendService&) = delete;
    SendService& operator=(const SendService&) = delete;

  private:
    EventLog& Log();

    SharedQueue& queue_;
    mutable std::mutex mutex_;
    RelvoMailWindow* window_ = nullptr;
    unsigned int message_ = RELVOMAIL_PROGRESS_MESSAGE;
    std::optional<std::chrono::milliseconds> scanInterval_;
    std::string logDir_;
    std::unique_ptr<EventLog> log_;
    std::unique_ptr<SendRunner> runner_;
};

}  // namespace relvo::mail::send
