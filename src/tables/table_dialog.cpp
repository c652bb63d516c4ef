#include "tables/table_dialog.h"

#include <QBoxLayout>
#include <QCheckBox>
#include <QGridLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>
#include <utility>

#include "controls/product_links.h"
#include "controls/sort_list_ctrl.h"
#include "controls/xhyperlink.h"
#include "tables/record_rules.h"
#include "tables/table_messages.h"

namespace {

constexpr std::string_view kMainFile = ".cfg";

QPushButton* MakeButton(const QString& text, const char* name, QWidget* parent) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(QString::fromLatin1(name));
    // Enter is decided by the dialog: the focused button, otherwise the form's own rule.
    button->setAutoDefault(false);
    button->setDefault(false);
    return button;
}

}  // namespace

QLineEdit* MakeLineEdit(const char* objectName, QWidget* parent) {
    auto* box = new QLineEdit(parent);
    box->setObjectName(QString::fromLatin1(objectName));
    return box;
}

QCheckBox* MakeCheckBox(const QString& text, const char* objectName, QWidget* parent) {
    auto* box = new QCheckBox(text, parent);
    box->setObjectName(QString::fromLatin1(objectName));
    return box;
}

QLabel* MakeHintLabel(QWidget* parent, int reservedLines) {
    auto* hint = new QLabel(parent);
    // Room kept from the start: a hint that appears must not push the rest of the dialog over
    // its own edge.
    hint->setMinimumHeight(reservedLines * hint->fontMetrics().lineSpacing());
    hint->setObjectName(QStringLiteral("hint"));
    hint->setWordWrap(true);
    hint->setTextFormat(Qt::PlainText);
    QPalette colours = hint->palette();
    colours.setColor(QPalette::WindowText, QColor(170, 0, 0));
    hint->setPalette(colours);
    return hint;
}

bool IsPlainEnterKey(const QKeyEvent* event) {
    const auto modifiers = event->modifiers() & ~Qt::KeypadModifier;
    return (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
           modifiers == Qt::NoModifier;
}

void AddLabelledRow(QGridLayout* form, int row, const QString& label, QWidget* box, int column) {
    auto* caption = new QLabel(label, box->parentWidget());
    caption->setBuddy(box);
    form->addWidget(caption, row, column);
    form->addWidget(box, row, column + 1);
}

CTableDialog::CTableDialog(const RecordTableLayout& layout, const Texts& texts, QWidget* parent)
    : QDialog(parent),
      layout_(layout),
      ask_(ConfirmDeletion),
      warn_(ShowConfigNotice),
      heading_(new QLabel(texts.heading, this)),
      hint_(MakeHintLabel(this, 0)),
      list_(new CSortListCtrl(this)),
      save_(MakeButton(QStringLiteral("&Save"), "saveButton", this)),
      delete_(MakeButton(QStringLiteral("&Delete"), "deleteButton", this)),
      close_(MakeButton(QStringLiteral("&Close"), "closeButton", this)),
      helpLink_(new CXHyperLink(QStringLiteral("Click here for more help."), this)) {
    setWindowTitle(texts.caption);
    heading_->setObjectName(QStringLiteral("heading"));
    list_->setObjectName(QStringLiteral("list"));
    helpLink_->setObjectName(QStringLiteral("helpLink"));
    helpLink_->SetLinkUrl(SupportPageUrl());
    // Full-row select is the list's own; headings can be dragged, cut-off cells show tips.
    list_->SetHeaderDragDrop(true);
    list_->SetInfoTips(true);
    list_->DefineColumns(texts.columns);
    list_->SetStretchColumn(0);  // names are the long texts
    // Wide enough for every column at its declared width, without a horizontal scroll bar.
    list_->setMinimumWidth(list_->header()->length() + 2 * list_->frameWidth() +
                           list_->verticalScrollBar()->sizeHint().width());
    list_->viewport()->installEventFilter(this);
    connect(save_, &QPushButton::clicked, this, &CTableDialog::Save);
    connect(delete_, &QPushButton::clicked, this, &CTableDialog::Delete);
    connect(close_, &QPushButton::clicked, this, &CTableDialog::reject);
    connect(list_, &CSortListCtrl::RowChosenByKeyboard, this,
            [this](int row) { Load(list_->CellText(row, 0)); });
    connect(list_, &CSortListCtrl::DeleteKeyPressed, this, &CTableDialog::Delete);
}

CTableDialog::~CTableDialog() {
    list_->viewport()->removeEventFilter(this);
}

void CTableDialog::SetQuestion(Question ask) {
    ask_ = ask ? std::move(ask) : Question(ConfirmDeletion);
}

void CTableDialog::SetWarning(Warning warn) {
    warn_ = warn ? std::move(warn) : Warning(ShowConfigNotice);
}

QString CTableDialog::HintText() const {
    return hint_->text();
}

void CTableDialog::SetHint(FormHint hint) {
    hint_->setText(FormHintText(hint));
}

void CTableDialog::Open(QLayout* form, const QList<QWidget*>& tabOrder) {
    auto* buttons = new QVBoxLayout;
    buttons->addWidget(save_);
    buttons->addWidget(delete_);
    for (QPushButton* extra : std::as_const(extraButtons_)) {
        buttons->addWidget(extra);
    }
    buttons->addWidget(close_);
    buttons->addStretch();
    auto* formAndHint = new QVBoxLayout;
    formAndHint->addLayout(form);
    formAndHint->addWidget(hint_);
    formAndHint->addStretch();
    auto* top = new QHBoxLayout;
    top->addLayout(formAndHint, 1);
    top->addSpacing(12);
    top->addLayout(buttons);
    auto* main = new QVBoxLayout(this);
    main->addWidget(heading_);
    main->addLayout(top);
    main->addWidget(list_, 1);
    main->addWidget(helpLink_, 0, Qt::AlignLeft);

    QList<QWidget*> order = tabOrder;
    order << save_ << delete_;
    for (QPushButton* extra : std::as_const(extraButtons_)) {
        order << extra;
    }
    order << close_ << list_;
    for (qsizetype i = 1; i < order.size(); ++i) {
        setTabOrder(order[i - 1], order[i]);
    }
    formBoxes_ = tabOrder;
    ShowForm();
    shownState_ = FormState();
    FillList();
    order.front()->setFocus();
}

QPushButton* CTableDialog::AddButton(const QString& text, const char* objectName) {
    extraButtons_.append(MakeButton(text, objectName, this));
    return extraButtons_.back();
}

void CTableDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (toldReadProblem_) {
        return;
    }
    toldReadProblem_ = true;
    // Told once the dialog is on screen, so the box stands over it rather than before it.
    QTimer::singleShot(0, this, [this] {
        if (const std::optional<QString> problem = ConfigReadProblem(kMainFile)) {
            warn_(this, *problem);
        }
    });
}

QStringList CTableDialog::FormState() const {
    QStringList state;
    for (const QWidget* box : formBoxes_) {
        if (const auto* line = qobject_cast<const QLineEdit*>(box)) {
            state.append(line->text());
        } else if (const auto* check = qobject_cast<const QCheckBox*>(box)) {
            state.append(check->isChecked() ? QStringLiteral("1") : QStringLiteral("0"));
        }
    }
    return state;
}

void CTableDialog::Load(const QString& name) {
    LoadRecord(name);
    SetHint(FormHint::kNone);
    shownState_ = FormState();
}

void CTableDialog::FillList() {
    const ProfileSnapshot file(kMainFile);
    for (const std::string& name : ListedNames(file, layout_.table)) {
        list_->AppendRow(layout_.listRow(file, name));
    }
}

std::optional<quint32> CTableDialog::ReadNumberBox(QLineEdit* box) {
    const std::optional<quint32> number = ReadUnsignedNumber(box->text());
    if (!number) {
        SetHint(FormHint::kPort);
        box->setFocus();
        box->selectAll();
    }
    return number;
}

std::optional<QStringList> CTableDialog::RefuseAt(QWidget* box, FormHint hint) {
    SetHint(hint);
    box->setFocus();
    if (auto* line = qobject_cast<QLineEdit*>(box)) {
        line->selectAll();
    }
    return std::nullopt;
}

void CTableDialog::Save() {
    if (!ReadForm()) {
        return;
    }
    ProfileBatch batch;
    const std::optional<QStringList> row = PrepareSave(batch);
    if (!row) {
        return;
    }
    if (!batch.Commit(kMainFile)) {
        warn_(this, LastConfigWriteFailedText());
        return;
    }
    SetHint(FormHint::kNone);
    shownState_ = FormState();
    ShowSavedRow(*row);
}

void CTableDialog::ShowSavedRow(const QStringList& cells) {
    int row = FindRow(cells.front());
    if (row < 0) {
        row = list_->AppendRow(cells);
    }
    for (int column = 0; column < cells.size(); ++column) {
        list_->SetCellText(row, column, cells[column]);
    }
    const QModelIndex index = list_->model()->index(row, 0);
    list_->selectionModel()->setCurrentIndex(
        index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    list_->scrollTo(index);
    list_->setFocus();
}

int CTableDialog::FindRow(const QString& name) const {
    for (int row = 0; row < list_->RowCount(); ++row) {
        if (SameRecordName(list_->CellText(row, 0), name)) {
            return row;
        }
    }
    return -1;
}

void CTableDialog::Delete() {
    QList<int> rows;
    if (list_->ListSelectedRows(rows) == 0) {
        return;
    }
    QStringList names;
    for (int row : rows) {
        names.append(list_->CellText(row, 0));
    }
    if (!ask_(this, DeleteQuestion(layout_.deleteNoun, names))) {
        return;
    }
    ProfileBatch batch;
    AddRemovals(batch, layout_, names);
    if (!batch.Commit(kMainFile)) {
        warn_(this, LastConfigWriteFailedText());
        return;
    }
    // From the last row up, so the indexes still to come stay valid.
    for (auto row = rows.crbegin(); row != rows.crend(); ++row) {
        list_->DeleteRow(*row);
    }
}

void CTableDialog::accept() {
    if (ReadForm()) {
        QDialog::accept();
    }
}

void CTableDialog::keyPressEvent(QKeyEvent* event) {
    if (!IsPlainEnterKey(event)) {
        QDialog::keyPressEvent(event);
        return;
    }
    if (auto* button = qobject_cast<QPushButton*>(focusWidget())) {
        button->click();
    } else if (FormState() != shownState_) {
        Save();  // closing would drop what was typed
    } else {
        accept();
    }
}

bool CTableDialog::eventFilter(QObject* watched, QEvent* event) {
    // A left click loads the record hit, or an empty form below the rows.
    if (watched == list_->viewport() && event->type() == QEvent::MouseButtonRelease) {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() == Qt::LeftButton) {
            const QModelIndex hit = list_->indexAt(mouse->position().toPoint());
            Load(hit.isValid() ? list_->CellText(hit.row(), 0) : QString());
        }
    }
    return QDialog::eventFilter(watched, event);
}
