// Small helpers the compose and diagnose dialogs share: sorted combo boxes (the list keeps its
// items in case-insensitive order, like a sorted drop-down) and UTF-8 conversions. UI thread.
#pragma once

#include <QComboBox>
#include <QPushButton>
#include <QString>
#include <string>
#include <string_view>

namespace mailwidgets {

inline QString FromUtf8(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

inline std::string Utf8(const QString& text) {
    return text.toStdString();
}

// Inserts the text where a sorted list keeps it; returns its index.
int InsertSorted(QComboBox* box, const QString& text);

// The index of the item equal to text (ignoring case when asked), or -1.
int FindItem(const QComboBox* box, const QString& text, Qt::CaseSensitivity sensitivity);

// An OK box with the warning icon, titled like its parent window.
void Warn(QWidget* parent, const QString& text);

QPushButton* MakeButton(const QString& text, const char* objectName, QWidget* parent);

// Enter in the field (a line edit or an editable combo box) moves the focus to the next field
// instead of pressing the dialog's default button: a half-typed mail is never built by a slip.
void EnterMovesToNextField(QWidget* field);

}  // namespace mailwidgets
