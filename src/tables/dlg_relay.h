// The Relay accounts dialog: lists the relay accounts of the main configuration file and adds,
// changes and deletes them one form at a time (mailbox, SMTP server, port, SSL, enabled, login
// account and password). Ticking SSL switches the port to 465, unticking it to 25. The
// "_SmtpAuthFlag" key of a relay account is never written or removed here. Modal; every Save and
// Delete is written at once; Close and Escape write nothing, Enter saves a changed form only.
// UI thread only.
#pragma once

#include "tables/record_layouts.h"
#include "tables/table_dialog.h"

class QCheckBox;
class QLineEdit;

class CDlgRelay final : public CTableDialog {
    Q_OBJECT

  public:
    explicit CDlgRelay(QWidget* parent = nullptr);
    ~CDlgRelay() override;

  protected:
    bool ReadForm() override;
    void ShowForm() override;
    void LoadRecord(const QString& name) override;
    std::optional<QStringList> PrepareSave(ProfileBatch& batch) override;

  private:
    void OnSslClicked();

    RelayRecord form_;
    QLineEdit* mailbox_;
    QCheckBox* enabled_;
    QLineEdit* server_;
    QLineEdit* port_;
    QCheckBox* ssl_;
    QLineEdit* login_;
    QLineEdit* password_;
};
