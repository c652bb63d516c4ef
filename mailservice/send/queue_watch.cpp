#include "send/queue_watch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "common/mail_queue.h"

namespace relvo::mail::send {

std::unique_ptr<QueueWatch> QueueWatch::Start(asio::io_context& io, const std::string& dir,
                                              Handlers handlers, std::string* error) {
    int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) {
        *error = strerror(errno);
        return nullptr;
    }
    if (inotify_add_watch(fd, dir.c_str(), IN_MOVED_TO | IN_ONLYDIR) < 0) {
        *error = strerror(errno);
        close(fd);
        return nullptr;
    }
    auto watch = std::make_unique<QueueWatch>(io, fd, std::move(handlers));
    watch->AwaitEvents();
    return watch;
}

QueueWatch::QueueWatch(asio::io_context& io, int fd, Handlers handlers)
    : descriptor_(io, fd), handlers_(std::move(handlers)) {}

void QueueWatch::AwaitEvents() {
    descriptor_.async_wait(asio::posix::stream_descriptor::wait_read, [this](asio::error_code e) {
        if (!e && ReadEvents()) {
            AwaitEvents();
        }
    });
}

bool QueueWatch::ReadEvents() {
    alignas(inotify_event) char buffer[16384];
    for (;;) {
        ssize_t got = read(descriptor_.native_handle(), buffer, sizeof buffer);
        if (got <= 0) {
            return got < 0 && (errno == EAGAIN || errno == EINTR);
        }
        for (size_t at = 0; at + sizeof(inotify_event) <= static_cast<size_t>(got);) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += sizeof(inotify_event) + event->len;
            if (at > static_cast<size_t>(got)) {
                break;
            }
            if (!OnEvent(*event)) {
                return false;
            }
        }
    }
}

bool QueueWatch::OnEvent(const inotify_event& event) {
    if (event.mask & (IN_IGNORED | IN_UNMOUNT)) {
        return false;
    }
    if (event.mask & IN_Q_OVERFLOW) {
        handlers_.eventsLost();
        return true;
    }
    const std::string_view name(event.name, event.len > 0 ? strnlen(event.name, event.len) : 0);
    uint32_t id = 0;
    if (mailqueue::ParseEntryName(name, &id)) {
        handlers_.entry(id);
    } else if (name == "retry.cfg") {
        handlers_.retryRequest();
    }
    return true;
}

}  // namespace relvo::mail::send
