// The queue rules every side shares, on real files: names and states, the view's rescans, the
// claim (an flock on the .eml that follows the file into old/, held per open file and per
// process), the operator's retry and delete, the retry requests, and the clean-up of old/.
#include "common/mail_queue.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "common/profile_store.h"
#include "common/queue_scan.h"
#include "support/queue_entries.h"
#include "support/temp_app_dir.h"

namespace mailqueue {
namespace {

using Result = MailClaim::Result;

class MailQueueTest : public ::testing::Test {
  protected:
    void SetUp() override { std::filesystem::create_directories(queue_); }

    // A complete entry: the message, then its companion with one line per recipient state.
    void Queue(uint32_t id, const std::vector<std::string>& states, bool withMessage = true) {
        if (withMessage) {
            app_.Write("queue/" + std::to_string(id) + ".eml", "Subject: x\r\n\r\nbody\r\n");
        }
        app_.Write("queue/" + std::to_string(id) + ".cfg", Companion(id, states));
    }
    static std::string Companion(uint32_t id, const std::vector<std::string>& states) {
        std::string text =
            "[MailInfo]\r\nMailId=" + std::to_string(id) +
            "\r\nMailFrom=a@origin.test\r\nRcptToNumber=" + std::to_string(states.size()) + "\r\n";
        for (size_t n = 0; n < states.size(); ++n) {
            text += "RcptTo" + std::to_string(n) + "=r" + std::to_string(n) + "@dest.test\r\n";
            if (!states[n].empty()) {
                text += "RcptStatus" + std::to_string(n) + "=" + states[n] + "\r\n";
            }
        }
        return text + "NextTry=1999999999\r\n";
    }
    static bool In(const std::string& dir, uint32_t id, const char* ext) {
        return std::filesystem::exists(dir + "/" + std::to_string(id) + ext);
    }
    bool InQueue(uint32_t id, const char* ext) const { return In(queue_, id, ext); }
    bool InOld(uint32_t id, const char* ext) const { return In(old_, id, ext); }

    TempAppDir app_;
    const std::string queue_ = app_.File("queue");
    const std::string old_ = app_.File("old");
};

TEST(MailQueueNames, OnlyPositive32BitIdsWithTheirCompanionAreEntries) {
    const struct {
        const char* name;
        uint32_t id;  // 0: not an entry
    } cases[] = {
        {"1.cfg", 1},
        {"4294967295.cfg", 4294967295u},
        {"0.cfg", 0},
        {"000.cfg", 0},
        {"007.cfg", 7},
        {"4294967296.cfg", 0},
        {"99999999999.cfg", 0},
        {"x12.cfg", 0},
        {" 12.cfg", 0},
        {"+12.cfg", 0},
        {"-1.cfg", 0},
        {"12.cfg.lock", 0},
        {"12.eml", 0},
        {"12.CFG", 0},
        {"retry.cfg", 0},
        {".cfg", 0},
        {"", 0},
        {"12", 0},
    };
    for (const auto& c : cases) {
        uint32_t id = 0;
        EXPECT_EQ(ParseEntryName(c.name, &id), c.id != 0) << c.name;
        EXPECT_EQ(id, c.id) << c.name;
    }
}

TEST_F(MailQueueTest, ListsCompleteEntriesOnly) {
    Queue(3, {""});
    Queue(9, {""}, false);                   // counted: the companion says it is queued
    app_.Write("queue/12.eml", "arriving");  // not yet: its companion is written last
    app_.Write("queue/retry.cfg", "[Retry]\r\n3=1\r\n");
    app_.Write("queue/3.cfg.lock", "");
    std::vector<uint32_t> ids = ListEntryIds(queue_);
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, (std::vector<uint32_t>{3, 9}));
    EXPECT_EQ(CountEntries(queue_), 2u);
    EXPECT_EQ(CountEntries(app_.File("none")), 0u);
}

TEST_F(MailQueueTest, RescansReportOnlyWhatChanged) {
    QueueDirectoryIndex index(queue_);
    auto rescan = [&index] {
        QueueDirectoryIndex::Changes all;
        index.Rescan(2, [&all](QueueDirectoryIndex::Changes part, bool) {
            for (auto& entry : part.changed) {
                all.changed.push_back(std::move(entry));
            }
            all.removed.insert(all.removed.end(), part.removed.begin(), part.removed.end());
            all.readable = part.readable;
            return true;
        });
        std::vector<uint32_t> changed;
        for (const auto& entry : all.changed) {
            changed.push_back(entry.id);
        }
        return std::make_tuple(changed, all.removed, all.readable);
    };
    for (uint32_t id : {5u, 3u, 4u}) {
        ASSERT_TRUE(queue_entries::Write(queue_, queue_entries::Mail(id)));
    }
    // Nothing else in the directory is an entry.
    queue_entries::WriteFile(queue_ + "/retry.cfg", "[Retry]\r\n3=1\r\n");
    queue_entries::WriteFile(queue_ + "/6.cfg.lock", "");
    queue_entries::WriteFile(queue_ + "/0.cfg", "[MailInfo]\r\n");
    queue_entries::WriteFile(queue_ + "/4294967296.cfg", "[MailInfo]\r\n");
    queue_entries::WriteFile(queue_ + "/7.eml", "no companion yet");
    std::filesystem::create_directory(queue_ + "/8.cfg");
    std::filesystem::create_symlink(queue_ + "/5.cfg", queue_ + "/9.cfg");

    EXPECT_EQ(rescan(),
              std::make_tuple(std::vector<uint32_t>{3, 4, 5}, std::vector<uint32_t>{}, true));
    EXPECT_EQ(rescan(), std::make_tuple(std::vector<uint32_t>{}, std::vector<uint32_t>{}, true));
    queue_entries::Entry changed = queue_entries::Mail(4);
    changed.tries = 1;
    ASSERT_TRUE(queue_entries::Write(queue_, changed));
    std::filesystem::remove(queue_ + "/3.cfg");
    ASSERT_TRUE(queue_entries::Write(queue_, queue_entries::Mail(10)));
    EXPECT_EQ(rescan(),
              std::make_tuple(std::vector<uint32_t>{4, 10}, std::vector<uint32_t>{3}, true));
    std::filesystem::remove_all(queue_);
    auto [none, removed, readable] = rescan();
    EXPECT_TRUE(none.empty());
    EXPECT_EQ(removed.size(), 3u);
    EXPECT_FALSE(readable);
}

TEST_F(MailQueueTest, ClaimIsExclusivePerOpenFileAndFollowsTheMailIntoOld) {
    Queue(1, {""});
    Queue(2, {""}, false);
    Result result = Result::kFailed;
    EXPECT_FALSE(MailClaim::TryTake(queue_, 2, &result).Held());
    EXPECT_EQ(result, Result::kNoMessage);
    EXPECT_FALSE(MailClaim::TryTake(queue_, 77, &result).Held());
    EXPECT_EQ(result, Result::kGone);

    MailClaim first = MailClaim::TryTake(queue_, 1, &result);
    ASSERT_EQ(result, Result::kTaken);
    ASSERT_TRUE(first.Held());
    // flock belongs to the open file, so a second claim in this very process conflicts.
    EXPECT_FALSE(MailClaim::TryTake(queue_, 1, &result).Held());
    EXPECT_EQ(result, Result::kBusy);

    MailClaim moved = std::move(first);  // the lock goes with the object
    EXPECT_FALSE(first.Held());
    EXPECT_TRUE(moved.Held());
    EXPECT_FALSE(MailClaim::TryTake(queue_, 1, &result).Held());
    EXPECT_EQ(result, Result::kBusy);

    // The holder finishes the mail; whoever waited finds it gone, not free.
    ASSERT_TRUE(MoveToOld(queue_, old_, 1));
    EXPECT_TRUE(InOld(1, ".cfg") && InOld(1, ".eml"));
    EXPECT_FALSE(InQueue(1, ".cfg") || InQueue(1, ".eml"));
    moved = MailClaim();
    EXPECT_FALSE(MailClaim::TryTake(queue_, 1, &result).Held());
    EXPECT_EQ(result, Result::kGone);
    std::string error;
    EXPECT_EQ(RetryNow(queue_, 1, &error), OperatorOutcome::kGone);
    EXPECT_EQ(DeleteQueued(queue_, old_, 1, &error), OperatorOutcome::kGone);
    EXPECT_TRUE(InOld(1, ".cfg") && InOld(1, ".eml"));
}

TEST_F(MailQueueTest, ClaimNeverWaitsNorFollowsWhatIsNotAPlainMessageFile) {
    const std::string target = app_.File("elsewhere.eml");
    app_.Write("elsewhere.eml", "Subject: not queued\r\n\r\n");
    const struct {
        uint32_t id;
        std::function<bool(const std::string&)> make;
    } cases[] = {
        {31, [&](const std::string& path) { return symlink(target.c_str(), path.c_str()) == 0; }},
        {32, [](const std::string& path) { return mkfifo(path.c_str(), 0600) == 0; }},
        {33, [](const std::string& path) { return mkdir(path.c_str(), 0700) == 0; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        Queue(c.id, {"pending"}, false);
        ASSERT_TRUE(c.make(MessageFile(queue_, c.id)));
        Result result = Result::kTaken;
        EXPECT_FALSE(MailClaim::TryTake(queue_, c.id, &result).Held());
        EXPECT_EQ(result, Result::kNotAFile);
        std::string error;
        EXPECT_EQ(RetryNow(queue_, c.id, &error), OperatorOutcome::kFailed);
        EXPECT_EQ(error, MessageFile(queue_, c.id) + " is not a regular file");
        EXPECT_EQ(DeleteQueued(queue_, old_, c.id, &error), OperatorOutcome::kFailed);
        EXPECT_TRUE(InQueue(c.id, ".cfg"));
    }
}

TEST_F(MailQueueTest, ClaimHeldByAnotherProcessIsBusyUntilItEndsEvenByAKill) {
    Queue(5, {""});
    Queue(6, {""});
    for (uint32_t id : {5u, 6u}) {
        SCOPED_TRACE(id);
        int ready[2];
        int release[2];
        ASSERT_EQ(pipe(ready), 0);
        ASSERT_EQ(pipe(release), 0);
        pid_t child = fork();
        if (child == 0) {
            Result taken = Result::kFailed;
            MailClaim claim = MailClaim::TryTake(queue_, id, &taken);
            char answer = taken == Result::kTaken ? 'T' : 'F';
            if (write(ready[1], &answer, 1) != 1) {
                _exit(2);
            }
            // Mail 6 is finished by its holder before the claim ends.
            if (read(release[0], &answer, 1) == 1 && id == 6 && !MoveToOld(queue_, old_, id)) {
                _exit(3);
            }
            _exit(0);
        }
        ASSERT_GT(child, 0);
        char answer = 0;
        ASSERT_EQ(read(ready[0], &answer, 1), 1);
        ASSERT_EQ(answer, 'T');

        Result result = Result::kFailed;
        EXPECT_FALSE(MailClaim::TryTake(queue_, id, &result).Held());
        EXPECT_EQ(result, Result::kBusy);
        std::string error;
        EXPECT_EQ(RetryNow(queue_, id, &error), OperatorOutcome::kBusy);
        EXPECT_EQ(DeleteQueued(queue_, old_, id, &error), OperatorOutcome::kBusy);
        EXPECT_TRUE(InQueue(id, ".cfg") && InQueue(id, ".eml"));

        if (id == 5) {
            kill(child, SIGKILL);  // a holder that dies holds nothing
        } else {
            ASSERT_EQ(write(release[1], "x", 1), 1);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_EQ(id == 5 ? WIFSIGNALED(status) : WIFEXITED(status) && WEXITSTATUS(status) == 0,
                  true);
        MailClaim after = MailClaim::TryTake(queue_, id, &result);
        EXPECT_EQ(result, id == 5 ? Result::kTaken : Result::kGone);
        EXPECT_EQ(after.Held(), id == 5);
        for (int fd : {ready[0], ready[1], release[0], release[1]}) {
            close(fd);
        }
    }
}

TEST_F(MailQueueTest, RetryNowMakesTheMailDueAndAsksTheSendService) {
    Queue(7, {"delivered 250 ok", "pending 451 4.2.0 busy"});
    Queue(8, {"delivered 250 ok", "failed 550 no", "deleted by the operator"});
    Queue(9, {""}, false);
    std::string error;
    {
        Result result = Result::kFailed;
        MailClaim held = MailClaim::TryTake(queue_, 7, &result);
        EXPECT_EQ(RetryNow(queue_, 7, &error), OperatorOutcome::kBusy);
        EXPECT_FALSE(std::filesystem::exists(RetryRequestFile(queue_)));
    }
    EXPECT_EQ(RetryNow(queue_, 7, &error), OperatorOutcome::kDone) << error;
    EXPECT_EQ(app_.Read("queue/7.cfg"),
              "[MailInfo]\r\nMailId=7\r\nMailFrom=a@origin.test\r\nRcptToNumber=2\r\n"
              "RcptTo0=r0@dest.test\r\nRcptStatus0=delivered 250 ok\r\nRcptTo1=r1@dest.test\r\n"
              "RcptStatus1=pending 451 4.2.0 busy\r\nNextTry=0\r\n");

    EXPECT_EQ(RetryNow(queue_, 8, &error), OperatorOutcome::kFinished);
    EXPECT_EQ(app_.Read("queue/8.cfg"),
              Companion(8, {"delivered 250 ok", "failed 550 no", "deleted by the operator"}));
    EXPECT_EQ(RetryNow(queue_, 9, &error), OperatorOutcome::kFailed);
    EXPECT_NE(error.find("9.eml is missing"), std::string::npos) << error;
    EXPECT_EQ(RetryNow(queue_, 10, &error), OperatorOutcome::kGone);

    RetryRequestsSeen seen;
    EXPECT_EQ(TakeRetryRequests(queue_, &seen), std::vector<uint32_t>{7});
}

// Every change of a queued mail is made under its claim, which keeps the companion's writers
// apart: none of them leaves a file of its own in queue/ or old/, and a rewrite killed before it
// was renamed into place is swept by the next writer's first listing of the directory.
// The companion says who handed the mail in, what SPF said and whether DMARC quarantined it, for
// the SEND service's signing, failure notices and Junk folder; a companion written before
// SpfResult and Quarantine existed, or by the mail builder (no client at all), reads as unknown,
// not quarantined and as no client.
TEST_F(MailQueueTest, CompanionKeepsWhoHandedTheMailInAndOlderOnesStayReadable) {
    const Envelope checked{"a@origin.test", {"b@dest.test"}, "198.51.100.2:4000", "h", "",
                           "fail",          "dmarc"};
    const Envelope unchecked{"a@origin.test", {"b@dest.test"}, "[::1]:25", "h", "alice@x.test"};
    const struct {
        uint32_t id;
        std::string companion;
        std::string authUser;
        std::optional<std::string> clientAddress;
        std::string spfResult, quarantine;
    } cases[] = {
        {1, NewCompanionText(1, checked, 20, 0, "x"), "", "198.51.100.2:4000", "fail", "dmarc"},
        {2, NewCompanionText(2, unchecked, 20, 0, "x"), "alice@x.test", "[::1]:25", "", ""},
        {3, Companion(3, {""}), "", std::nullopt, "", ""},
    };
    EXPECT_EQ(NewCompanionText(2, unchecked, 20, 0, "x").find(kSpfResult), std::string::npos);
    EXPECT_EQ(NewCompanionText(2, unchecked, 20, 0, "x").find(kQuarantine), std::string::npos);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        app_.Write("queue/" + std::to_string(c.id) + ".eml", "Subject: x\r\n\r\nbody\r\n");
        app_.Write("queue/" + std::to_string(c.id) + ".cfg", c.companion);
        QueuedMail mail;
        std::string error;
        bool damaged = false;
        ASSERT_TRUE(LoadQueuedMail(queue_, c.id, 1 << 20, &mail, &error, &damaged)) << error;
        EXPECT_EQ(mail.authUser, c.authUser);
        EXPECT_EQ(mail.clientAddress, c.clientAddress);
        EXPECT_EQ(mail.spfResult, c.spfResult);
        EXPECT_EQ(mail.quarantine, c.quarantine);
    }
}

TEST_F(MailQueueTest, ChangesUnderTheClaimLeaveOnlyTheMailsOwnFiles) {
    const pid_t gone = fork();
    if (gone == 0) {
        _exit(0);
    }
    ASSERT_GT(gone, 0);
    waitpid(gone, nullptr, 0);
    const std::string killedRewrite = "5.cfg.tmp." + std::to_string(gone) + ".3";
    app_.Write("queue/" + killedRewrite, "[MailInfo]\r\nPassword=kept in a stale copy\r\n");

    auto load = [](const std::string& dir, uint32_t id) {
        QueuedMail mail;
        std::string error;
        bool damaged = false;
        EXPECT_TRUE(LoadQueuedMail(dir, id, 1 << 20, &mail, &error, &damaged)) << error;
        mail.states[0] = "delivered 250 ok";
        mail.tries = 1;
        return mail;
    };
    const struct {
        const char* change;
        uint32_t id;
        std::function<bool(uint32_t)> run;
        const char* dir;  // where the entry is afterwards
        const char* written;
        bool claims;  // the change takes the claim itself
    } cases[] = {
        {"a try's states", 5, [&](uint32_t id) { return SaveState(queue_, load(queue_, id), 9); },
         "queue", "RcptStatus0=delivered 250 ok", false},
        {"an operator's retry", 6,
         [&](uint32_t id) {
             std::string error;
             return RetryNow(queue_, id, &error) == OperatorOutcome::kDone;
         },
         "queue", "NextTry=0", true},
        {"an operator's delete", 7,
         [&](uint32_t id) {
             std::string error;
             return DeleteQueued(queue_, old_, id, &error) == OperatorOutcome::kDone;
         },
         "old", "RcptStatus0=deleted by the operator", true},
        {"delivered, states written in old", 8,
         [&](uint32_t id) {
             QueuedMail mail = load(queue_, id);
             return MoveToOld(queue_, old_, id) && SaveFinalState(old_, mail);
         },
         "old", "RcptStatus0=delivered 250 ok", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.change);
        Queue(c.id, {"pending 451 later"});
        Result result = Result::kTaken;
        MailClaim claim = c.claims ? MailClaim() : MailClaim::TryTake(queue_, c.id, &result);
        ASSERT_EQ(result, Result::kTaken);
        ASSERT_TRUE(c.run(c.id));
        EXPECT_NE(
            app_.Read(std::string(c.dir) + "/" + std::to_string(c.id) + ".cfg").find(c.written),
            std::string::npos);
        for (const std::string& dir : {queue_, old_}) {
            std::filesystem::create_directories(dir);
            for (const auto& file : std::filesystem::directory_iterator(dir)) {
                const std::string name = file.path().filename().string();
                const bool entryFile = name.find('.') != std::string::npos &&
                                       (name.ends_with(".eml") || name.ends_with(".cfg"));
                EXPECT_TRUE(entryFile || name.starts_with("retry.cfg")) << dir << "/" << name;
            }
        }
    }
}

TEST_F(MailQueueTest, DeleteSettlesWhatIsOpenAndMovesTheWholeMailToOld) {
    const struct {
        uint32_t id;
        std::vector<std::string> before;
        bool withMessage;
        std::vector<std::string> after;
    } cases[] = {
        {11,
         {"delivered 250 ok", "", "pending 451 later", "failed 550 no"},
         true,
         {"delivered 250 ok", kDeletedByOperator, kDeletedByOperator, "failed 550 no"}},
        // Finished before, only its move was cut short: nothing of it changes.
        {12, {"delivered 250 ok", "failed 550 no"}, true, {"delivered 250 ok", "failed 550 no"}},
        // Its message is lost: nothing can be sent, so nothing is cut by taking it out.
        {13, {"pending 451 later"}, false, {kDeletedByOperator}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        Queue(c.id, c.before, c.withMessage);
        std::string error;
        ASSERT_EQ(DeleteQueued(queue_, old_, c.id, &error), OperatorOutcome::kDone) << error;
        EXPECT_FALSE(InQueue(c.id, ".cfg") || InQueue(c.id, ".eml") || InQueue(c.id, ".cfg.lock"));
        EXPECT_EQ(InOld(c.id, ".eml"), c.withMessage);
        // Changed states in place, NextTry=0 in place, a state that had no line at the end.
        std::string expected = Companion(c.id, c.before);
        expected.replace(expected.find("NextTry="), std::string::npos, "NextTry=0\r\n");
        for (size_t n = 0; n < c.before.size(); ++n) {
            std::string key = "RcptStatus" + std::to_string(n) + "=";
            std::string line = key + c.after[n] + "\r\n";
            if (c.before[n].empty()) {
                expected += line;
            } else if (c.before[n] != c.after[n]) {
                size_t at = expected.find(key);
                expected.replace(at, expected.find("\r\n", at) + 2 - at, line);
            }
        }
        EXPECT_EQ(app_.Read("old/" + std::to_string(c.id) + ".cfg"), expected);
        EXPECT_EQ(DeleteQueued(queue_, old_, c.id, &error), OperatorOutcome::kGone);
    }
}

TEST_F(MailQueueTest, MailThatCannotMoveWholeStaysQueuedWhole) {
    // Something in old/ in the way of either file (a directory cannot be renamed over).
    for (const char* blocked : {".cfg", ".eml"}) {
        SCOPED_TRACE(blocked);
        const uint32_t id = blocked[1] == 'c' ? 14 : 15;
        Queue(id, {"pending"});
        std::filesystem::create_directories(old_ + "/" + std::to_string(id) + blocked + "/x");
        std::string error;
        EXPECT_EQ(DeleteQueued(queue_, old_, id, &error), OperatorOutcome::kFailed);
        EXPECT_NE(error.find("cannot move mail " + std::to_string(id) + " to " + old_ + ": "),
                  std::string::npos)
            << error;
        EXPECT_TRUE(InQueue(id, ".cfg") && InQueue(id, ".eml"));
        EXPECT_FALSE(std::filesystem::is_regular_file(CompanionFile(old_, id)));
        EXPECT_FALSE(std::filesystem::is_regular_file(MessageFile(old_, id)));
        // Marked already, so the SEND service sends nothing more and only retries the move.
        EXPECT_EQ(ProfileSnapshot(CompanionFile(queue_, id)).GetString(kSection, "RcptStatus0", ""),
                  kDeletedByOperator);
    }
}

TEST_F(MailQueueTest, RetryRequestsAreTakenOnceAndNoneIsLostBetweenTwoLooks) {
    RetryRequestsSeen seen;
    EXPECT_TRUE(TakeRetryRequests(queue_, &seen).empty());  // no file yet

    // A key with a NUL byte is junk the store reads but refuses to write, even to remove it.
    const std::string unwritable("bad\0key=1\r\n", 11);
    app_.Write("queue/retry.cfg", "[Retry]\r\n21=1\r\njunk=1\r\n0=1\r\n4294967296=1\r\n" +
                                      unwritable +
                                      "22x=1\r\n; 23=1\r\n  25  =1\r\n[Other]\r\n24=1\r\n");
    std::vector<uint32_t> ids = TakeRetryRequests(queue_, &seen);
    EXPECT_EQ(ids, (std::vector<uint32_t>{21, 25}));
    // Taken keys leave the file, junk with them; what is not ours stays.
    EXPECT_EQ(app_.Read("queue/retry.cfg"),
              "[Retry]\r\n" + unwritable + "; 23=1\r\n[Other]\r\n24=1\r\n");
    EXPECT_TRUE(TakeRetryRequests(queue_, &seen).empty());

    // With nothing new the file is only looked at, never rewritten.
    struct stat before {};
    struct stat after {};
    ASSERT_EQ(stat(RetryRequestFile(queue_).c_str(), &before), 0);
    EXPECT_TRUE(TakeRetryRequests(queue_, &seen).empty());
    ASSERT_EQ(stat(RetryRequestFile(queue_).c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);
    EXPECT_EQ(before.st_ctim.tv_nsec, after.st_ctim.tv_nsec);

    // Requests made one after the other between two looks all arrive, each once.
    Queue(26, {""});
    Queue(27, {""});
    std::string error;
    ASSERT_EQ(RetryNow(queue_, 26, &error), OperatorOutcome::kDone) << error;
    ASSERT_EQ(RetryNow(queue_, 27, &error), OperatorOutcome::kDone) << error;
    ids = TakeRetryRequests(queue_, &seen);
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, (std::vector<uint32_t>{26, 27}));
    EXPECT_TRUE(TakeRetryRequests(queue_, &seen).empty());
}

TEST_F(MailQueueTest, RetryRequestsFromAnotherProcessArriveEachExactlyOnce) {
    constexpr uint32_t kRequests = 60;
    pid_t writer = fork();
    if (writer == 0) {
        for (uint32_t id = 1; id <= kRequests; ++id) {
            ProfileBatch request;
            request.Set(kRetrySection, std::to_string(id), "1");
            if (!request.Commit(RetryRequestFile(queue_))) {
                _exit(1);
            }
        }
        _exit(0);
    }
    ASSERT_GT(writer, 0);
    std::vector<int> times(kRequests + 1, 0);
    RetryRequestsSeen seen;
    bool writing = true;
    int status = 0;
    while (writing) {
        writing = waitpid(writer, &status, WNOHANG) == 0;
        // One more look after the writer ended takes whatever it wrote last.
        for (uint32_t id : TakeRetryRequests(queue_, &seen)) {
            ASSERT_TRUE(id >= 1 && id <= kRequests) << id;
            ++times[id];
        }
    }
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    for (uint32_t id = 1; id <= kRequests; ++id) {
        EXPECT_EQ(times[id], 1) << id;
    }
}

TEST_F(MailQueueTest, OnlyFilesOlderThanTheKeptDaysGo) {
    std::filesystem::create_directories(old_);
    const std::time_t now = 1'800'000'000;
    // Age in hours of each file, and whether 2 kept days leave it.
    const std::vector<std::pair<int, bool>> cases = {
        {0, true}, {47, true}, {49, false}, {24 * 30, false}};
    for (size_t i = 0; i < cases.size(); ++i) {
        std::string path = old_ + "/" + std::to_string(i) + ".eml";
        std::ofstream(path) << "x";
        timespec times[2];
        times[0].tv_sec = times[1].tv_sec = now - cases[i].first * 3600;
        times[0].tv_nsec = times[1].tv_nsec = 0;
        ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    }
    EXPECT_EQ(DeleteOlderThan(old_, 2, now), 2);
    for (size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(std::filesystem::exists(old_ + "/" + std::to_string(i) + ".eml"), cases[i].second)
            << cases[i].first << " hours";
    }
}

}  // namespace
}  // namespace mailqueue
