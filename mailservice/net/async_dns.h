// Lookups for many callers at once without a thread per lookup: c-ares driven by an Asio loop
// on one thread of its own. Nothing waits for an answer; a caller's handler runs when it comes,
// when the deadline of the caller's group passes, or when the group is cancelled, whichever is
// first. The inbound checks use it so that no SMTP I/O thread ever waits for DNS.
#pragma once

#include <asio/async_result.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <unordered_set>

#include "net/dns_lookup.h"

struct ares_channeldata;  // c-ares' channel, kept out of this header

namespace relvo::mail::net {

class AsyncDns {
  public:
    // The lookups of one caller (one message): they share a deadline and end together.
    struct Group {
        explicit Group(std::chrono::steady_clock::time_point until) : deadline(until) {}
        const std::chrono::steady_clock::time_point deadline;
        std::atomic<bool> cancelled = false;
    };
    using Done = std::function<void(DnsAnswer)>;

    AsyncDns();
    ~AsyncDns();  // lookups under way end as temporary failures
    AsyncDns(const AsyncDns&) = delete;
    AsyncDns& operator=(const AsyncDns&) = delete;

    asio::io_context::executor_type Executor() { return io_.get_executor(); }

    // Looks up name's records of type (as LookupRecords does) at server ("" = resolv.conf's).
    // done runs on this resolver's thread, never inside the call. Any thread may call.
    void Lookup(const std::string& server, const std::string& name, int type,
                std::shared_ptr<Group> group, Done done);
    // Ends the group's lookups under way (temporary failure) and stops new ones. Any thread.
    void Cancel(const std::shared_ptr<Group>& group);

    // Lookup for a coroutine: completes on the token's executor with the answer.
    template <typename Token>
    auto AsyncLookup(const std::string& server, const std::string& name, int type,
                     const std::shared_ptr<Group>& group, Token&& token) {
        return asio::async_initiate<Token, void(DnsAnswer)>(
            [this](auto handler, const std::string& server, const std::string& name, int type,
                   std::shared_ptr<Group> group) {
                auto shared = std::make_shared<decltype(handler)>(std::move(handler));
                Lookup(server, name, type, std::move(group), [shared](DnsAnswer answer) {
                    auto executor = asio::get_associated_executor(*shared);
                    asio::post(executor, [shared, answer = std::move(answer)]() mutable {
                        (*shared)(std::move(answer));
                    });
                });
            },
            token, server, name, type, group);
    }

  private:
    struct Pending;
    struct Watch;
    void Start(const std::shared_ptr<Pending>& pending, const std::string& server,
               const std::string& name);
    void Finish(const std::shared_ptr<Pending>& pending, DnsAnswer answer);
    bool UseServer(const std::string& server, std::string* error);
    void CloseChannel();
    static void SocketState(void* data, int fd, int readable, int writable);
    void Arm(const std::shared_ptr<Watch>& watch);
    void ArmTimer();

    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    ares_channeldata* channel_ = nullptr;
    std::string server_;  // the channel's server
    std::map<int, std::shared_ptr<Watch>> watches_;
    asio::steady_timer retry_{io_};  // c-ares' own resends and timeouts
    std::unordered_set<std::shared_ptr<Pending>> pending_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace relvo::mail::net
