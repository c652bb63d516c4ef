// Shared pieces of the SMTP service tests: a configured application directory with the service
// running on a free loopback port, a byte-exact socket client, the smtplib/swaks peers run as
// child processes, and a window that records the progress lines.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "relvomail.h"
#include "smtp/smtp_service.h"
#include "support/free_port.h"
#include "support/netns_slot.h"
#include "support/temp_app_dir.h"

namespace relvo::mail::smtp::testing {

// Runs argv, returns its standard output; exitCode gets the exit status.
inline std::string RunProcess(const std::vector<std::string>& argv, int* exitCode = nullptr) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) {
        return "";
    }
    // Built before the fork: the child of a process with running threads may only call what is
    // safe after fork, and an allocation there can wait forever on a lock another thread held
    // (under the address sanitizer's allocator it did).
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);  // a peer never outlives a crashed test
        dup2(pipeFds[1], 1);
        close(pipeFds[0]);
        close(pipeFds[1]);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(pipeFds[1]);
    std::string output;
    char buffer[4096];
    ssize_t n;
    while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0) {
        output.append(buffer, static_cast<size_t>(n));
    }
    close(pipeFds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (exitCode != nullptr) {
        *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return output;
}

inline std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

struct PeerReply {
    int code = -1;
    std::string text;
};

// Runs the smtplib peer (smtp_peer.py) with the steps; one reply per line, the greeting first.
// prefix runs it inside something else, such as {"ip", "netns", "exec", name}.
inline std::vector<PeerReply> RunPeer(const std::string& host, int port,
                                      const std::vector<std::vector<std::string>>& steps,
                                      const std::vector<std::string>& prefix = {}) {
    std::string json = "[";
    for (size_t i = 0; i < steps.size(); ++i) {
        json += i ? ",[" : "[";
        for (size_t k = 0; k < steps[i].size(); ++k) {
            json += (k ? "," : "") + JsonString(steps[i][k]);
        }
        json += "]";
    }
    json += "]";
    std::vector<std::string> argv = prefix;
    for (const char* arg : {"/usr/bin/python3", SMTP_PEER_SCRIPT}) {
        argv.push_back(arg);
    }
    argv.insert(argv.end(), {host, std::to_string(port), json});
    std::string output = RunProcess(argv);
    std::vector<PeerReply> replies;
    size_t start = 0;
    while (start < output.size()) {
        size_t end = output.find('\n', start);
        std::string line = output.substr(start, end - start);
        PeerReply reply;
        reply.code = std::atoi(line.c_str());
        size_t space = line.find(' ');
        reply.text = space == std::string::npos ? "" : line.substr(space + 1);
        replies.push_back(reply);
        start = end == std::string::npos ? output.size() : end + 1;
    }
    return replies;
}

// A client that sends exact bytes and reads whole replies, for what real clients never send.
class RawClient {
  public:
    explicit RawClient(int port, const std::string& sourceIp = "127.0.0.1",
                       const std::string& serverIp = "127.0.0.1") {
        addrinfo hints{}, *source = nullptr, *server = nullptr;
        hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
        getaddrinfo(sourceIp.c_str(), nullptr, &hints, &source);
        getaddrinfo(serverIp.c_str(), std::to_string(port).c_str(), &hints, &server);
        if (source != nullptr && server != nullptr) {
            fd_ = socket(server->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
            bind(fd_, source->ai_addr, source->ai_addrlen);
            connected_ = connect(fd_, server->ai_addr, server->ai_addrlen) == 0;
        }
        freeaddrinfo(source);
        freeaddrinfo(server);
    }
    ~RawClient() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool Connected() const { return connected_; }
    void Send(const std::string& bytes) {
        size_t sent = 0;
        while (sent < bytes.size()) {
            ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) {
                return;
            }
            sent += static_cast<size_t>(n);
        }
    }
    // One reply (all its lines); "" when the connection closed or nothing came in time.
    std::string Read(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (true) {
            size_t lineStart = 0;
            while (true) {
                size_t end = pending_.find("\r\n", lineStart);
                if (end == std::string::npos) {
                    break;
                }
                if (end - lineStart >= 4 && pending_[lineStart + 3] == ' ') {
                    std::string reply = pending_.substr(0, end);
                    pending_.erase(0, end + 2);
                    return reply;
                }
                lineStart = end + 2;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd wait{fd_, POLLIN, 0};
            if (left.count() <= 0 || poll(&wait, 1, static_cast<int>(left.count())) <= 0) {
                return "";
            }
            char buffer[4096];
            ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) {
                return "";
            }
            pending_.append(buffer, static_cast<size_t>(n));
        }
    }
    // True when the server closed the connection within the time.
    bool Closed(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        pollfd wait{fd_, POLLIN, 0};
        if (poll(&wait, 1, static_cast<int>(timeout.count())) <= 0) {
            return false;
        }
        char byte;
        return recv(fd_, &byte, 1, MSG_PEEK) <= 0;
    }

  private:
    int fd_ = -1;
    bool connected_ = false;
    std::string pending_;
};

using relvo::testing::FreePort;

// A console window that records the lines it is given.
struct RecordingWindow : RelvoMailWindow {
    RecordingWindow() { deliver = &Deliver; }
    static void Deliver(RelvoMailWindow* window, unsigned int, uintptr_t, const char* text) {
        auto* self = static_cast<RecordingWindow*>(window);
        std::lock_guard lock(self->mutex);
        self->lines.emplace_back(text);
    }
    std::vector<std::string> Lines() {
        std::lock_guard lock(mutex);
        return lines;
    }
    std::mutex mutex;
    std::vector<std::string> lines;
};

// The service over a fresh application directory; stopped, detached from the window and given
// its usual AUTH delay again after each test.
class ServiceFixture : public ::testing::Test {
  protected:
    void TearDown() override {
        Service().Stop();
        Service().SetWindow(nullptr, RELVOMAIL_PROGRESS_MESSAGE);
        Service().SetAuthFailureDelay(std::chrono::milliseconds(1000));
    }
    // One for the test process, over its own shared queue, as the engine's entry points own it.
    static SmtpService& Service() {
        static SharedQueue queue;
        static SmtpService service(queue);
        return service;
    }
    // Written under a new name and renamed, as the console's store does.
    void ReplaceConfig(const std::string& text) {
        app_.Write("relvoconsole.cfg.new", text);
        std::filesystem::rename(app_.File("relvoconsole.cfg.new"), app_.ConfigFile());
    }

    // Every daily log of the application directory, as written so far.
    std::string LogText() {
        std::string text;
        for (auto& entry : std::filesystem::directory_iterator(app_.File("log"))) {
            std::ifstream in(entry.path(), std::ios::binary);
            text += std::string(std::istreambuf_iterator<char>(in), {});
        }
        return text;
    }
    TempAppDir app_;
    RecordingWindow window_;
};

// A network namespace joined to this machine by a veth pair with a /30 of documentation addresses
// (198.51.100.0/24): a client from outside the private networks. Its /30 is a slot held for its
// life (support/netns_slot.h), and its names come from the process id and the slot, so that
// tests of other suites and builds can run beside. Made by Make, which needs root; removed with
// the object.
class ClientNamespace {
  public:
    ClientNamespace(const std::string& prefix, int /*salt*/)
        : tag_(getpid() % 10000 * 100 + slot_.Index() + 1),
          name_(prefix + "ns" + std::to_string(tag_)),
          hostLink_(prefix + "h" + std::to_string(tag_)),
          peerLink_(prefix + "n" + std::to_string(tag_)),
          hostIp_(slot_.Address("198.51.100.", 1)),
          clientIp_(slot_.Address("198.51.100.", 2)) {}
    ~ClientNamespace() {
        if (made_) {
            RunProcess({"ip", "link", "del", hostLink_});
            RunProcess({"ip", "netns", "del", name_});
        }
    }
    ClientNamespace(const ClientNamespace&) = delete;
    ClientNamespace& operator=(const ClientNamespace&) = delete;

    // Makes the namespace and the pair, then runs `extra`: "" or the first command that failed.
    std::string Make(const std::vector<std::vector<std::string>>& extra = {}) {
        if (slot_.Index() < 0) {
            return "taking a free test network";
        }
        std::vector<std::vector<std::string>> commands = {
            {"ip", "netns", "add", name_},
            {"ip", "link", "add", hostLink_, "type", "veth", "peer", "name", peerLink_},
            {"ip", "link", "set", peerLink_, "netns", name_},
            {"ip", "addr", "add", hostIp_ + "/30", "dev", hostLink_},
            {"ip", "link", "set", hostLink_, "up"},
            {"ip", "netns", "exec", name_, "ip", "addr", "add", clientIp_ + "/30", "dev",
             peerLink_},
            {"ip", "netns", "exec", name_, "ip", "link", "set", peerLink_, "up"}};
        commands.insert(commands.end(), extra.begin(), extra.end());
        made_ = true;
        for (const auto& command : commands) {
            int exitCode = -1;
            RunProcess(command, &exitCode);
            if (exitCode != 0) {
                return command[1] + " " + command[2];
            }
        }
        return "";
    }
    int Tag() const { return tag_; }
    int Slot() const { return slot_.Index(); }
    const std::string& Name() const { return name_; }
    const std::string& HostLink() const { return hostLink_; }
    const std::string& HostIp() const { return hostIp_; }
    const std::string& ClientIp() const { return clientIp_; }

  private:
    relvo::testing::NetnsSlot slot_;  // first: the addresses below come from it
    int tag_;
    std::string name_, hostLink_, peerLink_, hostIp_, clientIp_;
    bool made_ = false;
};

inline size_t CountEntries(const std::string& directory) {
    std::error_code ec;
    size_t count = 0;
    for (auto it = std::filesystem::directory_iterator(directory, ec);
         !ec && it != std::filesystem::directory_iterator(); ++it) {
        ++count;
    }
    return count;
}

}  // namespace relvo::mail::smtp::testing
