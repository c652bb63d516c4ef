#include "controls/list_compare.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "support/qt_print.h"

namespace {

TEST(ColumnDescription, ReadsEntriesUntilOneLacksAComma) {
    QList<ListColumnSpec> columns = ParseColumnDescription("Name,150;Port,80", 99);
    ASSERT_EQ(columns.size(), 2);
    EXPECT_EQ(columns[1].heading, "Port");
    EXPECT_EQ(columns[1].width, 80);
    EXPECT_EQ(ParseColumnDescription("Name,150;Port", 99).size(), 1);
    columns = ParseColumnDescription(" Mail box ,12px; Port,99999999999999999999", 99);
    ASSERT_EQ(columns.size(), 2);
    EXPECT_EQ(columns[0].heading, " Mail box ");  // blanks kept
    EXPECT_EQ(columns[0].width, 12);
    EXPECT_EQ(columns[1].width, kMaxListColumnWidth);  // no overflow
}

TEST(CompareNumbers, AllDigitTextsAreWholeNumbersOfAnyLength) {
    EXPECT_EQ(CompareListCells("9", "10", true), -1);
    EXPECT_EQ(CompareListCells("10", "9", false), -1);
    EXPECT_EQ(CompareListCells("007", "7", true), 0);
    EXPECT_EQ(CompareListCells("123456789012345678901234567890", "99999999999999999999", true), 1);
    EXPECT_EQ(
        CompareListCells("123456789012345678901234567890", "123456789012345678901234567891", true),
        -1);
}

TEST(CompareNumbers, TheFirstValueAloneDecidesTheKind) {
    EXPECT_EQ(CompareListCells("5", "abc", true), 1);  // "abc" counts as 0
    EXPECT_EQ(CompareListCells("5", "12abc", true), -1);
    EXPECT_EQ(CompareListCells("abc", "5", true), 1);  // text this way round
    // "-1" is text: as numbers -1 > -10, as text the prefix comes first.
    EXPECT_EQ(CompareListCells("-1", "-10", true), -1);
}

TEST(CompareDates, OrdersByYearThenMonthThenDay) {
    EXPECT_EQ(CompareListCells("01/02/2009", "31/01/2009", true), 1);
    EXPECT_EQ(CompareListCells("01/02/2009", "31/01/2010", true), -1);
    EXPECT_EQ(CompareListCells("01/02/2009", "31/01/2009", false), -1);
    EXPECT_EQ(CompareListCells("01/01/0001", "abc", true), 1);          // short b reads as 0
    EXPECT_EQ(CompareListCells("01-02-2010", "31/01/2009", true), -1);  // not a date: text
}

TEST(CompareText, IgnoresCaseFirstThenPutsLowerCaseFirst) {
    EXPECT_EQ(CompareListCells("apple", "Banana", true), -1);
    EXPECT_EQ(CompareListCells("abc", "Abc", true), -1);
    EXPECT_EQ(CompareListCells("Abc", "abc", true), 1);
    EXPECT_EQ(CompareListCells("ab", "abc", true), -1);
    EXPECT_EQ(CompareListCells("apple", "Banana", false), 1);
}

TEST(SortedOrder, StableAndAPermutationEvenForAnIncoherentComparison) {
    const std::vector<int> keys = {3, 1, 2, 1, 3, 0, 2};
    EXPECT_EQ(SortedRowOrder(7, [&](int x, int y) { return keys[x] - keys[y]; }),
              (std::vector<int>{5, 1, 3, 2, 6, 0, 4}));
    std::mt19937 random(1234);
    for (int count : {1, 2, 7, 1000}) {
        std::vector<int> order =
            SortedRowOrder(count, [&](int, int) { return static_cast<int>(random() % 3) - 1; });
        std::sort(order.begin(), order.end());
        for (int i = 0; i < count; ++i) {
            ASSERT_EQ(order[i], i);
        }
    }
}

}  // namespace
