#include "engine/engine_window.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>
#include <QThread>
#include <memory>
#include <mutex>
#include <type_traits>
#include <utility>
#include <vector>

namespace {

// Receives the lines of one handle on the receiver's thread and hands them on while the receiver
// lives. Never destroyed: queued lines may reach it at any time.
class LineDispatcher final : public QObject {
  public:
    LineDispatcher(QObject* receiver, EngineLineHandler handler)
        : receiver_(receiver), handler_(std::move(handler)) {}

    void Dispatch(const QByteArray& line) {
        if (receiver_.isNull()) {
            // Let go of what the handler holds on to, but never while it runs: a handler that
            // opens a modal box dispatches further lines from inside itself.
            if (depth_ == 0) {
                handler_ = nullptr;
            }
            return;
        }
        if (handler_) {
            ++depth_;
            handler_(line);
            --depth_;
        }
    }

  private:
    QPointer<QObject> receiver_;
    EngineLineHandler handler_;
    int depth_ = 0;
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
    QByteArray line = text != nullptr ? QByteArray(text) : QByteArray();
    QMetaObject::invokeMethod(
        dispatcher, [dispatcher, line = std::move(line)] { dispatcher->Dispatch(line); },
        Qt::QueuedConnection);
}

}  // namespace

RelvoMailWindow* CreateEngineWindow(QObject* receiver, EngineLineHandler handler) {
    auto dispatcher = std::make_unique<LineDispatcher>(receiver, std::move(handler));
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
