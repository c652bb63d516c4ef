#include "controls/list_compare.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include <QLocale>

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

// Numbers and dates follow their own rules in every locale; text follows the locale's collation.
class CompareCells : public testing::Test {
  protected:
    static int Compare(const QString& a, const QString& b, bool ascending = true) {
        return CompareListCells(a, b, ascending, german_);
    }
    static inline const QCollator german_ = ListTextCollator(QLocale(QStringLiteral("de_DE")));
};

TEST_F(CompareCells, AllDigitTextsAreWholeNumbersOfAnyLength) {
    EXPECT_EQ(Compare("9", "10"), -1);
    EXPECT_EQ(Compare("10", "9", false), -1);
    EXPECT_EQ(Compare("007", "7"), 0);
    EXPECT_EQ(Compare("123456789012345678901234567890", "99999999999999999999"), 1);
    EXPECT_EQ(Compare("123456789012345678901234567890", "123456789012345678901234567891"), -1);
}

TEST_F(CompareCells, TheFirstValueAloneDecidesTheKind) {
    EXPECT_EQ(Compare("5", "abc"), 1);  // "abc" counts as 0
    EXPECT_EQ(Compare("5", "12abc"), -1);
    EXPECT_EQ(Compare("abc", "5"), 1);    // text this way round: digits before letters
    EXPECT_EQ(Compare("-1", "-10"), -1);  // text: the prefix comes first
}

TEST_F(CompareCells, DatesOrderByYearThenMonthThenDay) {
    EXPECT_EQ(Compare("01/02/2009", "31/01/2009"), 1);
    EXPECT_EQ(Compare("01/02/2009", "31/01/2010"), -1);
    EXPECT_EQ(Compare("01/02/2009", "31/01/2009", false), -1);
    EXPECT_EQ(Compare("01/01/0001", "abc"), 1);          // short b reads as 0
    EXPECT_EQ(Compare("01-02-2010", "31/01/2009"), -1);  // not a date: text
}

// Each pair in the order the locale's dictionary has it.
TEST_F(CompareCells, TextFollowsTheLocalesDictionaryOrder) {
    const struct {
        const char* first;
        const char* second;
    } pairs[] = {
        {"\u00e9clair", "fig"},  // an accent comes after its base letter, not after z
        {"Mu", "M\u00fcller"},   // ... and the word stays among the M words
        {"M\u00fcller", "Mz"},   //
        {"#tag", "apple"},       // symbols before letters
        {"_under", "Abc"},       //
        {"(note)", "1st"},       // symbols before digits
        {"1st", "apple"},        // digits before letters
        {"apple", "Banana"},     // letter case only breaks ties
        {"abc", "Abc"},          // lower case first among equals
        {"ab", "abc"},           // a prefix first
        {"e\u0301", "\u00e9"},   // canonically equal texts still get one order
    };
    for (const auto& pair : pairs) {
        const QString a = QString::fromUtf8(pair.first);
        const QString b = QString::fromUtf8(pair.second);
        EXPECT_EQ(Compare(a, b), -1) << pair.first << " / " << pair.second;
        EXPECT_EQ(Compare(b, a), 1) << pair.second << " / " << pair.first;
        EXPECT_EQ(Compare(a, b, false), 1) << pair.first << " / " << pair.second;
    }
    EXPECT_EQ(Compare("same", "same"), 0);
}

// Run once more by ctest with LC_ALL=de_DE.UTF-8: the list's own collator is the user's.
TEST(UserLocaleOrder, TheListCollatesInTheLocaleOfTheEnvironment) {
    const QByteArray wanted = qgetenv("LC_ALL");
    if (!wanted.startsWith("de_DE")) {
        GTEST_SKIP() << "runs under LC_ALL=de_DE.UTF-8";
    }
    const QCollator collator = ListTextCollator();
    EXPECT_EQ(collator.locale().name(), "de_DE");
    QStringList words = {"Mz", "fig", "M\u00fcller", "#tag", "\u00e9clair", "Mu"};
    std::sort(words.begin(), words.end(), [&](const QString& a, const QString& b) {
        return CompareListCells(a, b, true, collator) < 0;
    });
    EXPECT_EQ(words, (QStringList{"#tag", "\u00e9clair", "fig", "Mu", "M\u00fcller", "Mz"}));
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
