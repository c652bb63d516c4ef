#include "tables/table_messages.h"

#include <QMessageBox>

#include "common/profile_store.h"
#include "controls/product_links.h"
#include "tables/config_read_check.h"

namespace {

QString FromUtf8(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

QString ConfigNoticeTitle() {
    return ProductName();
}

QString ConfigWriteFailedText(const QString& reason) {
    return QStringLiteral("The change was not saved: %1.").arg(reason);
}

QString LastConfigWriteFailedText() {
    const std::string reason = ProfileLastWriteError();
    return ConfigWriteFailedText(reason.empty() ? QStringLiteral("the configuration file could "
                                                                 "not be written")
                                                : FromUtf8(reason));
}

QString ConfigUnreadableText(const QString& path, const QString& reason) {
    return QStringLiteral(
               "The configuration file %1 cannot be read (%2). Nothing of it is shown "
               "and changes cannot be saved until it can be read.")
        .arg(path, reason);
}

std::optional<QString> ConfigReadProblem(std::string_view fileArgument) {
    const std::string path = ResolveProfilePath(fileArgument);
    const std::optional<std::string> reason = ConfigReadProblemReason(path);
    if (!reason) {
        return std::nullopt;
    }
    return ConfigUnreadableText(FromUtf8(path), FromUtf8(*reason));
}

void ShowConfigNotice(QWidget* parent, const QString& text) {
    QMessageBox::warning(parent, ConfigNoticeTitle(), text);
}

bool ConfirmDeletion(QWidget* parent, const QString& text) {
    // Questions are built with "\r\n" line breaks; a label wants "\n".
    QString shown = text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return QMessageBox::question(parent, ConfigNoticeTitle(), shown,
                                 QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
}
