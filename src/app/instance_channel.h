// Single-instance control between consoles of one user and one application directory. A lock
// file elects the one console (a bare local-server listen is no election on Unix); the elected
// console listens on a local socket for the two requests another process can make: bring the
// window forward, and shut down. UI thread only.
#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>
#include <memory>

class InstanceChannel final : public QObject {
    Q_OBJECT

  public:
    enum class Request { BringForward, Shutdown };

    // The channel of the consoles that share applicationDirectory.
    explicit InstanceChannel(const QString& applicationDirectory, QObject* parent = nullptr);
    ~InstanceChannel() override;

    // Takes the election lock without waiting and starts listening. True when this process is
    // now the one console; false when another live process holds the lock.
    bool TryBecomeInstance();
    bool IsInstance() const { return server_ != nullptr; }
    // Stops listening and gives up the lock, so that waiting processes see the console gone.
    void Release();

    // Delivers a request to the running console; false when none answers the connection.
    bool SendRequest(Request request);
    // Whether a console accepts connections on this channel.
    bool IsInstanceRunning() const;

    const QString& ServerName() const { return serverName_; }
    const QString& LockPath() const { return lockPath_; }

  signals:
    void bringForwardRequested();
    void shutdownRequested();

  private:
    void AcceptConnections();

    QString serverName_;
    QString lockPath_;
    std::unique_ptr<QLockFile> lock_;
    std::unique_ptr<QLocalServer> server_;
};
