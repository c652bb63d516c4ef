#include "smtp/smtp_service.h"

#include <unistd.h>

#include <algorithm>
#include <thread>

#include "core/app_dirs.h"
#include "core/engine_config.h"
#include "core/event_log.h"
#include "core/service_lock.h"
#include "smtp/listen_failure.h"
#include "smtp/smtp_server.h"
#include "smtp/tls_context.h"

namespace relvo::mail::smtp {
namespace {

std::string HostName(const EngineConfig& config) {
    if (!config.heloString.empty()) {
        return config.heloString;
    }
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') {
        return "localhost";
    }
    return name;
}

}  // namespace

SmtpService::SmtpService(SharedQueue& queue) : sharedQueue_(queue) {}

SmtpService::~SmtpService() {
    std::lock_guard lock(mutex_);
    StopLocked(false);
}

EventLog& SmtpService::Log() {
    // The log follows the application directory of the moment (tests and relvoserver set it).
    if (!log_) {
        log_ = std::make_unique<EventLog>(LogDir(), "smtp");
        log_->SetWindow(window_, message_);
    }
    return *log_;
}

void SmtpService::SetWindow(RelvoMailWindow* window, unsigned int message) {
    std::lock_guard lock(mutex_);
    window_ = window;
    message_ = message;
    if (log_) {
        log_->SetWindow(window, message);
    }
}

void SmtpService::SetAuthFailureDelay(std::chrono::milliseconds delay) {
    std::lock_guard lock(mutex_);
    authFailureDelay_ = delay;
}

void SmtpService::SetRecipientCheckWait(std::chrono::milliseconds wait) {
    std::lock_guard lock(mutex_);
    recipientCheckWait_ = wait;
}

bool SmtpService::Running() const {
    std::lock_guard lock(mutex_);
    return server_ != nullptr;
}

std::vector<int> SmtpService::Ports() const {
    std::lock_guard lock(mutex_);
    return server_ ? server_->Ports() : std::vector<int>();
}

bool SmtpService::StartServer(std::string* failureLine) {
    std::shared_ptr<const EngineConfig> config = EngineConfig::Load();
    Log().Configure(config->logSmtp, config->logSmtpDays);
    std::string error;
    if (!EnsureWorkingDirectories(&error)) {
        *failureLine = "SMTP service cannot start: " + error;
        return false;
    }
    lock_ = ServiceLock::Acquire("smtp", &error);
    if (!lock_) {
        *failureLine = error;
        return false;
    }
    queue_ = sharedQueue_.Acquire(QueueDir(), &error);
    if (!queue_) {
        *failureLine = "SMTP service cannot open its queue: " + error;
        lock_.reset();
        return false;
    }
    ServerSettings settings;
    settings.hostName = HostName(*config);
    settings.authFailureDelay = authFailureDelay_;
    settings.recipientCheckWait = recipientCheckWait_;
    settings.threads = static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 2u, 8u));
    TlsFiles files{config->tlsCertFile, config->tlsKeyFile};
    std::string tlsError;
    if (files.certificate.empty() || files.key.empty()) {
        files =
            TlsFiles{AppDir() + "/smtp-selfsigned-cert.pem", AppDir() + "/smtp-selfsigned-key.pem"};
        if (!EnsureSelfSignedCertificate(files, SelfSignedNames(config->heloString), &tlsError)) {
            Log().Line("STARTTLS is not offered: " + tlsError);
        }
    }
    if (tlsError.empty()) {
        settings.tls = MakeServerTlsContext(files, &tlsError);
        if (!settings.tls) {
            Log().Line("STARTTLS is not offered: " + tlsError +
                       ". Correct SmtpTlsCertFile and SmtpTlsKeyFile in the configuration.");
        }
    }
    LogSkippedNetworks("SmtpRelayNetworks", config->invalidRelayNetworks);
    LogSkippedNetworks("SmtpProxyFrom", config->proxyFromRejected);
    server_ = std::make_unique<SmtpServer>(queue_.Store(), Log(), std::move(settings));
    return true;
}

void SmtpService::LogSkippedNetworks(const std::string& key,
                                     const std::vector<std::string>& skipped) {
    if (skipped.empty()) {
        return;
    }
    std::string line = key + ": skipped what is not a network (address/bits):";
    for (const std::string& entry : skipped) {
        line += " \"" + entry.substr(0, 64) + "\"";
    }
    Log().Line(line);
}

bool SmtpService::Start(int port) {
    std::lock_guard lock(mutex_);
    if (server_ == nullptr) {
        log_.reset();  // the application directory may have changed since the last run
    }
    std::string failureLine;
    if (port < 1 || port > 65535) {
        Log().Line(DescribeBadPort(port));
        return false;
    }
    bool fresh = server_ == nullptr;
    if (fresh && !StartServer(&failureLine)) {
        Log().Line(failureLine);
        return false;
    }
    std::string address = EngineConfig::Load()->listenAddress;
    if (!server_->Listen(port, address, &failureLine)) {
        Log().Line(failureLine);
        if (fresh) {
            StopLocked(false);
        }
        return false;
    }
    Log().Line("SMTP service listening on port " + std::to_string(port) +
               (address.empty() ? std::string() : " of " + address));
    return true;
}

void SmtpService::Stop() {
    std::lock_guard lock(mutex_);
    StopLocked(true);
}

void SmtpService::StopLocked(bool announce) {
    if (server_) {
        server_->Stop();
    }
    // The queue's worker may still be inside a completion that posts to a session's strand:
    // it must be finished before the server's io_context goes. Letting the store go waits for
    // that, and closes it unless the SEND service still writes its notices through it.
    queue_.Reset();
    if (server_) {
        server_.reset();
        if (announce) {
            Log().Line("SMTP service stopped");
        }
    }
    lock_.reset();
    if (log_) {
        log_->Flush();
        // A fresh log at the next start follows a changed application directory.
        log_.reset();
    }
}

}  // namespace relvo::mail::smtp
