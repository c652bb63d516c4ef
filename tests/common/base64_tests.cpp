// Base64 both ways: the padding forms, bytes that are not text, and what strict decoding refuses.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "common/base64.h"

TEST(Base64, EncodesAndStrictlyDecodes) {
    const std::vector<std::pair<std::string, std::string>> pairs = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {std::string("\0user\0secret", 12), "AHVzZXIAc2VjcmV0"},
        {"\xff\xfe\xfd", "//79"},
    };
    for (const auto& [plain, encoded] : pairs) {
        EXPECT_EQ(EncodeBase64(plain), encoded);
        EXPECT_EQ(DecodeBase64(encoded), plain);
    }
    for (const char* bad : {"Zg=", "Z===", "Zg=a", "Zm9v!", "Zg==Zg==", "=Zm9", "Zm 9"}) {
        EXPECT_FALSE(DecodeBase64(bad).has_value()) << bad;
    }
}
