// A fresh application directory for one test: created empty, made the process's application
// directory, and removed with everything in it afterwards.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "common/app_paths.h"

class TempAppDir {
  public:
    TempAppDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "relvo-test-XXXXXX").string();
        path_ = mkdtemp(pattern.data()) ? pattern : std::string();
        OverrideApplicationDirectory(path_);
    }
    ~TempAppDir() {
        OverrideApplicationDirectory("");
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempAppDir(const TempAppDir&) = delete;
    TempAppDir& operator=(const TempAppDir&) = delete;

    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }
    // The main configuration file.
    std::string ConfigFile() const { return File("relvoconsole.cfg"); }

    void Write(const std::string& name, const std::string& bytes) const {
        std::ofstream(File(name), std::ios::binary) << bytes;
    }
    std::string Read(const std::string& name) const {
        std::ifstream in(File(name), std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

  private:
    std::string path_;
};
