#pragma once

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <string>

namespace relvo::testing {

// One /30 of a documentation network for a network namespace a test makes, held by a lock file
// for as long as the object lives. Namespaces and their addresses belong to the whole machine, so
// tests running beside (ctest -j, other suites, other builds) must never draw the same /30: two
// links with one address make replies go astray.
class NetnsSlot {
  public:
    static constexpr int kSlots = 63;

    NetnsSlot() {
        for (int slot = 0; slot < kSlots; ++slot) {
            const std::string path = "/tmp/relvo-netns-slot-" + std::to_string(slot) + ".lock";
            int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
            if (fd < 0) {
                continue;
            }
            if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
                fd_ = fd;
                index_ = slot;
                return;
            }
            close(fd);
        }
    }
    ~NetnsSlot() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    NetnsSlot(const NetnsSlot&) = delete;
    NetnsSlot& operator=(const NetnsSlot&) = delete;

    // -1 when every slot is taken.
    int Index() const { return index_; }
    // host 1 (this machine's end) or 2 (the namespace's) of the slot's /30 in network
    // ("198.51.100." or "203.0.113.").
    std::string Address(const std::string& network, int host) const {
        return network + std::to_string(4 * (index_ < 0 ? 0 : index_) + host);
    }

  private:
    int fd_ = -1;
    int index_ = -1;
};

}  // namespace relvo::testing
