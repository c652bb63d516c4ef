#include "mailtools/queue_counter.h"

#include <QDir>

#include "common/mail_queue.h"

QueueCounter::QueueCounter(QString queueDir, QObject* parent)
    : QObject(parent), dir_(std::move(queueDir)) {
    pool_.setMaxThreadCount(1);
    connect(&watcher_, &QFileSystemWatcher::directoryChanged, this, [this] { dirty_ = true; });
    timer_.setInterval(kIntervalMs);
    connect(&timer_, &QTimer::timeout, this, &QueueCounter::Tick);
    timer_.start();
    CountSoon();
}

QueueCounter::~QueueCounter() {
    pool_.waitForDone();
}

void QueueCounter::CountSoon() {
    dirty_ = true;
    Tick();
}

void QueueCounter::Tick() {
    ++ticksSinceCount_;
    if (counting_ || (!dirty_ && ticksSinceCount_ * kIntervalMs < kSafetyMs)) {
        return;
    }
    // The engine makes the directory when it first starts: watch it once it is there.
    if (watcher_.directories().isEmpty() && QDir(dir_).exists()) {
        watcher_.addPath(dir_);
    }
    dirty_ = false;
    counting_ = true;
    ticksSinceCount_ = 0;
    const std::string dir = dir_.toStdString();
    pool_.start([this, dir] {
        const int count = static_cast<int>(mailqueue::CountEntries(dir));
        // The destructor waits for this task, so the object is still there.
        QMetaObject::invokeMethod(
            this, [this, count] { Counted(count); }, Qt::QueuedConnection);
    });
}

void QueueCounter::Counted(int count) {
    counting_ = false;
    if (count != count_) {
        count_ = count;
        emit CountChanged(count);
    }
}
