// relvoserver: the engine's services without the console. It runs the SMTP service of one
// application directory on SmtpPort and SmtpPort2nd, prints the engine's lines to standard
// output, and stops cleanly on SIGTERM or SIGINT. Exit status: 0 after a clean stop, 1 when a
// service cannot start, 2 for a bad command line.
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <string_view>

#include "api/engine_process.h"
#include "common/app_paths.h"
#include "common/install_layout.h"
#include "common/profile_store.h"
#include "common/settings_table.h"
#include "core/app_dirs.h"
#include "core/timestamp.h"
#include "relvomail.h"

namespace {

std::mutex outputMutex;

// Lines are buffered and written out by the main thread every 100 ms (or when the buffer
// fills), so a busy server does not pay a system call per line.
void PrintLine(std::string_view line) {
    std::lock_guard lock(outputMutex);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
}

void FlushOutput() {
    std::lock_guard lock(outputMutex);
    std::fflush(stdout);
}

void Say(std::string_view text) {
    PrintLine(relvo::mail::LocalTimestamp() + std::string(text));
}

void DeliverToStdout(RelvoMailWindow*, unsigned int, uintptr_t, const char* text) {
    PrintLine(text != nullptr ? text : "");
}

RelvoMailWindow stdoutWindow{&DeliverToStdout};

const char kUsage[] =
    "Usage: relvoserver [--data-dir DIR]\n"
    "Runs the SMTP and SEND services of an application directory: DIR, else $RELVO_APP_DIR,\n"
    "else the console's data directory when installed (~/.local/share/relvo-smtp-server), else\n"
    "the directory of this program. Ports and settings come from DIR/relvoconsole.cfg\n"
    "(SmtpPort, SmtpPort2nd, SendMailThread and the other System keys). Stops on SIGTERM or\n"
    "SIGINT.\n";

// The application directory from the command line and the environment; false on a bad line.
bool ChooseDirectory(int argc, char** argv, std::string* directory) {
    for (int i = 1; i < argc; ++i) {
        std::string_view argument = argv[i];
        if (argument == "--data-dir" && i + 1 < argc) {
            *directory = argv[++i];
        } else if (argument.starts_with("--data-dir=")) {
            *directory = std::string(argument.substr(11));
        } else {
            return false;
        }
    }
    if (directory->empty()) {
        if (const char* fromEnvironment = std::getenv(kAppDirEnvironmentVariable)) {
            *directory = fromEnvironment;
        }
    }
    if (directory->empty()) {
        // The console's rule: installed, the user's data directory (never beside the program
        // under /usr); portable, its own directory. Set explicitly either way, so that the main
        // file is relvoconsole.cfg there.
        const InstallLayout layout = DetectInstallLayout(
            ExecutablePath(), "", "", std::getenv("XDG_DATA_HOME"), std::getenv("HOME"));
        *directory = layout.dataDirectory;
        if (layout.kind == InstallKind::Installed && !directory->empty()) {
            ::mkdir(directory->c_str(), 0700);  // realpath below says so if this failed
        }
    }
    return !directory->empty();
}

}  // namespace

int main(int argc, char** argv) {
    std::string directory;
    if (!ChooseDirectory(argc, argv, &directory)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    char resolved[4096];
    if (realpath(directory.c_str(), resolved) == nullptr) {
        std::fprintf(stderr, "relvoserver: the application directory %s does not exist\n",
                     directory.c_str());
        return 1;
    }
    OverrideApplicationDirectory(resolved);

    // The stop signals are taken by sigtimedwait below: blocked here, before any thread exists,
    // so every thread of the engine inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    static char outputBuffer[1 << 16];
    std::setvbuf(stdout, outputBuffer, _IOFBF, sizeof outputBuffer);

    std::string error;
    if (!relvo::mail::EnsureWorkingDirectories(&error)) {
        Say("relvoserver cannot start: " + error);
        return 1;
    }
    const std::string mainFile = relvo::mail::MainConfigPath();
    const ProfileSnapshot settings(mainFile);
    const int port = relvo::ReadNumberSetting(settings, relvo::Setting("SmtpPort"));
    const int secondPort = relvo::ReadNumberSetting(settings, relvo::Setting("SmtpPort2nd"));
    Say("relvoserver " + std::to_string(getpid()) + " for " + std::string(resolved));

    auto& smtp = relvo::mail::EngineProcess::Get().smtp;
    smtp.SetWindow(&stdoutWindow, RELVOMAIL_PROGRESS_MESSAGE);
    // The service prints why a port failed (Stop writes out its lines); the line after it says
    // what that means for the server.
    if (!smtp.Start(port)) {
        smtp.Stop();
        Say("SMTP service [Port:" + std::to_string(port) + "] could not start; relvoserver ends.");
        return 1;
    }
    // Headless, nobody would notice a quiet half start: a second port that fails ends the run.
    if (secondPort > 0 && !smtp.Start(secondPort)) {
        smtp.Stop();
        Say("SMTP service 2nd [Port:" + std::to_string(secondPort) +
            "] could not start; relvoserver ends.");
        return 1;
    }
    // As in the console, AutoStartSendService 0 leaves received mail in the queue.
    auto& send = relvo::mail::EngineProcess::Get().send;
    send.SetWindow(&stdoutWindow, RELVOMAIL_PROGRESS_MESSAGE);
    const bool sending = relvo::ReadFlagSetting(settings, relvo::Setting("AutoStartSendService"));
    // The count goes as written: the service says so when it holds it to its range.
    const int threads = settings.GetInt(relvo::kSystemSection, "SendMailThread",
                                        relvo::SettingDefault("SendMailThread"));
    if (sending && !send.Start(threads)) {
        send.Stop();
        smtp.Stop();
        Say("SEND service could not start; relvoserver ends.");
        return 1;
    }

    int received = -1;
    const timespec period{0, 100 * 1000 * 1000};
    while (received < 0) {
        FlushOutput();
        received = sigtimedwait(&stopSignals, nullptr, &period);
    }
    Say(std::string("Stopping on ") + (received == SIGTERM ? "SIGTERM" : "SIGINT"));
    smtp.Stop();
    send.Stop();
    FlushOutput();
    return 0;
}
