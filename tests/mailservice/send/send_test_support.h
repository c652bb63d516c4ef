// Shared pieces of the SEND tests: child processes (aiosmtpd peers, dnsmasq, openssl) started and
// ended by the test, DKIM keys and dkimpy's verdicts, what a peer received, a recording window,
// and queue entries made by the real queue store.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/profile_store.h"
#include "core/app_dirs.h"
#include "core/queue_store.h"
#include "core/shared_queue.h"
#include "relvomail.h"
#include "send/send_service.h"
#include "support/free_port.h"

namespace relvo::mail::send::testing {

// A child process that runs until the object goes; Ready waits for a text in its output.
class Child {
  public:
    explicit Child(const std::vector<std::string>& argv) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            return;
        }
        // Built before the fork: after it, the child of a threaded process must not allocate.
        std::vector<char*> args;
        for (const std::string& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);  // a peer never outlives a crashed test
            dup2(fds[1], 1);
            dup2(fds[1], 2);
            execvp(args[0], args.data());
            _exit(127);
        }
        close(fds[1]);
        out_ = fds[0];
    }
    ~Child() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) {
            close(out_);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool Ready(const std::string& text,
               std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        return ReadUntil([&] { return output_.find(text) != std::string::npos; }, timeout);
    }
    // Reads its output until the process closes it (it ended); false when that took too long.
    bool Ended(std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
        ReadUntil([] { return false; }, timeout);
        return ended_;
    }
    const std::string& Output() const { return output_; }

  private:
    template <typename Done>
    bool ReadUntil(Done done, std::chrono::milliseconds timeout) {
        auto end = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            pollfd p{out_, POLLIN, 0};
            if (ended_ || left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) {
                return false;
            }
            char buffer[4096];
            ssize_t n = read(out_, buffer, sizeof buffer);
            if (n <= 0) {
                ended_ = true;
                return false;
            }
            output_.append(buffer, static_cast<size_t>(n));
        }
        return true;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    bool ended_ = false;
    std::string output_;
};

using relvo::testing::FreePort;

// dnsmasq on 127.0.0.1:port, answering from the zone's options (--mx-host, --host-record, ...)
// only; Ready("started") tells when it listens.
inline std::unique_ptr<Child> Dnsmasq(int port, const std::vector<std::string>& zone) {
    std::vector<std::string> argv = {
        "dnsmasq",           "--no-daemon", "--listen-address=127.0.0.1",
        "--bind-interfaces", "--no-resolv", "--no-hosts"};
    argv.push_back("--port=" + std::to_string(port));
    argv.insert(argv.end(), zone.begin(), zone.end());
    return std::make_unique<Child>(argv);
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs a Python script with input on its standard input; returns its standard output.
inline std::string RunPython(const std::string& script, const std::string& input, int* status) {
    std::string dir = std::filesystem::temp_directory_path() / "relvo-send-py-XXXXXX";
    if (mkdtemp(dir.data()) == nullptr) {
        return "";
    }
    std::ofstream(dir + "/in", std::ios::binary) << input;
    std::ofstream(dir + "/script.py") << script;
    std::string command =
        "/usr/bin/python3 " + dir + "/script.py < " + dir + "/in > " + dir + "/out";
    *status = system(command.c_str());
    std::string out = ReadFile(dir + "/out");
    std::filesystem::remove_all(dir);
    return out;
}

// A new key of keyType (RSA, ED25519) written to keyFile; returns the dnsmasq option that
// publishes it as selector._domainkey.domain.
inline std::string DkimKey(const std::string& keyFile, const std::string& domain,
                           const std::string& selector, const std::string& keyType) {
    std::filesystem::create_directories(std::filesystem::path(keyFile).parent_path());
    int status = 0;
    std::string publicKey = RunPython(
        "import subprocess,base64\n"
        "subprocess.run(['openssl','genpkey','-algorithm','" +
            keyType + "','-out','" + keyFile +
            "'],check=True,capture_output=True)\n"
            "der=subprocess.run(['openssl','pkey','-in','" +
            keyFile +
            "','-pubout','-outform','DER'],check=True,capture_output=True).stdout\n"
            "print(base64.b64encode(der[-32:] if '" +
            keyType + "'=='ED25519' else der).decode(),end='')\n",
        "", &status);
    if (status != 0) {
        return "";
    }
    std::string record =
        "v=DKIM1; k=" + std::string(keyType == "RSA" ? "rsa" : "ed25519") + "; p=" + publicKey;
    std::string strings;
    for (size_t at = 0; at < record.size(); at += 200) {
        strings += (at ? "," : "") + record.substr(at, 200);
    }
    return "--txt-record=" + selector + "._domainkey." + domain + "," + strings;
}

// dkimpy's verdict on a message as received, with the keys dnsmasq on dnsPort serves:
// "unsigned", or "True False" for a signature that verifies and fails once the text signed is
// changed to changed after signing.
inline std::string DkimVerdicts(const std::string& message, int dnsPort,
                                const std::string& signedText = "Body",
                                const std::string& changed = "Bodo") {
    int status = 0;
    return RunPython(
        "import dkim,sys,dns.resolver\n"
        "r=dns.resolver.Resolver(configure=False); r.nameservers=['127.0.0.1']; r.port=" +
            std::to_string(dnsPort) +
            "\n"
            "def txt(name, timeout=5):\n"
            "  return b''.join(b''.join(a.strings) for a in "
            "r.resolve(name.decode().rstrip('.'),'TXT'))\n"
            "m=sys.stdin.buffer.read()\n"
            "if b'DKIM-Signature:' not in m: print('unsigned'); sys.exit()\n"
            "print(dkim.verify(m,dnsfunc=txt), "
            "dkim.verify(m.replace(b'" +
            signedText + "',b'" + changed + "'),dnsfunc=txt))\n",
        message, &status);
}

// One mail as a peer took it, read back with Python's json module into "key=value" lines.
struct Received {
    std::string from;
    std::vector<std::string> to;
    bool tls = false;
    std::string login;
    std::string message;
    std::string options;
};

inline std::vector<Received> ReadReceived(const std::string& dir) {
    std::vector<Received> all;
    std::vector<std::filesystem::path> files;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
        if (e.path().extension() == ".json") {
            files.push_back(e.path());
        }
    }
    std::sort(files.begin(), files.end());
    for (const auto& file : files) {
        int status = 0;
        std::string text = RunPython(
            "import json,sys,base64\n"
            "r=json.load(sys.stdin)\n"
            "print(r['from']); print(' '.join(r['to'])); print(int(r['tls']));\n"
            "print(r['login'] or ''); print(' '.join(r['options']))\n"
            "sys.stdout.flush(); sys.stdout.buffer.write(base64.b64decode(r['message']))",
            ReadFile(file.string()), &status);
        std::istringstream in(text);
        Received r;
        std::string to, tls;
        std::getline(in, r.from);
        std::getline(in, to);
        std::getline(in, tls);
        std::getline(in, r.login);
        std::getline(in, r.options);
        std::istringstream words(to);
        for (std::string w; words >> w;) {
            r.to.push_back(w);
        }
        r.tls = tls == "1";
        std::streamoff at = in.tellg();
        r.message = at < 0 ? std::string() : text.substr(static_cast<size_t>(at));
        all.push_back(std::move(r));
    }
    return all;
}

// The lines the engine posted to a window.
class RecordingWindow {
  public:
    RecordingWindow() { handle_.owner = this; }
    RelvoMailWindow* Handle() { return &handle_.window; }
    std::vector<std::string> Lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    std::string Text() const {
        std::string all;
        for (const std::string& l : Lines()) {
            all += l + "\n";
        }
        return all;
    }
    bool WaitFor(const std::string& text, std::chrono::milliseconds timeout) const {
        auto end = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < end) {
            if (Text().find(text) != std::string::npos) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

  private:
    struct Slot {
        RelvoMailWindow window{&Deliver};
        RecordingWindow* owner = nullptr;
    };
    static void Deliver(RelvoMailWindow* window, unsigned int, uintptr_t, const char* text) {
        auto* self = reinterpret_cast<Slot*>(window)->owner;
        std::lock_guard lock(self->mutex_);
        self->lines_.emplace_back(text);
    }
    Slot handle_;
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

// The engine of the test process, as the entry points own it: the shared queue store and the
// SEND service over it. Made once; the service ends before the queue at the process's exit.
struct TestEngine {
    SharedQueue queue;
    SendService send{queue};
};
inline TestEngine& Engine() {
    static TestEngine engine;
    return engine;
}

// Puts a mail into the queue through the process's shared store, as the receiving side of the
// same process does; returns its id.
inline uint32_t Enqueue(const std::string& from, const std::vector<std::string>& to,
                        const std::string& body, const std::string& quarantine = "") {
    std::string error;
    QueueLease lease = Engine().queue.Acquire(QueueDir(), &error);
    if (!lease) {
        return 0;
    }
    QueueStore& store = lease.Store();
    Envelope envelope;
    envelope.mailFrom = from;
    envelope.recipients = to;
    envelope.clientAddress = "127.0.0.1:40000";
    envelope.heloName = "client.test";
    envelope.quarantine = quarantine;
    std::promise<uint32_t> done;
    store.Store(envelope, "Received: from client.test by relvo.test; Mon, 7 Dec 2026\r\n", body,
                [&done](bool ok, uint32_t id, const std::string&) { done.set_value(ok ? id : 0); });
    const uint32_t id = done.get_future().get();
    lease.Reset();  // the store's completion has gone before done does
    return id;
}

}  // namespace relvo::mail::send::testing
