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
#include "app/private_directory.h"
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
    EnvironmentOverride(const EnvironmentOverride&) = delete;
    EnvironmentOverride& operator=(const EnvironmentOverride&) = delete;

  private:
    const char* name_;
    std::optional<QByteArray> old_;
};

bool WaitFor(const std::function<bool()>& condition, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeoutMs) {
            return false;
        }
        QTest::qWait(20);
    }
    return true;
}

QString AppDir(const TempAppDir& dir) {
    return QString::fromStdString(dir.Path());
}

bool IsPrivateDirectory(const QString& path) {
    struct stat info {};
    return lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISDIR(info.st_mode) &&
           info.st_uid == getuid() && (info.st_mode & (S_IRWXG | S_IRWXO)) == 0;
}

// A raw client of the channel's socket, connected without Qt; -1 when that failed.
int ConnectRaw(const QString& serverName) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    QByteArray path = QFile::encodeName(serverName);
    if (fd < 0 || path.size() >= static_cast<int>(sizeof(address.sun_path))) {
        return -1;
    }
    std::copy(path.begin(), path.end(), address.sun_path);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Whether the other end has closed the connection (nothing is ever sent to these clients).
bool ClosedByPeer(int fd) {
    char byte = 0;
    return recv(fd, &byte, 1, MSG_DONTWAIT) == 0;
}

bool DeliversRequests(InstanceChannel& running, InstanceChannel& other) {
    QSignalSpy forward(&running, &InstanceChannel::bringForwardRequested);
    return other.SendRequest(InstanceChannel::Request::BringForward) &&
           (forward.count() > 0 || forward.wait(2000));
}

// A shared temporary directory like /tmp (everyone may create, the sticky bit set), made the
// temporary directory of this process and of the consoles it starts.
class SharedTempTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(shared.isValid());
        ASSERT_EQ(chmod(QFile::encodeName(shared.path()).constData(), 01777), 0);
    }

    QString Fallback() const {
        return shared.path() + QStringLiteral("/relvoconsole-%1").arg(getuid());
    }

    QTemporaryDir shared;
    EnvironmentOverride tmpdir{"TMPDIR", QFile::encodeName(shared.path())};
    TempAppDir app;
};

struct PlaceCase {
    const char* name;
    bool needsRoot;  // only root can hand a directory to another user
    // Prepares the runtime directory and the shared temporary directory; returns the value for
    // XDG_RUNTIME_DIR (none: unset).
    std::function<std::optional<QByteArray>(const QString& shared, const QString& fallback)>
        prepare;
    // The directory the channel must use; "" when it must refuse to start.
    std::function<QString(const QString& shared, const QString& fallback)> expected;
    const char* problemText;  // part of the reason for a refusal
};

QString MakeDirectory(const QString& path, mode_t mode, uid_t owner = getuid()) {
    QByteArray name = QFile::encodeName(path);
    if (mkdir(name.constData(), mode) != 0 || chmod(name.constData(), mode) != 0 ||
        chown(name.constData(), owner, static_cast<gid_t>(-1)) != 0) {
        ADD_FAILURE() << "cannot prepare " << path.toStdString();
    }
    return path;
}

}  // namespace

TEST_F(SharedTempTest, LockAndSocketLiveOnlyWhereNoOtherUserCanWrite) {
    const QString runtimeName = QStringLiteral("/runtime");
    const std::vector<PlaceCase> cases = {
        {"a runtime directory of one's own", false,
         [&](const QString& s, const QString&) {
             return QFile::encodeName(MakeDirectory(s + runtimeName, 0700));
         },
         [&](const QString& s, const QString&) { return s + runtimeName; }, ""},
        {"no runtime directory", false, [](const QString&, const QString&) { return std::nullopt; },
         [](const QString&, const QString& f) { return f; }, ""},
        {"a relative runtime directory", false,
         [](const QString&, const QString&) { return QByteArray("run"); },
         [](const QString&, const QString& f) { return f; }, ""},
        {"a runtime directory open to others", false,
         [&](const QString& s, const QString&) {
             return QFile::encodeName(MakeDirectory(s + runtimeName, 0777));
         },
         [](const QString&, const QString& f) { return f; }, ""},
        {"a runtime directory of another user", true,
         [&](const QString& s, const QString&) {
             return QFile::encodeName(MakeDirectory(s + runtimeName, 0700, kOtherUser));
         },
         [](const QString&, const QString& f) { return f; }, ""},
        // Where Qt would put its own default runtime directory, taken by another user first.
        {"the usual default runtime directory taken by another user", true,
         [](const QString& s, const QString&) {
             MakeDirectory(s + QStringLiteral("/runtime-") +
                               QString::fromLocal8Bit(getpwuid(getuid())->pw_name),
                           0700, kOtherUser);
             return std::nullopt;
         },
         [](const QString&, const QString& f) { return f; }, ""},
        {"a fallback of one's own left open to others", false,
         [](const QString&, const QString& f) {
             MakeDirectory(f, 0777);
             return std::nullopt;
         },
         [](const QString&, const QString& f) { return f; }, ""},
        {"a fallback made by another user", true,
         [](const QString&, const QString& f) {
             MakeDirectory(f, 0700, kOtherUser);
             return std::nullopt;
         },
         [](const QString&, const QString&) { return QString(); }, "belongs to another user"},
        {"a fallback that is a symbolic link", false,
         [](const QString& s, const QString& f) {
             MakeDirectory(s + QStringLiteral("/elsewhere"), 0700);
             EXPECT_TRUE(QFile::link(s + QStringLiteral("/elsewhere"), f));
             return std::nullopt;
         },
         [](const QString&, const QString&) { return QString(); }, "symbolic link"},
    };
    for (const PlaceCase& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needsRoot && getuid() != 0) {
            continue;
        }
        QTemporaryDir shared;  // one fresh shared directory per case
        ASSERT_EQ(chmod(QFile::encodeName(shared.path()).constData(), 01777), 0);
        EnvironmentOverride tmp("TMPDIR", QFile::encodeName(shared.path()));
        QString fallback = shared.path() + QStringLiteral("/relvoconsole-%1").arg(getuid());
        EnvironmentOverride runtime("XDG_RUNTIME_DIR", c.prepare(shared.path(), fallback));
        QString expected = c.expected(shared.path(), fallback);

        InstanceChannel first(AppDir(app));
        InstanceChannel second(AppDir(app));
        if (expected.isEmpty()) {
            EXPECT_TRUE(first.Problem().contains(fallback)) << first.Problem().toStdString();
            EXPECT_TRUE(first.Problem().contains(QLatin1String(c.problemText)))
                << first.Problem().toStdString();
            EXPECT_FALSE(first.TryBecomeInstance());
            EXPECT_FALSE(second.SendRequest(InstanceChannel::Request::Shutdown));
            // Nothing of the channel was put anywhere.
            EXPECT_EQ(QDir(shared.path()).entryList({"*.lock", "*.sock"}), QStringList());
            continue;
        }
        EXPECT_EQ(first.Problem(), QString());
        EXPECT_EQ(QFileInfo(first.LockPath()).absolutePath(), expected);
        EXPECT_EQ(QFileInfo(first.ServerName()).absolutePath(), expected);
        QString used = QFileInfo(first.LockPath()).absolutePath();
        EXPECT_TRUE(IsPrivateDirectory(used)) << used.toStdString();
        if (!first.TryBecomeInstance()) {
            ADD_FAILURE() << "not elected";
            continue;
        }
        EXPECT_FALSE(second.TryBecomeInstance());
        EXPECT_TRUE(DeliversRequests(first, second));
    }
}

TEST_F(SharedTempTest, AConsoleWithNoSafePlaceRefusesToStartAndSaysWhy) {
    MakeDirectory(shared.path() + QStringLiteral("/elsewhere"), 0700);
    ASSERT_TRUE(QFile::link(shared.path() + QStringLiteral("/elsewhere"), Fallback()));
    QProcess console;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("RELVO_APP_DIR"), AppDir(app));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("TMPDIR"), shared.path());
    environment.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    console.setProcessEnvironment(environment);
    console.start(QStringLiteral(RELVO_CONSOLE_PATH), {});
    ASSERT_TRUE(console.waitForFinished(10000));
    EXPECT_EQ(console.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(console.exitCode(), 1);
    QString errors = QString::fromLocal8Bit(console.readAllStandardError());
    EXPECT_TRUE(errors.contains(Fallback() + QStringLiteral(" is a symbolic link")))
        << errors.toStdString();
    EXPECT_TRUE(errors.contains(QLatin1String("XDG_RUNTIME_DIR"))) << errors.toStdString();
    EXPECT_EQ(QDir(shared.path() + QStringLiteral("/elsewhere")).entryList(QDir::NoDotAndDotDot),
              QStringList());
}

struct LeftoverLock {
    const char* name;
    std::function<void(const QString& lockPath, const QString& outside)> make;
};

TEST(InstanceLock, ThatNoLiveProcessHoldsIsTakenOverWhateverItHolds) {
    TempAppDir app;
    QTemporaryDir outside;
    const QString victim = outside.path() + QStringLiteral("/victim");
    auto write = [](const QString& path, const QByteArray& bytes) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(bytes);
    };
    const std::vector<LeftoverLock> cases = {
        // a crash between creating the file and writing it
        {"an empty lock file", [&](const QString& p, const QString&) { write(p, ""); }},
        {"a lock file nobody may read",
         [&](const QString& p, const QString&) {
             write(p, "12\n");
             chmod(QFile::encodeName(p).constData(), 0);
         }},
        {"a lock file of junk", [&](const QString& p, const QString&) { write(p, "\x01junk"); }},
        {"a lock naming a process that is gone",
         [&](const QString& p, const QString&) { write(p, "999999999\nrelvoconsole\nhost\n"); }},
        // after a restart the number may belong to any process
        {"a lock naming a live process that holds no lock",
         [&](const QString& p, const QString&) {
             write(p, QByteArray::number(getppid()) + "\nrelvoconsole\n\n");
         }},
        {"a symbolic link to a file elsewhere",
         [&](const QString& p, const QString& o) {
             write(o, "keep me");
             ASSERT_TRUE(QFile::link(o, p));
         }},
        {"a FIFO",
         [&](const QString& p, const QString&) {
             ASSERT_EQ(mkfifo(QFile::encodeName(p).constData(), 0600), 0);
         }},
    };
    for (const LeftoverLock& c : cases) {
        SCOPED_TRACE(c.name);
        InstanceChannel first(AppDir(app));
        InstanceChannel second(AppDir(app));
        QFile::remove(first.LockPath());
        c.make(first.LockPath(), victim);
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
    ASSERT_TRUE(QFile::remove(blocked.LockPath()));
    ASSERT_TRUE(QDir().mkdir(blocked.LockPath()));
    EXPECT_FALSE(blocked.TryBecomeInstance());
    EXPECT_TRUE(blocked.Problem().contains(blocked.LockPath())) << blocked.Problem().toStdString();
    EXPECT_TRUE(QDir().rmdir(blocked.LockPath()));
}

TEST(InstancePeers, ThatHoldConnectionsOpenAreCappedAndDropped) {
    TempAppDir app;
    InstanceChannel running(AppDir(app));
    InstanceChannel other(AppDir(app));
    ASSERT_TRUE(running.TryBecomeInstance());
    constexpr int kIdlePeers = 40;
    std::vector<int> peers;
    for (int i = 0; i < kIdlePeers; ++i) {
        int fd = ConnectRaw(running.ServerName());
        ASSERT_GE(fd, 0);
        peers.push_back(fd);
    }
    auto open = [&] {
        return std::count_if(peers.begin(), peers.end(), [](int fd) { return !ClosedByPeer(fd); });
    };
    // Once all are accepted, no more than the cap are still served.
    EXPECT_TRUE(WaitFor([&] { return open() <= InstanceChannel::kMaxPeers; }, 1000)) << open();
    EXPECT_TRUE(DeliversRequests(running, other));
    EXPECT_TRUE(WaitFor([&] { return open() == 0; }, InstanceChannel::kPeerLifetimeMs + 2000))
        << open();
    for (int fd : peers) {
        close(fd);
    }
    EXPECT_TRUE(DeliversRequests(running, other));
}

TEST(InstancePeers, ARunningConsoleListensAgainAfterRunningOutOfDescriptors) {
    TempAppDir app;
    InstanceChannel running(AppDir(app));
    InstanceChannel other(AppDir(app));
    ASSERT_TRUE(running.TryBecomeInstance());
    int client = ConnectRaw(running.ServerName());
    ASSERT_GE(client, 0);
    close(client);
    QTest::qWait(50);

    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit small = saved;
    small.rlim_cur = std::min<rlim_t>(saved.rlim_cur, 1024);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &small), 0);
    // The client's socket exists before the descriptors run out: connecting needs none more.
    client = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(null, 0);
    std::vector<int> filler{null};
    for (int fd = dup(null); fd >= 0; fd = dup(null)) {
        filler.push_back(fd);
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    QByteArray path = QFile::encodeName(running.ServerName());
    std::copy(path.begin(), path.end(), address.sun_path);
    int connected = ::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    QTest::qWait(300);  // the server fails to accept it
    for (int fd : filler) {
        close(fd);
    }
    setrlimit(RLIMIT_NOFILE, &saved);
    close(client);
    ASSERT_EQ(connected, 0);
    ASSERT_GT(filler.size(), 0u);

    // Later starts reach the console again, within a short while.
    EXPECT_TRUE(WaitFor([&] { return other.IsInstanceRunning(); }, 3000));
    EXPECT_TRUE(DeliversRequests(running, other));
}
