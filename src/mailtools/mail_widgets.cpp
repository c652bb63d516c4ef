#include "mailtools/mail_widgets.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QLineEdit>
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

namespace {

class EnterMovesFocus final : public QObject {
  public:
    using QObject::QObject;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::KeyPress) {
            return false;
        }
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key != Qt::Key_Return && key != Qt::Key_Enter) {
            return false;
        }
        // The field's own Tab handling moves the focus along the dialog's tab order.
        QKeyEvent tab(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier);
        QCoreApplication::sendEvent(watched, &tab);
        return true;
    }
};

}  // namespace

void EnterMovesToNextField(QWidget* field) {
    auto* filter = new EnterMovesFocus(field);
    field->installEventFilter(filter);
    // An editable box hands its keys to its edit field, which would act on Enter first.
    if (auto* box = qobject_cast<QComboBox*>(field); box != nullptr && box->lineEdit() != nullptr) {
        box->lineEdit()->installEventFilter(filter);
    }
}

}  // namespace mailwidgets
