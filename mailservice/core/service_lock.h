// One receiving and one sending service per application directory, across processes: an
// exclusive lock on <app>/<name>.lock, released when the object goes or the process ends (also by
// SIGKILL). The file records the holder's process id and name for the refusal line.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace relvo::mail {

class ServiceLock {
  public:
    // name: "smtp" or "send". Null when another holder (this process included) has it; whyNot
    // then names the holding process, for example "The SMTP service of /srv/relvo is already
    // running in process 1234 (relvoserver); stop it there first."
    static std::unique_ptr<ServiceLock> Acquire(std::string_view name, std::string* whyNot);
    // The same for an explicit directory (tests).
    static std::unique_ptr<ServiceLock> AcquireIn(const std::string& directory,
                                                  std::string_view name, std::string* whyNot);
    ~ServiceLock();
    ServiceLock(const ServiceLock&) = delete;
    ServiceLock& operator=(const ServiceLock&) = delete;

  private:
    explicit ServiceLock(int fd) : fd_(fd) {}
    int fd_;
};

}  // namespace relvo::mail
