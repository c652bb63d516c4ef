// The activity pane's text rules and the pane widget that applies them.
#include <gtest/gtest.h>

#include <QTest>
#include <random>

#include "app/activity_pane.h"
#include "app/pane_text.h"
#include "common/clock.h"
#include "support/local_time.h"
#include "support/qt_print.h"

namespace {

const QString kToday = QStringLiteral("2026-12-07 ");

QString Lines(int count, int width) {
    QString text;
    for (int i = 0; i < count; ++i) {
        text += QString(width - 2, QLatin1Char('a' + i % 26)) + QStringLiteral("\r\n");
    }
    return text;
}

}  // namespace

TEST(PaneText, ConsoleLineShowsOnlyTheTimeOnTheSameDay) {
    EXPECT_EQ(pane::ConsoleLine("SMTP service stopped", "2026-12-07 14:02:51", kToday),
              "[14:02:51] SMTP service stopped\r\n");
    // The clock crossed midnight between the stamp and the date reading: the date stays.
    EXPECT_EQ(pane::ConsoleLine("x", "2026-12-06 23:59:59", kToday), "[2026-12-06 23:59:59] x\r\n");
}

TEST(PaneText, EngineLineLosesTodaysDateOnlyAndShortensMarkers) {
    EXPECT_EQ(pane::EngineLine("2026-12-07 10:00:00 Client/1 said hello", kToday),
              "10:00:00 C/1 said hello\r\n");
    EXPECT_EQ(pane::EngineLine("2026-12-06 10:00:00 Server/2 answered", kToday),
              "2026-12-06 10:00:00 S/2 answered\r\n");
    EXPECT_EQ(pane::EngineLine("", kToday), "\r\n");
}

TEST(PaneText, CollapsesRunsOfLineBreaks) {
    EXPECT_EQ(pane::EngineLine("a\r\n", kToday), "a\r\n");
    EXPECT_EQ(pane::CollapseLineBreaks("a\r\n\r\n\r\nb"), "a\r\nb");
    EXPECT_EQ(pane::CollapseLineBreaks("a\r\n\r\n\r\n\r\nb"), "a\r\nb");
    EXPECT_EQ(pane::CollapseLineBreaks("a\r\n\r\n\r\n\r\n\r\nb"), "a\r\n\r\nb");
}

TEST(PaneText, TrimCutsHalfThenUpToTheNextLineStart) {
    QString exact(pane::kTrimThreshold, QLatin1Char('x'));
    EXPECT_EQ(pane::TrimmedPaneText(exact), exact);

    QString big = Lines(250, 80);  // 20000 characters
    ASSERT_EQ(big.size(), 20000);
    QString trimmed = pane::TrimmedPaneText(big);
    EXPECT_LE(trimmed.size(), 20000 - pane::kTrimAmount);
    EXPECT_GT(trimmed.size(), 20000 - pane::kTrimAmount - 80);
    EXPECT_TRUE(big.endsWith(trimmed));
    // The kept text starts at the beginning of one of the original lines.
    EXPECT_EQ((big.size() - trimmed.size()) % 80, 0);

    QString oneLine(20000, QLatin1Char('y'));
    EXPECT_EQ(pane::TrimmedPaneText(oneLine).size(), 20000 - pane::kTrimAmount);
}

TEST(PaneText, AnEngineLineThatRepeatsAServiceLineOfAMomentAgoIsLeftOut) {
    struct Step {
        bool console;
        const char* text;
        qint64 atMs;
        bool shown;  // for engine lines
    };
    const Step steps[] = {
        {true, "SEND service stopped", 0, true},
        {false, "19:24:10 SEND service stopped\r\n", 10, false},
        // the same failure for each port of one start
        {false, "19:24:11 The SMTP service of /d runs in process 7\r\n", 20, true},
        {false, "19:24:11 The SMTP service of /d runs in process 7\r\n", 30, false},
        // a client may say the same twice; an empty line stays a line
        {false, "19:24:11 C/1.2.3.4:5 NOOP\r\n", 40, true},
        {false, "19:24:11 C/1.2.3.4:5 NOOP\r\n", 50, true},
        {false, "\r\n", 60, true},
        {false, "\r\n", 70, true},
        // later, the same words are news again
        {false, "19:24:20 SEND service stopped\r\n", 10 + pane::RepeatFilter::kWindowMs + 1, true},
    };
    pane::RepeatFilter filter;
    for (const Step& step : steps) {
        if (step.console) {
            filter.NoteConsoleLine(QString::fromUtf8(step.text), step.atMs);
        } else {
            EXPECT_EQ(filter.ShouldShowEngineLine(QString::fromUtf8(step.text), step.atMs),
                      step.shown)
                << step.text << " at " << step.atMs;
        }
    }
}

class ActivityPaneTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SetClockForTesting([] { return LocalTime(2026, 12, 7, 14, 2, 51); });
    }
    void TearDown() override { SetClockForTesting({}); }
    ActivityPane pane;
};

TEST_F(ActivityPaneTest, AppendsStampedConsoleLinesAndEngineLinesInOrder) {
    pane.AppendLogLine("SMTP service [Port:25] started successfully");
    pane.AppendEngineLine("2026-12-07 14:02:52 Client/7 connected");
    EXPECT_EQ(
        pane.PaneText(),
        "[14:02:51] SMTP service [Port:25] started successfully\r\n14:02:52 C/7 connected\r\n");
    EXPECT_EQ(pane.CharacterCount(), pane.PaneText().size());
}

TEST_F(ActivityPaneTest, ConsoleLinesNeverTrimButEngineLinesDo) {
    for (int i = 0; i < 400; ++i) {
        pane.AppendLogLine(QString(60, QLatin1Char('c')));
    }
    int before = pane.CharacterCount();
    EXPECT_GT(before, 20000);
    pane.AppendEngineLine("engine");
    EXPECT_LE(pane.CharacterCount(), before - pane::kTrimAmount + 8);
    EXPECT_TRUE(pane.PaneText().startsWith(QLatin1String("[14:02:51] ")));
    EXPECT_TRUE(pane.PaneText().endsWith(QLatin1String("engine\r\n")));
}

TEST_F(ActivityPaneTest, TypedTextStaysAndNewLinesGoAtTheEnd) {
    pane.AppendLogLine("first");
    QTest::keyClicks(&pane, "typed");
    pane.moveCursor(QTextCursor::Start);
    pane.AppendEngineLine("second");
    QString text = pane.PaneText();
    EXPECT_TRUE(text.contains(QLatin1String("typed")));
    EXPECT_TRUE(text.endsWith(QLatin1String("second\r\n"))) << text.toStdString();
}

TEST_F(ActivityPaneTest, ABatchOfEngineLinesEndsAsTheLinesOneByOneWould) {
    ActivityPane single;
    std::mt19937 random(20261207);
    auto randomLine = [&] {
        QByteArray line(static_cast<int>(random() % 400), 'a' + static_cast<char>(random() % 26));
        switch (random() % 8) {
            case 0:
                line.insert(line.size() / 2, "\r\n");
                break;
            case 1:
                line += "\r\n\r\n\r\n";
                break;
            case 2:
                line.prepend("2026-12-07 Client/");
                break;
            default:
                break;
        }
        return line;
    };
    pane.AppendLogLine("start");
    single.AppendLogLine("start");
    for (int round = 0; round < 60; ++round) {
        QList<QByteArray> batch;
        for (int i = static_cast<int>(random() % 120); i >= 0; --i) {
            batch.push_back(randomLine());
        }
        pane.AppendEngineLines(batch);
        for (const QByteArray& line : batch) {
            single.AppendEngineLine(line);
        }
        ASSERT_EQ(pane.PaneText(), single.PaneText()) << "round " << round;
        ASSERT_EQ(pane.CharacterCount(), pane.PaneText().size());
        ASSERT_LE(pane.CharacterCount(), pane::kTrimThreshold + 420 * 2);
    }
}
