#include "app/dlg_close.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

namespace {

QPushButton* PlainButton(const QString& text, const QString& name, QWidget* parent) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(name);
    button->setAutoDefault(false);  // none of the three is the default button
    return button;
}

}  // namespace

QString CDlgClose::QuestionText() {
    return QStringLiteral("What do you want to do?");
}

QString CDlgClose::HideText(bool hasTray) {
    // Without a tray the window cannot hide (it could not be brought back): say what happens.
    return hasTray ? QStringLiteral("Hide: keep running in the system tray.")
                   : QStringLiteral("Hide: keep running and minimise the window.");
}

QString CDlgClose::ExitText() {
    return QStringLiteral("Exit: stop the services and exit.");
}

CDlgClose::CDlgClose(bool hasTray, QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("CDlgClose"));
    setWindowTitle(QStringLiteral("Close"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);

    auto* group = new QGroupBox(QuestionText(), this);
    auto* icon = new QLabel(group);
    icon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxQuestion).pixmap(32, 32));
    auto* texts = new QVBoxLayout;
    auto* hideText = new QLabel(HideText(hasTray), group);
    hideText->setObjectName(QStringLiteral("HideText"));
    auto* exitText = new QLabel(ExitText(), group);
    exitText->setObjectName(QStringLiteral("ExitText"));
    texts->addWidget(hideText);
    texts->addWidget(exitText);
    auto* top = new QHBoxLayout;
    top->addWidget(icon);
    top->addSpacing(12);
    top->addLayout(texts, 1);

    auto* hide = PlainButton(QStringLiteral("&Hide"), QStringLiteral("HideButton"), group);
    auto* exit = PlainButton(QStringLiteral("E&xit"), QStringLiteral("ExitButton"), group);
    auto* cancel = PlainButton(QStringLiteral("&Cancel"), QStringLiteral("CancelButton"), group);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(hide);
    buttons->addWidget(exit);
    buttons->addWidget(cancel);

    auto* groupLayout = new QVBoxLayout(group);
    groupLayout->addLayout(top);
    groupLayout->addLayout(buttons);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(group);

    connect(hide, &QPushButton::clicked, this, [this] {
        choice_ = kHide;
        accept();
    });
    connect(exit, &QPushButton::clicked, this, [this] {
        choice_ = kExit;
        accept();
    });
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    setFixedSize(sizeHint());
}
