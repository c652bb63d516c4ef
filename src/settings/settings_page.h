// One page of the settings sheet: a description line under an icon and one control per key of
// its page (a check box for a flag, an edit box for a number or a text), each named after its
// key. The page reads its keys from the file when it is first shown and never again; until then
// it holds nothing and is not saved. UI thread only.
#pragma once

#include <QString>
#include <QWidget>
#include <functional>
#include <optional>
#include <vector>

#include "settings/server_settings.h"

class QCheckBox;
class QGridLayout;
class QLineEdit;
class QShowEvent;

class CSettingsPage : public QWidget {
    Q_OBJECT

  public:
    // Shows a warning and returns once it was seen.
    using Warning = std::function<void(QWidget* parent, const QString& text)>;

    ~CSettingsPage() override;

    SettingsPage Page() const { return page_; }
    const QString& TabCaption() const { return tabCaption_; }
    // Whether the page was shown, so that it holds the file's values.
    bool IsSetUp() const { return setUp_; }

    // Controls -> values, in the page's key order. A numeric box without a number warns through
    // warn; a port that cannot work shows its hint beside the form instead (no box). Either way
    // the page is brought to the front through show, the box gets the focus with its text
    // selected, and the result is empty. Call only on a page that is set up.
    std::optional<SettingValues> ReadForm(const Warning& warn,
                                          const std::function<void()>& show = {});
    // The hint beside the form ("" when none is shown).
    QString Hint() const;

    static constexpr const char* kNumberMessage = "Please enter a positive integer.";

  protected:
    CSettingsPage(SettingsPage page, const QString& tabCaption, const QString& description,
                  QWidget* parent);

    // The control of a key of this page, created on first request; the concrete page places it.
    QCheckBox* FlagBox(const char* key, const QString& caption);
    QLineEdit* FieldBox(const char* key);
    // The grid under the description line into which the concrete page puts its rows.
    QGridLayout* Form() const { return form_; }
    // A line of smaller text under the form that says when the page's changes take effect.
    void AddNote(const QString& text);

    void showEvent(QShowEvent* event) override;

  private:
    int KeyIndex(const char* key) const;
    void SetUp();

    SettingsPage page_;
    QString tabCaption_;
    QGridLayout* form_;
    class QLabel* hint_;
    std::vector<QWidget*> controls_;  // one per key, in the page's key order
    bool setUp_ = false;
};

// Start-up behaviour of the console: AutoRun, AutoMinimize and the two automatic service starts.
class CDlgSettingsGene final : public CSettingsPage {
    Q_OBJECT
  public:
    explicit CDlgSettingsGene(QWidget* parent = nullptr);
};

// The SMTP service: ports, authentication and its log.
class CDlgSettingsSmtp final : public CSettingsPage {
    Q_OBJECT
  public:
    explicit CDlgSettingsSmtp(QWidget* parent = nullptr);
};

// The SEND service: threads, retries, HELO string and its log.
class CDlgSettingsSend final : public CSettingsPage {
    Q_OBJECT
  public:
    explicit CDlgSettingsSend(QWidget* parent = nullptr);
};

// The engine's own settings: where and how the SMTP service listens, its limits, and how the
// SEND service looks up and reaches other servers.
class CDlgSettingsAdvanced final : public CSettingsPage {
    Q_OBJECT
  public:
    explicit CDlgSettingsAdvanced(QWidget* parent = nullptr);
};
