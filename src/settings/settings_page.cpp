#include "settings/settings_page.h"

#include <QApplication>
#include <QCheckBox>
#include <QFrame>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QStyle>
#include <QVBoxLayout>

#include "common/settings_table.h"
#include "settings/field_rules.h"

namespace {

// A HELO name is a host name (at most 255 characters); the limit also keeps the value well
// inside what readers of the file return.
constexpr int kTextFieldMaxLength = 255;
// File paths and lists of servers are longer; the store keeps values far longer still.
constexpr int kLongTextFieldMaxLength = 1023;
constexpr int kNumberFieldWidth = 70;

QStyle::StandardPixmap PageIcon(SettingsPage page) {
    switch (page) {
        case SettingsPage::General:
            return QStyle::SP_ComputerIcon;
        case SettingsPage::Advanced:
            return QStyle::SP_FileDialogDetailedView;
        default:
            return QStyle::SP_DriveNetIcon;
    }
}

}  // namespace

CSettingsPage::CSettingsPage(SettingsPage page, const QString& tabCaption,
                             const QString& description, QWidget* parent)
    : QWidget(parent),
      page_(page),
      tabCaption_(tabCaption),
      form_(new QGridLayout),
      hint_(new QLabel(this)),
      controls_(SettingsPageKeys(page).size(), nullptr) {
    // The page keeps the font it inherits, which is the platform's dialog font.
    auto* icon = new QLabel(this);
    icon->setPixmap(style()->standardIcon(PageIcon(page)).pixmap(32, 32));
    auto* text = new QLabel(description, this);
    text->setObjectName(QStringLiteral("description"));
    auto* heading = new QHBoxLayout;
    heading->addWidget(icon);
    heading->addSpacing(8);
    heading->addWidget(text, 1);

    auto* rule = new QFrame(this);
    rule->setFrameShape(QFrame::HLine);
    rule->setFrameShadow(QFrame::Sunken);

    form_->setColumnStretch(3, 1);
    form_->setHorizontalSpacing(8);
    form_->setVerticalSpacing(10);
    // Refused input is explained here, beside the form, rather than in a box to click away.
    hint_->setObjectName(QStringLiteral("hint"));
    hint_->setWordWrap(true);
    QPalette palette = hint_->palette();
    palette.setColor(QPalette::WindowText, QColor(190, 0, 0));
    hint_->setPalette(palette);
    hint_->hide();

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(heading);
    layout->addWidget(rule);
    layout->addSpacing(4);
    layout->addLayout(form_);
    layout->addWidget(hint_);
    layout->addStretch(1);
}

CSettingsPage::~CSettingsPage() = default;

int CSettingsPage::KeyIndex(const char* key) const {
    const std::optional<std::size_t> index = SettingKeyIndex(page_, key);
    if (!index) {
        qFatal("settings page has no key %s", key);
    }
    return static_cast<int>(*index);
}

QCheckBox* CSettingsPage::FlagBox(const char* key, const QString& caption) {
    const int index = KeyIndex(key);
    Q_ASSERT(SettingsPageKeys(page_)[index]->kind == relvo::SettingKind::Flag);
    auto* box = new QCheckBox(caption, this);
    box->setObjectName(QString::fromLatin1(key));
    controls_[index] = box;
    return box;
}

QLineEdit* CSettingsPage::FieldBox(const char* key) {
    const int index = KeyIndex(key);
    auto* box = new QLineEdit(this);
    box->setObjectName(QString::fromLatin1(key));
    if (SettingsPageKeys(page_)[index]->kind == relvo::SettingKind::Number) {
        box->setFixedWidth(kNumberFieldWidth);
    } else {
        box->setMaxLength(page_ == SettingsPage::Advanced ? kLongTextFieldMaxLength
                                                          : kTextFieldMaxLength);
    }
    controls_[index] = box;
    return box;
}

void CSettingsPage::AddNote(const QString& text) {
    auto* note = new QLabel(text, this);
    note->setObjectName(QStringLiteral("note"));
    note->setWordWrap(true);
    static_cast<QVBoxLayout*>(layout())->insertWidget(layout()->count() - 1, note);
}

void CSettingsPage::showEvent(QShowEvent* event) {
    if (!setUp_) {
        SetUp();
    }
    QWidget::showEvent(event);
}

void CSettingsPage::SetUp() {
    const SettingValues values = LoadSettingsPage(page_);
    const auto keys = SettingsPageKeys(page_);
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (keys[i]->kind == relvo::SettingKind::Flag) {
            static_cast<QCheckBox*>(controls_[i])->setChecked(SettingFlagTicked(values[i].number));
        } else if (keys[i]->kind == relvo::SettingKind::Number) {
            static_cast<QLineEdit*>(controls_[i])
                ->setText(QString::fromStdString(NumberFieldText(values[i].number)));
        } else {
            static_cast<QLineEdit*>(controls_[i])->setText(QString::fromStdString(values[i].text));
        }
    }
    // Tab moves through the controls in form order, whatever order they were made in.
    QWidget* previous = nullptr;
    for (const char* name : SettingsPageFormOrder(page_)) {
        QWidget* control = controls_[KeyIndex(name)];
        if (previous != nullptr) {
            setTabOrder(previous, control);
        }
        previous = control;
    }
    setUp_ = true;
}

QString CSettingsPage::Hint() const {
    return hint_->isHidden() ? QString() : hint_->text();
}

std::optional<SettingValues> CSettingsPage::ReadForm(const Warning& warn,
                                                     const std::function<void()>& show) {
    hint_->clear();
    hint_->hide();
    const auto refuse = [&show](QLineEdit* box) {
        if (show) {
            show();
        }
        box->setFocus();
        box->selectAll();
        return std::nullopt;
    };
    const auto refuseWithHint = [this, &refuse](QLineEdit* box, const std::string& hint) {
        hint_->setText(QString::fromStdString(hint));
        hint_->show();
        return refuse(box);
    };
    const auto keys = SettingsPageKeys(page_);
    SettingValues values(keys.size());
    for (const char* name : SettingsPageFormOrder(page_)) {
        const int i = KeyIndex(name);
        if (keys[i]->kind == relvo::SettingKind::Flag) {
            values[i].number = static_cast<QCheckBox*>(controls_[i])->isChecked() ? 1 : 0;
            continue;
        }
        auto* box = static_cast<QLineEdit*>(controls_[i]);
        if (keys[i]->IsText()) {
            values[i].text = box->text().toStdString();
            if (const std::string hint = TextFieldHint(name, values[i].text); !hint.empty()) {
                return refuseWithHint(box, hint);
            }
            continue;
        }
        const std::optional<std::uint32_t> number = ReadNumberField(box->text().toStdString());
        // A field with a range explains itself beside the form, even without a number.
        if (const std::string hint = NumberFieldHint(name, number); !hint.empty()) {
            return refuseWithHint(box, hint);
        }
        if (!number) {
            warn(this, QString::fromLatin1(kNumberMessage));
            return refuse(box);
        }
        values[i].number = static_cast<int>(*number);  // stored as signed text
    }
    if (page_ == SettingsPage::Advanced) {
        const std::string hint = TlsPairHint(values[KeyIndex("SmtpTlsCertFile")].text,
                                             values[KeyIndex("SmtpTlsKeyFile")].text);
        if (!hint.empty()) {
            return refuseWithHint(static_cast<QLineEdit*>(controls_[KeyIndex("SmtpTlsCertFile")]),
                                  hint);
        }
    }
    return values;
}

CDlgSettingsGene::CDlgSettingsGene(QWidget* parent)
    : CSettingsPage(SettingsPage::General, QStringLiteral("General settings"),
                    QStringLiteral("Modify system settings here."), parent) {
    auto* autoRun = FlagBox("AutoRun", QStringLiteral("Start with the desktop session."));
    autoRun->setToolTip(
        QStringLiteral("Starts the console when you log in to the desktop, through an entry in "
                       "your autostart folder (~/.config/autostart)."));
    Form()->addWidget(autoRun, 0, 0, 1, 4);
    Form()->addWidget(
        FlagBox("AutoMinimize", QStringLiteral("Auto minimize to system tray after auto run.")), 1,
        0, 1, 4);
    Form()->addWidget(
        FlagBox("AutoStartSendService", QStringLiteral("Auto start SEND service after startup.")),
        2, 0, 1, 4);
    Form()->addWidget(
        FlagBox("AutoStartSmtpService", QStringLiteral("Auto start SMTP service after startup.")),
        3, 0, 1, 4);
    AddNote(QStringLiteral("Start-up settings take effect at the next start of the console."));
}

namespace {

// "label [box] trailer" in one row of the form.
// column: 0, or kSecondColumn for the right half of a two-column form.
void AddFieldRow(QGridLayout* form, int row, QWidget* label, QWidget* box,
                 const QString& trailer = QString(), int column = 0) {
    form->addWidget(label, row, column);
    form->addWidget(box, row, column + 1);
    if (!trailer.isEmpty()) {
        form->addWidget(new QLabel(trailer, box->parentWidget()), row, column + 2);
    }
}

// The Advanced page's numbers go in two halves side by side (columns 0-2 and 4-6, with 3 as
// the gap between), so that the sheet fits a laptop's screen.
constexpr int kSecondColumn = 4;
constexpr int kWholeRow = 2 * kSecondColumn - 1;

QLabel* Caption(const QString& text, QWidget* buddy) {
    auto* label = new QLabel(text, buddy->parentWidget());
    label->setBuddy(buddy);
    return label;
}

}  // namespace

CDlgSettingsSmtp::CDlgSettingsSmtp(QWidget* parent)
    : CSettingsPage(SettingsPage::Smtp, QStringLiteral("SMTP service"),
                    QStringLiteral("Modify SMTP service parameters here."), parent) {
    QLineEdit* port = FieldBox("SmtpPort");
    QLineEdit* second = FieldBox("SmtpPort2nd");
    QLineEdit* days = FieldBox("LogSmtpDays");
    AddFieldRow(Form(), 0, Caption(QStringLiteral("SMTP port"), port), port,
                QStringLiteral("(default:%1)").arg(relvo::SettingDefault("SmtpPort")));
    Form()->addWidget(
        FlagBox("SmtpAuthFlag", QStringLiteral("My server requires SMTP authentication.")), 1, 0, 1,
        4);
    AddFieldRow(Form(), 2, FlagBox("LogSmtp", QStringLiteral("Log SMTP activities:")), days,
                QStringLiteral("(days)"));
    AddFieldRow(Form(), 3, Caption(QStringLiteral("Second SMTP port"), second), second);
    AddNote(QStringLiteral("Port changes take effect at the next start of the SMTP service."));
}

CDlgSettingsSend::CDlgSettingsSend(QWidget* parent)
    : CSettingsPage(SettingsPage::Send, QStringLiteral("SEND service"),
                    QStringLiteral("Modify SEND mail service parameters here."), parent) {
    QLineEdit* threads = FieldBox("SendMailThread");
    QLineEdit* retries = FieldBox("RetriesAfterFailed");
    QLineEdit* helo = FieldBox("HELOString");
    QLineEdit* days = FieldBox("LogSendDays");
    AddFieldRow(Form(), 0, Caption(QStringLiteral("Mail sending threads"), threads), threads,
                QStringLiteral("(max=%1)").arg(relvo::Setting("SendMailThread").maximum));
    AddFieldRow(Form(), 1, Caption(QStringLiteral("Retries after failed"), retries), retries,
                QStringLiteral("(times)"));
    Form()->addWidget(Caption(QStringLiteral("HELO string when sending"), helo), 2, 0);
    Form()->addWidget(helo, 2, 1, 1, 3);
    AddFieldRow(Form(), 3, FlagBox("LogSend", QStringLiteral("Log SEND activities:")), days,
                QStringLiteral("(days)"));
    AddNote(QStringLiteral("Thread changes take effect at the next start of the SEND service."));
}

namespace {

// "(5 to 3600)" after a ranged field.
QString RangeText(const char* key) {
    const relvo::SettingInfo* setting = relvo::FindSetting(key);
    if (setting == nullptr || !setting->HasRange()) {
        return {};
    }
    return QStringLiteral("(%1 to %2)").arg(setting->minimum).arg(setting->maximum);
}

}  // namespace

CDlgSettingsAdvanced::CDlgSettingsAdvanced(QWidget* parent)
    : CSettingsPage(SettingsPage::Advanced, QStringLiteral("Advanced"),
                    QStringLiteral("Modify the mail engine's own parameters here."), parent) {
    struct Row {
        const char* key;
        const char* caption;
    };
    const Row texts[] = {{"SmtpListenAddress", "Listen address (empty: all)"},
                         {"SmtpTlsCertFile", "TLS certificate file"},
                         {"SmtpTlsKeyFile", "TLS key file"}};
    const Row numbers[] = {{"SmtpMaxMessageSize", "Largest message (bytes)"},
                           {"SmtpMaxRecipients", "Recipients per message"},
                           {"SmtpMaxErrors", "Errors per session"},
                           {"SmtpMaxSessions", "Sessions at once"},
                           {"SmtpMaxSessionsPerClient", "Sessions per client"},
                           {"SmtpMaxHeaderSize", "Largest header section (bytes)"},
                           {"SmtpMaxMessagesPerSession", "Messages per session"},
                           {"SmtpJunkCommandLimit", "Junk commands per session"},
                           {"SmtpCommandTimeout", "Command timeout (seconds)"},
                           {"SmtpDataTimeout", "Data timeout (seconds)"},
                           {"SmtpMinDataRate", "Least data rate (bytes/second)"},
                           {"SmtpAuthFailLimit", "Failed logins per client"},
                           {"QueueMinFreeSpace", "Free disk for the queue (bytes)"},
                           {"SendRetrySeconds", "First retry after (seconds)"}};
    int row = 0;
    for (const Row& text : texts) {
        QLineEdit* box = FieldBox(text.key);
        box->setPlaceholderText(text.key == std::string_view("SmtpListenAddress")
                                    ? QString()
                                    : QStringLiteral("empty: one the server makes"));
        Form()->addWidget(Caption(QString::fromLatin1(text.caption), box), row, 0);
        Form()->addWidget(box, row++, 1, 1, kWholeRow - 1);
    }
    int column = 0;
    for (const Row& number : numbers) {
        QLineEdit* box = FieldBox(number.key);
        if (number.key == std::string_view("SmtpAuthFailLimit")) {
            box->setToolTip(QStringLiteral(
                "After this many failed logins within 15 minutes, a client address is refused "
                "logins for 15 minutes"));
        } else if (number.key == std::string_view("QueueMinFreeSpace")) {
            box->setToolTip(QStringLiteral(
                "New mail is refused for the time being while the disk of the queue has less "
                "free; 0: one and a half times the largest message"));
        }
        AddFieldRow(Form(), row, Caption(QString::fromLatin1(number.caption), box), box,
                    RangeText(number.key), column);
        column = column == 0 ? kSecondColumn : 0;
        row += column == 0 ? 1 : 0;
    }
    row += column == 0 ? 0 : 1;
    QLineEdit* relay = FieldBox("SmtpRelayNetworks");
    relay->setPlaceholderText(QStringLiteral("empty: this machine only"));
    relay->setToolTip(QStringLiteral(
        "When the SMTP service does not ask for a login, clients in these networks (and this "
        "machine) may send mail to any domain, for example 192.0.2.0/24, 2001:db8::/48"));
    Form()->addWidget(Caption(QStringLiteral("Relay networks without login"), relay), row, 0);
    Form()->addWidget(relay, row++, 1, 1, kWholeRow - 1);
    QLineEdit* balancers = FieldBox("SmtpProxyFrom");
    balancers->setPlaceholderText(QStringLiteral("empty: no load balancer"));
    balancers->setToolTip(QStringLiteral(
        "Load balancers that send a PROXY header with each connection, so that the client's own "
        "address counts, for example 192.0.2.10"));
    Form()->addWidget(Caption(QStringLiteral("Load balancers (PROXY header)"), balancers), row, 0);
    Form()->addWidget(balancers, row++, 1, 1, kWholeRow - 1);
    QLineEdit* dns = FieldBox("DnsServer");
    dns->setPlaceholderText(QStringLiteral("empty: the system's servers"));
    Form()->addWidget(Caption(QStringLiteral("DNS server"), dns), row, 0);
    Form()->addWidget(dns, row++, 1, 1, kWholeRow - 1);
    QLineEdit* reports = FieldBox("DmarcReportFrom");
    reports->setPlaceholderText(QStringLiteral("empty: no reports"));
    reports->setToolTip(QStringLiteral(
        "The sender of the daily DMARC aggregate reports to the domains that ask for them, for "
        "example Example Org <dmarc@example.org>"));
    Form()->addWidget(Caption(QStringLiteral("DMARC reports from"), reports), row, 0);
    Form()->addWidget(reports, row++, 1, 1, kWholeRow - 1);
    Form()->addWidget(FlagBox("RelayTlsVerify",
                              QStringLiteral("Check the certificates of relays and exchangers.")),
                      row++, 0, 1, kWholeRow);
    Form()->addWidget(
        FlagBox("DmarcPolicy",
                QStringLiteral("Refuse or put in Junk the mail that fails its sender's DMARC "
                               "policy.")),
        row, 0, 1, kWholeRow);
    AddNote(QStringLiteral(
        "The listen address and the certificate take effect at the next start of the SMTP "
        "service; restart it after changing them. The other settings apply to the next session "
        "and the next delivery."));
}
