// The SEND service's watch on the queue directory (inotify): entries that other processes place
// there (their companion renamed in) and the operator's retry requests are told at once, so that
// the directory need not be listed often.
#pragma once

#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

struct inotify_event;

namespace relvo::mail::send {

class QueueWatch {
  public:
    // Called on the io_context's thread.
    struct Handlers {
        std::function<void(uint32_t id)> entry;  // an entry's companion was renamed in
        std::function<void()> retryRequest;      // the operator's retry requests changed
        std::function<void()> eventsLost;        // only a listing tells what came meanwhile
    };

    // Null when the directory cannot be watched; error says why.
    static std::unique_ptr<QueueWatch> Start(asio::io_context& io, const std::string& dir,
                                             Handlers handlers, std::string* error);

    QueueWatch(asio::io_context& io, int fd, Handlers handlers);
    QueueWatch(const QueueWatch&) = delete;
    QueueWatch& operator=(const QueueWatch&) = delete;

  private:
    void AwaitEvents();
    // False when the watch has ended (the directory went): the listing then carries on alone.
    bool ReadEvents();
    bool OnEvent(const inotify_event& event);

    asio::posix::stream_descriptor descriptor_;
    Handlers handlers_;
};

}  // namespace relvo::mail::send
