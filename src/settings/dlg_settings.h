// The settings sheet: the General, SMTP, SEND and Advanced pages in tabs, OK and Cancel. OK writes the pages
// that were shown, in that order, each as one rewrite of the main configuration file; a numeric
// field without a number stops it there (earlier pages stay written) with the sheet open. A
// ticked AutoRun also installs the console's autostart entry and an unticked one removes it.
// Cancel, Escape and the close box write nothing. Modal; UI thread only.
#pragma once

#include <QDialog>
#include <QString>
#include <array>
#include <functional>

class CDlgSettingsGene;
class CDlgSettingsSend;
class CDlgSettingsAdvanced;
class CDlgSettingsSmtp;
class CSettingsPage;
class QTabWidget;

class CDlgSettings final : public QDialog {
    Q_OBJECT

  public:
    // Shows a warning and returns once it was seen.
    using Warning = std::function<void(QWidget* parent, const QString& text)>;

    explicit CDlgSettings(QWidget* parent = nullptr);
    ~CDlgSettings() override;

    // Replaces the warning box (tests answer without a modal box); empty restores it.
    void SetWarning(Warning warn);

    QTabWidget* Tabs() const { return tabs_; }

  public slots:
    // The OK button.
    void accept() override;

  protected:
    // Tells once, over the sheet, that the configuration file exists but cannot be read.
    void showEvent(QShowEvent* event) override;

  private:
    // In the order they are shown and written.
    std::array<CSettingsPage*, 4> Pages() const;
    bool SavePage(CSettingsPage* page);
    // Makes the autostart entry follow the AutoRun box; a failure is only reported.
    void ApplyAutoRun(bool wanted);

    Warning warn_;
    QTabWidget* tabs_;
    CDlgSettingsGene* general_;
    CDlgSettingsSmtp* smtp_;
    CDlgSettingsSend* send_;
    CDlgSettingsAdvanced* advanced_;
    bool toldReadProblem_ = false;
};
