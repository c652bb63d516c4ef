// Single-instance control between consoles of one user and one application directory. A lock
// file elects the one console (a bare local-server listen is no election on Unix); the elected
// console listens on a local socket for the two requests another process can make: bring the
// window forward, and shut down. Both files live in a directory only this user can write. UI
// thread only.
#pragma once

#include <QList>
#include <QLocalServer>
#include <QLocalSocket>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <functional>
#include <memory>

class InstanceChannel final : public QObject {
    Q_OBJECT

  public:
    enum class Request { BringForward, Shutdown };

    // Peers the elected console serves at once; a further one pushes out the oldest.
    static constexpr int kMaxPeers = 8;
    // A peer is dropped this long after it connected: a request takes microseconds.
    static constexpr int kPeerLifetimeMs = 2000;
    // How often the elected console checks that it still listens (the local server closes
    // itself for good when accepting fails, e.g. when the process is out of descriptors).
    static constexpr int kListenCheckMs = 250;

    // The channel of the consoles that share applicationDirectory.
    explicit InstanceChannel(const QString& applicationDirectory, QObject* parent = nullptr);
    ~InstanceChannel() override;

    // Why there is no safe place for the channel ("" when there is one). The channel then elects
    // nobody and reaches nobody; the console must not start.
    const QString& Problem() const { return problem_; }

    // Takes the election lock without waiting and starts listening. True when this process is
    // now the one console; false when another live process holds the lock or Problem() is set.
    // A lock file that no live process holds is free, whatever it contains.
    bool TryBecomeInstance();
    bool IsInstance() const { return lockFd_ >= 0; }
    // Stops listening and gives up the lock, so that waiting processes see the console gone.
    void Release();

    // Delivers a request to the running console; false when none answers the connection. With
    // windowShown, a BringForward waits (briefly) for the console to say whether its window is
    // now on screen.
    bool SendRequest(Request request, bool* windowShown = nullptr);
    // What the elected console answers to BringForward once the request was handled.
    void SetWindowShownCheck(std::function<bool()> check) { windowShownCheck_ = std::move(check); }
    // Whether a console accepts connections on this channel.
    bool IsInstanceRunning() const;

    const QString& ServerName() const { return serverName_; }
    const QString& LockPath() const { return lockPath_; }

  signals:
    void bringForwardRequested();
    void shutdownRequested();

  private:
    std::function<bool()> windowShownCheck_;
    void Listen();
    void KeepListening();
    void AcceptConnections();
    void ServePeer(QLocalSocket* socket);

    QString problem_;
    QString serverName_;
    QString lockPath_;
    int lockFd_ = -1;
    std::unique_ptr<QLocalServer> server_;
    QList<QPointer<QLocalSocket>> peers_;  // oldest first
    QTimer listenCheck_;
};
