#include "send/diagnose_send.h"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/strand.hpp>
#include <asio/thread_pool.hpp>
#include <asio/use_awaitable.hpp>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>

#include <openssl/ssl.h>

#include "common/mail_address.h"
#include "common/profile_store.h"
#include "common/utilities.h"
#include "core/app_dirs.h"
#include "core/progress.h"
#include "core/timestamp.h"
#include "send/delivery.h"
#include "send/route/relay_accounts.h"
#include "send/transport/signing_trust.h"

namespace relvo::mail::send {

namespace {

// The threads of diagnose sends, made at the first one and kept for the process.
class DiagnoseRunner {
  public:
    DiagnoseRunner() : work_(asio::make_work_guard(io_)), blocking_(1) {
        thread_ = std::thread([this] { io_.run(); });
    }
    ~DiagnoseRunner() {
        io_.stop();
        thread_.join();
        blocking_.join();
    }
    asio::io_context& Io() { return io_; }
    asio::thread_pool& Blocking() { return blocking_; }

  private:
    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    asio::thread_pool blocking_;
    std::thread thread_;
};

DiagnoseRunner& Runner() {
    // OpenSSL first: its clean-up at exit then runs after the runner's thread has ended, so
    // no thread's OpenSSL state outlives it.
    static const bool sslReady = OPENSSL_init_ssl(0, nullptr) == 1;
    (void)sslReady;
    static DiagnoseRunner runner;
    return runner;
}

std::mutex windowMutex;
RelvoMailWindow* currentWindow = nullptr;
unsigned int currentMessage = RELVOMAIL_PROGRESS_MESSAGE;

struct Loaded {
    bool ok = false;
    std::string why;
    std::string emlPath;
    std::string mailFrom;
    std::string loginUser;
    std::string loginPass;
    std::optional<RelayAccount> relay;
    // Who handed the mail in, when it came from the queue: a copy of received mail keeps them.
    std::string authUser;
    std::optional<std::string> clientAddress;
    std::shared_ptr<const std::string> message;
};

Loaded LoadMail(const std::string& companionPath, size_t maxBytes) {
    Loaded loaded;
    ProfileSnapshot companion(companionPath);
    std::string base = companionPath;
    size_t slash = base.rfind('/');
    size_t dot = base.rfind('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) {
        base.erase(dot);
    }
    loaded.emlPath = base + ".eml";
    std::ifstream probe(loaded.emlPath, std::ios::binary);
    if (!probe) {
        loaded.emlPath =
            MailDir() + "/" + std::to_string(companion.GetInt("MailInfo", "MailId", 0)) + ".eml";
    }
    loaded.mailFrom = ExtractMailAddress(companion.GetString("MailInfo", "MailFrom", ""));
    loaded.loginUser = companion.GetString("MailInfo", "LoginUser", "");
    loaded.loginPass = companion.GetString("MailInfo", "LoginPass", "");
    loaded.relay = RelayFromCompanion(companion);
    loaded.authUser = companion.GetString("MailInfo", "AuthUser", "");
    // A line holds no line feed: this default is never a stored value.
    if (std::string client = companion.GetString("MailInfo", "ClientAddress", "\n");
        client != "\n") {
        loaded.clientAddress = std::move(client);
    }
    std::ifstream in(loaded.emlPath, std::ios::binary | std::ios::ate);
    if (!in) {
        loaded.why = "cannot open the mail " + loaded.emlPath;
        return loaded;
    }
    auto size = static_cast<size_t>(in.tellg());
    if (size > maxBytes) {
        loaded.why =
            "the mail " + loaded.emlPath + " is larger than " + std::to_string(maxBytes) + " bytes";
        return loaded;
    }
    std::string bytes(size, '\0');
    in.seekg(0);
    in.read(bytes.data(), static_cast<std::streamsize>(size));
    if (static_cast<size_t>(in.gcount()) != size) {
        loaded.why = "cannot read the mail " + loaded.emlPath;
        return loaded;
    }
    loaded.message = std::make_shared<const std::string>(std::move(bytes));
    loaded.ok = true;
    return loaded;
}

asio::awaitable<void> Send(std::shared_ptr<ProgressChannel> window, std::string companionPath,
                           std::string recipient) {
    auto say = [window](std::string_view line) {
        window->Post(LocalTimestamp() + std::string(line));
    };
    const std::string to = ExtractMailAddress(recipient);
    if (!IsUsableMailAddress(to)) {
        const std::string_view typed =
            std::string_view(recipient).substr(0, recipient.find_first_of("\r\n"));
        say("not sent: \"" + std::string(to.empty() ? TrimBlanks(typed) : to) +
            "\" is not a mail address");
        co_return;
    }
    SendSettings settings = LoadSendSettings();
    size_t maxBytes = settings.config->limits.maxMessageSize;
    asio::thread_pool& blocking = Runner().Blocking();
    // Named, not temporary: this compiler's coroutines mishandle temporaries in co_await.
    auto load = [&companionPath, maxBytes]() -> asio::awaitable<Loaded> {
        Loaded value = LoadMail(companionPath, maxBytes);
        co_return value;
    };
    Loaded loaded = co_await asio::co_spawn(blocking, load, asio::use_awaitable);
    if (!loaded.ok) {
        say("not sent: " + loaded.why);
        co_return;
    }
    say("Sending " + loaded.emlPath + " (" + std::to_string(loaded.message->size()) +
        " bytes) from <" + loaded.mailFrom + "> to <" + to + ">" +
        (loaded.relay ? " via relay " + loaded.relay->mailbox + " (" + loaded.relay->server + ":" +
                            std::to_string(loaded.relay->port) + ")"
                      : " directly"));
    DeliveryJob job;
    job.mailFrom = loaded.mailFrom;
    job.recipients.push_back(to);
    job.message = loaded.message;
    job.loginUser = loaded.loginUser;
    job.loginPass = loaded.loginPass;
    job.onlyRelay = loaded.relay;
    job.trustedSubmission =
        TrustedSubmission(loaded.authUser, loaded.clientAddress, settings.config->relayNetworks,
                          settings.config->proxyFrom);
    Transcript transcript = say;
    std::vector<RecipientOutcome> outcomes = co_await Deliver(job, settings, blocking, transcript);
    const RecipientOutcome& outcome = outcomes.front();
    if (outcome.status == RecipientOutcome::Status::kDelivered) {
        say("sent");
    } else {
        say("not sent: " + (outcome.text.empty() ? std::string("no route") : outcome.text));
    }
}

}  // namespace

void DiagnoseSetWindow(RelvoMailWindow* window, unsigned int message) {
    std::lock_guard lock(windowMutex);
    currentWindow = window;
    currentMessage = message;
}

void DiagnoseSendNow(const char* companionPath, const char* recipient) {
    auto window = std::make_shared<ProgressChannel>();
    {
        std::lock_guard lock(windowMutex);
        window->SetWindow(currentWindow, currentMessage);
    }
    std::string path = companionPath != nullptr ? companionPath : "";
    std::string to = recipient != nullptr ? recipient : "";
    asio::co_spawn(asio::make_strand(Runner().Io()), Send(window, path, to), asio::detached);
}

}  // namespace relvo::mail::send
