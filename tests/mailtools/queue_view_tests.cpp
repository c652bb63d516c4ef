// The queue view without the engine: what a companion shows as, the rescans that report only what
// changed, and the dialog following a directory while an operator retries, deletes, diagnoses and
// opens mails (real files in a temporary application directory).
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QPlainTextEdit>
#include <QSignalSpy>
#include <QTest>
#include <filesystem>
#include <functional>

#include "common/mail_queue.h"
#include "controls/sort_list_ctrl.h"
#include "mailtools/dlg_queue.h"
#include "mailtools/queue_counter.h"
#include "mailtools/queue_text.h"
#pragma push_macro("slots")
#undef slots
#include "common/profile_file.h"
#pragma pop_macro("slots")
#include "common/profile_store.h"
#include "support/qt_print.h"
#include "support/queue_entries.h"
#include "support/temp_app_dir.h"

namespace {

namespace fs = std::filesystem;
using mailqueue::ReadQueueEntry;
using queue_entries::Entry;
using queue_entries::Mail;

class QueueViewTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // Companions rewritten by hand (as the receiving service writes them) are seen at once.
        interval_ = profile::SetRecheckIntervalForTesting(std::chrono::nanoseconds(0));
        fs::create_directory(queue_);
        fs::create_directory(old_);
    }
    void TearDown() override { profile::SetRecheckIntervalForTesting(interval_); }

    void Add(Entry entry, const std::string& dir = {}) {
        ASSERT_TRUE(queue_entries::Write(dir.empty() ? queue_ : dir, entry));
    }
    QStringList Ids(const CDlgQueue& dialog) const {
        QStringList ids;
        for (int row = 0; row < dialog.List()->RowCount(); ++row) {
            ids << dialog.List()->CellText(row, kIdColumn);
        }
        return ids;
    }
    // Waits for a scan that starts after now and has been applied.
    static bool Rescanned(CDlgQueue& dialog) {
        QSignalSpy applied(&dialog, &CDlgQueue::ScanApplied);
        return QTest::qWaitFor([&] { return applied.count() > 0 && !dialog.Scanning(); });
    }

    TempAppDir dir_;
    const std::string queue_ = dir_.File("queue");
    const std::string old_ = dir_.File("old");
    std::chrono::nanoseconds interval_{};
};

TEST_F(QueueViewTest, CompanionsShowAsTheOperatorReadsThem) {
    const std::int64_t later = std::time(nullptr) + 3600;
    struct Case {
        const char* name;
        Entry entry;
        bool finished;
        std::vector<QString> cells;  // recipients, next try or outcome, last answer
    };
    Entry greylisted = Mail(1);
    greylisted.states = {"pending 451 4.7.1 greylisted"};
    greylisted.nextTry = later;
    greylisted.tries = 1;
    Entry split = Mail(2);
    split.to = {"a@x.test", "b@y.test"};
    split.states = {"delivered 250 ok", "pending 421 busy"};
    split.lastAnswer = "421 4.3.2 busy";
    Entry returned = Mail(3);
    returned.states = {"failed 550 5.1.1 no such user"};
    Entry deleted = Mail(4);
    deleted.states = {std::string(mailqueue::kDeletedByOperator)};
    deleted.from = "";
    Entry partly = Mail(5);
    partly.to = {"a@x.test", "b@y.test"};
    partly.states = {"delivered 250 ok", "failed 550 refused"};
    const std::vector<Case> cases = {
        {"waiting, reply from its state",
         greylisted,
         false,
         {"ops@far.test (waiting)", QString::fromStdString(NextTryText(later, std::time(nullptr))),
          "451 4.7.1 greylisted"}},
        {"due now, kept answer",
         split,
         false,
         {"a@x.test (sent), b@y.test (waiting)", "now", "421 4.3.2 busy"}},
        {"failed", returned, true, {"ops@far.test (failed)", "failed", "550 5.1.1 no such user"}},
        {"deleted, null sender",
         deleted,
         true,
         {"ops@far.test (deleted)", "deleted by the operator", ""}},
        {"partly failed",
         partly,
         true,
         {"a@x.test (sent), b@y.test (failed)", "partly failed", "550 refused"}},
    };
    for (const Case& c : cases) {
        Add(c.entry);
        const QueueRow row =
            MakeQueueRow(ReadQueueEntry(queue_, c.entry.id), c.finished, std::time(nullptr));
        EXPECT_EQ(row.cells[kRecipientsColumn], c.cells[0]) << c.name;
        EXPECT_EQ(row.cells[kNextTryColumn], c.cells[1]) << c.name;
        EXPECT_EQ(row.cells[kAnswerColumn], c.cells[2]) << c.name;
    }
    EXPECT_EQ(MakeQueueRow(ReadQueueEntry(queue_, 4), true, 0).cells[kSenderColumn], "<>");
    EXPECT_TRUE(RowMatchesFilter(MakeQueueRow(ReadQueueEntry(queue_, 3), true, 0), "NO SUCH"));
    EXPECT_FALSE(RowMatchesFilter(MakeQueueRow(ReadQueueEntry(queue_, 3), true, 0), "2026"));

    // A notice sent, and a hostile companion: absurd counts and overlong texts stay bounded.
    ProfileBatch notice;
    notice.Set("MailInfo", "NoticeId", "77");
    ASSERT_TRUE(notice.Commit(mailqueue::CompanionFile(queue_, 3)));
    EXPECT_EQ(OutcomeText(ReadQueueEntry(queue_, 3)), "failed, returned to the sender");
    queue_entries::WriteFile(mailqueue::CompanionFile(queue_, 9),
                             "[MailInfo]\r\nRcptToNumber=99999999\r\nMailFrom=" +
                                 std::string(5000, 'a') + "\xC3\xA9" + "\r\nNextTry=-5\r\n");
    const mailqueue::QueueEntryView hostile = ReadQueueEntry(queue_, 9);
    EXPECT_EQ(hostile.recipients.size(), static_cast<size_t>(mailqueue::kMaxShownRecipients));
    EXPECT_LE(hostile.sender.size(), 1003u);
    EXPECT_EQ(hostile.sender.substr(hostile.sender.size() - 3), "...");
    EXPECT_EQ(hostile.nextTry, 0);
    EXPECT_EQ(hostile.size, 0u);  // no MailSize and no .eml
}

TEST_F(QueueViewTest, ListFollowsTheDirectoryAndKeepsTheSelection) {
    for (uint32_t id = 1; id <= 5; ++id) {
        Add(Mail(id, id % 2 ? "odd@far.test" : "even@far.test"));
    }
    CDlgQueue dialog(nullptr, QString::fromStdString(queue_), QString::fromStdString(old_));
    dialog.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return dialog.EntryCount() == 5 && !dialog.Scanning(); }));
    EXPECT_EQ(Ids(dialog), QStringList({"1", "2", "3", "4", "5"}));
    EXPECT_EQ(dialog.CountText(), "5 mails waiting");
    dialog.SelectIds({2, 4});

    // Arrivals, a changed state and a delivery while it is open.
    Entry tried = Mail(4, "even@far.test");
    tried.tries = 1;
    tried.lastAnswer = "451 later";
    Add(tried);
    Add(Mail(6));
    ASSERT_TRUE(mailqueue::MoveToOld(queue_, old_, 3));
    ASSERT_TRUE(QTest::qWaitFor([&] {
        return Ids(dialog) == QStringList({"1", "2", "4", "5", "6"}) &&
               dialog.List()->CellText(dialog.RowOf(4), kAnswerColumn) == "451 later";
    }));
    EXPECT_EQ(dialog.SelectedIds(), QList<quint32>({2, 4}));

    dialog.SetFilter("EVEN@");
    EXPECT_EQ(Ids(dialog), QStringList({"2", "4"}));
    EXPECT_EQ(dialog.CountText(), "2 of 5 mails waiting shown");
    EXPECT_EQ(dialog.SelectedIds(), QList<quint32>({2, 4}));
    dialog.SetFilter("");
    dialog.List()->SortByColumn(kIdColumn, false);
    EXPECT_EQ(dialog.RowOf(6), 0);

    // Mails leaving above the rows in view do not scroll them away.
    for (uint32_t id = 10; id < 90; ++id) {
        Add(Mail(id));
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return dialog.EntryCount() == 85 && !dialog.Scanning(); }));
    dialog.List()->scrollTo(dialog.List()->model()->index(dialog.RowOf(60), 0),
                            QAbstractItemView::PositionAtTop);
    for (uint32_t id = 10; id < 50; id += 2) {
        ASSERT_TRUE(mailqueue::MoveToOld(queue_, old_, id));
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return dialog.EntryCount() == 65 && !dialog.Scanning(); }));
    EXPECT_EQ(dialog.List()->indexAt(QPoint(0, 0)).row(), dialog.RowOf(60));

    // An entry the SEND service could not read is finished too, as quarantined.
    ASSERT_TRUE(mailqueue::MoveToQuarantine(queue_, dir_.File("quarantine"), 60));
    dialog.ShowFinished(true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return dialog.EntryCount() == 22 && !dialog.Scanning(); }));
    EXPECT_EQ(dialog.CountText(), "22 mails finished");
    EXPECT_EQ(dialog.List()->CellText(dialog.RowOf(60), kNextTryColumn), "quarantined");
    EXPECT_EQ(dialog.List()->model()->headerData(kNextTryColumn, Qt::Horizontal), "Outcome");
}

TEST_F(QueueViewTest, OperatorChangesWaitForADeliveryUnderWay) {
    for (uint32_t id = 1; id <= 3; ++id) {
        Add(Mail(id));
    }
    Entry later = Mail(4);
    later.nextTry = std::time(nullptr) + 3600;
    Add(later);
    CDlgQueue dialog(nullptr, QString::fromStdString(queue_), QString::fromStdString(old_));
    QStringList questions;
    bool answer = false;
    dialog.SetQuestion([&](QWidget*, const QString& text) {
        questions << text;
        return answer;
    });
    dialog.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return dialog.EntryCount() == 4 && !dialog.Scanning(); }));

    // The question names up to three mails, answered No.
    for (const QList<quint32>& ids : {QList<quint32>{1, 2, 3, 4}, QList<quint32>{1, 2}}) {
        dialog.SelectIds(ids);
        dialog.DeleteSelected();
    }
    const QString mail = "mail %1 (from app@origin.test to ops@far.test)";
    EXPECT_EQ(questions,
              QStringList({"Delete " + mail.arg(1) + ", " + mail.arg(2) + ", " + mail.arg(3) +
                               " and 1 more from the queue? They will not be sent, and the "
                               "sender is not told.",
                           "Delete " + mail.arg(1) + " and " + mail.arg(2) +
                               " from the queue? They will not be sent, and the sender is not "
                               "told."}));
    EXPECT_EQ(dialog.PendingChanges(), 0);

    // Mail 2 is being delivered: its delete waits until the try is over.
    mailqueue::MailClaim::Result result;
    auto delivery =
        std::make_unique<mailqueue::MailClaim>(mailqueue::MailClaim::TryTake(queue_, 2, &result));
    ASSERT_EQ(result, mailqueue::MailClaim::Result::kTaken);
    answer = true;
    QSignalSpy finished(&dialog, &CDlgQueue::ChangesFinished);
    dialog.DeleteSelected();
    ASSERT_TRUE(QTest::qWaitFor([&] { return dialog.ActionText().contains("being delivered"); }));
    EXPECT_EQ(dialog.ActionText(), "1 mail deleted; 1 mail being delivered, waiting.");
    EXPECT_TRUE(fs::exists(old_ + "/1.cfg"));
    EXPECT_TRUE(fs::exists(queue_ + "/2.cfg"));
    EXPECT_EQ(finished.count(), 0);
    // Closed meanwhile: the window goes, the delete is still made.
    QSignalSpy closed(&dialog, &QDialog::finished);
    dialog.reject();
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(closed.count(), 0);
    delivery.reset();
    ASSERT_TRUE(QTest::qWaitFor([&] { return finished.count() == 1; }));
    EXPECT_EQ(closed.count(), 1);
    EXPECT_EQ(dialog.ActionText(), "2 mails deleted.");
    dialog.show();
    for (uint32_t id : {1u, 2u}) {
        EXPECT_FALSE(fs::exists(mailqueue::CompanionFile(queue_, id)));
        EXPECT_FALSE(fs::exists(mailqueue::MessageFile(queue_, id)));
        EXPECT_EQ(ProfileSnapshot(mailqueue::CompanionFile(old_, id))
                      .GetString("MailInfo", "RcptStatus0", ""),
                  "deleted by the operator");
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return Ids(dialog) == QStringList({"3", "4"}); }));

    // Retry: due at once, and asked of the SEND service; a mail gone meanwhile is told apart.
    dialog.SelectIds({3, 4});
    ASSERT_TRUE(mailqueue::MoveToOld(queue_, old_, 3));
    dialog.SetSendRunning([] { return false; });
    dialog.RetrySelected();
    ASSERT_TRUE(QTest::qWaitFor([&] { return finished.count() == 2; }));
    EXPECT_EQ(dialog.ActionText(),
              "1 mail to be sent now; 1 mail had already left the queue. This console's SEND "
              "service is stopped.");
    EXPECT_EQ(
        ProfileSnapshot(mailqueue::CompanionFile(queue_, 4)).GetString("MailInfo", "NextTry", ""),
        "0");
    mailqueue::RetryRequestsSeen seen;
    EXPECT_EQ(mailqueue::TakeRetryRequests(queue_, &seen), std::vector<uint32_t>({4}));
}

TEST_F(QueueViewTest, DiagnoseWorksOnACopyAndOpenShowsTheMessage) {
    Entry entry = Mail(7, "first@far.test");
    entry.to.push_back("second@far.test");
    entry.body = "Subject: hello\r\n\r\nline one\r\n";
    Add(entry);
    CDlgQueue dialog(nullptr, QString::fromStdString(queue_), QString::fromStdString(old_));
    QString diagnosed;
    QStringList notices;
    dialog.SetDiagnose([&](QWidget*, const QString& path) { diagnosed = path; });
    dialog.SetNotice([&](QWidget*, const QString& text) { notices << text; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return dialog.EntryCount() == 1 && !dialog.Scanning(); }));
    dialog.SelectIds({7});

    dialog.DiagnoseSelected();
    ASSERT_EQ(diagnosed.toStdString(), dir_.File("mail/queued-7.eml"));
    EXPECT_EQ(dir_.Read("mail/queued-7.eml"), entry.body);
    const ProfileSnapshot copy(dir_.File("mail/queued-7.cfg"));
    EXPECT_EQ(copy.GetInt("MailInfo", "MailId", -1), 0);
    EXPECT_EQ(copy.GetString("MailInfo", "RcptTo0", ""), "first@far.test");
    EXPECT_EQ(copy.GetInt("MailInfo", "RcptToNumber", 0), 1);
    // The queue's own companion is untouched by whatever the diagnose dialog writes.
    EXPECT_EQ(dir_.Read("queue/7.cfg"), queue_entries::CompanionText(entry));
    // Who handed the mail in goes along: the diagnose send signs only what the queue would.
    dir_.Write("queue/7.cfg", queue_entries::CompanionText(entry) +
                                  "ClientAddress=198.51.100.2:4000\r\nAuthUser=\r\n");
    dialog.DiagnoseSelected();
    EXPECT_EQ(copy.GetString("MailInfo", "ClientAddress", "none"), "none");
    const ProfileSnapshot received(dir_.File("mail/queued-7.cfg"));
    EXPECT_EQ(received.GetString("MailInfo", "ClientAddress", ""), "198.51.100.2:4000");
    EXPECT_EQ(received.GetString("MailInfo", "AuthUser", "none"), "");

    dialog.OpenSelected();
    auto* text = dialog.findChild<QPlainTextEdit*>("MessageText");
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text->toPlainText(), "Subject: hello\n\nline one\n");
    EXPECT_TRUE(text->isReadOnly());
    EXPECT_EQ(dialog.findChild<QLabel*>("ArrivalResults"), nullptr) << "no checks were made";
    // A received mail's checks are shown above its text.
    dir_.Write("queue/7.eml",
               "Authentication-Results: mx.test;\r\n dkim=pass header.d=far.test\r\n" + entry.body);
    dialog.OpenSelected();
    auto* results = dialog.findChild<QLabel*>("ArrivalResults");
    ASSERT_NE(results, nullptr);
    EXPECT_EQ(results->text(), "Checks on arrival: mx.test; dkim=pass header.d=far.test");
    dir_.Write("queue/7.eml", entry.body);

    fs::remove(queue_ + "/7.eml");
    dialog.OpenSelected();
    dialog.DiagnoseSelected();
    ASSERT_EQ(notices.size(), 2);
    EXPECT_TRUE(notices[0].startsWith("Mail 7 cannot be shown: cannot read"))
        << notices[0].toStdString();
    EXPECT_TRUE(notices[1].startsWith("Mail 7 cannot be diagnosed")) << notices[1].toStdString();

    // A quarantined mail's files are in quarantine/, not old/.
    Entry aside = Mail(8);
    aside.body = "Subject: aside\r\n\r\nkept\r\n";
    Add(aside);
    ASSERT_TRUE(mailqueue::MoveToQuarantine(queue_, dir_.File("quarantine"), 8));
    dialog.ShowFinished(true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return dialog.RowOf(8) >= 0 && !dialog.Scanning(); }));
    dialog.SelectIds({8});
    dialog.OpenSelected();
    dialog.DiagnoseSelected();
    EXPECT_EQ(notices.size(), 2) << notices.join('\n').toStdString();
    EXPECT_EQ(dialog.findChildren<QPlainTextEdit*>("MessageText").last()->toPlainText(),
              "Subject: aside\n\nkept\n");
    ASSERT_EQ(diagnosed.toStdString(), dir_.File("mail/queued-8.eml"));
    EXPECT_EQ(dir_.Read("mail/queued-8.eml"), aside.body);
}

TEST_F(QueueViewTest, CounterFollowsTheQueueOncePerSecondAtMost) {
    fs::remove_all(queue_);  // made later, as the engine does at its first start
    QueueCounter counter(QString::fromStdString(queue_));
    QSignalSpy changed(&counter, &QueueCounter::CountChanged);
    ASSERT_TRUE(QTest::qWaitFor([&] { return counter.Count() == 0; }));
    fs::create_directory(queue_);
    for (uint32_t id = 1; id <= 3; ++id) {
        Add(Mail(id));
    }
    counter.CountSoon();
    ASSERT_TRUE(QTest::qWaitFor([&] { return counter.Count() == 3; }));
    Add(Mail(4));
    QElapsedTimer timer;
    timer.start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return counter.Count() == 4; }, 3000));
    EXPECT_LE(timer.elapsed(), 2000);
    EXPECT_EQ(changed.count(), 3);  // 0, 3, 4
}

}  // namespace
