// Text rules of the activity pane, as plain functions: how console and engine lines are formed
// and how the pane is cut when it grows. Pane text here uses CR LF line breaks, as the lines do.
#pragma once

#include <QList>
#include <QString>

namespace pane {

inline constexpr int kTrimThreshold = 16384;
inline constexpr int kTrimAmount = 8192;

// Replaces every CR LF CR LF by CR LF in one left-to-right pass, twice: three or four line breaks
// in a row become one, five become two.
QString CollapseLineBreaks(QString text);

// "[<stamp>] <text>\r\n" with every occurrence of todayPrefix ("2009-03-07 ") removed.
QString ConsoleLine(const QString& text, const QString& stamp, const QString& todayPrefix);

// "<text>\r\n" with todayPrefix removed, line breaks collapsed, "Client/" and "Server/"
// shortened to "C/" and "S/".
QString EngineLine(const QString& text, const QString& todayPrefix);

// The pane's text after the cut an engine line makes: unchanged up to kTrimThreshold
// characters; beyond, the first kTrimAmount characters go, then everything up to and including
// the next CR LF (if any).
QString TrimmedPaneText(const QString& paneText);

// Where the pane's text starts after one such cut, for a pane whose text is text.mid(start)
// (so that several cuts can be followed in one text without copying it).
qsizetype TrimmedStart(const QString& text, qsizetype start);

// Every line break as CR LF: the pane can hold no other kind, so lone CRs and LFs count as
// breaks of two characters like the others.
QString WithCrLfBreaks(QString text);

// Tells the engine's lines that only repeat what the pane showed a moment ago: the engine's
// "SEND service stopped" after the console's own, or the same start failure once per port. A
// line's message is its text after the time of day; conversation lines ("C/", "S/") are never
// taken for repeats, as a client may well say the same twice.
class RepeatFilter {
  public:
    static constexpr qint64 kWindowMs = 2000;

    void NoteConsoleLine(const QString& text, qint64 nowMs);
    // False for a line whose message was shown within kWindowMs; otherwise notes it, true.
    bool ShouldShowEngineLine(const QString& text, qint64 nowMs);

  private:
    struct Shown {
        QString message;
        qint64 atMs;
    };
    void Note(const QString& message, qint64 nowMs);
    QList<Shown> recent_;
};

}  // namespace pane
