// The number of mails waiting in a queue directory, for the main window and the tray: counted off
// the UI thread when the directory changed (and every kSafetyMs anyway), at most once a second.
#pragma once

#include <QFileSystemWatcher>
#include <QObject>
#include <QString>
#include <QThreadPool>
#include <QTimer>

class QueueCounter final : public QObject {
    Q_OBJECT

  public:
    explicit QueueCounter(QString queueDir, QObject* parent = nullptr);
    ~QueueCounter() override;

    // -1 until the first count is in.
    int Count() const { return count_; }
    // Counts now (the first count, and tests).
    void CountSoon();

    static constexpr int kIntervalMs = 1000;
    static constexpr int kSafetyMs = 10000;

  signals:
    void CountChanged(int count);

  private:
    void Tick();
    void Counted(int count);

    const QString dir_;
    QFileSystemWatcher watcher_;
    QTimer timer_;
    QThreadPool pool_;
    bool dirty_ = true;
    bool counting_ = false;
    int ticksSinceCount_ = 0;
    int count_ = -1;
};
