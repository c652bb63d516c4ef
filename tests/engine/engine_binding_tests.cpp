// The engine binding against the recording fake engine: loading and retrying, entry points found
// or missing, arguments and results passed through, progress lines from engine threads.
//
// Loading and entry point lookups are process-wide and kept, and ctest runs every test in a
// process of its own. The tests that need a fresh process come first, so that running the whole
// binary at once still works.
#include <gtest/gtest.h>

#include <QObject>
#include <QTest>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <dlfcn.h>

#include "engine/engine_binding.h"
#include "engine/engine_window.h"
#include "support/fake_engine.h"
#include "support/temp_app_dir.h"

namespace {

// Lines reach the receiver in batches of at most kEngineLinesPerBatch, one batch per turn of
// the event loop: give the loop enough turns to hand over everything queued so far.
void HandleQueuedLines() {
    for (int turn = 0; turn < 200; ++turn) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
    }
}

using Lines = std::vector<std::string>;

// Calls every wrapper once, with arguments telling the calls apart; returns the results.
std::vector<int> CallEveryWrapper(RelvoMailWindow* window) {
    return {engine::SmtpServiceStart(25),
            engine::SmtpServiceStop(),
            engine::SmtpServiceSetWnd(window, RELVOMAIL_PROGRESS_MESSAGE),
            engine::SendServiceStart(4),
            engine::SendServiceStop(),
            engine::SendServiceSetWnd(window, 7),
            engine::CreateMail("r"),
            engine::SetFrom(7, "a@b.c", ""),
            engine::AddRecipients(7, "x@y.z;u@v.w", 3),
            engine::SetSubject(7, "Hello"),
            engine::SetMailBody(7, "line 1\r\nline \"2\""),
            engine::AttachFile(7, "/tmp/a b.txt"),
            engine::SaveMailAs(7, "/tmp/out.eml"),
            engine::SendMailNow("/tmp/out.txt", "x@y.z"),
            engine::SetWnd(nullptr, 9)};
}

const Lines kEveryCall = {
    "RelvoMail_SmtpServiceStart(25)",
    "RelvoMail_SmtpServiceStop()",
    "RelvoMail_SmtpServiceSetWnd(window,32768)",
    "RelvoMail_SendServiceStart(4)",
    "RelvoMail_SendServiceStop()",
    "RelvoMail_SendServiceSetWnd(window,7)",
    "RelvoMail_CreateMail(\"r\")",
    "RelvoMail_SetFrom(7,\"a@b.c\",\"\")",
    "RelvoMail_AddRecipients(7,\"x@y.z;u@v.w\",3)",
    "RelvoMail_SetSubject(7,\"Hello\")",
    "RelvoMail_SetMailBody(7,\"line 1\\x0d\\x0aline \\\"2\\\"\")",
    "RelvoMail_AttachFile(7,\"/tmp/a b.txt\")",
    "RelvoMail_SaveMailAs(7,\"/tmp/out.eml\")",
    "RelvoMail_SendMailNow(\"/tmp/out.txt\",\"x@y.z\")",
    "RelvoMail_SetWnd(NULL,9)",
};

const char* const kEntryPoints[] = {"SmtpServiceStart", "SmtpServiceStop", "SmtpServiceSetWnd",
                                    "SendServiceStart", "SendServiceStop", "SendServiceSetWnd",
                                    "CreateMail",       "SetFrom",         "AddRecipients",
                                    "SetSubject",       "SetMailBody",     "AttachFile",
                                    "SaveMailAs",       "SendMailNow",     "SetWnd"};

// Receives lines on the UI thread and keeps them.
struct LineSink {
    std::unique_ptr<QObject> receiver = std::make_unique<QObject>();
    Lines lines;
    RelvoMailWindow* window = CreateEngineWindow(receiver.get(), [this](const QByteArray& line) {
        receiver->setObjectName(QString::fromUtf8(line));  // touches the receiver on purpose
        lines.push_back(line.toStdString());
    });
};

Lines Numbered(const std::string& prefix, int count) {
    Lines lines;
    for (int index = 0; index < count; ++index) {
        lines.push_back(prefix + std::to_string(index));
    }
    return lines;
}

}  // namespace

// --- Needs a process where the library was never loaded -----------------------------------------

TEST(EngineLibraryMissing, EveryWrapperReturnsZero) {
    if (engine::IsLoaded()) {
        GTEST_SKIP() << "the library is already loaded in this process; run under ctest";
    }
    TempAppDir dir;
    RelvoMailWindow window{nullptr};

    EXPECT_EQ(engine::LibraryPath(), dir.Path() + "/librelvomailservice.so");
    EXPECT_EQ(CallEveryWrapper(&window), std::vector<int>(15, 0));
    EXPECT_FALSE(engine::IsLoaded());
}

TEST(EngineLibraryMissing, LibraryPlacedLaterIsLoadedOnTheNextCall) {
    if (engine::IsLoaded()) {
        GTEST_SKIP() << "the library is already loaded in this process; run under ctest";
    }
    TempAppDir dir;
    ASSERT_EQ(engine::SmtpServiceStart(25), 0);
    ASSERT_EQ(engine::SendServiceStart(2), 0);

    FakeEngine fake(dir.Path());
    EXPECT_EQ(engine::SmtpServiceStart(25), 1);
    EXPECT_TRUE(engine::IsLoaded());
    EXPECT_EQ(fake.Calls(), Lines{"RelvoMail_SmtpServiceStart(25)"});
    // The binding and the test's controls share one loaded instance.
    void* loaded = dlopen(engine::LibraryPath().c_str(), RTLD_NOW | RTLD_NOLOAD);
    EXPECT_EQ(loaded, fake.Handle());
    if (loaded != nullptr) {
        dlclose(loaded);  // only drops the reference NOLOAD added
    }
}

// --- Needs a process where these entry points were never looked up -------------------------------

TEST(EngineEntryPoints, MissingEntryPointReturnsZeroAndIsFoundOnceItExists) {
    TempAppDir dir;
    FakeEngine fake(dir.Path());
    fake.SetMissing("SetSubject");
    fake.SetMissing("RelvoMail_SetWnd");

    EXPECT_EQ(engine::SetSubject(1, "lost"), 0);
    EXPECT_EQ(engine::SetWnd(nullptr, 1), 0);
    EXPECT_EQ(engine::SetMailBody(1, "body"), 1) << "other entry points still work";
    EXPECT_EQ(fake.Calls(), Lines{"RelvoMail_SetMailBody(1,\"body\")"});

    fake.SetMissing("SetSubject", false);
    EXPECT_EQ(engine::SetSubject(1, "found"), 1);
    EXPECT_EQ(engine::SetWnd(nullptr, 1), 0) << "still missing";
    EXPECT_EQ(fake.Calls(),
              (Lines{"RelvoMail_SetMailBody(1,\"body\")", "RelvoMail_SetSubject(1,\"found\")"}));

    // Once found, an entry point is kept: no lookup at every call.
    fake.SetMissing("SetSubject");
    EXPECT_EQ(engine::SetSubject(1, "kept"), 1);
    EXPECT_EQ(fake.Calls().back(), "RelvoMail_SetSubject(1,\"kept\")");
}

// --- Any process ---------------------------------------------------------------------------------

TEST(EngineCalls, EveryWrapperPassesItsArgumentsInOrder) {
    TempAppDir dir;
    FakeEngine fake(dir.Path());
    RelvoMailWindow window{nullptr};

    CallEveryWrapper(&window);

    EXPECT_EQ(fake.Calls(), kEveryCall);
}

TEST(EngineCalls, TextsArriveAsUtf8) {
    TempAppDir dir;
    FakeEngine fake(dir.Path());

    engine::SetSubject(3, "Grüße – 日本語 ✓");
    engine::AddRecipients(3, "jörg@exämple.de", 0);

    EXPECT_EQ(fake.Calls(), (Lines{"RelvoMail_SetSubject(3,\"Grüße – 日本語 ✓\")",
                                   "RelvoMail_AddRecipients(3,\"jörg@exämple.de\",0)"}));
}

TEST(EngineCalls, TextsEndWhereTheirViewEnds) {
    TempAppDir dir;
    FakeEngine fake(dir.Path());
    std::string_view both = "first@a.b;second@c.d";

    engine::SetFrom(1, both.substr(0, 9), both.substr(10, 0));
    engine::SendMailNow(both.substr(0, 5), both.substr(10));

    EXPECT_EQ(fake.Calls(), (Lines{"RelvoMail_SetFrom(1,\"first@a.b\",\"\")",
                                   "RelvoMail_SendMailNow(\"first\",\"second@c.d\")"}));
}

TEST(EngineCalls, TextWithANulInsideIsRefusedWithoutACall) {
    TempAppDir dir;
    FakeEngine fake(dir.Path());
    using namespace std::string_view_literals;

    EXPECT_EQ(engine::SaveMailAs(1, "/tmp/mail\0.eml"sv), 0);
    EXPECT_EQ(engine::SetFrom(1, "a@b.c", "x\0y"sv), 0);
    EXPECT_EQ(engine::SendMailNow("/tmp/a.txt"sv, "x@y.z\0"sv), 0);

    EXPECT_TRUE(fake.Calls().empty());
}

TEST(EngineCalls, ConfiguredResultsComeThrough) {
    TempAppDir dir;
    FakeEngine fake(dir.Path());
    std::vector<int> expected;
    for (int index = 0; index < 15; ++index) {
        int value = index % 2 == 0 ? 100 + index : -index;
        fake.SetResult(kEntryPoints[index], value);
        expected.push_back(value);
    }
    RelvoMailWindow window{nullptr};

    EXPECT_EQ(CallEveryWrapper(&window), expected);
}

TEST(EngineCalls, DefaultResultsNumberNewMails) {
    TempAppDir dir;
    FakeEngine fake(dir.Path());

    EXPECT_EQ(engine::CreateMail(""), 1);
    EXPECT_EQ(engine::CreateMail(""), 2);
    EXPECT_EQ(engine::SetSubject(2, "s"), 1);
    EXPECT_EQ(engine::CreateMail(""), 3);
}

TEST(EngineCalls, CallsAreAlsoAppendedToTheLogFileOfTheEnvironment) {
    TempAppDir dir;
    FakeEngine fake(dir.Path());
    std::string log = dir.File("calls.log");
    setenv("RELVO_FAKE_ENGINE_LOG", log.c_str(), 1);

    engine::SmtpServiceStart(2525);
    engine::SetSubject(1, "two\nlines");
    unsetenv("RELVO_FAKE_ENGINE_LOG");
    engine::SmtpServiceStop();

    EXPECT_EQ(dir.Read("calls.log"),
              "RelvoMail_SmtpServiceStart(2525)\nRelvoMail_SetSubject(1,\"two\\x0alines\")\n");
    EXPECT_EQ(fake.Calls().size(), 3u);
}

TEST(EngineProgressLines, TenThousandLinesFromAnEngineThreadArriveCompleteAndInOrder) {
    TempAppDir dir;
    FakeEngine fake(dir.Path());
    LineSink sink;
    ASSERT_EQ(engine::SmtpServiceSetWnd(sink.window, RELVOMAIL_PROGRESS_MESSAGE), 1);

    ASSERT_TRUE(fake.SendLines("smtp", 10000, "session 42: line "));
    EXPECT_TRUE(QTest::qWaitFor([&] { return sink.lines.size() >= 10000; }, 30000));
    fake.JoinThreads();
    HandleQueuedLines();

    EXPECT_EQ(sink.lines, Numbered("session 42: line ", 10000));
}

TEST(EngineProgressLines, EachServiceWindowGetsOnlyItsOwnLines) {
    TempAppDir dir;
    FakeEngine fake(dir.Path());
    LineSink smtp;
    LineSink send;
    LineSink mail;
    engine::SmtpServiceSetWnd(smtp.window, RELVOMAIL_PROGRESS_MESSAGE);
    engine::SendServiceSetWnd(send.window, RELVOMAIL_PROGRESS_MESSAGE);
    engine::SetWnd(mail.window, RELVOMAIL_PROGRESS_MESSAGE);

    ASSERT_TRUE(fake.SendLines("smtp", 500, "in "));
    ASSERT_TRUE(fake.SendLines("send", 500, "out "));
    ASSERT_TRUE(fake.SendText("mail", "Diagnose: 250 ok ✓"));
    fake.JoinThreads();
    HandleQueuedLines();

    EXPECT_EQ(smtp.lines, Numbered("in ", 500));
    EXPECT_EQ(send.lines, Numbered("out ", 500));
    EXPECT_EQ(mail.lines, Lines{"Diagnose: 250 ok ✓"});
}

TEST(EngineProgressLines, LinesInFlightWhenTheReceiverIsDestroyedAreDropped) {
    TempAppDir dir;
    FakeEngine fake(dir.Path());
    LineSink sink;
    engine::SmtpServiceSetWnd(sink.window, RELVOMAIL_PROGRESS_MESSAGE);

    ASSERT_TRUE(fake.SendLines("smtp", 5000, "line ", std::chrono::microseconds(20)));
    ASSERT_TRUE(QTest::qWaitFor([&] { return sink.lines.size() >= 10; }, 30000));
    sink.receiver.reset();  // the dialog closes while the engine keeps talking
    size_t handled = sink.lines.size();
    fake.JoinThreads();
    HandleQueuedLines();

    EXPECT_EQ(sink.lines.size(), handled);
    EXPECT_EQ(sink.lines, Numbered("line ", static_cast<int>(handled)));
}

TEST(EngineProgressLines, LinesSentAfterTheReceiverIsDestroyedAreDropped) {
    TempAppDir dir;
    FakeEngine fake(dir.Path());
    LineSink sink;
    engine::SendServiceSetWnd(sink.window, RELVOMAIL_PROGRESS_MESSAGE);
    sink.receiver.reset();

    ASSERT_TRUE(fake.SendLines("send", 1000, "late "));
    fake.JoinThreads();
    HandleQueuedLines();

    EXPECT_TRUE(sink.lines.empty());
}
