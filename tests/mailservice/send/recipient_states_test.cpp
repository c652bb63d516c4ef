// The recipient-state keeper alone: how states a try could not write are laid over a companion
// read again, and how what the queue and old/ are owed is written once the disk allows (a
// companion that is a directory stands in for the full disk: no write can go through it).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "common/profile_store.h"
#include "core/event_log.h"
#include "send/owed_states_journal.h"
#include "send/recipient_states.h"
#include "support/queue_entries.h"
#include "support/temp_app_dir.h"

namespace relvo::mail::send {
namespace {

QueuedMail Mail(std::vector<std::string> states, int tries, std::int64_t nextTry,
                std::string lastAnswer = "") {
    QueuedMail mail;
    mail.id = 7;
    mail.states = std::move(states);
    mail.tries = tries;
    mail.nextTry = nextTry;
    mail.lastAnswer = std::move(lastAnswer);
    return mail;
}

TEST(RecipientStatesTest, KeptStatesLaidOverTheCompanionNeverUndoASettledRecipient) {
    const std::string delivered = "delivered 250 ok", failed = "failed 550 no such user";
    const std::string pendingNow = "pending 451 later", pendingOld = "pending";
    struct Case {
        const char* name;
        QueuedMail companion, kept;
        bool laid;
        std::vector<std::string> states;
        int tries;
        std::int64_t nextTry;
    } cases[] = {
        {"a delivery the companion missed is taken",
         Mail({pendingOld, pendingOld}, 1, 0),
         Mail({delivered, pendingNow}, 2, 500, "451 later"),
         true,
         {delivered, pendingOld},
         2,
         500},
        {"what the companion settled stays",
         Mail({failed, delivered}, 3, 900),
         Mail({delivered, pendingNow}, 2, 100),
         true,
         {failed, delivered},
         3,
         900},
        {"a failure the companion missed is taken",
         Mail({pendingOld}, 0, 0),
         Mail({failed}, 1, 0),
         true,
         {failed},
         1,
         0},
        {"another mail under the id is left alone",
         Mail({pendingOld}, 0, 0),
         Mail({delivered, delivered}, 1, 50),
         false,
         {pendingOld},
         0,
         0},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        QueuedMail mail = c.companion;
        EXPECT_EQ(LayKeptStates(c.kept, mail), c.laid);
        EXPECT_EQ(mail.states, c.states);
        EXPECT_EQ(mail.tries, c.tries);
        EXPECT_EQ(mail.nextTry, c.nextTry);
        EXPECT_EQ(mail.lastAnswer, c.laid ? c.kept.lastAnswer : c.companion.lastAnswer);
    }
}

class RecipientStatesFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(app_.File("queue"));
        std::filesystem::create_directories(app_.File("old"));
    }
    // The companion a write cannot go through, as on a full disk; then the real one back.
    void Block(const std::string& dir) {
        std::filesystem::remove(app_.File(dir + "/7.cfg"));
        std::filesystem::create_directory(app_.File(dir + "/7.cfg"));
    }
    void Unblock(const std::string& dir) {
        std::filesystem::remove(app_.File(dir + "/7.cfg"));
        queue_entries::Entry entry = queue_entries::Mail(7);
        entry.to = {"a@far.test", "b@far.test"};
        ASSERT_TRUE(queue_entries::Write(app_.File(dir), entry));
    }
    std::string State(const std::string& dir, int n) {
        return ProfileSnapshot(app_.File(dir + "/7.cfg"))
            .GetString("MailInfo", "RcptStatus" + std::to_string(n), "");
    }

    TempAppDir app_;
    EventLog log_{app_.File("log"), "send"};
    RecipientStates states_{app_.File("queue"), app_.File("old"), log_};
};

// A try's states that the queue could not take are laid over the companion when the mail is read
// again, and written then; a finished mail's states that old/ could not take are written on a
// later pass, or dropped once the clean-up has removed the mail.
TEST_F(RecipientStatesFiles, WhatAWriteMissedIsKeptUntilTheDiskTakesIt) {
    const QueuedMail tried = Mail({"delivered 250 ok", "pending 451 later"}, 1, 1000);
    Block("queue");
    EXPECT_FALSE(states_.WriteQueued(tried, 1000));
    EXPECT_EQ(states_.KeptForQueue(), 1u);

    Unblock("queue");  // read again: the companion still says pending for both
    QueuedMail read = Mail({"pending", "pending"}, 0, 0);
    states_.LayOver(read);
    EXPECT_EQ(read.states[0], "delivered 250 ok");
    EXPECT_EQ(read.nextTry, 1000);
    EXPECT_EQ(State("queue", 0), "delivered 250 ok");
    EXPECT_EQ(states_.KeptForQueue(), 0u);

    const QueuedMail finished = Mail({"delivered 250 ok", "failed 550 no"}, 2, 0);
    std::filesystem::create_directory(app_.File("old/7.cfg"));
    states_.WriteFinished(finished);
    EXPECT_EQ(states_.OwedToOld(), 1u);
    states_.RewriteOwed();
    EXPECT_EQ(states_.OwedToOld(), 1u) << "still nothing can be written";
    Unblock("old");
    states_.RewriteOwed();
    EXPECT_EQ(states_.OwedToOld(), 0u);
    EXPECT_EQ(State("old", 1), "failed 550 no");

    Block("old");
    states_.WriteFinished(finished);
    std::filesystem::remove(app_.File("old/7.cfg"));  // the clean-up took it meanwhile
    states_.RewriteOwed();
    EXPECT_EQ(states_.OwedToOld(), 0u);
    EXPECT_FALSE(std::filesystem::exists(app_.File("old/7.cfg")));
}

TEST(OwedStatesJournalTest, RecordsComeBackAsWrittenAndDamagedOnesAreRefused) {
    const QueuedMail awkward = Mail({"delivered 250 a\ttab\\", std::string("failed 5\0\n", 10), ""},
                                    4, 1700000000, "250 last\n");
    std::optional<QueuedMail> back =
        DecodeOwedStates(std::string_view(EncodeOwedStates(awkward))
                             .substr(0, EncodeOwedStates(awkward).size() - 1));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->id, 7u);
    EXPECT_EQ(back->states, awkward.states);
    EXPECT_EQ(back->tries, 4);
    EXPECT_EQ(back->nextTry, 1700000000);
    EXPECT_EQ(back->lastAnswer, awkward.lastAnswer);
    for (const char* damaged :
         {"", "1\t7\t1\t0\t1\tdelivered", "2\t7\t1\t0\t0\t", "1\t0\t1\t0\t0\t", "1\t7\t-1\t0\t0\t",
          "1\t7\t1\t0\t99999\t", "1\t7\t1\t0\t1\tbad\\q\t", "1\t7x\t1\t0\t0\t"}) {
        EXPECT_FALSE(DecodeOwedStates(damaged)) << damaged;
    }
}

// What old/ is owed when the service stops on a full disk is owed again after the next start,
// and written then; once written, a later start owes nothing.
TEST_F(RecipientStatesFiles, WhatOldIsOwedSurvivesAStop) {
    const QueuedMail finished = Mail({"delivered 250 ok", "failed 550 no"}, 2, 0, "550 no");
    Block("old");
    {
        RecipientStates before{app_.File("queue"), app_.File("old"), log_};
        before.Open();
        before.WriteFinished(finished);
        EXPECT_EQ(before.OwedToOld(), 1u);
    }
    {  // a crash cut the last record short: it is written over, the one before stays owed
        std::ofstream journal(app_.File("queue/.owed-states"), std::ios::in | std::ios::out);
        journal.seekp(static_cast<std::streamoff>(EncodeOwedStates(finished).size()));
        journal << "1\t8\t1\t0";
    }
    {
        RecipientStates after{app_.File("queue"), app_.File("old"), log_};
        after.Open();
        EXPECT_EQ(after.OwedToOld(), 1u);
        Unblock("old");
        after.RewriteOwed();
        EXPECT_EQ(after.OwedToOld(), 0u);
        EXPECT_EQ(State("old", 0), "delivered 250 ok");
        EXPECT_EQ(State("old", 1), "failed 550 no");
    }
    RecipientStates later{app_.File("queue"), app_.File("old"), log_};
    later.Open();
    EXPECT_EQ(later.OwedToOld(), 0u);
    EXPECT_GE(std::filesystem::file_size(app_.File("queue/.owed-states")),
              OwedStatesJournal::kRoom);
}

}  // namespace
}  // namespace relvo::mail::send
