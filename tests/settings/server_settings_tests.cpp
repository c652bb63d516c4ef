// The numeric field rule of the settings sheet, on the texts an operator may type.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "settings/server_settings.h"

namespace {

struct FieldCase {
    std::string typed;
    std::optional<std::uint32_t> read;
};

class ReadNumberFieldTest : public testing::TestWithParam<FieldCase> {};

TEST_P(ReadNumberFieldTest, ReadsAsUnsignedConversionWithoutSilentWrap) {
    EXPECT_EQ(ReadNumberField(GetParam().typed), GetParam().read) << '"' << GetParam().typed << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ReadNumberFieldTest,
    testing::Values(FieldCase{"25", 25}, FieldCase{"25abc", 25}, FieldCase{" \t\r\n\v\f7", 7},
                    FieldCase{"+587 smtp", 587}, FieldCase{"0x19", 0}, FieldCase{"007", 7},
                    FieldCase{"-1", 4294967295u}, FieldCase{"-0", 0u},
                    FieldCase{"-25", 4294967271u}, FieldCase{"4294967295", 4294967295u},
                    FieldCase{"00000000000000000000004294967295", 4294967295u},
                    // "%u" would wrap these into other numbers; they are refused instead
                    FieldCase{"4294967296", std::nullopt}, FieldCase{"-4294967296", std::nullopt},
                    FieldCase{"99999999999999999999", std::nullopt},
                    // nothing to read
                    FieldCase{"", std::nullopt}, FieldCase{"   ", std::nullopt},
                    FieldCase{"abc", std::nullopt}, FieldCase{"-", std::nullopt},
                    FieldCase{"+ 5", std::nullopt}, FieldCase{"--5", std::nullopt},
                    // only the first 63 characters count
                    FieldCase{std::string(61, ' ') + "12", 12},
                    FieldCase{std::string(62, ' ') + "12", 1},
                    FieldCase{std::string(63, ' ') + "12", std::nullopt}));

}  // namespace
