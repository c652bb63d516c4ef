#include "controls/url_launcher.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <optional>

#include "support/qt_print.h"

namespace {

// Every XDG directory lies in a temporary directory, so the machine's own browser settings never
// count; nothing is opened or started, only recorded.
class UrlLauncherTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(root_.isValid());
        for (const char* name : kVariables) {
            saved_.append(qEnvironmentVariableIsSet(name) ? std::optional(qgetenv(name))
                                                          : std::nullopt);
        }
        qputenv("XDG_CONFIG_HOME", Path("config").toUtf8());
        qputenv("XDG_CONFIG_DIRS", Path("etc").toUtf8());
        qputenv("XDG_DATA_HOME", Path("data").toUtf8());
        qputenv("XDG_DATA_DIRS", (Path("share1") + ":" + Path("share2")).toUtf8());
        steps_.openWithDesktop = [this](const QUrl& url) {
            desktopUrls_.append(url.toString());
            return desktopAccepts_;
        };
        steps_.startDetached = [this](const QString& program, const QStringList& arguments) {
            started_.append(QStringList{program} + arguments);
            return true;
        };
    }

    void TearDown() override {
        for (int i = 0; i < saved_.size(); ++i) {
            if (saved_[i]) {
                qputenv(kVariables[i], *saved_[i]);
            } else {
                qunsetenv(kVariables[i]);
            }
        }
    }

    QString Path(const QString& relative) const { return root_.path() + "/" + relative; }

    void Write(const QString& relative, const QString& text) {
        ASSERT_TRUE(QDir().mkpath(QFileInfo(Path(relative)).path()));
        QFile file(Path(relative));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text.toUtf8());
    }

    void SetDefault(const QString& list, const QString& mimeType, const QString& ids) {
        Write(list, "[Default Applications]\n" + mimeType + "=" + ids + "\n");
    }

    static constexpr const char* kVariables[] = {"XDG_CONFIG_HOME", "XDG_CONFIG_DIRS",
                                                 "XDG_DATA_HOME", "XDG_DATA_DIRS"};
    QTemporaryDir root_;
    QList<std::optional<QByteArray>> saved_;
    UrlLaunchSteps steps_;
    bool desktopAccepts_ = false;
    QStringList desktopUrls_;
    QList<QStringList> started_;
};

TEST_F(UrlLauncherTest, EmptyUrlSucceedsWithoutOpeningAnything) {
    EXPECT_TRUE(OpenUrlInBrowser("", false, steps_));
    EXPECT_TRUE(desktopUrls_.isEmpty());
    EXPECT_TRUE(started_.isEmpty());
}

TEST_F(UrlLauncherTest, DesktopServicesComeFirst) {
    desktopAccepts_ = true;
    SetDefault("config/mimeapps.list", "x-scheme-handler/http", "b.desktop");
    Write("data/applications/b.desktop", "[Desktop Entry]\nExec=browser %u\n");
    EXPECT_TRUE(OpenUrlInBrowser("www.example.com", false, steps_));
    EXPECT_EQ(desktopUrls_, QStringList({"http://www.example.com"}));
    EXPECT_TRUE(started_.isEmpty());
}

TEST_F(UrlLauncherTest, FallsBackToTheUsersDefaultBrowserWithTheUrlAsOneArgument) {
    SetDefault("etc/mimeapps.list", "x-scheme-handler/http", "system.desktop");
    SetDefault("config/mimeapps.list", "x-scheme-handler/http", "gone.desktop;user.desktop");
    Write("share1/applications/system.desktop", "[Desktop Entry]\nExec=system %u\n");
    Write("share2/applications/user.desktop",
          "[Desktop Entry]\nExec=\"/opt/web browser/run\" --flag %u\n");
    EXPECT_TRUE(OpenUrlInBrowser("http://example.com/a b?q=\"x\"", false, steps_));
    ASSERT_EQ(started_.size(), 1);
    EXPECT_EQ(started_[0], QStringList({"/opt/web browser/run", "--flag",
                                        "http://example.com/a%20b?q=%22x%22"}));
}

TEST_F(UrlLauncherTest, HtmlHandlerServesWhenNoHttpHandlerIsSet) {
    SetDefault("share1/applications/mimeapps.list", "text/html", "viewer.desktop");
    Write("data/applications/viewer.desktop", "[Desktop Entry]\nExec=viewer \"%1\"\n");
    EXPECT_TRUE(OpenUrlInBrowser("http://example.com/", false, steps_));
    EXPECT_EQ(started_, QList<QStringList>({{"viewer", "http://example.com/"}}));
}

TEST_F(UrlLauncherTest, FailsWithoutBrowserOrWithAnOverlongCommand) {
    EXPECT_FALSE(OpenUrlInBrowser("http://example.com/", false, steps_));
    EXPECT_EQ(desktopUrls_.size(), 1);
    SetDefault("config/mimeapps.list", "x-scheme-handler/http", "b.desktop");
    Write("data/applications/b.desktop", "[Desktop Entry]\nExec=browser %u\n");
    EXPECT_FALSE(OpenUrlInBrowser("http://example.com/" + QString(600, u'p'), false, steps_));
    EXPECT_TRUE(started_.isEmpty());
    steps_.startDetached = [](const QString&, const QStringList&) { return false; };
    EXPECT_FALSE(OpenUrlInBrowser("http://example.com/", false, steps_));
}

// Where no browser can be started, the address is shown selected in a box so it can be copied.
TEST_F(UrlLauncherTest, WithoutABrowserTheAddressIsShownToCopy) {
    QWidget window;
    const QString url = "https://www.example.com/support/";
    desktopAccepts_ = true;
    EXPECT_TRUE(OpenUrlOrShowAddress(url, &window, steps_));
    EXPECT_EQ(window.findChild<CUrlAddressBox*>(), nullptr);

    desktopAccepts_ = false;
    EXPECT_FALSE(OpenUrlOrShowAddress(url, &window, steps_));
    auto* box = window.findChild<CUrlAddressBox*>();
    ASSERT_NE(box, nullptr);
    EXPECT_TRUE(box->isVisible());
    EXPECT_FALSE(box->isModal());  // the user may go on working meanwhile
    auto* address = box->findChild<QLineEdit*>("address");
    ASSERT_NE(address, nullptr);
    EXPECT_EQ(address->text(), url);
    EXPECT_TRUE(address->isReadOnly());
    EXPECT_EQ(address->selectedText(), url);
    QApplication::clipboard()->clear();
    box->findChild<QPushButton*>("copyButton")->click();
    EXPECT_EQ(QApplication::clipboard()->text(), url);
    QPointer<CUrlAddressBox> closing = box;
    box->findChild<QPushButton*>("closeButton")->click();
    QTRY_VERIFY(closing.isNull());  // it deletes itself
}

}  // namespace
