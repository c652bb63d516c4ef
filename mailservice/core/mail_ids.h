// Mail ids: positive 32-bit integers unique within one application directory across processes
// and restarts. Ids are reserved in blocks in <app>/mailid.next under an exclusive file lock, so
// a message pays no file write for its id; a process that ends leaves the rest of its block
// unused.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace relvo::mail {

// From the process-wide allocator of the current application directory; 0 on failure.
uint32_t AllocateMailId();

class MailIdAllocator {
  public:
    // stateFile holds the first id not yet reserved, as decimal text. When it is missing, ids
    // start above the largest id found in the scanned directories (a lost state file never
    // reuses the id of a queued mail).
    MailIdAllocator(std::string stateFile, std::vector<std::string> scanDirs, uint32_t blockSize);
    uint32_t Next();  // thread-safe; 0 on failure

  private:
    bool ReserveBlock();

    const std::string stateFile_;
    const std::vector<std::string> scanDirs_;
    const uint32_t blockSize_;
    std::mutex mutex_;
    uint32_t next_ = 0;
    uint32_t end_ = 0;  // first id not in the block
};

}  // namespace relvo::mail
