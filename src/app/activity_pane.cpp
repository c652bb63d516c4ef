#include "app/activity_pane.h"

#include <QTextBlock>
#include <QTextCursor>

#include "app/pane_text.h"
#include "config/utilities.h"

namespace {

QString TodayPrefix() {
    // The date part of the full stamp, with its blank: "2009-03-07 ".
    return QString::fromStdString(CurrentTimeText(0)).left(11);
}

}  // namespace

ActivityPane::ActivityPane(QWidget* parent) : QPlainTextEdit(parent) {
    setObjectName(QStringLiteral("ActivityPane"));
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setFocusPolicy(Qt::ClickFocus);  // no tab stop
    setUndoRedoEnabled(false);       // an undo history would grow without bound
}

int ActivityPane::CharacterCount() const {
    // The document counts one separator per line break plus a final one; the pane's lines are
    // written with two characters per break.
    const QTextDocument* doc = document();
    return doc->characterCount() - 1 + (doc->blockCount() - 1);
}

QString ActivityPane::PaneText() const {
    return toPlainText().replace(QLatin1Char('\n'), QLatin1String("\r\n"));
}

void ActivityPane::AppendLogLine(const QString& text) {
    QString stamp = QString::fromStdString(CurrentTimeText(0));
    AppendToPane(pane::ConsoleLine(text, stamp, TodayPrefix()));
}

void ActivityPane::AppendEngineLine(const QByteArray& text) {
    // Invalid UTF-8 shows as replacement characters rather than being lost.
    QString line = pane::EngineLine(QString::fromUtf8(text), TodayPrefix());
    if (CharacterCount() > pane::kTrimThreshold) {
        QString kept = pane::TrimmedPaneText(PaneText());
        kept.replace(QLatin1String("\r\n"), QLatin1String("\n"));
        setPlainText(kept);
    }
    AppendToPane(line);
}

void ActivityPane::AppendToPane(const QString& line) {
    QString text = line;
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    // The new text always goes at the end, whatever the user had selected or typed.
    cursor.insertText(text);
    // The caret rests just before the line break that ends the text, so the last line shows.
    cursor.movePosition(QTextCursor::End);
    if (text.endsWith(QLatin1Char('\n'))) {
        cursor.movePosition(QTextCursor::PreviousCharacter);
    }
    setTextCursor(cursor);
    ensureCursorVisible();
}
