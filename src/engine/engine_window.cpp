#include "engine/engine_window.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <deque>
#include <memory>
#include <mutex>
#include <type_traits>
#include <utility>
#include <vector>

namespace {

// Receives the lines of one handle on the receiver's thread and hands them on while the receiver
// lives. Engine threads only append to its mailbox; one drain at a time is queued to the
// receiver's thread. Never destroyed: queued lines may reach it at any time.
class LineDispatcher final : public QObject {
  public:
    LineDispatcher(QObject* receiver, EngineLineHandler lineHandler,
                   EngineLinesHandler batchHandler)
        : receiver_(receiver),
          lineHandler_(std::move(lineHandler)),
          batchHandler_(std::move(batchHandler)) {}

    // Any thread.
    void Post(QByteArray line) {
        std::lock_guard lock(mailboxMutex_);
        mailbox_.push_back(std::move(line));
        if (!drainQueued_) {
            drainQueued_ = true;
            QMetaObject::invokeMethod(
                this, [this] { Drain(); }, Qt::QueuedConnection);
        }
    }

  private:
    // Receiver's thread.
    void Drain() {
        if (depth_ > 0) {
            // A handler is still running (it opened a modal box): later lines wait for it, so
            // they never overtake the rest of its batch.
            QTimer::singleShot(10, this, [this] { Drain(); });
            return;
        }
        QList<QByteArray> lines;
        {
            std::lock_guard lock(mailboxMutex_);
            qsizetype count = std::min<qsizetype>(mailbox_.size(), kEngineLinesPerBatch);
            lines.reserve(count);
            for (qsizetype i = 0; i < count; ++i) {
                lines.push_back(std::move(mailbox_.front()));
                mailbox_.pop_front();
            }
            if (mailbox_.empty()) {
                drainQueued_ = false;
            } else {
                // A zero timer, not a posted event: timers and input get their turn in between.
                QTimer::singleShot(0, this, [this] { Drain(); });
            }
        }
        if (!lines.isEmpty()) {
            Dispatch(lines);
        }
    }

    void Dispatch(const QList<QByteArray>& lines) {
        ++depth_;
        if (batchHandler_ && !receiver_.isNull()) {
            batchHandler_(lines);
        } else if (lineHandler_) {
            // A line handler may end its receiver; the lines after that are dropped.
            for (const QByteArray& line : lines) {
                if (receiver_.isNull()) {
                    break;
                }
                lineHandler_(line);
            }
        }
        --depth_;
        if (receiver_.isNull() && depth_ == 0) {
            // Let go of what the handlers hold on to, but never while one runs.
            lineHandler_ = nullptr;
            batchHandler_ = nullptr;
        }
    }

    QPointer<QObject> receiver_;
    EngineLineHandler lineHandler_;
    EngineLinesHandler batchHandler_;
    int depth_ = 0;
    std::mutex mailboxMutex_;
    std::deque<QByteArray> mailbox_;
    bool drainQueued_ = false;
};

// The handle given to the engine. Standard layout with the C struct first, so the engine's
// pointer converts back to it.
struct EngineWindow {
    RelvoMailWindow window;
    LineDispatcher* dispatcher;
};
static_assert(std::is_standard_layout_v<EngineWindow>);

// Every handle and dispatcher ever made, deliberately kept for the life of the process (and
// reachable, so leak checkers stay quiet).
struct Registry {
    std::mutex mutex;
    std::vector<std::unique_ptr<EngineWindow>> windows;
    std::vector<std::unique_ptr<LineDispatcher>> dispatchers;
};

Registry& TheRegistry() {
    static auto* registry = new Registry;
    return *registry;
}

// Called by engine threads. The text is copied before returning and posted to the dispatcher's
// thread; nothing here waits for that thread. Only progress lines are delivered: the handler
// cannot tell other messages apart, and the console registers every handle with
// RELVOMAIL_PROGRESS_MESSAGE. wparam carries nothing for progress lines.
void Deliver(RelvoMailWindow* window, unsigned int message, uintptr_t /*wparam*/,
             const char* text) {
    if (window == nullptr || message != RELVOMAIL_PROGRESS_MESSAGE ||
        QCoreApplication::instance() == nullptr) {
        return;
    }
    LineDispatcher* dispatcher = reinterpret_cast<EngineWindow*>(window)->dispatcher;
    dispatcher->Post(text != nullptr ? QByteArray(text) : QByteArray());
}

RelvoMailWindow* RegisterWindow(std::unique_ptr<LineDispatcher> dispatcher, QObject* receiver) {
    if (receiver != nullptr && receiver->thread() != dispatcher->thread()) {
        dispatcher->moveToThread(receiver->thread());
    }
    auto window = std::make_unique<EngineWindow>(EngineWindow{{&Deliver}, dispatcher.get()});
    RelvoMailWindow* handle = &window->window;

    Registry& registry = TheRegistry();
    std::lock_guard lock(registry.mutex);
    registry.dispatchers.push_back(std::move(dispatcher));
    registry.windows.push_back(std::move(window));
    return handle;
}

}  // namespace

RelvoMailWindow* CreateEngineWindow(QObject* receiver, EngineLineHandler handler) {
    return RegisterWindow(std::make_unique<LineDispatcher>(receiver, std::move(handler), nullptr),
                          receiver);
}

RelvoMailWindow* CreateEngineWindowForBatches(QObject* receiver, EngineLinesHandler handler) {
    return RegisterWindow(std::make_unique<LineDispatcher>(receiver, nullptr, std::move(handler)),
                          receiver);
}
