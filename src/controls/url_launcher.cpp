#include "controls/url_launcher.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QVBoxLayout>

#include "controls/browser_command.h"
#include "controls/product_links.h"

UrlLaunchSteps SystemUrlLaunchSteps() {
    return {[](const QUrl& url) { return QDesktopServices::openUrl(url); },
            [](const QString& program, const QStringList& arguments) {
                return QProcess::startDetached(program, arguments);
            }};
}

bool OpenUrlInBrowser(const QString& url, [[maybe_unused]] bool newWindow,
                      const UrlLaunchSteps& steps) {
    if (url.isEmpty()) {
        return true;
    }
    const QUrl target = QUrl::fromUserInput(url);
    if (!target.isValid()) {
        return false;
    }
    if (steps.openWithDesktop && steps.openWithDesktop(target)) {
        return true;
    }
    const QString commandTemplate = DefaultBrowserCommandTemplate();
    if (commandTemplate.isEmpty()) {
        return false;
    }
    // Fully encoded, the URL holds no blank or quote, so splitting the line keeps it one argument.
    const std::optional<QString> command =
        BuildBrowserCommand(commandTemplate, target.toString(QUrl::FullyEncoded));
    if (!command) {
        return false;
    }
    QStringList arguments = QProcess::splitCommand(*command);
    if (arguments.isEmpty() || !steps.startDetached) {
        return false;
    }
    const QString program = arguments.takeFirst();
    return steps.startDetached(program, arguments);
}

bool OpenUrlInBrowser(const QString& url, bool newWindow) {
    return OpenUrlInBrowser(url, newWindow, SystemUrlLaunchSteps());
}

CUrlAddressBox::CUrlAddressBox(const QString& url, QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("UrlAddressBox"));
    setWindowTitle(ProductName());
    setAttribute(Qt::WA_DeleteOnClose);
    auto* message = new QLabel(Message(), this);
    auto* address = new QLineEdit(url, this);
    address->setObjectName(QStringLiteral("address"));
    address->setReadOnly(true);
    address->setMinimumWidth(address->fontMetrics().horizontalAdvance(url) + 24);
    auto* copy = new QPushButton(QStringLiteral("&Copy"), this);
    copy->setObjectName(QStringLiteral("copyButton"));
    auto* close = new QPushButton(QStringLiteral("Close"), this);
    close->setObjectName(QStringLiteral("closeButton"));
    close->setDefault(true);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(copy);
    buttons->addWidget(close);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(message);
    layout->addWidget(address);
    layout->addLayout(buttons);
    connect(copy, &QPushButton::clicked, this,
            [url] { QGuiApplication::clipboard()->setText(url); });
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
    // Selected and focused: Ctrl+C copies it at once.
    address->selectAll();
    address->setFocus();
}

CUrlAddressBox* ShowUrlAddressBox(const QString& url, QWidget* parent) {
    auto* box = new CUrlAddressBox(url, parent != nullptr ? parent->window() : nullptr);
    box->show();
    box->raise();
    box->activateWindow();
    return box;
}

bool OpenUrlOrShowAddress(const QString& url, QWidget* parent, const UrlLaunchSteps& steps) {
    if (OpenUrlInBrowser(url, false, steps)) {
        return true;
    }
    ShowUrlAddressBox(url, parent);
    return false;
}

bool OpenUrlOrShowAddress(const QString& url, QWidget* parent) {
    return OpenUrlOrShowAddress(url, parent, SystemUrlLaunchSteps());
}
