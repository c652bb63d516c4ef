// The receiving service's writer of new queue entries (the files and their rules are in
// common/mail_queue.h). Each file is written under a temporary name, flushed and renamed into
// place, the .eml first; then the directory is flushed. Two threads do this for every session,
// one writing and flushing, one renaming and flushing the directory: stores that arrive while
// they work are flushed together (group commit), and no completion is reported before its own
// message is on disk. A long message's text may go to disk while it is received (a spool), so
// that a session holds no more of it than a buffer; other threads of the store write it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
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
    // .eml files without their .cfg) when no other process has the queue open, and starts the
    // worker.
    bool Open(std::string* error);
    // Finishes every pending store, then stops the worker. Stores after Close fail at once.
    void Close();
    // Returns once every store and spool job handed in before the call has run its completion
    // and let go of it, the store staying open: what one of several users waits for before the
    // objects its completions refer to go.
    void Drain();

    using Done = std::function<void(bool ok, uint32_t id, const std::string& error)>;
    // receivedHeader: the Received header line(s), CRLF-ended; body: the message as received
    // (CRLF lines, dot-unstuffed). The .eml holds receivedHeader followed by body. done runs on
    // the worker thread once both files and the directory are flushed, or with ok false.
    void Store(Envelope envelope, std::string receivedHeader, std::string body, Done done);
    // The same for a message whose start is in spool: the .eml holds receivedHeader, the spooled
    // text, then body. With no receivedHeader the spool's file becomes the .eml as it is.
    void Store(Envelope envelope, std::string receivedHeader, SpoolPtr spool, std::string body,
               Done done);

    using Appended = std::function<void(bool ok, std::string text, const std::string& error)>;
    // Writes the first length bytes of text at the end of spool's file (made at the first call)
    // on one of the store's threads; done runs there and gets text back, so that its buffer is
    // used again.
    void Append(SpoolPtr spool, std::string text, size_t length, Appended done);
    // Lets spool go on one of the store's threads, where its file is removed.
    void Drop(SpoolPtr spool);

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
    void Run();
    void RunPlacer();
    void RunJobs();
    // False when the store is closed.
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
    std::condition_variable wake_;
    std::vector<Request> pending_;
    std::condition_variable placeWake_;
    std::vector<Prepared> flushed_;
    bool writerDone_ = false;
    bool open_ = false;
    bool stopping_ = false;
    uint64_t stored_ = 0;
    uint64_t rounds_ = 0;
    // Stores taken, and those whose completion has run and gone: both in the order taken, as
    // the writer and the placer keep it.
    uint64_t taken_ = 0;
    uint64_t finished_ = 0;
    std::condition_variable drained_;
    std::unique_ptr<FlushPool> flusher_;
    std::thread worker_;  // writes and flushes batches
    std::thread placer_;  // renames them into place and flushes the directory

    // Spool writes and removals, apart from the group commit's threads.
    std::mutex jobsMutex_;
    std::condition_variable jobsWake_;
    std::deque<std::function<void()>> jobs_;
    // Jobs start in the order posted; running ones by their number (1 = the first posted).
    uint64_t jobsPosted_ = 0;
    uint64_t jobsStarted_ = 0;
    std::set<uint64_t> jobsRunning_;
    std::condition_variable jobsDrained_;
    bool jobsOpen_ = false;
    std::vector<std::thread> jobThreads_;
};

}  // namespace relvo::mail
