// The autostart entry: where it goes, that a desktop launcher reading its Exec line starts the
// console from where it is (also from paths full of quoting traps), and how writing and removing
// fail.
#include "settings/autostart_entry.h"

#include <gtest/gtest.h>

#include <QProcess>
#include <QStandardPaths>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <sys/stat.h>

#include "support/scoped_env.h"
#include "support/temp_app_dir.h"

namespace fs = std::filesystem;

namespace {

std::string ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The Exec value as a desktop launcher turns it into a command: the string escapes of desktop
// entries resolved, then "%%" made "%". What is left follows the quoting of a POSIX shell.
std::string LauncherCommand(const std::string& entry) {
    const auto start = entry.find("\nExec=");
    EXPECT_NE(start, std::string::npos);
    const auto end = entry.find('\n', start + 1);
    const std::string raw = entry.substr(start + 6, end - start - 6);
    std::string unescaped;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\\' && i + 1 < raw.size()) {
            const char next = raw[++i];
            unescaped += next == 's' ? ' ' : next == 'n' ? '\n' : next == 't' ? '\t' : next;
        } else {
            unescaped += raw[i];
        }
    }
    std::string command;
    for (std::size_t i = 0; i < unescaped.size(); ++i) {
        command += unescaped[i];
        if (unescaped[i] == '%' && i + 1 < unescaped.size() && unescaped[i + 1] == '%') {
            ++i;
        }
    }
    return command;
}

class AutostartEntryTest : public testing::Test {
  protected:
    // A stand-in console at path that records how it was started into the file "started".
    fs::path PlaceConsole(const fs::path& path) const {
        fs::create_directories(path.parent_path());
        std::ofstream(path) << "#!/bin/sh\nprintf '%s\\n%s\\n%s\\n' \"$0\" \"$RELVO_APP_DIR\" "
                               "\"$#\" > \"$STARTED\"\n";
        chmod(path.c_str(), 0755);
        return path;
    }

    // Runs the entry's command as a launcher does; the recorded lines of the stand-in console.
    std::string Launch(const std::string& entry) const {
        QProcess shell;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(QStringLiteral("RELVO_APP_DIR"));
        environment.insert(QStringLiteral("STARTED"), QString::fromStdString(Started()));
        shell.setProcessEnvironment(environment);
        shell.start(QStringLiteral("/bin/sh"),
                    {QStringLiteral("-c"), QString::fromStdString(LauncherCommand(entry))});
        EXPECT_TRUE(shell.waitForFinished(10000));
        EXPECT_EQ(shell.exitCode(), 0) << shell.readAllStandardError().toStdString();
        return ReadText(Started());
    }

    std::string Started() const { return dir_.File("started"); }
    std::string Autostart() const { return dir_.File("config/autostart"); }

    TempAppDir dir_;
};

struct Layout {
    std::string consoleDirectory;  // under the temporary directory
    std::string applicationDirectory;
};

class AutostartLaunchTest : public AutostartEntryTest,
                            public testing::WithParamInterface<Layout> {};

TEST_P(AutostartLaunchTest, EntryStartsTheConsoleFromWhereItIs) {
    const fs::path console =
        PlaceConsole(fs::path(dir_.Path()) / GetParam().consoleDirectory / "relvoconsole");
    std::string applicationDirectory;
    if (!GetParam().applicationDirectory.empty()) {
        applicationDirectory = dir_.File(GetParam().applicationDirectory);
    }
    ASSERT_EQ(WriteAutostartEntry(Autostart(), {console.string(), applicationDirectory}), "");

    const std::string entry = ReadText(fs::path(Autostart()) / kAutostartEntryName);
    EXPECT_EQ(Launch(entry), console.string() + "\n" + applicationDirectory + "\n0\n");

    QProcess validate;
    validate.start(QStringLiteral("desktop-file-validate"),
                   {QString::fromStdString(Autostart() + "/" + kAutostartEntryName)});
    ASSERT_TRUE(validate.waitForFinished(10000)) << "desktop-file-validate (desktop-file-utils)";
    EXPECT_EQ(validate.exitCode(), 0) << validate.readAll().toStdString();
    EXPECT_EQ(
        fs::status(fs::path(Autostart()) / kAutostartEntryName).permissions() & fs::perms::all,
        fs::perms(0644));
}

INSTANTIATE_TEST_SUITE_P(
    Paths, AutostartLaunchTest,
    testing::Values(Layout{"bin", ""}, Layout{"opt/relvo", "var/relvo"},
                    Layout{"with blank/and 'single' \"double\" quotes", "data dir"},
                    Layout{"$HOME `id` $(id) \\back\\\\slash", "100% sure %u %f %%"},
                    Layout{"; & | < > * ? # ~ ( ) [ ] { } !", "=equals=;"},
                    Layout{"caf\xC3\xA9 \xE2\x82\xAC", "\xE6\x97\xA5\xE6\x9C\xAC"}));

TEST_F(AutostartEntryTest, WritingReplacesTheEntryAtomicallyAndRemovingTwiceSucceeds) {
    const fs::path first = PlaceConsole(dir_.File("old/relvoconsole"));
    const fs::path second = PlaceConsole(dir_.File("new/relvoconsole"));
    ASSERT_EQ(WriteAutostartEntry(Autostart(), {first.string(), ""}), "");
    ASSERT_EQ(WriteAutostartEntry(Autostart(), {second.string(), ""}), "");
    std::vector<std::string> names;
    for (const auto& item : fs::directory_iterator(Autostart())) {
        names.push_back(item.path().filename().string());
    }
    EXPECT_EQ(names, std::vector<std::string>{kAutostartEntryName});  // no temporary left
    EXPECT_EQ(Launch(ReadText(fs::path(Autostart()) / kAutostartEntryName)),
              second.string() + "\n\n0\n");

    EXPECT_EQ(RemoveAutostartEntry(Autostart()), "");
    EXPECT_FALSE(fs::exists(fs::path(Autostart()) / kAutostartEntryName));
    EXPECT_EQ(RemoveAutostartEntry(Autostart()), "");
    EXPECT_EQ(RemoveAutostartEntry(dir_.File("never/made")), "");
}

TEST_F(AutostartEntryTest, PathsAnExecLineCannotCarryAreRefusedAndNothingIsWritten) {
    const std::string good = dir_.File("bin/relvoconsole");
    const AutostartCommand refused[] = {
        {"relvoconsole", ""},           {"bin/relvoconsole", ""},
        {"/opt/a\nb/relvoconsole", ""}, {"/opt/a\rb", ""},
        {"/opt/tab\there", ""},         {"/opt/\x7F", ""},
        {"/opt/\xFF\xFE", ""},          {"/opt/\xC0\xAF", ""},
        {"/opt/\xED\xA0\x80", ""},      {"", ""},
        {good, "relative/directory"},   {good, "/data\nline"},
        {good, "/bad\xE2\x82"},
    };
    for (const AutostartCommand& command : refused) {
        EXPECT_EQ(AutostartEntryText(command), std::nullopt) << command.executable;
        EXPECT_NE(WriteAutostartEntry(Autostart(), command), "") << command.executable;
    }
    EXPECT_FALSE(fs::exists(fs::path(Autostart()) / kAutostartEntryName));
}

TEST_F(AutostartEntryTest, FailuresNameWhatFailed) {
    const std::string console = PlaceConsole(dir_.File("bin/relvoconsole")).string();
    const std::string missing = dir_.File("gone/relvoconsole");
    const std::string notRunnable = dir_.File("started");
    std::ofstream(notRunnable) << "not a program";
    for (const std::string& executable : {missing, notRunnable}) {
        const std::string written = WriteAutostartEntry(Autostart(), {executable, ""});
        EXPECT_NE(written.find(executable), std::string::npos) << written;
    }
    EXPECT_FALSE(fs::exists(Autostart()));

    std::ofstream(dir_.File("config")) << "a file where the directory should be";
    const std::string written = WriteAutostartEntry(Autostart(), {console, ""});
    EXPECT_NE(written.find(Autostart()), std::string::npos) << written;

    fs::remove(dir_.File("config"));
    fs::create_directories(fs::path(Autostart()) / kAutostartEntryName / "inside");
    EXPECT_NE(WriteAutostartEntry(Autostart(), {console, ""}), "");
    const std::string removed = RemoveAutostartEntry(Autostart());
    EXPECT_NE(removed.find(kAutostartEntryName), std::string::npos) << removed;
    std::vector<std::string> names;
    for (const auto& item : fs::directory_iterator(Autostart())) {
        names.push_back(item.path().filename().string());
    }
    EXPECT_EQ(names, std::vector<std::string>{kAutostartEntryName});  // no temporary left
}

struct DirectoryCase {
    std::optional<std::string> configHome;
    std::optional<std::string> home;
    std::optional<std::string> directory;
};

TEST(AutostartDirectory, FollowsTheBaseDirectoryRules) {
    const DirectoryCase cases[] = {
        {"/xdg", "/home/u", "/xdg/autostart"},
        {std::nullopt, "/home/u", "/home/u/.config/autostart"},
        {"", "/home/u", "/home/u/.config/autostart"},
        {"relative/xdg", "/home/u", "/home/u/.config/autostart"},
        {"/xdg", std::nullopt, "/xdg/autostart"},
        {std::nullopt, std::nullopt, std::nullopt},
        {"relative", "also/relative", std::nullopt},
    };
    for (const DirectoryCase& c : cases) {
        ScopedEnv configHome("XDG_CONFIG_HOME", c.configHome);
        ScopedEnv home("HOME", c.home);
        EXPECT_EQ(AutostartDirectory(), c.directory)
            << c.configHome.value_or("(unset)") << " " << c.home.value_or("(unset)");
    }
}

TEST(CurrentConsoleCommand, HandsOnAnOverriddenApplicationDirectoryOnly) {
    const std::string executable = ExecutablePath();
    const AutostartCommand plain = CurrentConsoleCommand();
    EXPECT_EQ(plain.executable, executable);
    EXPECT_EQ(plain.applicationDirectory, "");
    TempAppDir dir;
    const AutostartCommand overridden = CurrentConsoleCommand();
    EXPECT_EQ(overridden.executable, executable);
    EXPECT_EQ(overridden.applicationDirectory, dir.Path());
}

}  // namespace
