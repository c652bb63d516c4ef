// Control of the engine's SMTP and SEND services: the start/stop toggles, the automatic start and
// the stop at exit. The run flags are the results of this console's own last start calls, not a
// state read back from the engine. Settings are read afresh at every use. UI thread only.
#pragma once

#include <QString>
#include <functional>
#include <string>

class ServiceControl {
  public:
    using Question = std::function<bool(const QString& question)>;  // true: the user said Yes
    using LogLine = std::function<void(const QString& line)>;

    ServiceControl(Question ask, LogLine log);

    // Starts the service when its flag is 0, else asks and stops it. Returns false only when the
    // user declined the stop (then nothing changed).
    bool ToggleSmtpService();
    bool ToggleSendService();
    // Starts what AutoStartSmtpService and AutoStartSendService ask for, SMTP first.
    void AutoStart();
    // Stops the running services, SMTP first, without a question or a line; flags kept.
    void StopRunningServices();

    bool SmtpRunning() const { return smtpRunning_ != 0; }
    bool SendRunning() const { return sendRunning_ != 0; }

  private:
    // "started failed", with why the engine could not be reached if that was not said yet.
    QString FailedWithReason(const char* entryPoint);

    Question ask_;
    LogLine log_;
    int smtpRunning_ = 0;
    int sendRunning_ = 0;
    std::string reportedProblem_;  // the last reason given for an engine that was not reached
};

// Texts of the main window that follow a run flag.
QString SmtpButtonText(bool running);
QString SendButtonText(bool running);
QString SmtpStatusText(bool running);
QString SendStatusText(bool running);
