// The activity pane: the console's time-stamped lines and the engine's lines, in arrival order.
// Only engine lines cut the pane when it has grown past its limit. An engine line that only
// repeats what the pane showed a moment ago is left out (the log file keeps it). The user may type
// into it; typed text counts like any other. UI thread only.
#pragma once

#include <QElapsedTimer>
#include <QPlainTextEdit>

#include "app/pane_text.h"

class ActivityPane final : public QPlainTextEdit {
    Q_OBJECT

  public:
    explicit ActivityPane(QWidget* parent = nullptr);

    void AppendLogLine(const QString& text);
    // One line from the engine, as UTF-8 bytes.
    void AppendEngineLine(const QByteArray& text);
    // Several engine lines at once, with the same result as appending them one by one, but
    // with one change of the widget's text instead of one per line.
    void AppendEngineLines(const QList<QByteArray>& lines);
    void AppendToPane(const QString& line);

    // The pane's size counted with CR LF line breaks, as its lines are written.
    int CharacterCount() const;
    // The pane's text with CR LF line breaks.
    QString PaneText() const;

  private:
    pane::RepeatFilter repeats_;
    QElapsedTimer clock_;
    void PlaceCaretBeforeLastBreak();
    // Removes the first "dropped" characters (counted with CR LF breaks) of the pane, whose text
    // starts combined.
    void RemoveFront(const QString& combined, qsizetype dropped, qsizetype paneSize);
};
