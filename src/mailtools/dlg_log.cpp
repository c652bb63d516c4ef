#include "mailtools/dlg_log.h"

#include <QDesktopServices>
#include <QFile>
#include <QFileInfo>
#include <QGridLayout>
#include <QHeaderView>
#include <QMessageBox>
#include <QPushButton>
#include <QStyledItemDelegate>
#include <QUrl>
#include <algorithm>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "common/clock.h"
#include "common/utilities.h"
#include "controls/product_links.h"
#include "controls/sort_list_ctrl.h"
#include "controls/xhyperlink.h"

namespace {

bool OpenWithDesktop(const QString& path) {
    return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

// Paths read best from the left; the list centres every cell by default.
class LeftAlignedDelegate final : public QStyledItemDelegate {
  public:
    using QStyledItemDelegate::QStyledItemDelegate;

  protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
        QStyledItemDelegate::initStyleOption(option, index);
        option->displayAlignment = Qt::AlignLeft | Qt::AlignVCenter;
    }
};

void NoticeWithMessageBox(QWidget* parent, const QString& text) {
    QMessageBox::information(parent, QStringLiteral("Relvo SMTP Server"), text);
}

QPushButton* MakeButton(const QString& text, const char* name, QWidget* parent) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setAutoDefault(false);
    return button;
}

}  // namespace

QStringList LogListEntries(const QStringList& directoryEntries) {
    QStringList entries;
    for (const QString& entry : directoryEntries) {
        if (entry.endsWith(QStringLiteral(".txt"), Qt::CaseInsensitive)) {
            entries.append(entry);
        }
    }
    std::sort(entries.begin(), entries.end(), [](const QString& a, const QString& b) {
        const int folded = a.compare(b, Qt::CaseInsensitive);
        return folded != 0 ? folded < 0 : a < b;
    });
    return entries;
}

QString LogFileName(LogService service, std::chrono::system_clock::time_point moment) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(moment);
    std::tm local{};
    char date[16] = "";
    if (localtime_r(&seconds, &local) != nullptr) {
        std::strftime(date, sizeof date, "%Y%m%d", &local);
    }
    const QString prefix =
        service == LogService::Smtp ? QStringLiteral("smtp") : QStringLiteral("send");
    return prefix + QString::fromLatin1(date) + QStringLiteral(".txt");
}

QString TodayLogPath(LogService service) {
    const std::string name = LogFileName(service, CurrentTime()).toStdString();
    return QFile::decodeName(QByteArray::fromStdString(AppFilePath(name, "log")));
}

CDlgLog::CDlgLog(QWidget* parent)
    : QDialog(parent),
      open_(OpenWithDesktop),
      notice_(NoticeWithMessageBox),
      list_(new CSortListCtrl(this)) {
    setObjectName(QStringLiteral("CDlgLog"));
    setWindowTitle(QStringLiteral("SMTP & SEND logs"));

    list_->setObjectName(QStringLiteral("logList"));
    list_->DefineColumns(QStringLiteral("Log file,420"));
    // A plain sorted list: no heading to click, one entry chosen at a time.
    list_->header()->hide();
    list_->header()->setStretchLastSection(true);
    list_->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setItemDelegate(new LeftAlignedDelegate(list_));
    list_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    list_->setMinimumSize(440, 260);

    auto* smtp = MakeButton(QStringLiteral("Today's SMTP logs"), "smtpTodayButton", this);
    auto* send = MakeButton(QStringLiteral("Today's SEND logs"), "sendTodayButton", this);
    auto* view = MakeButton(QStringLiteral("View"), "viewButton", this);
    auto* close = MakeButton(QStringLiteral("Close"), "closeButton", this);
    auto* help = new CXHyperLink(QStringLiteral("Click for help"), this);
    help->setObjectName(QStringLiteral("helpLink"));
    help->SetLinkUrl(SupportPageUrl());

    auto* layout = new QGridLayout(this);
    layout->addWidget(list_, 0, 0, 5, 1);
    layout->addWidget(smtp, 0, 1);
    layout->addWidget(send, 1, 1);
    layout->addWidget(view, 2, 1);
    layout->setRowStretch(3, 1);
    layout->addWidget(close, 4, 1, Qt::AlignBottom);
    layout->addWidget(help, 5, 0, Qt::AlignLeft);

    connect(smtp, &QPushButton::clicked, this, [this] { OpenTodaysLog(LogService::Smtp); });
    connect(send, &QPushButton::clicked, this, [this] { OpenTodaysLog(LogService::Send); });
    connect(view, &QPushButton::clicked, this, &CDlgLog::ViewSelected);
    connect(list_, &QAbstractItemView::doubleClicked, this, &CDlgLog::ViewSelected);
    connect(close, &QPushButton::clicked, this, &CDlgLog::reject);

    FillList();
}

CDlgLog::~CDlgLog() = default;

void CDlgLog::SetFileOpener(FileOpener open) {
    open_ = open ? std::move(open) : FileOpener(OpenWithDesktop);
}

void CDlgLog::SetNotice(Notice notice) {
    notice_ = notice ? std::move(notice) : Notice(NoticeWithMessageBox);
}

void CDlgLog::FillList() {
    std::vector<std::string> found;
    ListDirectory(AppFilePath("log"), found);
    QStringList entries;
    for (const std::string& entry : found) {
        entries.append(QFile::decodeName(QByteArray::fromStdString(entry)));
    }
    for (const QString& entry : LogListEntries(entries)) {
        list_->AppendRow({entry});
    }
}

void CDlgLog::OpenTodaysLog(LogService service) {
    OpenLogFile(TodayLogPath(service));
}

void CDlgLog::ViewSelected() {
    QList<int> rows;
    if (list_->ListSelectedRows(rows) == 0) {
        return;
    }
    const QStringList record = list_->RowRecord(rows.front());
    if (!record.isEmpty()) {
        OpenLogFile(record.front());
    }
}

void CDlgLog::OpenLogFile(const QString& path) {
    // The desktop would fail on a missing file without a word to us, so ask first.
    if (!QFileInfo::exists(path)) {
        notice_(this, MissingFileMessage(path));
    } else if (!open_(path)) {
        notice_(this, NoProgramMessage(path));
    }
}

QString CDlgLog::MissingFileMessage(const QString& path) {
    return QStringLiteral("The log file does not exist (yet):\n%1").arg(path);
}

QString CDlgLog::NoProgramMessage(const QString& path) {
    return QStringLiteral(
               "No program for text files could be started on this desktop.\n"
               "The log file is:\n%1")
        .arg(path);
}
