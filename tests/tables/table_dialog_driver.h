// Drives a table dialog (Domains, Relay accounts) as a user does: boxes found by object name,
// typed into, buttons and rows clicked, message boxes answered through the dialog's hooks or, for
// a real QMessageBox, by a polling timer.
#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <memory>
#include <string>

#include "controls/sort_list_ctrl.h"
#include "support/qt_print.h"
#include "support/temp_app_dir.h"
#include "tables/table_dialog.h"

// Answers the next modal QMessageBox with the button; the result holds its text and icon.
struct SeenBox {
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
};
inline std::shared_ptr<SeenBox> AnswerNextMessageBox(QMessageBox::StandardButton button) {
    auto seen = std::make_shared<SeenBox>();
    auto* timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, [timer, seen, button] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            timer->deleteLater();
            *seen = {box->text(), box->icon(), box->standardButton(box->defaultButton())};
            box->button(button)->click();
        }
    });
    timer->start(10);
    return seen;
}

template <typename Dialog>
class TableDialogTest : public testing::Test {
  protected:
    // Writes the configuration file, then opens an active dialog on it with recording hooks.
    void Open(const std::string& config) {
        dir_.Write("relvoconsole.cfg", config);
        dialog_ = std::make_unique<Dialog>();
        dialog_->SetQuestion([this](QWidget*, const QString& text) {
            questions_.append(text);
            return answer_;
        });
        dialog_->SetWarning([this](QWidget*, const QString& text) { warnings_.append(text); });
        dialog_->show();
        dialog_->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(dialog_.get()));
    }

    std::string Config() const { return dir_.Read("relvoconsole.cfg"); }
    template <typename Widget = QLineEdit>
    Widget* Find(const char* name) const {
        return dialog_->template findChild<Widget*>(QString::fromLatin1(name));
    }
    CSortListCtrl* List() const { return dialog_->List(); }

    void Type(const char* box, const QString& text) {
        Find(box)->clear();
        QTest::keyClicks(Find(box), text);
    }
    void Press(const char* button) {
        QTest::mouseClick(Find<QAbstractButton>(button), Qt::LeftButton);
    }
    void ClickRow(int row, Qt::KeyboardModifiers modifiers = {}) {
        const QRect cell = List()->visualRect(List()->model()->index(row, 0));
        QTest::mouseClick(List()->viewport(), Qt::LeftButton, modifiers, cell.center());
    }
    QString Hint() const { return dialog_->HintText(); }
    void ClickBelowRows() {
        const QWidget* viewport = List()->viewport();
        QTest::mouseClick(List()->viewport(), Qt::LeftButton, {},
                          {viewport->width() / 2, viewport->height() - 3});
    }

    TempAppDir dir_;
    std::unique_ptr<Dialog> dialog_;
    QStringList questions_;
    QStringList warnings_;
    bool answer_ = true;
};
