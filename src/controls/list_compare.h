// Rules of the sortable report list that need no window: the column description text, the cell
// comparison (numbers, day/month/year dates, text in locale order) and a sort that stays safe with
// it. Pure functions; callable from any thread with a collator of its own.
#pragma once

#include <QCollator>
#include <QList>
#include <QString>
#include <QStringView>
#include <cstddef>
#include <vector>

// Report lists hold at most this many columns; further column entries are ignored.
inline constexpr int kMaxListColumns = 99;

struct ListColumnSpec {
    QString heading;  // exactly as written, blanks included
    int width = 0;    // pixels
};

// Parses entries "heading,width;" (the last ';' may be missing) and returns at most maxColumns of
// them. Parsing stops at the first entry without a comma. The width is the run of digits at the
// start of its field (none gives 0), capped at kMaxListColumnWidth so a long run cannot overflow.
inline constexpr int kMaxListColumnWidth = 65535;
QList<ListColumnSpec> ParseColumnDescription(const QString& description, int maxColumns);

// Compares two cells of the column being sorted; -1, 0 or 1. Only a decides how both are read:
//  - a all ASCII digits (or empty): the leading digit runs of a and b as whole numbers of any
//    length (no digits counts as 0, so "-1" or "x" in b count as 0);
//  - a "dd/mm/yyyy": year, then month, then day, b's fields read at the same positions;
//  - otherwise text, in the collator's order (the user's locale: accents and letter case after the
//    base letter, symbols before letters); texts it holds equal are ordered by code units.
// Descending swaps the roles of the two values after the kind has been chosen from a.
int CompareListCells(const QString& a, const QString& b, bool ascending, const QCollator& collator);

// The collator of the locale's collation, case-sensitive, digits read as text. The default locale
// is the user's (LC_ALL, LC_COLLATE, LANG), unless the application set another.
QCollator ListTextCollator(const QLocale& locale = QLocale());

// Returns the order 0..count-1 sorted by compare(x, y) (negative: x first). A bottom-up merge sort:
// it only ever moves indexes between two buffers, so even a comparison that is not a strict weak
// ordering (mixed kinds above) yields a permutation, never a crash. Stable; O(n log n) calls.
template <typename Compare>
std::vector<int> SortedRowOrder(int count, Compare compare) {
    std::vector<int> order(static_cast<std::size_t>(count > 0 ? count : 0));
    for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = static_cast<int>(i);
    }
    std::vector<int> merged(order.size());
    const std::size_t n = order.size();
    for (std::size_t width = 1; width < n; width *= 2) {
        for (std::size_t low = 0; low < n; low += 2 * width) {
            const std::size_t middle = low + width < n ? low + width : n;
            const std::size_t high = low + 2 * width < n ? low + 2 * width : n;
            std::size_t left = low;
            std::size_t right = middle;
            std::size_t out = low;
            while (left < middle && right < high) {
                merged[out++] =
                    compare(order[left], order[right]) > 0 ? order[right++] : order[left++];
            }
            while (left < middle) {
                merged[out++] = order[left++];
            }
            while (right < high) {
                merged[out++] = order[right++];
            }
        }
        order.swap(merged);
    }
    return order;
}
