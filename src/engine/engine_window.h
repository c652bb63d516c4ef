// Window handles for the engine: a handle lets engine threads deliver progress lines to a QObject
// on the UI thread. Lines are copied at once, arrive in order on the receiver's (UI) thread, and
// are dropped once the receiver is gone. A handle stays valid for the life of the process, so an
// engine that keeps using it after the receiver died never touches freed memory. Only messages
// numbered RELVOMAIL_PROGRESS_MESSAGE are lines (others are dropped, wparam is ignored); a null
// text is an empty line. Without a QCoreApplication lines are dropped.
#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <functional>

#include "relvomail.h"

using EngineLineHandler = std::function<void(const QByteArray& line)>;
using EngineLinesHandler = std::function<void(const QList<QByteArray>& lines)>;

// At most this many lines are handed over at once; the rest follow after the receiver's thread
// has handled its other events (timers, input), so a flood of lines never freezes the window.
inline constexpr int kEngineLinesPerBatch = 250;

// Creates a handle whose lines go to handler, called on receiver's thread while receiver lives.
// Never blocks the engine thread on the UI thread.
RelvoMailWindow* CreateEngineWindow(QObject* receiver, EngineLineHandler handler);
// The same, for receivers that handle lines faster in batches (in arrival order, never empty).
RelvoMailWindow* CreateEngineWindowForBatches(QObject* receiver, EngineLinesHandler handler);
