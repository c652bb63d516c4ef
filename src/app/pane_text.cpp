#include "app/pane_text.h"

#include <algorithm>

namespace pane {

namespace {
const QString kDoubleBreak = QStringLiteral("\r\n\r\n");
const QString kBreak = QStringLiteral("\r\n");
}  // namespace

QString CollapseLineBreaks(QString text) {
    text.replace(kDoubleBreak, kBreak);
    text.replace(kDoubleBreak, kBreak);
    return text;
}

QString ConsoleLine(const QString& text, const QString& stamp, const QString& todayPrefix) {
    QString line = QStringLiteral("[%1] %2\r\n").arg(stamp, text);
    if (!todayPrefix.isEmpty()) {
        line.remove(todayPrefix);
    }
    return CollapseLineBreaks(line);
}

QString EngineLine(const QString& text, const QString& todayPrefix) {
    QString line = text + kBreak;
    if (!todayPrefix.isEmpty()) {
        line.remove(todayPrefix);
    }
    line = CollapseLineBreaks(line);
    line.replace(QLatin1String("Client/"), QLatin1String("C/"));
    line.replace(QLatin1String("Server/"), QLatin1String("S/"));
    return line;
}

QString TrimmedPaneText(const QString& paneText) {
    if (paneText.size() <= kTrimThreshold) {
        return paneText;
    }
    return paneText.mid(TrimmedStart(paneText, 0));
}

qsizetype TrimmedStart(const QString& text, qsizetype start) {
    qsizetype cut = std::min(start + kTrimAmount, text.size());
    qsizetype lineEnd = text.indexOf(kBreak, cut);
    return lineEnd >= 0 ? lineEnd + kBreak.size() : cut;
}

QString WithCrLfBreaks(QString text) {
    text.replace(kBreak, QStringLiteral("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    text.replace(QLatin1Char('\n'), kBreak);
    return text;
}

namespace {

constexpr qsizetype kRecentLimit = 16;

// The text after a leading "HH:MM:SS " (the pane's own lines have removed today's date).
QStringView MessageOf(QStringView text) {
    auto digitsAt = [&text](qsizetype i) { return text[i].isDigit() && text[i + 1].isDigit(); };
    const bool timed = text.size() >= 9 && digitsAt(0) && text[2] == u':' && digitsAt(3) &&
                       text[5] == u':' && digitsAt(6) && text[8] == u' ';
    return (timed ? text.mid(9) : text).trimmed();
}

}  // namespace

void RepeatFilter::Note(const QString& message, qint64 nowMs) {
    recent_.append({message, nowMs});
    while (recent_.size() > kRecentLimit) {
        recent_.removeFirst();
    }
}

void RepeatFilter::NoteConsoleLine(const QString& text, qint64 nowMs) {
    Note(text.trimmed(), nowMs);
}

bool RepeatFilter::ShouldShowEngineLine(const QString& text, qint64 nowMs) {
    // A view: most lines are compared and kept without a copy of their text.
    const QStringView message = MessageOf(text);
    if (message.isEmpty() || message.startsWith(QLatin1String("C/")) ||
        message.startsWith(QLatin1String("S/"))) {
        return true;
    }
    for (const Shown& shown : std::as_const(recent_)) {
        if (nowMs - shown.atMs <= kWindowMs && shown.message == message) {
            return false;
        }
    }
    Note(message.toString(), nowMs);
    return true;
}

}  // namespace pane
