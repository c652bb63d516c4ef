// The receiving SMTP service of the engine library, as the entry points and relvoserver use it:
// one per process, started on one or more ports and stopped as a whole. Its messages go into the
// process's shared queue store, which hands them to the SEND service of the same process.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <vector>

#include "core/shared_queue.h"
#include "relvomail.h"

namespace relvo::mail {
class EngineConfig;
class EventLog;
class ServiceLock;
}  // namespace relvo::mail

namespace relvo::mail::smtp {

class SmtpServer;

class SmtpService {
  public:
    // Listens on the port (every address, or SmtpListenAddress); a call while running adds the
    // port. False, with one progress line saying why and what to do, when it cannot listen.
    bool Start(int port);
    // Closes every listener, ends the sessions with "421 4.3.2" within 2 seconds and waits for
    // the queue stores under way, so no message that got its 250 is lost.
    void Stop();
    void SetWindow(RelvoMailWindow* window, unsigned int message);

    bool Running() const;
    std::vector<int> Ports() const;
    // How long a failed AUTH waits before its 535 (tests shorten it).
    void SetAuthFailureDelay(std::chrono::milliseconds delay);
    // How long an RCPT waits for a local domain's server to judge the recipient (tests shorten
    // it); counts from the next Start.
    void SetRecipientCheckWait(std::chrono::milliseconds wait);

    // queue: the process's queue store, which the service holds while it runs.
    explicit SmtpService(SharedQueue& queue);
    ~SmtpService();
    SmtpService(const SmtpService&) = delete;
    SmtpService& operator=(const SmtpService&) = delete;

  private:
    bool StartServer(std::string* failureLine);
    void StopLocked(bool announce);
    void LogSkippedNetworks(const std::string& key, const std::vector<std::string>& skipped);
    EventLog& Log();

    mutable std::mutex mutex_;
    RelvoMailWindow* window_ = nullptr;
    unsigned int message_ = RELVOMAIL_PROGRESS_MESSAGE;
    std::chrono::milliseconds authFailureDelay_{1000};
    std::chrono::milliseconds recipientCheckWait_{10000};
    std::unique_ptr<EventLog> log_;
    std::unique_ptr<ServiceLock> lock_;
    SharedQueue& sharedQueue_;
    QueueLease queue_;
    std::unique_ptr<SmtpServer> server_;
};

}  // namespace relvo::mail::smtp
