// The DKIM window of one local domain: its selector, the DNS records to publish (the DKIM key,
// SPF and DMARC suggestions) each with a Copy button, a new key on request, and a check of the
// published key record through the configured DNS. Modal; UI thread only.
#pragma once

#include <QDialog>
#include <string>

#include "tables/dkim_setup.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

class CDlgDkim final : public QDialog {
    Q_OBJECT

  public:
    explicit CDlgDkim(const QString& domain, QWidget* parent = nullptr);

  private:
    QLineEdit* AddRecordRow(class QGridLayout* grid, int row, const QString& label,
                            const char* name);
    void ShowRecords();
    void GenerateKey();
    void CheckPublished();
    void ShowCheck(const PublishedCheck& check);

    std::string domain_;
    QLabel* selector_;
    QLineEdit* dkimName_;
    QLineEdit* dkimRecord_;
    QLineEdit* spfRecord_;
    QLineEdit* dmarcName_;
    QLineEdit* dmarcRecord_;
    QComboBox* keyType_;
    QPushButton* generate_;
    QPushButton* check_;
    QLabel* status_;
};
