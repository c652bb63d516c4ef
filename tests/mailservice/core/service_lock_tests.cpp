// One service per application directory: a second holder in this process or another is refused
// with the holder's process named; the lock goes with the process, also when it is killed.
#include "core/service_lock.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <sys/wait.h>
#include <unistd.h>
#include <filesystem>

#include "core/mail_ids.h"
#include "support/temp_app_dir.h"

namespace relvo::mail {
namespace {

// A child process that takes the lock, reports, and waits to be killed.
pid_t HoldInChild(const std::string& directory, const char* name) {
    int ready[2];
    if (pipe(ready) != 0) {
        return -1;
    }
    pid_t child = fork();
    if (child == 0) {
        close(ready[0]);
        std::string why;
        auto lock = ServiceLock::AcquireIn(directory, name, &why);
        char answer = lock ? 'y' : 'n';
        ssize_t ignored = write(ready[1], &answer, 1);
        (void)ignored;
        pause();
        _exit(0);
    }
    close(ready[1]);
    char answer = 0;
    if (read(ready[0], &answer, 1) != 1 || answer != 'y') {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        child = -1;
    }
    close(ready[0]);
    return child;
}

TEST(ServiceLockTest, SecondHolderIsRefusedWithTheHoldingProcess) {
    TempAppDir app;
    pid_t child = HoldInChild(app.Path(), "smtp");
    ASSERT_GT(child, 0);

    std::string why;
    EXPECT_EQ(ServiceLock::Acquire("smtp", &why), nullptr);
    EXPECT_NE(why.find("SMTP service"), std::string::npos) << why;
    EXPECT_NE(why.find(app.Path()), std::string::npos) << why;
    EXPECT_NE(why.find("process " + std::to_string(child) + " ("), std::string::npos) << why;

    // The other service of the same directory is independent.
    auto send = ServiceLock::Acquire("send", &why);
    EXPECT_NE(send, nullptr) << why;

    // Killed without any clean-up, the holder leaves the lock free.
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    auto smtp = ServiceLock::Acquire("smtp", &why);
    ASSERT_NE(smtp, nullptr) << why;

    // A second start inside this process is refused too and names this process.
    std::string again;
    EXPECT_EQ(ServiceLock::Acquire("smtp", &again), nullptr);
    EXPECT_NE(again.find("process " + std::to_string(getpid())), std::string::npos) << again;

    smtp.reset();
    EXPECT_NE(ServiceLock::Acquire("smtp", &why), nullptr) << why;
}

// The lock and id files are opened for writing and truncated: one planted as a link to another
// file must be refused, never followed.
TEST(ServiceLockTest, LinksInPlaceOfTheLockOrIdFileAreNotFollowed) {
    TempAppDir app;
    const std::string victim = "a file the link points at\n";
    app.Write("victim", victim);
    std::filesystem::create_symlink(app.File("victim"), app.File("smtpservice.lock"));
    std::filesystem::create_symlink(app.File("victim"), app.File("mailid.next"));

    std::string why;
    EXPECT_EQ(ServiceLock::Acquire("smtp", &why), nullptr);
    EXPECT_NE(why.find("smtpservice.lock"), std::string::npos) << why;
    EXPECT_EQ(MailIdAllocator(app.File("mailid.next"), {}, 7).Next(), 0u);
    EXPECT_EQ(app.Read("victim"), victim);
}

}  // namespace
}  // namespace relvo::mail
