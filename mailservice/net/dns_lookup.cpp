#include "net/dns_lookup.h"

#include "net/ares_channel.h"

#include <ares.h>
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>

#include <algorithm>
#include <mutex>

namespace relvo::mail::net {

namespace {

void InitLibrary() {
    static std::once_flag once;
    std::call_once(once, [] { ares_library_init(ARES_LIB_INIT_ALL); });
}

}  // namespace

int InitChannel(ares_channel* channel, const std::string& server, long long timeoutMs,
                ares_sock_state_cb watch, void* watchData) {
    InitLibrary();
    ares_options options{};
    int mask = ARES_OPT_LOOKUPS | ARES_OPT_TRIES | ARES_OPT_TIMEOUTMS | ARES_OPT_FLAGS;
    options.lookups = const_cast<char*>("b");
    // A SERVFAIL or REFUSED answer reaches the caller as what it is; without this flag c-ares
    // reports a server that answered as one it could not contact.
    options.flags = ARES_FLAG_NOCHECKRESP;
    options.tries = 2;
    options.timeout = static_cast<int>(timeoutMs);
    if (watch != nullptr) {
        mask |= ARES_OPT_SOCK_STATE_CB;
        options.sock_state_cb = watch;
        options.sock_state_cb_data = watchData;
    }
    int status = ares_init_options(channel, &options, mask);
    if (status == ARES_SUCCESS && !server.empty()) {
        // c-ares takes "[v6]" only with a port; the settings also allow it alone.
        std::string servers = server;
        if (servers.size() > 2 && servers.front() == '[' && servers.back() == ']') {
            servers = servers.substr(1, servers.size() - 2);
        }
        status = ares_set_servers_ports_csv(*channel, servers.c_str());
    }
    return status;
}

namespace {

// One channel for one lookup: its own servers, no hosts file, bounded tries.
class Channel {
  public:
    explicit Channel(const DnsSettings& settings) {
        InitLibrary();
        status_ =
            InitChannel(&channel_, settings.server,
                        std::max<long long>(500, settings.timeout.count() / 4), nullptr, nullptr);
        deadline_ = std::chrono::steady_clock::now() + settings.timeout;
        cancel_ = settings.cancel;
    }
    ~Channel() {
        if (channel_ != nullptr) {
            ares_destroy(channel_);
        }
    }
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    bool Ready(std::string* error) const {
        if (status_ != ARES_SUCCESS) {
            *error = std::string("DNS set-up failed: ") + ares_strerror(status_);
            return false;
        }
        return true;
    }
    ares_channel Get() { return channel_; }

    // Runs the channel until its queries end or the deadline passes (then they are cancelled,
    // which calls their callbacks with ARES_ECANCELLED).
    void Run() {
        for (;;) {
            ares_socket_t sockets[ARES_GETSOCK_MAXNUM];
            int bits = ares_getsock(channel_, sockets, ARES_GETSOCK_MAXNUM);
            pollfd fds[ARES_GETSOCK_MAXNUM];
            nfds_t count = 0;
            for (int i = 0; i < ARES_GETSOCK_MAXNUM; ++i) {
                short events = 0;
                if (ARES_GETSOCK_READABLE(bits, i)) {
                    events |= POLLIN;
                }
                if (ARES_GETSOCK_WRITABLE(bits, i)) {
                    events |= POLLOUT;
                }
                if (events != 0) {
                    fds[count++] = pollfd{sockets[i], events, 0};
                }
            }
            auto now = std::chrono::steady_clock::now();
            if (count == 0) {
                return;
            }
            if (now >= deadline_ || (cancel_ != nullptr && cancel_->load())) {
                ares_cancel(channel_);
                return;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - now);
            timeval maxWait{static_cast<time_t>(left.count() / 1000),
                            static_cast<suseconds_t>((left.count() % 1000) * 1000)};
            timeval wait{};
            timeval* next = ares_timeout(channel_, &maxWait, &wait);
            // Woken at least every 100 ms to notice a cancel.
            int timeoutMs =
                std::min(100, static_cast<int>(next->tv_sec * 1000 + next->tv_usec / 1000) + 1);
            int ready = poll(fds, count, timeoutMs);
            if (ready < 0 && errno != EINTR) {
                ares_cancel(channel_);
                return;
            }
            for (nfds_t i = 0; i < count; ++i) {
                ares_socket_t readFd =
                    (fds[i].revents & (POLLIN | POLLERR | POLLHUP)) ? fds[i].fd : ARES_SOCKET_BAD;
                ares_socket_t writeFd = (fds[i].revents & POLLOUT) ? fds[i].fd : ARES_SOCKET_BAD;
                if (readFd != ARES_SOCKET_BAD || writeFd != ARES_SOCKET_BAD) {
                    ares_process_fd(channel_, readFd, writeFd);
                }
            }
            if (ready == 0) {
                ares_process_fd(channel_, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
            }
        }
    }

  private:
    ares_channel channel_ = nullptr;
    int status_ = ARES_SUCCESS;
    std::chrono::steady_clock::time_point deadline_;
    const std::atomic<bool>* cancel_ = nullptr;
};

std::string AddressText(int family, const void* address) {
    char text[INET6_ADDRSTRLEN] = {};
    return inet_ntop(family, address, text, sizeof text) != nullptr ? text : "";
}

}  // namespace

void SetFailure(int status, DnsAnswer* answer) {
    switch (status) {
        case ARES_ENOTFOUND:
            answer->status = DnsAnswer::Status::kNoSuchDomain;
            break;
        case ARES_ENODATA:
            answer->status = DnsAnswer::Status::kNoData;
            break;
        default:
            answer->status = DnsAnswer::Status::kTemporary;
            break;
    }
    switch (status) {
        case ARES_ECANCELLED:  // our deadline passed
        case ARES_ETIMEOUT:
            answer->error = "DNS server did not answer";
            break;
        case ARES_EREFUSED:
            answer->error = "DNS server refused the query";
            break;
        case ARES_ESERVFAIL:
            answer->error = "DNS server failed to answer (SERVFAIL)";
            break;
        default:
            answer->error = ares_strerror(status);
            break;
    }
}

namespace {

// The records of a raw answer as text; the parsing status.
int ParseRecords(int type, const unsigned char* buffer, int length, std::vector<std::string>* out) {
    constexpr size_t kMaxRecords = 64;
    int status = ARES_ENODATA;
    if (type == 1 || type == 28) {
        hostent* host = nullptr;
        status = type == 1 ? ares_parse_a_reply(buffer, length, &host, nullptr, nullptr)
                           : ares_parse_aaaa_reply(buffer, length, &host, nullptr, nullptr);
        for (int i = 0;
             status == ARES_SUCCESS && host->h_addr_list[i] != nullptr && out->size() < kMaxRecords;
             ++i) {
            out->push_back(AddressText(host->h_addrtype, host->h_addr_list[i]));
        }
        if (host != nullptr) {
            ares_free_hostent(host);
        }
    } else if (type == 15) {
        ares_mx_reply* replies = nullptr;
        status = ares_parse_mx_reply(buffer, length, &replies);
        for (ares_mx_reply* r = replies; r != nullptr && out->size() < kMaxRecords; r = r->next) {
            out->push_back(r->host != nullptr ? r->host : "");
        }
        ares_free_data(replies);
    } else if (type == 12) {
        hostent* host = nullptr;
        unsigned char unused[4] = {};
        status = ares_parse_ptr_reply(buffer, length, unused, sizeof unused, AF_INET, &host);
        if (status == ARES_SUCCESS) {
            out->push_back(host->h_name);
            for (char** alias = host->h_aliases; *alias != nullptr && out->size() < kMaxRecords;
                 ++alias) {
                out->push_back(*alias);
            }
            ares_free_hostent(host);
        }
    } else if (type == 16) {
        ares_txt_ext* chunks = nullptr;
        status = ares_parse_txt_reply_ext(buffer, length, &chunks);
        for (ares_txt_ext* c = chunks; c != nullptr; c = c->next) {
            if (c->record_start || out->empty()) {
                if (out->size() >= kMaxRecords) {
                    break;
                }
                out->emplace_back();
            }
            out->back().append(reinterpret_cast<const char*>(c->txt), c->length);
        }
        ares_free_data(chunks);
    }
    return status;
}

// A name no server could hold is answered as a domain that does not exist, without asking.
bool Askable(const std::string& name, DnsAnswer* answer) {
    if (IsQueryableName(name)) {
        return true;
    }
    answer->status = DnsAnswer::Status::kNoSuchDomain;
    answer->error = "not a domain name";
    return false;
}

}  // namespace

bool IsQueryableName(const std::string& name) {
    if (name.empty() || name.size() > 253) {
        return false;
    }
    return std::all_of(name.begin(), name.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '-' || c == '.' || c == '_';
    });
}

DnsAnswer LookupRecords(const std::string& name, int type, const DnsSettings& settings) {
    DnsAnswer answer;
    if (!Askable(name, &answer)) {
        return answer;
    }
    Channel channel(settings);
    if (!channel.Ready(&answer.error)) {
        return answer;
    }
    struct Query {
        DnsAnswer* answer;
        int type;
    } query{&answer, type};
    ares_query(
        channel.Get(), name.c_str(), 1 /* C_IN */, type,
        [](void* arg, int status, int, unsigned char* buffer, int length) {
            auto* q = static_cast<Query*>(arg);
            *q->answer = AnswerOfQuery(q->type, status, buffer, length);
        },
        &query);
    channel.Run();
    return answer;
}

DnsAnswer AnswerOfQuery(int type, int status, const unsigned char* buffer, int length) {
    DnsAnswer answer;
    if (status == ARES_SUCCESS) {
        status = ParseRecords(type, buffer, length, &answer.records);
    }
    if (status != ARES_SUCCESS) {
        SetFailure(status, &answer);
        return answer;
    }
    answer.status = answer.records.empty() ? DnsAnswer::Status::kNoData : DnsAnswer::Status::kOk;
    return answer;
}

bool IsNullMx(const std::vector<MxHost>& mx) {
    return mx.size() == 1 && mx[0].preference == 0 && (mx[0].host.empty() || mx[0].host == ".");
}

DnsAnswer LookupMx(const std::string& domain, const DnsSettings& settings) {
    DnsAnswer answer;
    if (!Askable(domain, &answer)) {
        return answer;
    }
    Channel channel(settings);
    if (!channel.Ready(&answer.error)) {
        return answer;
    }
    ares_query(
        channel.Get(), domain.c_str(), 1 /* C_IN */, 15 /* T_MX */,
        [](void* arg, int status, int, unsigned char* buffer, int length) {
            auto* out = static_cast<DnsAnswer*>(arg);
            if (status != ARES_SUCCESS) {
                SetFailure(status, out);
                return;
            }
            ares_mx_reply* replies = nullptr;
            int parsed = ares_parse_mx_reply(buffer, length, &replies);
            if (parsed != ARES_SUCCESS) {
                SetFailure(parsed, out);
                return;
            }
            for (ares_mx_reply* r = replies; r != nullptr && out->mx.size() < 64; r = r->next) {
                out->mx.push_back({r->priority, r->host ? r->host : ""});
            }
            ares_free_data(replies);
            std::stable_sort(out->mx.begin(), out->mx.end(), [](const MxHost& a, const MxHost& b) {
                return a.preference < b.preference;
            });
            out->status = out->mx.empty() ? DnsAnswer::Status::kNoData : DnsAnswer::Status::kOk;
        },
        &answer);
    channel.Run();
    return answer;
}

DnsAnswer LookupAddresses(const std::string& host, const DnsSettings& settings) {
    DnsAnswer answer;
    in6_addr literal6{};
    in_addr literal4{};
    if (inet_pton(AF_INET, host.c_str(), &literal4) == 1 ||
        inet_pton(AF_INET6, host.c_str(), &literal6) == 1) {
        answer.status = DnsAnswer::Status::kOk;
        answer.addresses.push_back(host);
        return answer;
    }
    if (!IsQueryableName(host)) {
        answer.status = DnsAnswer::Status::kNoSuchDomain;
        answer.error = "not a host name";
        return answer;
    }
    Channel channel(settings);
    if (!channel.Ready(&answer.error)) {
        return answer;
    }
    ares_addrinfo_hints hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    ares_getaddrinfo(
        channel.Get(), host.c_str(), nullptr, &hints,
        [](void* arg, int status, int, ares_addrinfo* result) {
            auto* out = static_cast<DnsAnswer*>(arg);
            if (status != ARES_SUCCESS) {
                SetFailure(status, out);
                return;
            }
            for (ares_addrinfo_node* node = result->nodes; node != nullptr; node = node->ai_next) {
                char text[INET6_ADDRSTRLEN] = {};
                const void* address =
                    node->ai_family == AF_INET
                        ? static_cast<const void*>(
                              &reinterpret_cast<sockaddr_in*>(node->ai_addr)->sin_addr)
                        : static_cast<const void*>(
                              &reinterpret_cast<sockaddr_in6*>(node->ai_addr)->sin6_addr);
                if (inet_ntop(node->ai_family, address, text, sizeof text) != nullptr &&
                    out->addresses.size() < 32 &&
                    std::find(out->addresses.begin(), out->addresses.end(), text) ==
                        out->addresses.end()) {
                    out->addresses.push_back(text);
                }
            }
            ares_freeaddrinfo(result);
            out->status =
                out->addresses.empty() ? DnsAnswer::Status::kNoData : DnsAnswer::Status::kOk;
        },
        &answer);
    channel.Run();
    return answer;
}

}  // namespace relvo::mail::net
