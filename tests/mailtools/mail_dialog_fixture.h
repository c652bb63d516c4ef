// Shared set-up of the compose and diagnose dialog tests: a fresh application directory with a
// mail directory, three accounts and two relay accounts, the recording fake engine, and helpers
// that find a dialog's controls and let queued engine lines arrive.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QWidget>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

// Qt's "slots" keyword would clash with a member of the store's document.
#pragma push_macro("slots")
#undef slots
#include "common/profile_file.h"
#pragma pop_macro("slots")
#include "common/profile_store.h"
#include "support/fake_engine.h"
#include "support/qt_print.h"
#include "support/temp_app_dir.h"

class MailDialogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // Files written by hand (as the engine would) are seen by the next read at once.
        interval_ = profile::SetRecheckIntervalForTesting(std::chrono::nanoseconds(0));
        std::filesystem::create_directory(dir.File("mail"));
        dir.Write("relvoconsole.cfg",
                  "[AccountList]\r\nzed@x.org=1\r\nann@x.org=1\r\nbob@x.org=1\r\n"
                  "[AccountInfo]\r\nzed@x.org_Password=zpw\r\nzed@x.org_Desc=Zed\r\n"
                  "ann@x.org_Password=apw\r\nann@x.org_Desc=\r\n"
                  "[RelayList]\r\nrelay-a=1\r\nrelay-b=1\r\n"
                  "[RelayInfo]\r\nrelay-a_SmtpServer=smtp.a.example\r\nrelay-a_SmtpPort=587\r\n"
                  "relay-a_SSLFlag=1\r\nrelay-a_SmtpAuthFlag=0\r\nrelay-a_LoginAcc=ua\r\n"
                  "relay-a_LoginPwd=pa\r\nrelay-b_SmtpServer=smtp.b.example\r\n");
    }
    void TearDown() override { profile::SetRecheckIntervalForTesting(interval_); }

    template <typename T>
    static T* Child(const QWidget& dialog, const char* name) {
        T* child = dialog.findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(child, nullptr) << name;
        return child;
    }
    static void Click(const QWidget& dialog, const char* button) {
        Child<QPushButton>(dialog, button)->click();
    }
    static QStringList Items(const QComboBox* box) {
        QStringList items;
        for (int index = 0; index < box->count(); ++index) {
            items.append(box->itemText(index));
        }
        return items;
    }
    // Whether the keyboard focus is in the control (an editable box focuses its edit field).
    static bool HasFocus(const QWidget* control) {
        QWidget* focus = QApplication::focusWidget();
        return focus != nullptr && (focus == control || control->isAncestorOf(focus));
    }
    static void Show(QWidget& dialog) {
        dialog.show();
        QApplication::setActiveWindow(&dialog);
    }
    // Handles events until done() holds or five seconds passed; returns done().
    static bool WaitFor(const std::function<bool()>& done) {
        QElapsedTimer timer;
        timer.start();
        while (!done() && timer.elapsed() < 5000) {
            QApplication::processEvents(QEventLoop::AllEvents, 10);
        }
        return done();
    }

    std::string MailInfo(const std::string& file, const std::string& key) {
        return ProfileGetString("MailInfo", key, "<missing>", dir.File(file));
    }

    TempAppDir dir;
    FakeEngine fake;

  private:
    std::chrono::nanoseconds interval_{};
};
