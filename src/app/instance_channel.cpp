#include "app/instance_channel.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/private_directory.h"

namespace {

constexpr int kConnectTimeoutMs = 200;
constexpr int kWriteTimeoutMs = 500;
constexpr qint64 kLineLimit = 64;
const QByteArray kBringForward = "bring-forward\n";
const QByteArray kWindowShown = "shown\n";
const QByteArray kWindowNotShown = "not-shown\n";
// The running console handles a request at its next turn of the event loop.
constexpr int kAnswerTimeoutMs = 2000;
const QByteArray kShutdown = "shutdown\n";

QString ChannelKey(const QString& applicationDirectory) {
    QByteArray digest = QCryptographicHash::hash(QDir::cleanPath(applicationDirectory).toUtf8(),
                                                 QCryptographicHash::Sha256);
    return QStringLiteral("relvoconsole-%1-%2")
        .arg(getuid())
        .arg(QString::fromLatin1(digest.toHex().left(16)));
}

bool IsOwnRegularFile(int fd) {
    struct stat info {};
    return fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == getuid();
}

// Opens the lock file without following links. The directory is this user's alone, so anything
// else at that name (a link, a FIFO, a file nobody can open) is debris of a crash or of a hand:
// it is removed and the file made afresh. -1 with *problem set when that fails.
int OpenLockFile(const QString& path, QString* problem) {
    QByteArray name = QFile::encodeName(path);
    for (int attempt = 0; attempt < 2; ++attempt) {
        int fd = open(name.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                      S_IRUSR | S_IWUSR);
        if (fd >= 0 && IsOwnRegularFile(fd)) {
            return fd;
        }
        int error = errno;
        if (fd >= 0) {
            close(fd);
            error = EEXIST;
        }
        if (unlink(name.constData()) != 0 && errno != ENOENT) {
            *problem = QStringLiteral("cannot use %1: %2")
                           .arg(path, QString::fromLocal8Bit(std::strerror(error)));
            return -1;
        }
    }
    *problem = QStringLiteral("cannot create %1").arg(path);
    return -1;
}

// For whoever looks at the file; the election itself rests on the kernel's lock alone, which
// goes with the process that held it, however it ended.
void WriteOwner(int fd) {
    QByteArray text = QByteArray::number(static_cast<qint64>(getpid())) + '\n';
    if (ftruncate(fd, 0) == 0) {
        [[maybe_unused]] ssize_t ignored = pwrite(fd, text.constData(), text.size(), 0);
    }
}

}  // namespace

InstanceChannel::InstanceChannel(const QString& applicationDirectory, QObject* parent)
    : QObject(parent) {
    PrivateDirectory directory = FindPrivateDirectory();
    problem_ = directory.problem;
    if (problem_.isEmpty()) {
        QString key = ChannelKey(applicationDirectory);
        serverName_ = directory.path + QLatin1Char('/') + key + QStringLiteral(".sock");
        lockPath_ = directory.path + QLatin1Char('/') + key + QStringLiteral(".lock");
    }
    listenCheck_.setInterval(kListenCheckMs);
    connect(&listenCheck_, &QTimer::timeout, this, &InstanceChannel::KeepListening);
}

InstanceChannel::~InstanceChannel() {
    Release();
}

bool InstanceChannel::TryBecomeInstance() {
    if (IsInstance()) {
        return true;
    }
    if (!problem_.isEmpty()) {
        return false;
    }
    QString problem;
    int fd = OpenLockFile(lockPath_, &problem);
    if (fd < 0) {
        problem_ = problem;
        return false;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return false;
    }
    lockFd_ = fd;
    WriteOwner(fd);
    Listen();
    listenCheck_.start();
    return true;
}

void InstanceChannel::Listen() {
    // We hold the lock, so whoever owned the name before is gone (or was never a console): its
    // socket file may be left over.
    QLocalServer::removeServer(serverName_);
    auto server = std::make_unique<QLocalServer>();
    if (!server->listen(serverName_)) {
        server_.reset();  // tried again by the next check
        return;
    }
    connect(server.get(), &QLocalServer::newConnection, this, &InstanceChannel::AcceptConnections);
    server_ = std::move(server);
}

void InstanceChannel::KeepListening() {
    if (IsInstance() && (!server_ || !server_->isListening())) {
        Listen();
    }
}

void InstanceChannel::Release() {
    listenCheck_.stop();
    if (server_) {
        server_->close();
        server_.reset();
    }
    for (const QPointer<QLocalSocket>& peer : std::as_const(peers_)) {
        if (peer) {
            peer->abort();
            peer->deleteLater();
        }
    }
    peers_.clear();
    if (lockFd_ >= 0) {
        // The file stays: removing it would let a process that opened it just before take a lock
        // on a name nobody else sees.
        close(lockFd_);
        lockFd_ = -1;
    }
}

bool InstanceChannel::SendRequest(Request request, bool* windowShown) {
    if (!problem_.isEmpty()) {
        return false;
    }
    QLocalSocket socket;
    socket.connectToServer(serverName_);
    if (!socket.waitForConnected(kConnectTimeoutMs)) {
        return false;
    }
    socket.write(request == Request::Shutdown ? kShutdown : kBringForward);
    bool written = socket.waitForBytesWritten(kWriteTimeoutMs) || socket.bytesToWrite() == 0;
    if (written && windowShown != nullptr) {
        *windowShown = false;
        QElapsedTimer waited;
        waited.start();
        while (!socket.canReadLine() && waited.elapsed() < kAnswerTimeoutMs &&
               socket.state() == QLocalSocket::ConnectedState) {
            socket.waitForReadyRead(static_cast<int>(kAnswerTimeoutMs - waited.elapsed()));
        }
        *windowShown = socket.canReadLine() && socket.readLine(kLineLimit) == kWindowShown;
    }
    socket.disconnectFromServer();
    return written;
}

bool InstanceChannel::IsInstanceRunning() const {
    if (!problem_.isEmpty()) {
        return false;
    }
    QLocalSocket socket;
    socket.connectToServer(serverName_);
    bool running = socket.waitForConnected(kConnectTimeoutMs);
    socket.abort();
    return running;
}

void InstanceChannel::AcceptConnections() {
    while (QLocalSocket* socket = server_ ? server_->nextPendingConnection() : nullptr) {
        ServePeer(socket);
    }
}

void InstanceChannel::ServePeer(QLocalSocket* socket) {
    // Owned by the channel, not the server: a request may close the server while the socket is
    // still in its own handler.
    socket->setParent(this);
    peers_.removeAll(QPointer<QLocalSocket>());
    while (peers_.size() >= kMaxPeers) {
        // Peers that hold a connection open must not use up the descriptors: the newest one is
        // the likeliest to carry a request.
        QPointer<QLocalSocket> oldest = peers_.takeFirst();
        if (oldest) {
            oldest->abort();
            oldest->deleteLater();
        }
    }
    peers_.append(socket);
    QTimer::singleShot(kPeerLifetimeMs, socket, [socket] {
        socket->abort();
        socket->deleteLater();
    });
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
        while (socket->canReadLine()) {
            QByteArray line = socket->readLine(kLineLimit);
            if (line == kShutdown) {
                emit shutdownRequested();
            } else if (line == kBringForward) {
                emit bringForwardRequested();
                if (windowShownCheck_) {
                    socket->write(windowShownCheck_() ? kWindowShown : kWindowNotShown);
                    socket->flush();  // now: the asking process waits for it
                }
            }
        }
        // A peer that sends junk without line ends gets no unbounded buffer.
        if (socket->bytesAvailable() > kLineLimit) {
            socket->abort();
        }
    });
}
