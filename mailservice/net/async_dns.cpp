#include "net/async_dns.h"

#include <asio/posix/stream_descriptor.hpp>

#include "net/ares_channel.h"

namespace relvo::mail::net {

namespace {

// c-ares' own timing: two tries (500 ms, then 1 s) end a silent server's query before a
// group's deadline usually does.
constexpr long long kTryMs = 500;

DnsAnswer Failure(const std::string& error) {
    DnsAnswer answer;
    answer.error = error;
    return answer;
}

}  // namespace

struct AsyncDns::Pending {
    Pending(asio::io_context& io, AsyncDns* owner, int type, std::shared_ptr<Group> group,
            Done done)
        : owner(owner), type(type), group(std::move(group)), done(std::move(done)), timer(io) {}
    AsyncDns* owner;
    int type;
    std::shared_ptr<Group> group;
    Done done;
    asio::steady_timer timer;  // the group's deadline
    bool finished = false;
};

struct AsyncDns::Watch {
    Watch(asio::io_context& io, int fd) : descriptor(io, fd) {}
    asio::posix::stream_descriptor descriptor;
    bool wantRead = false;
    bool wantWrite = false;
    bool reading = false;
    bool writing = false;
    bool gone = false;  // c-ares closes the socket; the descriptor was let go
};

AsyncDns::AsyncDns() : work_(io_.get_executor()) {
    thread_ = std::thread([this] { io_.run(); });
}

AsyncDns::~AsyncDns() {
    asio::post(io_, [this] {
        stopping_ = true;  // lookups asked for from now on end at once
        CloseChannel();
        auto pending = pending_;
        for (const auto& p : pending) {
            Finish(p, Failure("DNS resolver stopped"));
        }
        retry_.cancel();
        work_.reset();
    });
    thread_.join();
}

void AsyncDns::Lookup(const std::string& server, const std::string& name, int type,
                      std::shared_ptr<Group> group, Done done) {
    auto pending = std::make_shared<Pending>(io_, this, type, std::move(group), std::move(done));
    asio::post(io_, [this, pending, server, name] { Start(pending, server, name); });
}

void AsyncDns::Cancel(const std::shared_ptr<Group>& group) {
    group->cancelled = true;
    asio::post(io_, [this, group] {
        auto pending = pending_;
        for (const auto& p : pending) {
            if (p->group == group) {
                Finish(p, Failure("DNS lookup cancelled"));
            }
        }
    });
}

void AsyncDns::Start(const std::shared_ptr<Pending>& pending, const std::string& server,
                     const std::string& name) {
    pending_.insert(pending);
    if (pending->group->cancelled || stopping_) {
        Finish(pending, Failure("DNS lookup cancelled"));
        return;
    }
    if (std::chrono::steady_clock::now() >= pending->group->deadline) {
        Finish(pending, Failure("DNS server did not answer"));
        return;
    }
    if (!IsQueryableName(name)) {
        DnsAnswer answer;
        answer.status = DnsAnswer::Status::kNoSuchDomain;
        answer.error = "not a domain name";
        Finish(pending, std::move(answer));
        return;
    }
    std::string error;
    if (!UseServer(server, &error)) {
        Finish(pending, Failure(error));
        return;
    }
    pending->timer.expires_at(pending->group->deadline);
    pending->timer.async_wait([this, weak = std::weak_ptr<Pending>(pending)](asio::error_code ec) {
        auto p = weak.lock();
        if (!ec && p) {
            Finish(p, Failure("DNS server did not answer"));
        }
    });
    // c-ares owns a reference until it calls back, which it does exactly once per query (with
    // ARES_EDESTRUCTION when the channel goes first).
    ares_query(
        channel_, name.c_str(), 1 /* C_IN */, pending->type,
        [](void* arg, int status, int, unsigned char* buffer, int length) {
            std::unique_ptr<std::shared_ptr<Pending>> held(
                static_cast<std::shared_ptr<Pending>*>(arg));
            Pending& p = **held;
            p.owner->Finish(*held, AnswerOfQuery(p.type, status, buffer, length));
        },
        new std::shared_ptr<Pending>(pending));
    ArmTimer();
}

void AsyncDns::Finish(const std::shared_ptr<Pending>& pending, DnsAnswer answer) {
    if (pending->finished) {
        return;  // its deadline or cancel came first; c-ares' late answer is dropped
    }
    pending->finished = true;
    pending->timer.cancel();
    pending_.erase(pending);
    asio::post(io_, [done = std::move(pending->done), answer = std::move(answer)]() mutable {
        done(std::move(answer));
    });
}

bool AsyncDns::UseServer(const std::string& server, std::string* error) {
    if (channel_ != nullptr && server == server_) {
        return true;
    }
    // The configured server changed: lookups still on the old channel end as failures.
    CloseChannel();
    int status = InitChannel(&channel_, server, kTryMs, &AsyncDns::SocketState, this);
    if (status != ARES_SUCCESS) {
        CloseChannel();
        *error = std::string("DNS set-up failed: ") + ares_strerror(status);
        return false;
    }
    server_ = server;
    return true;
}

void AsyncDns::CloseChannel() {
    if (channel_ != nullptr) {
        ares_channel channel = channel_;
        channel_ = nullptr;
        ares_destroy(channel);
    }
    for (auto& [fd, watch] : watches_) {
        watch->gone = true;
        watch->descriptor.release();
    }
    watches_.clear();
    retry_.cancel();
}

void AsyncDns::SocketState(void* data, int fd, int readable, int writable) {
    auto* self = static_cast<AsyncDns*>(data);
    auto found = self->watches_.find(fd);
    if (readable == 0 && writable == 0) {
        if (found != self->watches_.end()) {
            // Let go before c-ares closes it: the loop must not watch a number reused later.
            found->second->gone = true;
            found->second->descriptor.release();
            self->watches_.erase(found);
        }
        return;
    }
    if (found == self->watches_.end()) {
        found = self->watches_.emplace(fd, std::make_shared<Watch>(self->io_, fd)).first;
    }
    found->second->wantRead = readable != 0;
    found->second->wantWrite = writable != 0;
    self->Arm(found->second);
}

void AsyncDns::Arm(const std::shared_ptr<Watch>& watch) {
    auto ready = [this, watch](bool read) {
        return [this, watch, read](asio::error_code ec) {
            (read ? watch->reading : watch->writing) = false;
            if (ec || watch->gone || channel_ == nullptr) {
                return;
            }
            int fd = watch->descriptor.native_handle();
            ares_process_fd(channel_, read ? fd : ARES_SOCKET_BAD, read ? ARES_SOCKET_BAD : fd);
            if (!watch->gone) {
                Arm(watch);
            }
            ArmTimer();
        };
    };
    if (watch->wantRead && !watch->reading) {
        watch->reading = true;
        watch->descriptor.async_wait(asio::posix::stream_descriptor::wait_read, ready(true));
    }
    if (watch->wantWrite && !watch->writing) {
        watch->writing = true;
        watch->descriptor.async_wait(asio::posix::stream_descriptor::wait_write, ready(false));
    }
}

void AsyncDns::ArmTimer() {
    timeval wait{};
    if (channel_ == nullptr || ares_timeout(channel_, nullptr, &wait) == nullptr) {
        retry_.cancel();
        return;
    }
    retry_.expires_after(std::chrono::seconds(wait.tv_sec) +
                         std::chrono::microseconds(wait.tv_usec));
    retry_.async_wait([this](asio::error_code ec) {
        if (ec || channel_ == nullptr) {
            return;
        }
        ares_process_fd(channel_, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
        ArmTimer();
    });
}

}  // namespace relvo::mail::net
