// The settings sheet driven as an operator does, against real files: what each page shows, what
// OK writes and in which order, how a field without a number stops it, and AutoRun's entry.
#include "settings/dlg_settings.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "settings/autostart_entry.h"
#include "settings/field_rules.h"
#include "settings/settings_page.h"
#include "support/modal_answer.h"
#include "support/qt_print.h"
#include "support/scoped_env.h"
#include "support/temp_app_dir.h"

namespace fs = std::filesystem;

namespace {

enum Tab { kGeneral = 0, kSmtp = 1, kSend = 2, kAdvanced = 3 };

class SettingsSheetTest : public testing::Test {
  protected:
    // Writes the configuration file and opens the sheet on it, warnings recorded.
    void Open(const std::string& config) {
        if (!config.empty()) {
            dir_.Write("relvoconsole.cfg", config);
        }
        sheet_ = std::make_unique<CDlgSettings>();
        sheet_->SetWarning([this](QWidget*, const QString& text) { warnings_.append(text); });
        sheet_->show();
        sheet_->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(sheet_.get()));
    }
    void Visit(Tab tab) { sheet_->Tabs()->setCurrentIndex(tab); }
    void VisitAll() {
        Visit(kSmtp);
        Visit(kSend);
        Visit(kGeneral);
    }
    QLineEdit* Field(const char* key) const { return sheet_->findChild<QLineEdit*>(key); }
    QCheckBox* Flag(const char* key) const { return sheet_->findChild<QCheckBox*>(key); }
    void Type(const char* key, const QString& text) {
        Field(key)->clear();
        QTest::keyClicks(Field(key), text);
    }
    void PressOk() {
        QTest::mouseClick(sheet_->findChild<QPushButton*>("okButton"), Qt::LeftButton);
    }
    // The file's lines (the store writes a file it creates with CR LF line ends).
    std::string Config() const {
        std::string text = dir_.Read("relvoconsole.cfg");
        std::erase(text, '\r');
        return text;
    }
    fs::path Entry() const { return fs::path(dir_.File("xdg/autostart")) / kAutostartEntryName; }

    TempAppDir dir_;
    ScopedEnv configHome_{"XDG_CONFIG_HOME", dir_.File("xdg")};
    std::unique_ptr<CDlgSettings> sheet_;
    QStringList warnings_;
};

const std::string kGeneralDefaults =
    "AutoRun=0\nAutoMinimize=0\nAutoStartSmtpService=1\nAutoStartSendService=1\n";

TEST_F(SettingsSheetTest, OkAtOnceWritesTheFourGeneralKeysOnly) {
    Open("");
    EXPECT_EQ(sheet_->windowTitle(), "Settings");
    EXPECT_EQ(sheet_->Tabs()->tabText(kGeneral), "General settings");
    EXPECT_EQ(sheet_->Tabs()->tabText(kSmtp), "SMTP service");
    EXPECT_EQ(sheet_->Tabs()->tabText(kSend), "SEND service");
    PressOk();
    EXPECT_EQ(Config(), "[System]\n" + kGeneralDefaults);
    EXPECT_EQ(sheet_->result(), QDialog::Accepted);
    EXPECT_FALSE(sheet_->isVisible());
    EXPECT_TRUE(warnings_.isEmpty());
    EXPECT_FALSE(fs::exists(Entry()));
}

TEST_F(SettingsSheetTest, PagesShowDefaultsAndStoredValuesAndOkWritesEveryVisitedKeyInOrder) {
    Open(
        "[Other]\nSmtpPort=1\n[System]\nLogSmtp=5\nSmtpPort=-1\nAutoMinimize=2\n"
        "HELOString=\" mx.example \"\nKeep=me\n");
    VisitAll();
    struct Shown {
        const char* key;
        QString text;  // of an edit box; a check box: "1" ticked, "0" not
    };
    const Shown shown[] = {
        {"AutoRun", "0"},
        {"AutoMinimize", "1"},
        {"AutoStartSmtpService", "1"},
        {"AutoStartSendService", "1"},
        {"LogSmtp", "0"},
        {"LogSmtpDays", "7"},
        {"SmtpAuthFlag", "1"},
        {"SmtpPort", "4294967295"},
        {"SmtpPort2nd", "0"},
        {"LogSend", "1"},
        {"LogSendDays", "7"},
        {"RetriesAfterFailed", "1"},
        {"SendMailThread", "10"},
        {"HELOString", " mx.example "},
    };
    for (const Shown& s : shown) {
        if (QCheckBox* box = Flag(s.key)) {
            EXPECT_EQ(box->isChecked() ? "1" : "0", s.text) << s.key;
        } else {
            EXPECT_EQ(Field(s.key)->text(), s.text) << s.key;
        }
    }
    Type("HELOString", "");
    Type("SmtpPort", "25");  // a stored port that cannot work is not written back
    PressOk();
    EXPECT_EQ(Config(),
              "[Other]\nSmtpPort=1\n[System]\nLogSmtp=0\nSmtpPort=25\nAutoMinimize=1\n"
              "HELOString=\nKeep=me\nAutoRun=0\nAutoStartSmtpService=1\nAutoStartSendService=1\n"
              "LogSmtpDays=7\nSmtpAuthFlag=1\nSmtpPort2nd=0\nLogSend=1\nLogSendDays=7\n"
              "RetriesAfterFailed=1\nSendMailThread=10\n");
}

TEST_F(SettingsSheetTest, TypedNumbersAreReadUnsignedAndStoredSigned) {
    struct Typed {
        const char* key;
        QString text;
        const char* stored;
    };
    const Typed typed[] = {
        {"SmtpPort", "25abc", "25"},        {"SmtpPort2nd", " +2525 x", "2525"},
        {"LogSmtpDays", "-1", "-1"},        {"SendMailThread", " 1024 threads", "1024"},
        {"RetriesAfterFailed", "-3", "-3"}, {"LogSendDays", "4294967295", "-1"},
    };
    Open("[System]\n");
    VisitAll();
    for (const Typed& t : typed) {
        Type(t.key, t.text);
    }
    Flag("AutoRun")->setChecked(false);
    PressOk();
    ASSERT_TRUE(warnings_.isEmpty()) << warnings_.join('|').toStdString();
    for (const Typed& t : typed) {
        EXPECT_NE(Config().find(std::string("\n") + t.key + "=" + t.stored + "\n"),
                  std::string::npos)
            << t.key << " in " << Config();
    }
}

TEST_F(SettingsSheetTest, PortsThatCannotWorkAreRefusedWithAHintBesideTheFormAndNoBox) {
    const QString mainHint = "A port is a number from 1 to 65535";
    const QString secondHint = "A port is a number from 1 to 65535, or 0 for no second port";
    struct Typed {
        const char* key;
        QString text;
        QString hint;        // "" when OK saves the value
        const char* stored;  // when saved
    };
    const Typed typed[] = {
        {"SmtpPort", "0", mainHint, nullptr},
        {"SmtpPort", "", mainHint, nullptr},
        {"SmtpPort2nd", "none", secondHint, nullptr},
        {"SmtpPort", "65536", mainHint, nullptr},
        {"SmtpPort", "-1", mainHint, nullptr},
        {"SmtpPort", "1", "", "1"},
        {"SmtpPort", "65535", "", "65535"},
        {"SmtpPort2nd", "0", "", "0"},
        {"SmtpPort2nd", "65536", secondHint, nullptr},
        {"SmtpPort2nd", "-1", secondHint, nullptr},
        {"SmtpPort2nd", "65535", "", "65535"},
        {"LogSmtpDays", "70000", "", "70000"},  // other numbers keep having no range
        {"RetriesAfterFailed", "0", "", "0"},
    };
    for (const Typed& t : typed) {
        Open("[System]\n");
        VisitAll();
        Type(t.key, t.text);
        PressOk();  // from the General page: the page at fault must come to the front
        const std::string line = std::string("\n") + t.key + "=";
        if (t.hint.isEmpty()) {
            EXPECT_EQ(sheet_->result(), QDialog::Accepted) << t.key << " " << t.text.toStdString();
            EXPECT_NE(Config().find(line + t.stored + "\n"), std::string::npos) << Config();
            continue;
        }
        auto* page = qobject_cast<CSettingsPage*>(sheet_->Tabs()->currentWidget());
        EXPECT_TRUE(sheet_->isVisible()) << t.key << " " << t.text.toStdString();
        EXPECT_EQ(page, sheet_->Tabs()->widget(kSmtp));
        EXPECT_EQ(page->Hint(), t.hint);
        EXPECT_TRUE(page->findChild<QLabel*>("hint")->isVisible());
        EXPECT_EQ(QApplication::focusWidget(), Field(t.key));
        EXPECT_EQ(Field(t.key)->selectedText(), t.text);
        EXPECT_TRUE(warnings_.isEmpty()) << warnings_.join('|').toStdString();
        EXPECT_EQ(Config().find(line), std::string::npos) << "SMTP page not written";

        Type(t.key, "2525");  // mended: the hint goes and the page is written
        PressOk();
        EXPECT_EQ(page->Hint(), "");
        EXPECT_EQ(sheet_->result(), QDialog::Accepted);
        EXPECT_NE(Config().find(line + "2525\n"), std::string::npos) << Config();
    }
}

// The ranges and defaults are checked against the settings table in settings_table_tests; here
// how a refused field of the Advanced page is met, for the rule of each text kind.
TEST_F(SettingsSheetTest, AdvancedPageRefusesWhatTheEngineCannotUseWithAHint) {
    Open("[System]\n");
    Visit(kAdvanced);
    EXPECT_EQ(sheet_->Tabs()->tabText(kAdvanced), "Advanced");

    struct Typed {
        std::string key;
        QString text;
        bool saved;
    };
    std::vector<Typed> typed = {{"SmtpMaxErrors", "0", false}, {"SmtpMaxErrors", "1000", true}};
    const std::string readable = dir_.File("relvoconsole.cfg");
    typed.insert(typed.end(), {{"SmtpListenAddress", "::1", true},
                               {"SmtpListenAddress", "192.0.2.300", false},
                               {"SmtpListenAddress", "mail.example", false},
                               {"DnsServer", "127.0.0.1:5353", true},
                               {"DnsServer", "[::1]:53", true},
                               {"DnsServer", "127.0.0.1:0", false},
                               {"DnsServer", "dns.example", false},
                               {"SmtpRelayNetworks", "192.0.2.0/24, 2001:db8::/48", true},
                               {"SmtpRelayNetworks", "192.0.2.0/24,lan", false},
                               {"SmtpProxyFrom", "192.0.2.10, 2001:db8::/64", true},
                               {"SmtpProxyFrom", "192.0.2.10/24", false},
                               // alone, a certificate has no key: the pair is refused
                               {"SmtpTlsCertFile", QString::fromStdString(readable), false},
                               {"SmtpTlsKeyFile", "relative.pem", false}});
    for (const Typed& t : typed) {
        Open("[System]\n");
        Visit(kAdvanced);
        Type(t.key.c_str(), t.text);
        Visit(kGeneral);
        PressOk();
        const std::string line = "\n" + t.key + "=" + t.text.toStdString() + "\n";
        EXPECT_EQ(Config().find(line) != std::string::npos, t.saved) << line << Config();
        auto* page = qobject_cast<CSettingsPage*>(sheet_->Tabs()->currentWidget());
        EXPECT_EQ(page->Hint().isEmpty(), t.saved) << line;
        EXPECT_EQ(sheet_->isVisible(), !t.saved) << line;
        EXPECT_TRUE(warnings_.isEmpty()) << warnings_.join('|').toStdString();
    }
    // Both files together are taken.
    Open("[System]\n");
    Visit(kAdvanced);
    Type("SmtpTlsCertFile", QString::fromStdString(readable));
    Type("SmtpTlsKeyFile", QString::fromStdString(readable));
    PressOk();
    EXPECT_NE(Config().find("\nSmtpTlsKeyFile=" + readable + "\n"), std::string::npos) << Config();
}

TEST_F(SettingsSheetTest, FieldWithoutNumberStopsOkThereWithEarlierPagesWritten) {
    Open("[System]\nLogSendDays=3\n");
    VisitAll();
    Type("SmtpPort", "2626");
    Type("LogSendDays", "");            // written before RetriesAfterFailed, but listed after it:
    Type("RetriesAfterFailed", "abc");  // the form's order decides which box is at fault
    Flag("LogSend")->setChecked(false);
    PressOk();
    EXPECT_EQ(warnings_, QStringList{"Please enter a positive integer."});
    EXPECT_EQ(Config(), "[System]\nLogSendDays=3\n" + kGeneralDefaults +
                            "LogSmtp=1\nLogSmtpDays=7\nSmtpAuthFlag=1\nSmtpPort=2626\n"
                            "SmtpPort2nd=0\n");
    EXPECT_TRUE(sheet_->isVisible());
    EXPECT_EQ(sheet_->Tabs()->currentIndex(), kSend);
    EXPECT_TRUE(Field("RetriesAfterFailed")->hasFocus());
    EXPECT_EQ(Field("RetriesAfterFailed")->selectedText(), "abc");

    Type("RetriesAfterFailed", "12");
    Visit(kGeneral);
    PressOk();  // LogSendDays is empty: the SEND page is brought back and its box selected
    EXPECT_EQ(warnings_.size(), 2);
    EXPECT_EQ(sheet_->Tabs()->currentIndex(), kSend);
    EXPECT_TRUE(Field("LogSendDays")->hasFocus());
    EXPECT_TRUE(sheet_->isVisible());

    Type("LogSendDays", "9");
    PressOk();
    EXPECT_FALSE(sheet_->isVisible());
    const std::string config = Config();
    EXPECT_NE(config.find("\nLogSendDays=9\nAutoRun=0\n"), std::string::npos) << config;
    EXPECT_NE(config.find("\nLogSend=0\nRetriesAfterFailed=12\nSendMailThread=10\nHELOString=\n"),
              std::string::npos)
        << config;
}

TEST_F(SettingsSheetTest, UnvisitedPageIsNotWrittenAndCancelWritesNothing) {
    Open("[System]\n");
    Visit(kSend);
    Type("SendMailThread", "3");
    PressOk();
    EXPECT_EQ(Config(), "[System]\n" + kGeneralDefaults +
                            "LogSend=1\nLogSendDays=7\nRetriesAfterFailed=1\nSendMailThread=3\n"
                            "HELOString=\n");

    for (const auto& close : {+[](CDlgSettings* sheet) {
                                  QTest::mouseClick(sheet->findChild<QPushButton*>("cancelButton"),
                                                    Qt::LeftButton);
                              },
                              +[](CDlgSettings* sheet) { QTest::keyClick(sheet, Qt::Key_Escape); },
                              +[](CDlgSettings* sheet) { sheet->close(); }}) {
        const std::string before = Config();
        Open("");
        VisitAll();
        Type("SmtpPort", "1");
        Flag("AutoRun")->setChecked(true);
        close(sheet_.get());
        EXPECT_FALSE(sheet_->isVisible());
        EXPECT_EQ(Config(), before);
        EXPECT_FALSE(fs::exists(Entry()));
    }
}

TEST_F(SettingsSheetTest, RealWarningBoxForAFieldWithoutNumber) {
    Open("");
    sheet_->SetWarning({});
    Visit(kSmtp);
    Type("LogSmtpDays", "");
    auto box = AnswerNextBox(QMessageBox::Ok);
    PressOk();
    ASSERT_TRUE(box->seen);
    EXPECT_EQ(box->text, "Please enter a positive integer.");
    EXPECT_EQ(box->icon, QMessageBox::Warning);
    EXPECT_EQ(Config(), "[System]\n" + kGeneralDefaults);
    EXPECT_TRUE(sheet_->isVisible());
}

TEST_F(SettingsSheetTest, AutoRunWritesAndRemovesTheAutostartEntry) {
    Open("");
    Flag("AutoRun")->setChecked(true);
    PressOk();
    ASSERT_TRUE(fs::exists(Entry()));
    const std::string entry = dir_.Read("xdg/autostart/relvoconsole.desktop");
    // the test binary stands for the console; the overridden directory goes along with it
    EXPECT_NE(entry.find(ExecutablePath()), std::string::npos) << entry;
    EXPECT_NE(entry.find("RELVO_APP_DIR=" + dir_.Path()), std::string::npos) << entry;
    EXPECT_NE(Config().find("AutoRun=1\n"), std::string::npos);

    Open("");
    EXPECT_TRUE(Flag("AutoRun")->isChecked());
    Flag("AutoRun")->setChecked(false);
    PressOk();
    EXPECT_FALSE(fs::exists(Entry()));
    EXPECT_NE(Config().find("AutoRun=0\n"), std::string::npos);
    EXPECT_TRUE(warnings_.isEmpty()) << warnings_.join('|').toStdString();
}

TEST_F(SettingsSheetTest, AutostartFailureIsShownAndTheKeyIsWrittenAllTheSame) {
    dir_.Write("xdg", "a file where the configuration directory should be");
    Open("");
    Flag("AutoRun")->setChecked(true);
    PressOk();
    ASSERT_EQ(warnings_.size(), 1);
    EXPECT_TRUE(warnings_[0].startsWith("The console could not be set to start at login.\n"));
    EXPECT_TRUE(warnings_[0].contains(QString::fromStdString(dir_.File("xdg/autostart"))));
    EXPECT_EQ(Config(),
              "[System]\nAutoRun=1\nAutoMinimize=0\nAutoStartSmtpService=1\n"
              "AutoStartSendService=1\n");
    EXPECT_FALSE(sheet_->isVisible());
}

TEST_F(SettingsSheetTest, FileThatCannotBeWrittenKeepsTheSheetOpen) {
    fs::create_directory(dir_.ConfigFile());  // the store cannot replace a directory
    Open("");
    PressOk();
    // Told at once that the file cannot be read, then why OK could not save, naming the file.
    ASSERT_EQ(warnings_.size(), 2);
    EXPECT_TRUE(warnings_[0].contains(QString::fromStdString(dir_.ConfigFile())));
    EXPECT_TRUE(warnings_[0].contains("cannot be read"));
    EXPECT_TRUE(warnings_[1].startsWith("The change was not saved: "));
    EXPECT_TRUE(warnings_[1].contains(QString::fromStdString(dir_.ConfigFile())));
    EXPECT_TRUE(sheet_->isVisible());
}

TEST_F(SettingsSheetTest, TabMovesThroughEachPageInTheOrderItsFieldsAreRead) {
    Open("");
    const std::pair<Tab, QStringList> pages[] = {
        {kGeneral, {"AutoRun", "AutoMinimize", "AutoStartSendService", "AutoStartSmtpService"}},
        {kSmtp, {"SmtpPort", "SmtpAuthFlag", "LogSmtp", "LogSmtpDays", "SmtpPort2nd"}},
        {kSend, {"SendMailThread", "RetriesAfterFailed", "HELOString", "LogSend", "LogSendDays"}},
    };
    for (const auto& [tab, order] : pages) {
        Visit(tab);
        sheet_->findChild<QWidget*>(order.front())->setFocus();
        QStringList visited{QApplication::focusWidget()->objectName()};
        for (int step = 1; step < order.size(); ++step) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            visited.append(QApplication::focusWidget()->objectName());
        }
        EXPECT_EQ(visited, order) << tab;
    }
}

}  // namespace
