#include "app/activity_pane.h"

#include <QTextBlock>
#include <QTextCursor>
#include <optional>

#include "app/pane_text.h"
#include "common/utilities.h"

namespace {

QString TodayPrefix() {
    // The date part of the full stamp, with its blank: "2009-03-07 ".
    return QString::fromStdString(CurrentTimeText(0)).left(11);
}

}  // namespace

ActivityPane::ActivityPane(QWidget* parent) : QPlainTextEdit(parent) {
    setObjectName(QStringLiteral("ActivityPane"));
    // Long lines wrap at the pane's width: a failure's reason at the end of its line must be
    // seen without scrolling sideways.
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setFocusPolicy(Qt::ClickFocus);  // no tab stop
    setUndoRedoEnabled(false);       // an undo history would grow without bound
    clock_.start();
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
    repeats_.NoteConsoleLine(text, clock_.elapsed());
    AppendToPane(pane::ConsoleLine(text, stamp, TodayPrefix()));
}

void ActivityPane::AppendEngineLine(const QByteArray& text) {
    AppendEngineLines({text});
}

void ActivityPane::AppendEngineLines(const QList<QByteArray>& lines) {
    QString today = TodayPrefix();
    // The lines go in with one insertion. A cut only ever drops the front of the pane's text
    // followed by the new lines, so the cuts are followed in one text ("combined", fetched only
    // when a cut is due) and applied at the end as one removal from the front: what stays in the
    // widget keeps its layout.
    const qsizetype paneSize = CharacterCount();
    QString added;
    std::optional<QString> combined;
    qsizetype dropped = 0;
    for (const QByteArray& text : lines) {
        // Invalid UTF-8 shows as replacement characters rather than being lost.
        QString line = pane::WithCrLfBreaks(pane::EngineLine(QString::fromUtf8(text), today));
        if (!repeats_.ShouldShowEngineLine(line, clock_.elapsed())) {
            continue;
        }
        if (paneSize + added.size() - dropped > pane::kTrimThreshold) {
            if (!combined) {
                combined = PaneText() + added;
            }
            dropped = pane::TrimmedStart(*combined, dropped);
        }
        added += line;
        if (combined) {
            *combined += line;
        }
    }
    if (dropped > 0) {
        RemoveFront(*combined, dropped, paneSize);
    }
    AppendToPane(dropped > paneSize ? combined->mid(dropped) : added);
}

void ActivityPane::RemoveFront(const QString& combined, qsizetype dropped, qsizetype paneSize) {
    if (dropped >= paneSize) {
        clear();
        return;
    }
    // The widget holds one character per CR LF.
    QStringView front = QStringView(combined).left(dropped);
    qsizetype position = dropped - front.count(u"\r\n");
    QTextCursor cursor(document());
    cursor.setPosition(static_cast<int>(position), QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
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
