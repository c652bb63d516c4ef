// The receiving service's writer of new queue entries (the files and their rules are in
// common/mail_queue.h). Each file is written under a temporary name, flushed and renamed into
// place, the .eml first; then the directory is flushed. Two jobs do this for all sessions, one
// writing and flushing, one renaming and flushing the directory: stores that arrive while they
// work are flushed together (group commit), and no completion is reported before its own message
// is on disk. A long message's text may go to disk while it is received (a spool), so that a
// session holds no more of it than a buffer. All of it runs on the process's flush pool
// (core/flush_pool.h): a store owns no thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "common/mail_queue.h"
#include "core/flush_pool.h"

namespace relvo::mail {

class ArrivalChannel;

// The envelope a companion records, as the queue's rules define it.
using Envelope = mailqueue::Envelope;

// The start of a message written before the message has ended: a temporary message file that
// only the store's threads touch. Closed and removed when the last reference goes, unless the
// store took it into the queue.
struct Spool {
    Spool() = default;
    ~Spool();
    Spool(const Spool&) = delete;
    Spool& operator=(const Spool&) = delete;

    std::string path;  // "" until the first text is written
    int fd = -1;
    uint32_t id = 0;
    uint64_t size = 0;
};
using SpoolPtr = std::shared_ptr<Spool>;

class QueueStore {
  public:
    // arrivals (may be null): where the entries placed are told to this process's SEND service.
    explicit QueueStore(std::string queueDir, ArrivalChannel* arrivals = nullptr);
    ~QueueStore();  // Close()
    QueueStore(const QueueStore&) = delete;
    QueueStore& operator=(const QueueStore&) = delete;

    // Creates the directory (0700), removes leftovers of interrupted writes (temporary files and
    // .eml files without their .cfg) when no other process has the queue open, and takes its
    // share of the flush pool.
    bool Open(std::string* error);
    // Finishes every pending store and spool write, then lets the pool go. Stores after Close
    // fail at once.
    void Close();
    // Returns once every store and spool job handed in before the call has run its completion
    // and let go of it, the store staying open: what one of several users waits for before the
    // objects its completions refer to go.
    void Drain();

    using Done = std::function<void(bool ok, uint32_t id, const std::string& error)>;
    // receivedHeader: the Received header line(s), CRLF-ended; body: the message as received
    // (CRLF lines, dot-unstuffed). The .eml holds receivedHeader followed by body. done runs on
    // a pool thread once both files and the directory are flushed, or with ok false.
    void Store(Envelope envelope, std::string receivedHeader, std::string body, Done done);
    // The same for a message whose start is in spool: the .eml holds receivedHeader, the spooled
    // text, then body. With no receivedHeader the spool's file becomes the .eml as it is.
    void Store(Envelope envelope, std::string receivedHeader, SpoolPtr spool, std::string body,
               Done done);

    using Appended = std::function<void(bool ok, std::string text, const std::string& error)>;
    // Writes the first length bytes of text at the end of spool's file (made at the first call)
    // on a pool thread; done runs there and gets text back, so that its buffer is used again.
    void Append(SpoolPtr spool, std::string text, size_t length, Appended done);
    // Lets spool go on a pool thread, where its file is removed once no write holds it.
    void Drop(SpoolPtr spool);

    // Whether the queue's file system has minFree bytes free for new mail (true when it cannot
    // be told). changed says whether this answer differs from the one before, for the log.
    bool HasFreeSpace(uint64_t minFree, bool* changed);

    // Statistics for tests and the benchmark: stores completed, and flush rounds taken.
    uint64_t StoredCount() const;
    uint64_t FlushRounds() const;

  private:
    struct Request {
        Envelope envelope;
        std::string receivedHeader;
        std::string body;
        Done done;
        SpoolPtr spool;
    };
    // A request on its way: written and flushed by the writer, then placed by the placer.
    struct Prepared {
        Request request;
        uint32_t id = 0;
        int emlFd = -1;
        int cfgFd = -1;
        bool flushed = false;  // both files on disk under their temporary names
        bool placed = false;   // renamed into place and the directory flushed
        std::string error;
    };
    // The arrival written into every companion of one batch.
    struct Arrival {
        std::int64_t unixTime = 0;
        std::string text;  // "YYYY-MM-DD HH:MM:SS" local
    };
    static Arrival ArrivalNow();
    // The writer and placer jobs: each runs while it has work, and is posted again by whoever
    // brings new work to it when it is not running.
    void WriteBatches();
    void PlaceBatches();
    // A spool job on the pool, counted so that Close waits for it. False when the store is closed.
    bool Post(std::function<void()> job);
    bool AppendNow(Spool& spool, const std::string& text, size_t length, std::string* error);
    int CreateTemporaryMessage(uint32_t* id, std::string* error);
    bool WriteMessage(Prepared& item, size_t* mailSize);
    void RemoveLeftovers();
    std::vector<Prepared> WriteAndFlush(std::vector<Request>& batch);
    void WriteTemporaryFiles(Prepared& item, const Arrival& arrival);
    void FlushTemporaryFiles(std::vector<Prepared>& items);
    void Discard(Prepared& item);
    void Place(std::vector<Prepared>& items);
    bool PlaceOne(Prepared& item);
    void TakeBackPlaced(std::vector<Prepared>& items, const std::string& error);

    const std::string dir_;
    ArrivalChannel* const arrivals_;
    int dirFd_ = -1;
    int writersFd_ = -1;  // shared lock while open (.writers.lock)
    mutable std::mutex mutex_;
    std::condition_variable idle_;  // a job ended: Close looks whether everything is done
    std::vector<Request> pending_;
    std::vector<Prepared> flushed_;
    std::atomic<bool> lowOnSpace_{false};
    bool writing_ = false;  // the writer job is posted or running
    bool placing_ = false;  // the placer job is posted or running
    // Spool writes and removals posted and not yet ended, by their number (1 = the first posted).
    std::set<uint64_t> spoolJobs_;
    uint64_t spoolPosted_ = 0;
    // Stores taken, and those whose completion has run and gone: both in the order taken, as
    // the writer and placer jobs keep it.
    uint64_t taken_ = 0;
    uint64_t finished_ = 0;
    bool open_ = false;
    bool stopping_ = false;
    uint64_t stored_ = 0;
    uint64_t rounds_ = 0;
    std::shared_ptr<FlushPool> pool_;
};

}  // namespace relvo::mail
