#include "app/instance_channel.h"

#include <QCryptographicHash>
#include <QDir>
#include <QLocalSocket>
#include <QStandardPaths>

#include <unistd.h>

namespace {

constexpr int kConnectTimeoutMs = 200;
constexpr int kWriteTimeoutMs = 500;
const QByteArray kBringForward = "bring-forward\n";
const QByteArray kShutdown = "shutdown\n";

// A directory only this user can write, so that another user can neither take the election
// nor send requests: the runtime directory when there is one, else the temporary directory.
QString PrivateDirectory() {
    QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    return runtime.isEmpty() ? QDir::tempPath() : runtime;
}

QString ChannelKey(const QString& applicationDirectory) {
    QByteArray digest = QCryptographicHash::hash(QDir::cleanPath(applicationDirectory).toUtf8(),
                                                 QCryptographicHash::Sha256);
    return QStringLiteral("relvoconsole-%1-%2")
        .arg(getuid())
        .arg(QString::fromLatin1(digest.toHex().left(16)));
}

}  // namespace

InstanceChannel::InstanceChannel(const QString& applicationDirectory, QObject* parent)
    : QObject(parent) {
    QString key = ChannelKey(applicationDirectory);
    QString directory = PrivateDirectory();
    serverName_ = directory + QLatin1Char('/') + key + QStringLiteral(".sock");
    lockPath_ = directory + QLatin1Char('/') + key + QStringLiteral(".lock");
}

InstanceChannel::~InstanceChannel() {
    Release();
}

bool InstanceChannel::TryBecomeInstance() {
    if (server_) {
        return true;
    }
    auto lock = std::make_unique<QLockFile>(lockPath_);
    // A lock is stale only when its process is gone, never because of its age.
    lock->setStaleLockTime(0);
    if (!lock->tryLock(0)) {
        return false;
    }
    // Whoever held the name before is dead (we hold the lock): its socket file may be left over.
    QLocalServer::removeServer(serverName_);
    auto server = std::make_unique<QLocalServer>();
    if (!server->listen(serverName_)) {
        return false;
    }
    connect(server.get(), &QLocalServer::newConnection, this, &InstanceChannel::AcceptConnections);
    lock_ = std::move(lock);
    server_ = std::move(server);
    return true;
}

void InstanceChannel::Release() {
    if (server_) {
        server_->close();
        server_.reset();
    }
    if (lock_) {
        lock_->unlock();
        lock_.reset();
    }
}

bool InstanceChannel::SendRequest(Request request) {
    QLocalSocket socket;
    socket.connectToServer(serverName_);
    if (!socket.waitForConnected(kConnectTimeoutMs)) {
        return false;
    }
    socket.write(request == Request::Shutdown ? kShutdown : kBringForward);
    bool written = socket.waitForBytesWritten(kWriteTimeoutMs) || socket.bytesToWrite() == 0;
    socket.disconnectFromServer();
    return written;
}

bool InstanceChannel::IsInstanceRunning() const {
    QLocalSocket socket;
    socket.connectToServer(serverName_);
    bool running = socket.waitForConnected(kConnectTimeoutMs);
    socket.abort();
    return running;
}

void InstanceChannel::AcceptConnections() {
    while (QLocalSocket* socket = server_ ? server_->nextPendingConnection() : nullptr) {
        // Owned by the channel, not the server: a request may close the server while the
        // socket is still in its own handler.
        socket->setParent(this);
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            while (socket->canReadLine()) {
                QByteArray line = socket->readLine(64);
                if (line == kShutdown) {
                    emit shutdownRequested();
                } else if (line == kBringForward) {
                    emit bringForwardRequested();
                }
            }
            // A peer that sends junk without line ends gets no unbounded buffer.
            if (socket->bytesAvailable() > 64) {
                socket->abort();
            }
        });
    }
}
