// The queue view against the real engine library: the SEND service delivers to an aiosmtpd mail
// exchanger that dnsmasq names on a loopback address, the receiving service takes mail from
// Python's smtplib, and the dialog shows, retries and deletes what they leave in queue/ and old/.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QProcess>
#include <QPushButton>
#include <QSet>
#include <QSignalSpy>
#include <QTest>
#include <algorithm>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "common/mail_queue.h"
#include "controls/sort_list_ctrl.h"
#include "engine/engine_binding.h"
#include "mailtools/dlg_queue.h"
#include "mailtools/engine_peers.h"
#include "support/qt_print.h"
#include "support/queue_entries.h"
#include "support/temp_app_dir.h"

namespace {

namespace fs = std::filesystem;
using relvo::mail::send::testing::FreePort;
using relvo::mail::send::testing::ReadReceived;

QString Cell(const CDlgQueue& dialog, quint32 id, QueueColumn column) {
    const int row = dialog.RowOf(id);
    return row < 0 ? QString() : dialog.List()->CellText(row, column);
}

// Every row's id, in list order.
QList<quint32> ShownIds(const CDlgQueue& dialog) {
    QList<quint32> ids;
    for (int row = 0; row < dialog.List()->RowCount(); ++row) {
        ids.append(dialog.List()->CellText(row, kIdColumn).toUInt());
    }
    return ids;
}

// Sends mails through smtplib: `first` on one connection, then, once the go file exists, the rest
// over `connections` connections at once. Each sender is unique (app<n>@origin.test).
const char kSendMails[] = R"(import os, smtplib, sys, threading, time
host, port, first, total, connections, go = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5]), sys.argv[6]
def send(numbers):
    with smtplib.SMTP(host, port, timeout=60) as s:
        s.ehlo('client.test')
        for n in numbers:
            body = 'Subject: arrival %d\r\n\r\nmail number %d\r\n' % (n, n)
            s.sendmail('app%d@origin.test' % n, ['ops@local.test'], body)
send(range(first))
print('first', flush=True)
deadline = time.time() + 30
while not os.path.exists(go) and time.time() < deadline:
    time.sleep(0.02)
threads = [threading.Thread(target=send, args=(range(first + k, total, connections),)) for k in range(connections)]
for t in threads: t.start()
for t in threads: t.join()
print('sent', flush=True)
)";

class QueueEngineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directory(dir_.File("queue"));
        // A retry interval of an hour: a delivery within the test is the operator's retry.
        dir_.Write("relvoconsole.cfg", engine_.SystemSection() +
                                           "LogSmtp=0\r\n"
                                           "SendRetrySeconds=3600\r\nRetriesAfterFailed=5\r\n"
                                           "SmtpListenAddress=127.0.0.1\r\nSmtpAuthFlag=1\r\n"
                                           // 250 mails on each of 4 connections
                                           "SmtpMaxMessagesPerSession=1000\r\n"
                                           "[AccountList]\r\nops@local.test=1\r\n"
                                           "[AccountInfo]\r\nops@local.test_Enabled=1\r\n"
                                           "[DomainList]\r\nlocal.test=1\r\n");
    }
    void TearDown() override {
        engine::SendServiceStop();
        engine::SmtpServiceStop();
    }

    void StartExchanger(const std::vector<std::string>& options) {
        ASSERT_TRUE(engine_.Start(options));
    }

    // A mail for the exchanger, as the receiving service leaves it.
    void Enqueue(uint32_t id) {
        queue_entries::Entry entry = queue_entries::Mail(id, "bob@e2e.test");
        entry.from = "ann@origin.test";
        entry.body = "Subject: mail " + std::to_string(id) + "\r\n\r\nHello Bob\r\n";
        ASSERT_TRUE(queue_entries::Write(dir_.File("queue"), entry));
    }

    // The dialog has read its directory and nothing is due.
    static bool Settled(const CDlgQueue& dialog) { return !dialog.Scanning(); }

    std::string Queued(uint32_t id, const char* ext) const {
        return dir_.File("queue/" + std::to_string(id) + ext);
    }
    std::string Finished(uint32_t id, const char* ext) const {
        return dir_.File("old/" + std::to_string(id) + ext);
    }

    TempAppDir dir_;
    EnginePeers engine_{dir_};
};

// A mail deferred by the exchanger waits with its answer and a later next try; once the exchanger
// accepts, the operator's retry delivers it at once, though the next try is an hour away.
TEST_F(QueueEngineTest, RetryNowDeliversAWaitingMailAtOnce) {
    const std::string defer = dir_.File("defer");
    dir_.Write("defer", "");
    ASSERT_NO_FATAL_FAILURE(StartExchanger({"--defer-while-exists", defer}));
    const quint32 id = 41;
    ASSERT_NO_FATAL_FAILURE(Enqueue(id));

    CDlgQueue dialog;
    dialog.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return dialog.RowOf(id) >= 0; }, 5000));
    ASSERT_NE(engine::SendServiceStart(2), 0);

    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return Cell(dialog, id, kTriesColumn) == QStringLiteral("1"); }, 10000))
        << ShownIds(dialog).size();
    EXPECT_TRUE(
        Cell(dialog, id, kAnswerColumn).startsWith(QStringLiteral("451 4.2.0 mailbox busy")))
        << Cell(dialog, id, kAnswerColumn).toStdString();
    EXPECT_TRUE(Cell(dialog, id, kRecipientsColumn).contains(QStringLiteral("(waiting)")))
        << Cell(dialog, id, kRecipientsColumn).toStdString();
    const QDateTime nextTry = QDateTime::fromString(Cell(dialog, id, kNextTryColumn),
                                                    QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    ASSERT_TRUE(nextTry.isValid()) << Cell(dialog, id, kNextTryColumn).toStdString();
    EXPECT_GT(QDateTime::currentDateTime().secsTo(nextTry), 3000);
    EXPECT_TRUE(ReadReceived(dir_.File("peer")).empty());

    fs::remove(defer);
    dialog.SelectIds({id});
    auto* retry = dialog.findChild<QPushButton*>(QStringLiteral("RetryButton"));
    ASSERT_NE(retry, nullptr);
    ASSERT_TRUE(retry->isEnabled());
    QElapsedTimer sinceRetry;
    sinceRetry.start();
    retry->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return dialog.PendingChanges() == 0; }, 5000));
    EXPECT_EQ(dialog.ActionText(), QStringLiteral("1 mail to be sent now."));

    ASSERT_TRUE(QTest::qWaitFor([&] { return dialog.RowOf(id) < 0 && Settled(dialog); }, 8000))
        << Cell(dialog, id, kAnswerColumn).toStdString();
    EXPECT_LT(sinceRetry.elapsed(), 8000);
    // The status line follows the mail: it is no longer "to be sent now".
    EXPECT_EQ(dialog.ActionText(), QStringLiteral("1 mail left the queue since."));
    const auto received = ReadReceived(dir_.File("peer"));
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].to, std::vector<std::string>{"bob@e2e.test"});
    EXPECT_NE(received[0].message.find("Subject: mail 41"), std::string::npos);
    EXPECT_FALSE(fs::exists(Queued(id, ".cfg")));
    EXPECT_EQ(dialog.EntryCount(), 0);
    EXPECT_EQ(dialog.CountText(), QStringLiteral("0 mails waiting"));

    dialog.ShowFinished(true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return dialog.RowOf(id) >= 0 && Settled(dialog); }, 5000));
    EXPECT_EQ(Cell(dialog, id, kNextTryColumn), QStringLiteral("delivered"));
    EXPECT_EQ(Cell(dialog, id, kTriesColumn), QStringLiteral("2"));
    EXPECT_TRUE(Cell(dialog, id, kAnswerColumn).startsWith(QStringLiteral("250 2.0.0 OK queued")))
        << Cell(dialog, id, kAnswerColumn).toStdString();
    EXPECT_TRUE(Cell(dialog, id, kRecipientsColumn).contains(QStringLiteral("bob@e2e.test (sent)")))
        << Cell(dialog, id, kRecipientsColumn).toStdString();
    EXPECT_EQ(ReadReceived(dir_.File("peer")).size(), 1u);
}

// The operator deletes a mail while the exchanger holds its answer to DATA, and before the SEND
// service ever looked at it. Either way the mail ends one way only: delivered once (the delete
// finds it gone) or deleted (the exchanger never got it); never in queue/ and old/ at once.
TEST_F(QueueEngineTest, DeleteEndsAMailOneWayOnly) {
    struct Case {
        const char* name;
        bool whileDelivering;  // else before the SEND service starts
        bool delivered;
        QString action;
    };
    const Case cases[] = {
        {"while the exchanger holds its answer", true, true,
         QStringLiteral("1 mail had already left the queue.")},
        {"before any try", false, false, QStringLiteral("1 mail deleted.")},
    };
    constexpr int kHoldMs = 3000;
    ASSERT_NO_FATAL_FAILURE(StartExchanger({"--data-delay", std::to_string(kHoldMs / 1000)}));
    CDlgQueue dialog;
    int asked = 0;
    dialog.SetQuestion([&](QWidget*, const QString&) {
        ++asked;
        return true;
    });
    dialog.show();
    quint32 id = 50;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ++id;
        if (!c.whileDelivering) {
            engine::SendServiceStop();
        }
        ASSERT_NO_FATAL_FAILURE(Enqueue(id));
        ASSERT_TRUE(QTest::qWaitFor([&] { return dialog.RowOf(id) >= 0; }, 5000))
            << dialog.CountText().toStdString() << " " << dialog.ShowsFinished() << " "
            << dialog.Scanning() << " " << fs::exists(Queued(id, ".cfg"));
        if (c.whileDelivering) {
            // The first case to run: the exchanger has not held an answer before.
            ASSERT_NE(engine::SendServiceStart(2), 0);
            ASSERT_TRUE(QTest::qWaitFor(
                [&] { return engine_.Peer().Ready("holding DATA", std::chrono::milliseconds(10)); },
                10000))
                << engine_.Peer().Output();
        }
        QElapsedTimer sinceHold;
        sinceHold.start();
        const int peerHad = static_cast<int>(ReadReceived(dir_.File("peer")).size());
        QSignalSpy finished(&dialog, &CDlgQueue::ChangesFinished);
        dialog.SelectIds({id});
        asked = 0;
        dialog.DeleteSelected();
        EXPECT_EQ(asked, 1);
        bool inBoth = false;
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                // old/ first: a companion is moved by one rename, so seeing it in old/ and
                // then in queue/ means two copies.
                inBoth =
                    inBoth || (fs::exists(Finished(id, ".cfg")) && fs::exists(Queued(id, ".cfg")));
                return !finished.isEmpty();
            },
            15000));
        EXPECT_FALSE(inBoth);
        if (c.whileDelivering) {
            // Whatever the delete did, the exchanger's answer is out before the outcome is read.
            QTest::qWait(
                static_cast<int>(std::max<qint64>(0, kHoldMs + 500 - sinceHold.elapsed())));
        } else {
            // A SEND service starting now finds nothing to send.
            ASSERT_NE(engine::SendServiceStart(2), 0);
            QTest::qWait(2500);
        }

        EXPECT_EQ(dialog.ActionText(), c.action);
        EXPECT_FALSE(fs::exists(Queued(id, ".cfg")));
        EXPECT_FALSE(fs::exists(Queued(id, ".eml")));
        ASSERT_TRUE(fs::exists(Finished(id, ".cfg")));
        EXPECT_TRUE(fs::exists(Finished(id, ".eml")));
        const std::string companion = relvo::mail::send::testing::ReadFile(Finished(id, ".cfg"));
        const bool saysDelivered = companion.find("RcptStatus0=delivered") != std::string::npos;
        const bool saysDeleted =
            companion.find("RcptStatus0=deleted by the operator") != std::string::npos;
        const int peerGot = static_cast<int>(ReadReceived(dir_.File("peer")).size()) - peerHad;
        EXPECT_EQ(saysDelivered, c.delivered) << companion;
        EXPECT_NE(saysDelivered, saysDeleted) << companion;
        EXPECT_EQ(peerGot, saysDelivered ? 1 : 0);

        ASSERT_TRUE(QTest::qWaitFor([&] { return dialog.RowOf(id) < 0 && Settled(dialog); }, 5000));
        dialog.ShowFinished(true);
        ASSERT_TRUE(
            QTest::qWaitFor([&] { return dialog.RowOf(id) >= 0 && Settled(dialog); }, 5000));
        EXPECT_EQ(Cell(dialog, id, kNextTryColumn),
                  c.delivered ? QStringLiteral("delivered")
                              : QString::fromLatin1(mailqueue::kDeletedByOperator));
        dialog.ShowFinished(false);
        ASSERT_FALSE(dialog.ShowsFinished());
    }
}

// 1,000 mails come in through the receiving service while the list is open (the SEND service
// stopped, so they stay): every one shows once, the list matches queue/, and the rows the
// operator selected before the rush stay selected.
TEST_F(QueueEngineTest, ListFollowsAThousandArrivals) {
    constexpr int kTotal = 1000;
    constexpr int kFirst = 10;
    engine::SendServiceStop();
    const int port = FreePort();
    ASSERT_NE(engine::SmtpServiceStart(port), 0);

    CDlgQueue dialog;
    dialog.show();
    QProcess client;
    client.setProcessChannelMode(QProcess::MergedChannels);
    const QString go = QString::fromStdString(dir_.File("go"));
    client.start(QStringLiteral("/usr/bin/python3"),
                 {QStringLiteral("-c"), QString::fromLatin1(kSendMails),
                  QStringLiteral("127.0.0.1"), QString::number(port), QString::number(kFirst),
                  QString::number(kTotal), QStringLiteral("4"), go});
    QByteArray output;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            output += client.readAll();
            return output.contains("first") || client.state() == QProcess::NotRunning;
        },
        15000));
    ASSERT_TRUE(output.contains("first")) << output.toStdString();
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return dialog.EntryCount() == kFirst && Settled(dialog); }, 5000));

    const QList<quint32> first = ShownIds(dialog);
    const QList<quint32> chosen = {first[1], first[4], first[8]};
    dialog.SelectIds(chosen);
    ASSERT_EQ(dialog.SelectedIds(), chosen);

    QElapsedTimer arrivals;
    arrivals.start();
    dir_.Write("go", "");
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            output += client.readAll();
            return client.state() == QProcess::NotRunning;
        },
        25000))
        << output.toStdString();
    ASSERT_EQ(client.exitCode(), 0) << output.toStdString();
    ASSERT_TRUE(output.contains("sent")) << output.toStdString();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return dialog.EntryCount() == kTotal && dialog.List()->RowCount() == kTotal &&
                   Settled(dialog);
        },
        10000))
        << dialog.EntryCount() << " " << dialog.List()->RowCount();
    std::cout << "1000 arrivals shown after " << arrivals.elapsed() << " ms\n";

    const QList<quint32> shown = ShownIds(dialog);
    const QSet<quint32> shownSet(shown.begin(), shown.end());
    EXPECT_EQ(shownSet.size(), kTotal);
    const std::vector<uint32_t> files = mailqueue::ListEntryIds(dir_.File("queue"));
    EXPECT_EQ(shownSet, QSet<quint32>(files.begin(), files.end()));
    QSet<QString> senders;
    for (int row = 0; row < dialog.List()->RowCount(); ++row) {
        senders.insert(dialog.List()->CellText(row, kSenderColumn));
    }
    EXPECT_EQ(senders.size(), kTotal);
    EXPECT_TRUE(senders.contains(QStringLiteral("app999@origin.test")));
    EXPECT_EQ(dialog.CountText(), QStringLiteral("1000 mails waiting"));

    QList<quint32> selected = dialog.SelectedIds();
    std::sort(selected.begin(), selected.end());
    EXPECT_EQ(selected, chosen);
}

}  // namespace
