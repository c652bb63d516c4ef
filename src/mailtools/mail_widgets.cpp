#include "mailtools/mail_widgets.h"

#include <QMessageBox>

namespace mailwidgets {

int InsertSorted(QComboBox* box, const QString& text) {
    int index = 0;
    while (index < box->count() &&
           QString::compare(box->itemText(index), text, Qt::CaseInsensitive) <= 0) {
        ++index;
    }
    box->insertItem(index, text);
    return index;
}

int FindItem(const QComboBox* box, const QString& text, Qt::CaseSensitivity sensitivity) {
    for (int index = 0; index < box->count(); ++index) {
        if (QString::compare(box->itemText(index), text, sensitivity) == 0) {
            return index;
        }
    }
    return -1;
}

QPushButton* MakeButton(const QString& text, const char* objectName, QWidget* parent) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(QString::fromLatin1(objectName));
    return button;
}

void Warn(QWidget* parent, const QString& text) {
    QMessageBox::warning(parent, parent->windowTitle(), text);
}

}  // namespace mailwidgets
