#include "app/config_dlg.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QMessageBox>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

#include "app/activity_pane.h"
#include "app/dlg_close.h"
#include "app/ext_system_tray.h"
#include "app/startup_checks.h"
#include "app/startup_report.h"
#include "common/app_paths.h"
#include "common/profile_store.h"
#include "common/settings_table.h"
#include "common/utilities.h"
#include "controls/product_links.h"
#include "controls/url_launcher.h"
#include "controls/xhyperlink.h"
#include "engine/engine_binding.h"
#include "engine/engine_window.h"
#include "mailtools/dlg_log.h"
#include "mailtools/dlg_mail_send.h"
#include "mailtools/dlg_queue.h"
#include "mailtools/queue_counter.h"
#include "settings/dlg_settings.h"
#include "tables/dlg_account.h"
#include "tables/dlg_domain.h"
#include "tables/dlg_relay.h"

namespace {

// Cleared by the first show of the main window in this process.
bool firstShowPending = true;

constexpr int kExitRetryMs = 50;

bool AskWithMessageBox(QWidget* parent, const QString& question) {
    return QMessageBox::question(parent, QStringLiteral("Relvo SMTP Server"), question,
                                 QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
}

QPushButton* CommandButton(const QString& text, const QString& name, QWidget* parent) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(name);
    // No button is the default: Enter must not press whichever has the focus.
    button->setAutoDefault(false);
    button->setDefault(false);
    return button;
}

QLabel* CentredLabel(const QString& text, const QString& name, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    label->setAlignment(Qt::AlignCenter);
    return label;
}

void SetTextColour(QLabel* label, const QColor& colour) {
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, colour);
    label->setPalette(palette);
}

}  // namespace

CRelvoConfigDlg::CRelvoConfigDlg(QWidget* parent, Question ask, const QStringList& startupProblems)
    : QDialog(parent),
      ask_(ask ? std::move(ask) : Question(AskWithMessageBox)),
      services_([this](const QString& question) { return ask_(this, question); },
                [this](const QString& line) { pane_->AppendLogLine(line); }) {
    setObjectName(QStringLiteral("CRelvoConfigDlg"));
    setWindowTitle(QStringLiteral("Relvo SMTP Server 1.1"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    BuildControls();
    connect(this, &CRelvoConfigDlg::diagnoseRequested, this, [this] { OpenDiagnose(); });
    RunOpeningSequence(startupProblems);
}

CRelvoConfigDlg::~CRelvoConfigDlg() = default;

void CRelvoConfigDlg::BuildControls() {
    auto* group = new QGroupBox(this);

    auto* icon = new QLabel(group);
    icon->setPixmap(AppIcon().pixmap(32, 32));
    icon->setAlignment(Qt::AlignCenter);
    homeLink_ = new CXHyperLink(HomePageCaption(), group);
    homeLink_->setObjectName(QStringLiteral("HomeLink"));
    clock_ = CentredLabel(QStringLiteral("10:11:12"), QStringLiteral("Clock"), group);
    date_ = CentredLabel(QStringLiteral("Friday, Oct. 24"), QStringLiteral("Date"), group);
    auto* left = new QVBoxLayout;
    left->addWidget(icon);
    left->addWidget(homeLink_, 0, Qt::AlignHCenter);
    left->addSpacing(6);
    left->addWidget(clock_);
    left->addWidget(date_);
    left->addStretch();

    smtpStatus_ = new QLabel(group);
    smtpStatus_->setObjectName(QStringLiteral("SmtpStatus"));
    sendStatus_ = new QLabel(group);
    sendStatus_->setObjectName(QStringLiteral("SendStatus"));
    auto* account =
        CommandButton(QStringLiteral("&Account"), QStringLiteral("AccountButton"), group);
    auto* help = CommandButton(QStringLiteral("Help"), QStringLiteral("HelpButton"), group);
    // Installed, the configuration and mail live apart from the program: say where.
    help->setToolTip(
        QStringLiteral("Data directory: %1")
            .arg(QDir::toNativeSeparators(QString::fromStdString(ApplicationDirectory()))));
    auto* domain = CommandButton(QStringLiteral("&Domain"), QStringLiteral("DomainButton"), group);
    auto* suggestion =
        CommandButton(QStringLiteral("Suggestion"), QStringLiteral("SuggestionButton"), group);
    auto* exit = CommandButton(QStringLiteral("E&xit"), QStringLiteral("ExitButton"), group);
    smtpButton_ = CommandButton(QString(), QStringLiteral("SmtpButton"), group);
    sendButton_ = CommandButton(QString(), QStringLiteral("SendButton"), group);
    auto* logs =
        CommandButton(QStringLiteral("History &logs"), QStringLiteral("LogsButton"), group);
    auto* settings =
        CommandButton(QStringLiteral("&Server settings"), QStringLiteral("SettingsButton"), group);
    auto* diagnose =
        CommandButton(QStringLiteral("Dia&gnose sending"), QStringLiteral("DiagnoseButton"), group);
    auto* relays =
        CommandButton(QStringLiteral("&Relay accounts"), QStringLiteral("RelayButton"), group);
    auto* queue =
        CommandButton(QStringLiteral("Mail &queue"), QStringLiteral("QueueButton"), group);
    waiting_ = new QLabel(group);
    waiting_->setObjectName(QStringLiteral("WaitingCount"));
    // The window's width is fixed at start, before the first count: room is kept for the
    // longest texts so that neither the status nor the count is ever cut.
    const QFontMetrics metrics = waiting_->fontMetrics();
    waiting_->setMinimumWidth(metrics.horizontalAdvance(WaitingText(9999999)));
    sendStatus_->setMinimumWidth(std::max(metrics.horizontalAdvance(SendStatusText(true)),
                                          metrics.horizontalAdvance(SendStatusText(false))));
    smtpStatus_->setMinimumWidth(std::max(metrics.horizontalAdvance(SmtpStatusText(true)),
                                          metrics.horizontalAdvance(SmtpStatusText(false))));

    auto* statusAndSmall = new QGridLayout;
    statusAndSmall->addWidget(smtpStatus_, 0, 0);
    auto* sendRow = new QHBoxLayout;
    sendRow->addWidget(sendStatus_);
    sendRow->addSpacing(12);
    sendRow->addWidget(waiting_);
    sendRow->addStretch(1);
    statusAndSmall->addLayout(sendRow, 1, 0);
    statusAndSmall->addWidget(account, 0, 1);
    statusAndSmall->addWidget(help, 0, 2);
    statusAndSmall->addWidget(domain, 1, 1);
    statusAndSmall->addWidget(suggestion, 1, 2);
    statusAndSmall->addWidget(exit, 1, 3);
    statusAndSmall->setColumnStretch(0, 1);
    auto* large = new QGridLayout;
    large->addWidget(smtpButton_, 0, 0);
    large->addWidget(logs, 0, 1);
    large->addWidget(settings, 0, 2);
    large->addWidget(sendButton_, 1, 0);
    large->addWidget(diagnose, 1, 1);
    large->addWidget(queue, 1, 2);
    large->addWidget(relays, 0, 3);
    auto* right = new QVBoxLayout;
    right->addLayout(statusAndSmall);
    right->addSpacing(4);
    right->addLayout(large);
    right->addStretch();

    auto* groupLayout = new QHBoxLayout(group);
    groupLayout->addLayout(left);
    groupLayout->addSpacing(8);
    groupLayout->addLayout(right, 1);

    pane_ = new ActivityPane(this);
    pane_->setMinimumHeight(150);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 4, 6, 6);
    layout->addWidget(group);
    layout->addWidget(pane_, 1);

    connect(account, &QPushButton::clicked, this, &CRelvoConfigDlg::OpenAccounts);
    connect(domain, &QPushButton::clicked, this, &CRelvoConfigDlg::OpenDomains);
    connect(relays, &QPushButton::clicked, this, &CRelvoConfigDlg::OpenRelays);
    connect(settings, &QPushButton::clicked, this, &CRelvoConfigDlg::OpenSettings);
    connect(logs, &QPushButton::clicked, this, &CRelvoConfigDlg::OpenLogs);
    connect(diagnose, &QPushButton::clicked, this, &CRelvoConfigDlg::diagnoseRequested);
    connect(queue, &QPushButton::clicked, this, &CRelvoConfigDlg::OpenQueue);
    connect(smtpButton_, &QPushButton::clicked, this, &CRelvoConfigDlg::ToggleSmtpService);
    connect(sendButton_, &QPushButton::clicked, this, &CRelvoConfigDlg::ToggleSendService);
    connect(exit, &QPushButton::clicked, this, &CRelvoConfigDlg::AskClose);
    // Without a browser the address is shown, so it can be copied.
    connect(help, &QPushButton::clicked, this,
            [this] { OpenUrlOrShowAddress(SupportPageUrl(), this); });
    connect(suggestion, &QPushButton::clicked, this,
            [this] { OpenUrlOrShowAddress(SuggestionMailUrl(), this); });
    connect(&clockTimer_, &QTimer::timeout, this, &CRelvoConfigDlg::TickClock);
    exitTimer_.setSingleShot(true);
    exitTimer_.setInterval(kExitRetryMs);
    connect(&exitTimer_, &QTimer::timeout, this, &CRelvoConfigDlg::FinishExitWhenAlone);
}

void CRelvoConfigDlg::RunOpeningSequence(const QStringList& startupProblems) {
    QIcon icon = AppIcon();
    setWindowIcon(icon);
    homeLink_->SetLinkUrl(HomePageUrl(), QString());
    tray_ = std::make_unique<CExtSystemTray>(this);
    tray_->Create(icon);

    // Before the services start: an unreadable file explains why they start on the defaults.
    for (const QString& problem : startupProblems) {
        pane_->AppendLogLine(problem);
    }
    const std::string config = ResolveProfilePath(".cfg");
    if (const std::string problem = FileReadProblem(config); !problem.empty()) {
        pane_->AppendLogLine(
            QStringLiteral("Cannot read the configuration file %1: %2; the "
                           "defaults are used until it can be read")
                .arg(QString::fromStdString(config), QString::fromStdString(problem)));
    }
    // Registered before the automatic start: a start that fails says why in the engine's own
    // lines, and those would be lost to the window if it registered afterwards. The lines reach
    // the pane after the opening, behind the console's own start lines.
    engineWindow_ = CreateEngineWindowForBatches(this, [this](const QList<QByteArray>& lines) {
        pane_->AppendEngineLines(lines);
        ReportEngineLines(lines);
    });
    engine::SmtpServiceSetWnd(engineWindow_, RELVOMAIL_PROGRESS_MESSAGE);
    engine::SendServiceSetWnd(engineWindow_, RELVOMAIL_PROGRESS_MESSAGE);
    services_.AutoStart();
    UpdateServiceTexts();
    queueCounter_ = new QueueCounter(QString::fromStdString(AppFilePath("queue")), this);
    connect(queueCounter_, &QueueCounter::CountChanged, this, [this](int count) {
        waiting_->setText(WaitingText(count));
        tray_->SetToolTipDetail(WaitingText(count));
    });

    QFont clockFont(QStringLiteral("Arial"));
    clockFont.setStyleHint(QFont::SansSerif);
    clockFont.setPixelSize(15);
    clockFont.setBold(true);
    clock_->setFont(clockFont);
    TickClock();
    clockTimer_.start(1000);

    QFont paneFont(QStringLiteral("Courier New"));
    paneFont.setStyleHint(QFont::Monospace);
    paneFont.setPixelSize(14);
    pane_->setFont(paneFont);
    setFixedWidth(sizeHint().width());
}

void CRelvoConfigDlg::ReportEngineLines(const QList<QByteArray>& lines) {
    // When each engine line reached the pane, beside the window's first showing.
    if (!StartupReportWanted()) {
        return;
    }
    for (const QByteArray& line : lines) {
        ReportStartupMoment("engine line", std::string_view(line.constData(), line.size()));
    }
}

void CRelvoConfigDlg::UpdateServiceTexts() {
    bool smtp = services_.SmtpRunning();
    bool send = services_.SendRunning();
    smtpButton_->setText(SmtpButtonText(smtp));
    sendButton_->setText(SendButtonText(send));
    smtpStatus_->setText(SmtpStatusText(smtp));
    sendStatus_->setText(SendStatusText(send));
    SetTextColour(smtpStatus_, smtp ? QColor(0, 0, 255) : QColor(255, 0, 0));
    SetTextColour(sendStatus_, send ? QColor(0, 0, 255) : QColor(255, 0, 0));
}

void CRelvoConfigDlg::ToggleSmtpService() {
    if (services_.ToggleSmtpService()) {
        UpdateServiceTexts();
    }
}

void CRelvoConfigDlg::ToggleSendService() {
    if (services_.ToggleSendService()) {
        UpdateServiceTexts();
    }
}

void CRelvoConfigDlg::OpenAccounts() {
    CDlgAccount dialog(SupportPageUrl(), this);
    dialog.exec();
}

void CRelvoConfigDlg::OpenDomains() {
    CDlgDomain dialog(this);
    dialog.exec();
}

void CRelvoConfigDlg::OpenRelays() {
    CDlgRelay dialog(this);
    dialog.exec();
}

void CRelvoConfigDlg::OpenDiagnose(const QString& mailPath) {
    auto* dialog = new CDlgMailSend(SupportPageUrl(), this);
    if (!mailPath.isEmpty()) {
        dialog->OpenMailFile(mailPath);
    }
    dialog->show();
    // As a window of its own it is not placed over the main window by the platform.
    dialog->move(frameGeometry().center() - dialog->frameGeometry().center() + dialog->pos());
}

void CRelvoConfigDlg::OpenSettings() {
    CDlgSettings dialog(this);
    dialog.exec();
}

void CRelvoConfigDlg::OpenLogs() {
    CDlgLog dialog(this);
    dialog.exec();
}

void CRelvoConfigDlg::OpenQueue() {
    if (!queueDialog_) {
        queueDialog_ = new CDlgQueue(this);
        queueDialog_->setAttribute(Qt::WA_DeleteOnClose);
        queueDialog_->SetSendRunning([this] { return services_.SendRunning(); });
        queueDialog_->SetDiagnose([this](QWidget*, const QString& path) { OpenDiagnose(path); });
    }
    queueDialog_->show();
    queueDialog_->raise();
    queueDialog_->activateWindow();
}

CDlgQueue* CRelvoConfigDlg::QueueDialog() const {
    return queueDialog_;
}

QString CRelvoConfigDlg::WaitingText(int count) {
    if (count < 0) {
        return {};
    }
    return count == 1 ? QStringLiteral("1 mail waiting")
                      : QStringLiteral("%1 mails waiting").arg(count);
}

void CRelvoConfigDlg::TickClock() {
    clock_->setText(QString::fromStdString(CurrentTimeText(2)));
    date_->setText(QString::fromStdString(CurrentTimeText(5)));
}

void CRelvoConfigDlg::AskClose() {
    CDlgClose question(tray_->IsShown(), this);
    if (question.exec() != QDialog::Accepted) {
        return;
    }
    if (question.ChoiceMade() == CDlgClose::kExit) {
        RunExitSequence();
    } else if (question.ChoiceMade() == CDlgClose::kHide) {
        PutAway();
    }
}

void CRelvoConfigDlg::RunExitSequence() {
    if (exitRequested_) {
        return;
    }
    exitRequested_ = true;
    services_.StopRunningServices();
    clockTimer_.stop();
    FinishExitWhenAlone();
}

void CRelvoConfigDlg::FinishExitWhenAlone() {
    // Another modal dialog of the console is open: the window ends once that one has closed.
    QWidget* modal = QApplication::activeModalWidget();
    if (modal != nullptr && modal != this) {
        exitTimer_.start();
        return;
    }
    QDialog::done(QDialog::Accepted);
}

void CRelvoConfigDlg::BringForward() {
    // Whoever starts the console again wants to see it, wherever it was put away.
    if (isMinimized()) {
        showNormal();
    }
    show();
    raise();
    activateWindow();
}

void CRelvoConfigDlg::PutAway() {
    if (tray_->IsShown()) {
        hide();
    } else {
        showMinimized();
    }
}

void CRelvoConfigDlg::accept() {}

void CRelvoConfigDlg::reject() {
    PutAway();
}

void CRelvoConfigDlg::closeEvent(QCloseEvent* event) {
    if (exitRequested_) {
        event->accept();
        return;
    }
    event->ignore();
    PutAway();
}

void CRelvoConfigDlg::changeEvent(QEvent* event) {
    QDialog::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && isMinimized() && tray_ && tray_->IsShown()) {
        QTimer::singleShot(0, this, [this] {
            if (isMinimized()) {
                hide();
            }
        });
    }
}

void CRelvoConfigDlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!firstShowPending) {
        return;
    }
    firstShowPending = false;
    if (ProfileGetInt(relvo::kSystemSection, "AutoMinimize", relvo::SettingDefault("AutoMinimize"),
                      ".cfg") != 0) {
        QTimer::singleShot(0, this, &CRelvoConfigDlg::PutAway);
    }
}

QIcon CRelvoConfigDlg::AppIcon() {
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        qreal s = size;
        QRectF envelope(s * 0.06, s * 0.2, s * 0.88, s * 0.6);
        painter.setPen(QPen(QColor(20, 60, 140), qMax(1.0, s / 20)));
        painter.setBrush(QColor(250, 215, 90));
        painter.drawRoundedRect(envelope, s * 0.06, s * 0.06);
        QPainterPath flap;
        flap.moveTo(envelope.topLeft());
        flap.lineTo(envelope.center().x(), envelope.top() + envelope.height() * 0.55);
        flap.lineTo(envelope.topRight());
        painter.setBrush(Qt::NoBrush);
        painter.drawPath(flap);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(30, 140, 60));
        painter.drawEllipse(QRectF(s * 0.62, s * 0.56, s * 0.34, s * 0.34));
        icon.addPixmap(pixmap);
    }
    return icon;
}
