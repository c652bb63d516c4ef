#include "engine/service_control.h"

#include "common/profile_store.h"
#include "common/settings_table.h"
#include "engine/engine_binding.h"

namespace {
constexpr const char* kConfig = ".cfg";
constexpr const char* kSystem = relvo::kSystemSection;
constexpr const char* kSmtpStart = "RelvoMail_SmtpServiceStart";
constexpr const char* kSendStart = "RelvoMail_SendServiceStart";
}  // namespace

QString ServiceControl::FailedWithReason(const char* entryPoint) {
    QString text = QStringLiteral("started failed");
    // A start the engine refused is explained by the engine's own lines. One that reached no
    // engine is explained here, once: the same reason on every later line would only be noise.
    const std::string problem = engine::CallProblem(entryPoint);
    if (!problem.empty() && problem != reportedProblem_) {
        reportedProblem_ = problem;
        text += QStringLiteral(": ") + QString::fromStdString(problem);
    }
    return text;
}

ServiceControl::ServiceControl(Question ask, LogLine log)
    : ask_(std::move(ask)), log_(std::move(log)) {}

bool ServiceControl::ToggleSmtpService() {
    if (smtpRunning_ == 0) {
        int port = ProfileGetInt(kSystem, "SmtpPort", relvo::SettingDefault("SmtpPort"), kConfig);
        smtpRunning_ = engine::SmtpServiceStart(port);
        log_(QStringLiteral("SMTP service [Port:%1] %2")
                 .arg(port)
                 .arg(smtpRunning_ ? QStringLiteral("started successfully")
                                   : FailedWithReason(kSmtpStart)));
        int second =
            ProfileGetInt(kSystem, "SmtpPort2nd", relvo::SettingDefault("SmtpPort2nd"), kConfig);
        if (second > 0) {
            bool started = engine::SmtpServiceStart(second) != 0;
            log_(QStringLiteral("SMTP service 2nd [Port:%1] %2")
                     .arg(second)
                     .arg(started ? QStringLiteral("started successfully")
                                  : FailedWithReason(kSmtpStart)));
        }
        return true;
    }
    if (!ask_(QStringLiteral("Are you sure to stop SMTP service?"))) {
        return false;
    }
    engine::SmtpServiceStop();
    smtpRunning_ = 0;
    log_(QStringLiteral("SMTP service stopped"));
    return true;
}

bool ServiceControl::ToggleSendService() {
    if (sendRunning_ == 0) {
        int threads = ProfileGetInt(kSystem, "SendMailThread",
                                    relvo::SettingDefault("SendMailThread"), kConfig);
        sendRunning_ = engine::SendServiceStart(threads);
        log_(sendRunning_ ? QStringLiteral("SEND service started successfully")
                          : QStringLiteral("SEND service ") + FailedWithReason(kSendStart));
        return true;
    }
    if (!ask_(QStringLiteral("Are you sure to stop SEND service?"))) {
        return false;
    }
    engine::SendServiceStop();
    sendRunning_ = 0;
    log_(QStringLiteral("SEND service stopped"));
    return true;
}

void ServiceControl::AutoStart() {
    // Both keys are read before anything starts.
    bool smtp = ProfileGetInt(kSystem, "AutoStartSmtpService",
                              relvo::SettingDefault("AutoStartSmtpService"), kConfig) != 0;
    bool send = ProfileGetInt(kSystem, "AutoStartSendService",
                              relvo::SettingDefault("AutoStartSendService"), kConfig) != 0;
    if (smtp) {
        ToggleSmtpService();
    }
    if (send) {
        ToggleSendService();
    }
}

void ServiceControl::StopRunningServices() {
    if (smtpRunning_ != 0) {
        engine::SmtpServiceStop();
    }
    if (sendRunning_ != 0) {
        engine::SendServiceStop();
    }
}

QString SmtpButtonText(bool running) {
    return running ? QStringLiteral("Stop SMTP service") : QStringLiteral("Start SMTP service");
}
QString SendButtonText(bool running) {
    return running ? QStringLiteral("Stop SEND service") : QStringLiteral("Start SEND service");
}
QString SmtpStatusText(bool running) {
    return running ? QStringLiteral("SMTP service: RUNNING!")
                   : QStringLiteral("SMTP service: STOPPED!");
}
QString SendStatusText(bool running) {
    return running ? QStringLiteral("SEND service: RUNNING!")
                   : QStringLiteral("SEND service: STOPPED!");
}
