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

CDlgClose::CDlgClose(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("CDlgClose"));
    setWindowTitle(QStringLiteral("Close"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);

    auto* group = new QGroupBox(QStringLiteral("What will you next to do?"), this);
    auto* icon = new QLabel(group);
    icon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxQuestion).pixmap(32, 32));
    auto* texts = new QVBoxLayout;
    texts->addWidget(new QLabel(QStringLiteral("Hide: minimize to system tray."), group));
    texts->addWidget(new QLabel(QStringLiteral("Exit: shutdown service and exit."), group));
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
