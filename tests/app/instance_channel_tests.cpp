// The single-instance channel under hostile conditions: where its files may live, lock files left
// by crashes or hands, peers that hold connections open, and a process out of descriptors.
#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <functional>
#include <optional>
#include <vector>

#include <fcntl.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "app/instance_channel.h"
#include "support/qt_print.h"
#include "support/temp_app_dir.h"

namespace {

constexpr uid_t kOtherUser = 65534;  // "nobody"

// Sets or removes an environment variable for one scope.
class EnvironmentOverride {
  public:
    EnvironmentOverride(const char* name, std::optional<QByteArray> value) : name_(name) {
        if (qEnvironmentVariableIsSet(name)) {
            old_ = qgetenv(name);
        }
        value ? qputenv(name, *value) : qunsetenv(name);
    }
    ~EnvironmentOverride() { old_ ? qputenv(name_, *old_) : qunsetenv(name_); }

  private:
    const char* name_;
    std::optional<QByteArray> old_;
};

bool WaitFor(const std::function<bool()>& condition, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (!condition() && timer.elapsed() <= timeoutMs) {
        QTest::qWait(20);
    }
    return condition();
}

QString AppDir(const TempAppDir& dir) {
    return QString::fromStdString(dir.Path());
}

QByteArray Name(const QString& path) {
    return QFile::encodeName(path);
}

bool IsPrivateDirectory(const QString& path) {
    struct stat info {};
    return lstat(Name(path), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == getuid() &&
           (info.st_mode & (S_IRWXG | S_IRWXO)) == 0;
}

void MakeDirectory(const QString& path, mode_t mode, uid_t owner = getuid()) {
    if (mkdir(Name(path), mode) != 0 || chmod(Name(path), mode) != 0 ||
        chown(Name(path), owner, static_cast<gid_t>(-1)) != 0) {
        ADD_FAILURE() << "cannot prepare " << path.toStdString();
    }
}

// A shared directory like /tmp: everyone may create in it, the sticky bit set.
void MakeShared(const QTemporaryDir& dir) {
    ASSERT_TRUE(dir.isValid());
    ASSERT_EQ(chmod(Name(dir.path()), 01777), 0);
}

// Connects a raw client socket to the channel's socket; false when that failed.
bool ConnectRaw(int fd, const QString& serverName) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    QByteArray path = Name(serverName);
    if (fd < 0 || path.size() >= static_cast<int>(sizeof(address.sun_path))) {
        return false;
    }
    std::copy(path.begin(), path.end(), address.sun_path);
    return ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
}

int RawSocket() {
    return socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
}

bool DeliversRequests(InstanceChannel& running, InstanceChannel& other) {
    QSignalSpy forward(&running, &InstanceChannel::bringForwardRequested);
    return other.SendRequest(InstanceChannel::Request::BringForward) &&
           (forward.count() > 0 || forward.wait(2000));
}

enum class Place { kRuntime, kFallback, kRefused };

struct PlaceCase {
    const char* name;
    bool needsRoot;  // only root can hand a directory to another user
    // Prepares the shared temporary directory; returns the value for XDG_RUNTIME_DIR (none:
    // unset). runtime is a free name for a runtime directory, fallback the console's own name.
    std::function<std::optional<QByteArray>(const QString& shared, const QString& runtime,
                                            const QString& fallback)>
        prepare;
    Place expected;
    const char* problem = "";  // part of the reason for a refusal
};

}  // namespace

TEST(InstancePlace, LockAndSocketLiveOnlyWhereNoOtherUserCanWrite) {
    using Path = const QString&;
    const std::vector<PlaceCase> cases = {
        {"a runtime directory of one's own", false,
         [](Path, Path r, Path) { return MakeDirectory(r, 0700), Name(r); }, Place::kRuntime},
        {"no runtime directory", false, [](Path, Path, Path) { return std::nullopt; },
         Place::kFallback},
        {"a relative runtime directory", false, [](Path, Path, Path) { return "run"; },
         Place::kFallback},
        {"a runtime directory open to others", false,
         [](Path, Path r, Path) { return MakeDirectory(r, 0777), Name(r); }, Place::kFallback},
        {"a runtime directory of another user", true,
         [](Path, Path r, Path) { return MakeDirectory(r, 0700, kOtherUser), Name(r); },
         Place::kFallback},
        // where Qt puts its default runtime directory, taken by another user first
        {"the usual default runtime directory taken by another user", true,
         [](Path s, Path, Path) {
             MakeDirectory(s + "/runtime-" + getpwuid(getuid())->pw_name, 0700, kOtherUser);
             return std::nullopt;
         },
         Place::kFallback},
        {"a fallback of one's own left open to others", false,
         [](Path, Path, Path f) { return MakeDirectory(f, 0777), std::nullopt; }, Place::kFallback},
        {"a fallback made by another user", true,
         [](Path, Path, Path f) { return MakeDirectory(f, 0700, kOtherUser), std::nullopt; },
         Place::kRefused, "belongs to another user"},
        {"a fallback that is a symbolic link", false,
         [](Path, Path r, Path f) {
             MakeDirectory(r, 0700);
             EXPECT_TRUE(QFile::link(r, f));
             return std::nullopt;
         },
         Place::kRefused, "is a symbolic link"},
    };
    TempAppDir app;
    for (const PlaceCase& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needsRoot && getuid() != 0) {
            continue;
        }
        QTemporaryDir shared;
        MakeShared(shared);
        EnvironmentOverride tmp("TMPDIR", Name(shared.path()));
        QString runtime = shared.path() + "/runtime";
        QString fallback = shared.path() + QString("/relvoconsole-%1").arg(getuid());
        EnvironmentOverride xdg("XDG_RUNTIME_DIR", c.prepare(shared.path(), runtime, fallback));

        InstanceChannel first(AppDir(app));
        InstanceChannel second(AppDir(app));
        if (c.expected == Place::kRefused) {
            EXPECT_TRUE(first.Problem().contains(fallback + " " + c.problem))
                << first.Problem().toStdString();
            EXPECT_FALSE(first.TryBecomeInstance());
            EXPECT_FALSE(second.SendRequest(InstanceChannel::Request::Shutdown));
            EXPECT_EQ(QDir(shared.path()).entryList({"*.lock", "*.sock"}), QStringList());
            continue;
        }
        QString used = QFileInfo(first.LockPath()).absolutePath();
        EXPECT_EQ(used, c.expected == Place::kRuntime ? runtime : fallback);
        EXPECT_EQ(QFileInfo(first.ServerName()).absolutePath(), used);
        EXPECT_TRUE(IsPrivateDirectory(used)) << used.toStdString();
        EXPECT_TRUE(first.TryBecomeInstance()) << first.Problem().toStdString();
        EXPECT_FALSE(second.TryBecomeInstance());
        EXPECT_TRUE(DeliversRequests(first, second));
    }
}

TEST(InstancePlace, AConsoleWithNoSafePlaceRefusesToStartAndSaysWhy) {
    struct Case {
        QStringList arguments;
        const char* lead;  // how the line on the error output that says why begins
    };
    const Case cases[] = {
        {{}, "relvoconsole: cannot make sure that only one console runs: "},
        {{"-uninstall"}, "relvoconsole: Relvo SMTP Server cannot reach a running console here. ("},
    };
    for (const Case& c : cases) {
        TempAppDir app;
        QTemporaryDir shared;
        MakeShared(shared);
        QString fallback = shared.path() + QString("/relvoconsole-%1").arg(getuid());
        MakeDirectory(shared.path() + "/elsewhere", 0700);
        ASSERT_TRUE(QFile::link(shared.path() + "/elsewhere", fallback));

        QProcess console;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("RELVO_APP_DIR", AppDir(app));
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        environment.insert("TMPDIR", shared.path());
        environment.remove("XDG_RUNTIME_DIR");
        console.setProcessEnvironment(environment);
        console.start(RELVO_CONSOLE_PATH, c.arguments);
        ASSERT_TRUE(console.waitForFinished(10000));
        EXPECT_EQ(console.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(console.exitCode(), 1);
        QString errors = QString::fromLocal8Bit(console.readAllStandardError());
        EXPECT_TRUE(errors.contains(c.lead)) << errors.toStdString();
        EXPECT_TRUE(errors.contains(fallback + " is a symbolic link")) << errors.toStdString();
        EXPECT_EQ(console.readAllStandardOutput(), "") << "nothing said as if it had worked";
        EXPECT_EQ(QDir(shared.path() + "/elsewhere").entryList(QDir::NoDotAndDotDot),
                  QStringList());
    }
}

TEST(InstanceLock, ThatNoLiveProcessHoldsIsTakenOverWhateverItHolds) {
    TempAppDir app;
    QTemporaryDir outside;
    const QString victim = outside.path() + "/victim";
    auto write = [](const QString& path, const QByteArray& bytes) {
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    };
    const std::vector<std::pair<const char*, std::function<void(const QString&)>>> cases = {
        // a crash between creating the file and writing it
        {"an empty lock file", [&](const QString& p) { write(p, ""); }},
        {"a lock file nobody may read",
         [&](const QString& p) { write(p, "12\n"), chmod(Name(p), 0); }},
        {"a lock file of junk", [&](const QString& p) { write(p, "\x01junk"); }},
        {"a lock naming a process that is gone",
         [&](const QString& p) { write(p, "999999999\nrelvoconsole\nhost\n"); }},
        // after a restart the number may belong to any process
        {"a lock naming a live process that holds no lock",
         [&](const QString& p) { write(p, QByteArray::number(getppid()) + "\nrelvoconsole\n\n"); }},
        {"a symbolic link to a file elsewhere",
         [&](const QString& p) {
             write(victim, "keep me");
             EXPECT_TRUE(QFile::link(victim, p));
         }},
        {"a FIFO", [&](const QString& p) { EXPECT_EQ(mkfifo(Name(p), 0600), 0); }},
    };
    for (const auto& [name, make] : cases) {
        SCOPED_TRACE(name);
        InstanceChannel first(AppDir(app));
        InstanceChannel second(AppDir(app));
        QFile::remove(first.LockPath());
        make(first.LockPath());
        ASSERT_TRUE(first.TryBecomeInstance()) << first.Problem().toStdString();
        EXPECT_FALSE(second.TryBecomeInstance());
        EXPECT_TRUE(QFileInfo(first.LockPath()).isFile());
        EXPECT_FALSE(QFileInfo(first.LockPath()).isSymLink());
        EXPECT_TRUE(DeliversRequests(first, second));
        first.Release();
        EXPECT_TRUE(second.TryBecomeInstance());
    }
    QFile victimFile(victim);
    ASSERT_TRUE(victimFile.open(QIODevice::ReadOnly));
    EXPECT_EQ(victimFile.readAll(), "keep me");

    // A directory is not removed to make room: no election, and a reason that names it.
    InstanceChannel blocked(AppDir(app));
    ASSERT_TRUE(QFile::remove(blocked.LockPath()) && QDir().mkdir(blocked.LockPath()));
    EXPECT_FALSE(blocked.TryBecomeInstance());
    EXPECT_TRUE(blocked.Problem().contains(blocked.LockPath())) << blocked.Problem().toStdString();
    EXPECT_TRUE(QDir().rmdir(blocked.LockPath()));
}

TEST(InstancePeers, ThatHoldConnectionsOpenAreCappedAndDropped) {
    TempAppDir app;
    InstanceChannel running(AppDir(app));
    InstanceChannel other(AppDir(app));
    ASSERT_TRUE(running.TryBecomeInstance());
    std::vector<int> peers(40);
    for (int& fd : peers) {
        fd = RawSocket();
        ASSERT_TRUE(ConnectRaw(fd, running.ServerName()));
    }
    // Peers the console still serves (nothing is ever sent to these clients).
    auto served = [&] {
        char byte = 0;
        return std::count_if(peers.begin(), peers.end(),
                             [&](int fd) { return recv(fd, &byte, 1, MSG_DONTWAIT) != 0; });
    };
    EXPECT_TRUE(WaitFor([&] { return served() <= InstanceChannel::kMaxPeers; }, 1000)) << served();
    EXPECT_TRUE(DeliversRequests(running, other));
    EXPECT_TRUE(WaitFor([&] { return served() == 0; }, InstanceChannel::kPeerLifetimeMs + 2000))
        << served();
    std::for_each(peers.begin(), peers.end(), close);
    EXPECT_TRUE(DeliversRequests(running, other));
}

TEST(InstancePeers, ARunningConsoleListensAgainAfterRunningOutOfDescriptors) {
    TempAppDir app;
    InstanceChannel running(AppDir(app));
    InstanceChannel other(AppDir(app));
    ASSERT_TRUE(running.TryBecomeInstance());

    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit small = saved;
    small.rlim_cur = std::min<rlim_t>(saved.rlim_cur, 1024);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &small), 0);
    // The client's socket exists before the descriptors run out: connecting needs none more.
    int client = RawSocket();
    std::vector<int> filler{open("/dev/null", O_RDONLY | O_CLOEXEC)};
    while (filler.back() >= 0) {
        filler.push_back(dup(filler.front()));
    }
    filler.pop_back();
    bool connected = ConnectRaw(client, running.ServerName());
    QTest::qWait(300);  // the server fails to accept it
    std::for_each(filler.begin(), filler.end(), close);
    setrlimit(RLIMIT_NOFILE, &saved);
    close(client);
    ASSERT_TRUE(connected);
    ASSERT_FALSE(filler.empty());

    // Later starts reach the console again, within a short while.
    EXPECT_TRUE(WaitFor([&] { return other.IsInstanceRunning(); }, 3000));
    EXPECT_TRUE(DeliversRequests(running, other));
}
