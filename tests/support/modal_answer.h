// Answers the next modal QMessageBox (one opened inside a click blocks the test until answered):
// a polling timer finds it, records its text and icon and presses the button.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <memory>

struct AnsweredBox {
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    bool seen = false;
};

inline std::shared_ptr<AnsweredBox> AnswerNextBox(QMessageBox::StandardButton button) {
    auto answered = std::make_shared<AnsweredBox>();
    auto* timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, [timer, answered, button] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            timer->stop();
            timer->deleteLater();
            *answered = {box->text(), box->icon(), true};
            box->button(button)->click();
        }
    });
    timer->start(10);
    return answered;
}
