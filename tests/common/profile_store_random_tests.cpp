// Seeded random files and edits: damaged input never breaks reads or writes, a write changes only
// what it was asked to, and a batch writes exactly what the same writes made one by one would.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "common/profile_document.h"
#include "common/profile_file.h"
#include "common/profile_store.h"
#include "support/temp_app_dir.h"

namespace {

using Rng = std::mt19937;

class LookOnEveryRead {
  public:
    LookOnEveryRead()
        : previous_(profile::SetRecheckIntervalForTesting(std::chrono::nanoseconds::zero())) {}
    ~LookOnEveryRead() { profile::SetRecheckIntervalForTesting(previous_); }
    LookOnEveryRead(const LookOnEveryRead&) = delete;
    LookOnEveryRead& operator=(const LookOnEveryRead&) = delete;

  private:
    std::chrono::nanoseconds previous_;
};

int Pick(Rng& rng, int count) {
    return std::uniform_int_distribution<int>(0, count - 1)(rng);
}

// Mostly the characters the parser cares about, some arbitrary bytes.
std::string RandomBytes(Rng& rng) {
    static const std::vector<std::string> pieces = {"[",
                                                    "]",
                                                    "=",
                                                    ";",
                                                    "\r",
                                                    "\n",
                                                    "\r\n",
                                                    " ",
                                                    "\t",
                                                    "\v",
                                                    "a",
                                                    "B",
                                                    "k",
                                                    "s",
                                                    "\"",
                                                    "'",
                                                    "x",
                                                    "[s]",
                                                    "k=",
                                                    "\n[",
                                                    "=\"",
                                                    "\xEF\xBB\xBF",
                                                    std::string(1, '\0')};
    std::string text;
    int count = Pick(rng, 80);
    for (int i = 0; i < count; ++i) {
        if (Pick(rng, 8) == 0) {
            text += static_cast<char>(Pick(rng, 256));
        } else {
            text += pieces[static_cast<size_t>(Pick(rng, static_cast<int>(pieces.size())))];
        }
    }
    return text;
}

// Every value a reader can reach, by section and key as spelled in the file.
std::map<std::pair<std::string, std::string>, std::string> ReadableValues(const std::string& bytes,
                                                                          const char* file) {
    profile::Document document(bytes);
    std::map<std::pair<std::string, std::string>, std::string> values;
    for (const profile::Section& section : document.Sections()) {
        for (uint32_t i = section.header + 1; i < section.end; ++i) {
            const profile::Line& line = document.Lines()[i];
            if (line.kind == profile::LineKind::kKey) {
                std::string name(section.name), key(document.KeyOf(line));
                values[{name, key}] = ProfileGetString(name, key, "<missing>", file);
            }
        }
    }
    return values;
}

TEST(ProfileStoreRandomTest, DamagedFilesStillReadAndTakeWrites) {
    TempAppDir dir;
    // Every round rewrites the file behind the store's back, far sooner than readers would look
    // at it again on their own: here they must look on every read.
    LookOnEveryRead look;
    Rng rng(20240607);
    for (int round = 0; round < 400; ++round) {
        const std::string before = RandomBytes(rng);
        dir.Write("r.ini", before);
        for (const char* name : {"s", "k", "a", "", "B"}) {
            EXPECT_TRUE(ProfileGetInt(name, name, 5, "r.ini") == 5 ||
                        ProfileHasKey(name, name, "r.ini"));
        }
        auto values = ReadableValues(before, "r.ini");
        ASSERT_TRUE(ProfileSetString("fz", "key", " value 1", "r.ini")) << round;
        EXPECT_EQ(ProfileGetString("fz", "key", "", "r.ini"), " value 1");
        EXPECT_EQ(ReadableValues(before, "r.ini"), values) << round;
        // The new section goes at the end: everything before it is the old file.
        EXPECT_EQ(dir.Read("r.ini").compare(0, before.size(), before), 0) << round;
    }
}

TEST(ProfileStoreRandomTest, HugeLinesAreHandled) {
    TempAppDir dir;
    dir.Write("h.ini", "[S]\nk=" + std::string(8 << 20, 'v') + "\n" + std::string(4 << 20, '['));
    EXPECT_EQ(ProfileGetString("S", "k", "", "h.ini").size(), 1023u);
    ASSERT_TRUE(ProfileSetString("S", "k", "short", "h.ini"));
    EXPECT_EQ(ProfileGetString("S", "k", "", "h.ini"), "short");
}

std::string RandomProfile(Rng& rng) {
    static const std::vector<std::string> lines = {
        "[s]", "[S ]", "[t]", "k=1", " K = 2", "a=\"q\"", ";c=3", "", "junk", "b=", "  "};
    static const std::vector<std::string> ends = {"\r\n", "\n", "\r"};
    std::string text;
    const std::string& end = ends[static_cast<size_t>(Pick(rng, 3))];
    int count = Pick(rng, 12);
    for (int i = 0; i < count; ++i) {
        text += lines[static_cast<size_t>(Pick(rng, static_cast<int>(lines.size())))];
        if (i + 1 < count || Pick(rng, 2) == 0) {
            text += end;
        }
    }
    return text;
}

TEST(ProfileStoreRandomTest, BatchWritesWhatSingleWritesWouldWrite) {
    TempAppDir dir;
    Rng rng(77);
    const std::vector<std::string> sections = {"s", "S", "t", "u", "U"};
    const std::vector<std::string> keys = {"k", "K", "a", "b", "c"};
    const std::vector<std::string> values = {"1", " x ", "\"q\"", "", "22"};
    for (int round = 0; round < 200; ++round) {
        const std::string start = RandomProfile(rng);
        dir.Write("batch.ini", start);
        dir.Write("single.ini", start);
        ProfileBatch batch;
        int count = 1 + Pick(rng, 8);
        for (int i = 0; i < count; ++i) {
            const std::string& section = sections[static_cast<size_t>(Pick(rng, 5))];
            const std::string& key = keys[static_cast<size_t>(Pick(rng, 5))];
            if (Pick(rng, 3) == 0) {
                batch.Remove(section, key);
                ASSERT_TRUE(ProfileSetString(section, key, std::nullopt, "single.ini"));
            } else {
                const std::string& value = values[static_cast<size_t>(Pick(rng, 5))];
                batch.Set(section, key, value);
                ASSERT_TRUE(ProfileSetString(section, key, value, "single.ini"));
            }
        }
        ASSERT_TRUE(batch.Commit("batch.ini"));
        ASSERT_EQ(dir.Read("batch.ini"), dir.Read("single.ini")) << "round " << round << " from\n"
                                                                 << start;
    }
}

}  // namespace
