// The Domains dialog: lists the local domains of the main configuration file and adds, changes
// and deletes them one form at a time (domain name, server address, port, whether recipients are
// verified with the server). Modal; every Save and
// Delete is written at once; Close and Escape write nothing, Enter saves a changed form only.
// UI thread only.
#pragma once

#include "tables/record_layouts.h"
#include "tables/table_dialog.h"

class QCheckBox;
class QLineEdit;

class CDlgDomain final : public CTableDialog {
    Q_OBJECT

  public:
    explicit CDlgDomain(QWidget* parent = nullptr);
    ~CDlgDomain() override;

  protected:
    bool ReadForm() override;
    void ShowForm() override;
    void LoadRecord(const QString& name) override;
    std::optional<QStringList> PrepareSave(ProfileBatch& batch) override;

  private:
    DomainRecord form_;
    QLineEdit* name_;
    QLineEdit* address_;
    QLineEdit* port_;
    QCheckBox* verify_;
};
