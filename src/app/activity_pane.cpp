#include "app/activity_pane.h"

#include <QTextBlock>
#include <QTextCursor>
#include <optional>

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
    AppendEngineLines({text});
}

void ActivityPane::AppendEngineLines(const QList<QByteArray>& lines) {
    QString today = TodayPrefix();
    // The pane's text is only fetched when a line has to cut it; until then new lines collect
    // in "pending" and go in with one insertion.
    std::optional<QString> replaced;
    QString pending;
    int count = CharacterCount();
    for (const QByteArray& text : lines) {
        // Invalid UTF-8 shows as replacement characters rather than being lost.
        QString line = pane::EngineLine(QString::fromUtf8(text), today);
        if (count + pending.size() > pane::kTrimThreshold) {
            replaced = pane::TrimmedPaneText((replaced ? *replaced : PaneText()) + pending);
            pending.clear();
            count = static_cast<int>(replaced->size());
        }
        pending += line;
    }
    if (!replaced) {
        AppendToPane(pending);
        return;
    }
    // One new text instead of a cut followed by an insertion: the widget lays it out once.
    QString text = *replaced + pending;
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    setPlainText(text);
    PlaceCaretBeforeLastBreak();
}

void ActivityPane::AppendToPane(const QString& line) {
    QString text = line;
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    // The new text always goes at the end, whatever the user had selected or typed.
    cursor.insertText(text);
    PlaceCaretBeforeLastBreak();
}

void ActivityPane::PlaceCaretBeforeLastBreak() {
    // The caret rests just before the line break that ends the text, so the last line shows.
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    if (document()->characterCount() > 1 && document()->lastBlock().text().isEmpty()) {
        cursor.movePosition(QTextCursor::PreviousCharacter);
    }
    setTextCursor(cursor);
    ensureCursorVisible();
}
