// The application object: what start-up does before the main window runs, and the main window's
// run. Run() is the whole life of the program and returns its exit status.
#pragma once

#include <QString>
#include <QStringList>
#include <memory>

class CRelvoConfigDlg;
class InstanceChannel;

class CRelvoConfigApp {
  public:
    // arguments: the command-line arguments after the program name.
    explicit CRelvoConfigApp(QStringList arguments);
    ~CRelvoConfigApp();

    int Run(int& argc, char** argv);

    // Creates "mail", "log" and "old" under the application directory where nothing of that
    // name exists, and the diagnose dialog's sample mail in "help" when missing. Returns true
    // always; a directory that is not there afterwards is kept in StartupProblems().
    bool EnsureWorkingDirectories();
    // What start-up could not do, one line each, for the main window to show.
    const QStringList& StartupProblems() const { return startupProblems_; }
    // False when the command line was "-uninstall": the running console (if any) was asked to
    // shut down and waited for, and this program must end now.
    bool HandleUninstallCommand();
    // True when another console runs and was asked to come forward, or when the channel has no
    // safe place (Channel().Problem() says why): this program must end. False when this process
    // is now the one console.
    bool ActivateRunningInstance();

    // What "-uninstall" found and did, and the one line that tells the user.
    enum class UninstallOutcome { NotRunning, ShutDown, StillRunning, NoChannel };
    static QString UninstallLine(UninstallOutcome outcome);
    // The line a second start prints once the running console answered: whether it says its
    // window is now on screen.
    static QString BroughtForwardLine(bool windowShown);

    // The command line as one text, the arguments joined by single blanks.
    QString CommandLineText() const;
    static bool IsUninstallCommand(const QString& commandLine);

    InstanceChannel& Channel();

  private:
    QStringList arguments_;
    std::unique_ptr<InstanceChannel> channel_;
    UninstallOutcome uninstallOutcome_ = UninstallOutcome::NotRunning;
    bool broughtForward_ = false;
    bool windowShown_ = false;
    QStringList startupProblems_;
};

// Why the console cannot open a window here, or "" when a display seems available.
QString MissingDisplayReason(const QStringList& arguments);

// Shows the main window and runs the program's event loop until the window's exit sequence has
// ended it; hiding the window does not end it.
void RunMainWindow(CRelvoConfigDlg& window);
