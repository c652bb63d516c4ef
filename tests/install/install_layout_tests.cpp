// The layout rule on real directory trees: which layout a program path belongs to, where its
// engine and data are, and how the data directory option leaves the command line.
#include "common/install_layout.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// A temporary root holding the trees of one test; removed afterwards.
class LayoutTree : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "relvo-layout-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
    }
    void TearDown() override { fs::remove_all(root_); }

    // Creates the files (relative to the root) and returns the root.
    std::string Make(const std::vector<std::string>& files) {
        for (const auto& file : files) {
            fs::create_directories((root_ / file).parent_path());
            std::ofstream(root_ / file) << "x";
        }
        return root_.string();
    }

    fs::path root_;
};

struct DetectCase {
    const char* name;
    std::vector<std::string> files;
    const char* executable;  // relative to the root
    const char* argument;
    const char* environment;
    const char* xdgDataHome;
    const char* home;
    InstallKind kind;
    const char* programDirectory;  // relative to the root; "" = follows the data directory
    const char* dataDirectory;     // "@/" prefix: relative to the root
};

std::string Expand(const std::string& root, const std::string& value) {
    return value.starts_with("@/") ? root + value.substr(1) : value;
}

TEST_F(LayoutTree, DetectsLayoutEngineAndDataDirectory) {
    const std::string lib = "usr/lib/relvo-smtp-server/librelvomailservice.so";
    const std::vector<DetectCase> cases = {
        {"build tree",
         {"build/bin/relvoconsole", "build/bin/librelvomailservice.so"},
         "build/bin/relvoconsole",
         "",
         "",
         "/x/data",
         "/home/u",
         InstallKind::Portable,
         "build/bin",
         "@/build/bin"},
        {"unpacked archive without bin",
         {"relvo/relvoconsole"},
         "relvo/relvoconsole",
         "",
         "",
         "/x/data",
         "/home/u",
         InstallKind::Portable,
         "relvo",
         "@/relvo"},
        {"installed console, XDG_DATA_HOME",
         {"usr/bin/relvoconsole", lib},
         "usr/bin/relvoconsole",
         "",
         "",
         "/x/data",
         "/home/u",
         InstallKind::Installed,
         "usr/lib/relvo-smtp-server",
         "/x/data/relvo-smtp-server"},
        {"installed console, relative XDG_DATA_HOME ignored",
         {"usr/bin/relvoconsole", lib},
         "usr/bin/relvoconsole",
         "",
         "",
         "x/data",
         "/home/u",
         InstallKind::Installed,
         "usr/lib/relvo-smtp-server",
         "/home/u/.local/share/relvo-smtp-server"},
        {"installed console, no home known",
         {"usr/bin/relvoconsole", lib},
         "usr/bin/relvoconsole",
         "",
         "",
         nullptr,
         nullptr,
         InstallKind::Installed,
         "usr/lib/relvo-smtp-server",
         ""},
        {"installed relvoserver",
         {lib, "usr/lib/relvo-smtp-server/relvoserver"},
         "usr/lib/relvo-smtp-server/relvoserver",
         "",
         "",
         nullptr,
         "/home/u",
         InstallKind::Installed,
         "usr/lib/relvo-smtp-server",
         "/home/u/.local/share/relvo-smtp-server"},
        {"bin without the private directory",
         {"opt/bin/relvoconsole"},
         "opt/bin/relvoconsole",
         "",
         "",
         nullptr,
         "/home/u",
         InstallKind::Portable,
         "opt/bin",
         "@/opt/bin"},
        {"engine beside the console wins",
         {"usr/bin/relvoconsole", "usr/bin/librelvomailservice.so", lib},
         "usr/bin/relvoconsole",
         "",
         "",
         nullptr,
         "/home/u",
         InstallKind::Portable,
         "usr/bin",
         "@/usr/bin"},
        {"argument before environment",
         {"usr/bin/relvoconsole", lib},
         "usr/bin/relvoconsole",
         "/srv/a",
         "/srv/b",
         "/x/data",
         "/home/u",
         InstallKind::Installed,
         "usr/lib/relvo-smtp-server",
         "/srv/a"},
        {"installed engine stays with the environment override",
         {"usr/bin/relvoconsole", lib},
         "usr/bin/relvoconsole",
         "",
         "/srv/b",
         nullptr,
         "/home/u",
         InstallKind::Installed,
         "usr/lib/relvo-smtp-server",
         "/srv/b"},
        {"portable engine stays with the program under the environment override",
         {"build/bin/relvoconsole"},
         "build/bin/relvoconsole",
         "",
         "/srv/b",
         nullptr,
         "/home/u",
         InstallKind::Portable,
         "build/bin",
         "/srv/b"},
        {"portable engine stays with the argument",
         {"build/bin/relvoconsole"},
         "build/bin/relvoconsole",
         "/srv/a",
         "",
         nullptr,
         "/home/u",
         InstallKind::Portable,
         "build/bin",
         "/srv/a"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(root_);
        fs::create_directories(root_);
        const std::string root = Make(c.files);
        const InstallLayout layout = DetectInstallLayout(root + "/" + c.executable, c.argument,
                                                         c.environment, c.xdgDataHome, c.home);
        EXPECT_EQ(layout.kind, c.kind);
        EXPECT_EQ(layout.programDirectory,
                  *c.programDirectory ? root + "/" + c.programDirectory : std::string());
        EXPECT_EQ(layout.dataDirectory, Expand(root, c.dataDirectory));
    }
}

TEST(DataDirArgument, IsTakenOffTheCommandLine) {
    struct Case {
        std::vector<std::string> arguments;
        std::optional<std::string> directory;
        std::vector<std::string> left;
    };
    const std::vector<Case> cases = {
        {{"relvoconsole"}, std::nullopt, {"relvoconsole"}},
        {{"relvoconsole", "--data-dir", "/d", "-platform", "offscreen"},
         "/d",
         {"relvoconsole", "-platform", "offscreen"}},
        {{"relvoconsole", "-uninstall", "--data-dir=/d e"}, "/d e", {"relvoconsole", "-uninstall"}},
        {{"relvoconsole", "--data-dir"}, "", {"relvoconsole"}},
        {{"relvoconsole", "--data-dir", "/a", "--data-dir", "/b"}, "/b", {"relvoconsole"}},
        {{"relvoconsole", "--data-directory", "/a"},
         std::nullopt,
         {"relvoconsole", "--data-directory", "/a"}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> storage = c.arguments;
        std::vector<char*> argv;
        for (auto& argument : storage) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        int argc = static_cast<int>(storage.size());
        EXPECT_EQ(TakeDataDirArgument(argc, argv.data()), c.directory);
        std::vector<std::string> left(argv.begin(), argv.begin() + argc);
        EXPECT_EQ(left, c.left);
        EXPECT_EQ(argv[argc], nullptr);
    }
}

}  // namespace
