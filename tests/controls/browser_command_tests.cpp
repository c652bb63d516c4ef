#include "controls/browser_command.h"

#include <gtest/gtest.h>

#include "support/qt_print.h"

namespace {

const QString kUrl = "http://www.example.com/help";

TEST(BuildBrowserCommand, CutsAtThePlaceholderOrAppends) {
    EXPECT_EQ(BuildBrowserCommand("\"/usr/bin/browser\" \"%1\"", kUrl),
              "\"/usr/bin/browser\"  " + kUrl);
    EXPECT_EQ(BuildBrowserCommand("\"/usr/bin/browser\" -nohome", kUrl),
              "\"/usr/bin/browser\" -nohome " + kUrl);
    EXPECT_EQ(BuildBrowserCommand("firefox %u", kUrl), "firefox  " + kUrl);
    EXPECT_EQ(BuildBrowserCommand("chromium --x \"%U\" y", kUrl), "chromium --x  " + kUrl);
    EXPECT_EQ(BuildBrowserCommand("b %1 \"%1\" rest", kUrl), "b %1  " + kUrl);  // quoted first
}

TEST(BuildBrowserCommand, RefusesACommandLongerThanTheLimit) {
    const QString fits(kMaxBrowserCommandLength - 9, u'a');  // after "browser  "
    EXPECT_EQ(BuildBrowserCommand("browser %u", fits)->size(), kMaxBrowserCommandLength);
    EXPECT_FALSE(BuildBrowserCommand("browser %u", fits + "a").has_value());
}

TEST(MimeApps, ReadsTheDefaultApplicationsGroupOnly) {
    const QString text =
        "[Added Associations]\nx-scheme-handler/http=other.desktop;\n# comment\n"
        "[Default Applications]\nx-scheme-handler/http = first.desktop;;second.desktop;\n";
    EXPECT_EQ(DefaultApplicationsFor(text, "x-scheme-handler/http"),
              QStringList({"first.desktop", "second.desktop"}));
    EXPECT_TRUE(DefaultApplicationsFor(text, "text/html").isEmpty());
}

TEST(DesktopEntry, ReadsTheMainExecLineAndResolvesEscapes) {
    const QString text =
        "[Desktop Action new-window]\nExec=browser --new-window %u\n"
        "[Desktop Entry]\nName=Browser\nExec = /opt/my\\sbrowser/bin\\\\x %u\nExec=second\n";
    EXPECT_EQ(DesktopEntryExec(text), "/opt/my browser/bin\\x %u");
    EXPECT_EQ(DesktopEntryExec("[Desktop Entry]\nName=No exec\n"), "");
}

}  // namespace
