#include "settings/dlg_settings.h"

#include <QDialogButtonBox>
#include <QMessageBox>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <utility>

#include "settings/autostart_entry.h"
#include "settings/settings_page.h"
#include "tables/table_messages.h"

namespace {

void WarnWithMessageBox(QWidget* parent, const QString& text) {
    QMessageBox::warning(parent, ConfigNoticeTitle(), text);
}

}  // namespace

CDlgSettings::CDlgSettings(QWidget* parent)
    : QDialog(parent),
      warn_(WarnWithMessageBox),
      tabs_(new QTabWidget(this)),
      general_(new CDlgSettingsGene),
      smtp_(new CDlgSettingsSmtp),
      send_(new CDlgSettingsSend),
      advanced_(new CDlgSettingsAdvanced) {
    setObjectName(QStringLiteral("CDlgSettings"));
    setWindowTitle(QStringLiteral("Settings"));
    for (CSettingsPage* page : Pages()) {
        tabs_->addTab(page, page->TabCaption());
    }
    tabs_->setCurrentIndex(0);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("&OK"));
    buttons->button(QDialogButtonBox::Ok)->setObjectName(QStringLiteral("okButton"));
    buttons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("&Cancel"));
    buttons->button(QDialogButtonBox::Cancel)->setObjectName(QStringLiteral("cancelButton"));
    connect(buttons, &QDialogButtonBox::accepted, this, &CDlgSettings::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &CDlgSettings::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tabs_);
    layout->addWidget(buttons);
}

CDlgSettings::~CDlgSettings() = default;

void CDlgSettings::SetWarning(Warning warn) {
    warn_ = warn ? std::move(warn) : Warning(WarnWithMessageBox);
}

void CDlgSettings::accept() {
    for (CSettingsPage* page : Pages()) {
        if (page->IsSetUp() && !SavePage(page)) {
            return;
        }
    }
    QDialog::accept();
}

void CDlgSettings::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (toldReadProblem_) {
        return;
    }
    toldReadProblem_ = true;
    // Otherwise an unreadable file would look like one holding the defaults.
    QTimer::singleShot(0, this, [this] {
        if (const std::optional<QString> problem = ConfigReadProblem(".cfg")) {
            warn_(this, *problem);
        }
    });
}

std::array<CSettingsPage*, 4> CDlgSettings::Pages() const {
    return {general_, smtp_, send_, advanced_};
}

bool CDlgSettings::SavePage(CSettingsPage* page) {
    // The page at fault comes to the front, so the focus can reach its box.
    const std::optional<SettingValues> values = page->ReadForm(
        [this, page](QWidget*, const QString& text) {
            tabs_->setCurrentWidget(page);
            warn_(this, text);
        },
        [this, page] { tabs_->setCurrentWidget(page); });
    if (!values) {
        return false;
    }
    if (!SaveSettingsPage(page->Page(), *values)) {
        tabs_->setCurrentWidget(page);
        warn_(this, LastConfigWriteFailedText());
        return false;
    }
    if (page->Page() == SettingsPage::General) {
        ApplyAutoRun((*values)[*SettingKeyIndex(SettingsPage::General, "AutoRun")].number == 1);
    }
    return true;
}

void CDlgSettings::ApplyAutoRun(bool wanted) {
    const std::optional<std::string> directory = AutostartDirectory();
    std::string failure;
    if (!directory) {
        // Without a directory no entry can have been written, so there is none to remove.
        failure = wanted ? "Neither XDG_CONFIG_HOME nor HOME names a directory." : "";
    } else if (wanted) {
        failure = WriteAutostartEntry(*directory, CurrentConsoleCommand());
    } else {
        failure = RemoveAutostartEntry(*directory);
    }
    if (failure.empty()) {
        return;
    }
    const QString lead = wanted
                             ? QStringLiteral("The console could not be set to start at login.")
                             : QStringLiteral("The console's start at login could not be removed.");
    warn_(this, lead + QStringLiteral("\n") + QString::fromStdString(failure));
}
