// The lines a service start writes when it fails: an engine that cannot be reached says why once
// (the library's path and the loader's reason, or the missing entry point); an engine that
// refuses a start leaves the reason to the engine's own lines.
//
// A loaded library stays loaded, and ctest runs every test in a process of its own: the tests
// that need a process without the library come first.
#include <gtest/gtest.h>

#include <QStringList>
#include <functional>
#include <string>
#include <vector>

#include "engine/engine_binding.h"
#include "engine/service_control.h"
#include "support/fake_engine.h"
#include "support/qt_print.h"
#include "support/temp_app_dir.h"

namespace {

struct Recorded {
    QStringList lines;
    ServiceControl services{[](const QString&) { return true; },
                            [this](const QString& line) { lines << line; }};
};

// Starts both services (the SMTP one on 25 and 2525), then both again: the lines written.
QStringList StartTwice(const TempAppDir& dir) {
    dir.Write("relvoconsole.cfg", "[System]\nSmtpPort2nd=2525\n");
    Recorded recorded;
    for (int round = 0; round < 2; ++round) {
        recorded.services.ToggleSmtpService();
        recorded.services.ToggleSendService();
    }
    return recorded.lines;
}

struct UnreachableCase {
    const char* name;
    std::function<void(const TempAppDir&)> prepare;
    const char* reason;  // after "<path> cannot be loaded: "
};

void ExpectReasonOnceOnTheFirstLine(const UnreachableCase& c) {
    if (engine::IsLoaded()) {
        GTEST_SKIP() << "the library is already loaded in this process; run under ctest";
    }
    TempAppDir dir;
    c.prepare(dir);
    const QString path = QString::fromStdString(dir.File("librelvomailservice.so"));
    const QStringList lines = StartTwice(dir);
    const QString first = "SMTP service [Port:25] started failed: the engine library " + path +
                          " cannot be loaded: " + c.reason;
    EXPECT_EQ(
        lines,
        (QStringList{first, "SMTP service 2nd [Port:2525] started failed",
                     "SEND service started failed", "SMTP service [Port:25] started failed",
                     "SMTP service 2nd [Port:2525] started failed", "SEND service started failed"}))
        << c.name;
}

}  // namespace

// --- Needs a process where the library was never loaded -----------------------------------------

TEST(ServiceStartWithoutEngine, MissingLibraryIsNamedWithTheLoadersReason) {
    ExpectReasonOnceOnTheFirstLine({"missing", [](const TempAppDir&) {},
                                    "cannot open shared object file: No such file or directory"});
}

TEST(ServiceStartWithoutEngine, FileThatIsNoLibraryIsNamedWithTheLoadersReason) {
    ExpectReasonOnceOnTheFirstLine(
        {"not a library",
         [](const TempAppDir& dir) { dir.Write("librelvomailservice.so", std::string(4096, 'x')); },
         "invalid ELF header"});
}

// --- Needs a process where the start entry points were never looked up -------------------------

struct EngineCase {
    const char* missing;  // entry point taken away, or null
    bool smtpRefused;     // the engine answers the SMTP start with 0
    QStringList lines;
};

// Runs the cases in order against the fake, each with one start of both services.
void ExpectLines(const TempAppDir& dir, FakeEngine& fake, const std::vector<EngineCase>& cases) {
    dir.Write("relvoconsole.cfg", "[System]\nSmtpPort2nd=2525\n");
    for (const EngineCase& c : cases) {
        fake.Reset();
        if (c.missing != nullptr) {
            fake.SetMissing(c.missing);
        }
        if (c.smtpRefused) {
            fake.SetResult("SmtpServiceStart", 0);
        }
        Recorded recorded;
        recorded.services.ToggleSmtpService();
        recorded.services.ToggleSendService();
        EXPECT_EQ(recorded.lines, c.lines) << (c.missing ? c.missing : "refused");
    }
}

QString NoEntryPoint(const TempAppDir& dir, const char* name) {
    return QString::fromStdString(" started failed: the engine library " +
                                  dir.File("librelvomailservice.so") + " has no entry point " +
                                  name);
}

TEST(ServiceStartWithEngine, MissingSmtpEntryPointIsNamed) {
    TempAppDir dir;
    FakeEngine fake(dir.Path());
    ExpectLines(
        dir, fake,
        {{"SmtpServiceStart",
          false,
          {"SMTP service [Port:25]" + NoEntryPoint(dir, "RelvoMail_SmtpServiceStart"),
           "SMTP service 2nd [Port:2525] started failed", "SEND service started successfully"}}});
}

TEST(ServiceStartWithEngine,
     MissingSendEntryPointIsNamedAndARefusedStartLeavesTheReasonToTheEngine) {
    TempAppDir dir;
    FakeEngine fake(dir.Path());
    ExpectLines(
        dir, fake,
        {{"SendServiceStart",
          false,
          {"SMTP service [Port:25] started successfully",
           "SMTP service 2nd [Port:2525] started successfully",
           "SEND service" + NoEntryPoint(dir, "RelvoMail_SendServiceStart")}},
         {nullptr,
          true,
          {"SMTP service [Port:25] started failed", "SMTP service 2nd [Port:2525] started failed",
           "SEND service started successfully"}}});
}
