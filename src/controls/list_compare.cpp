#include "controls/list_compare.h"

namespace {

bool IsAsciiDigit(QChar c) {
    return c >= u'0' && c <= u'9';
}

// Digits at the start of text, without leading zeros: the number as a view, "" for zero.
QStringView LeadingNumber(QStringView text) {
    qsizetype end = 0;
    while (end < text.size() && IsAsciiDigit(text[end])) {
        ++end;
    }
    qsizetype start = 0;
    while (start < end && text[start] == u'0') {
        ++start;
    }
    return text.sliced(start, end - start);
}

int Sign(qsizetype value) {
    return value < 0 ? -1 : (value > 0 ? 1 : 0);
}

// Whole numbers of any length: more significant digits wins, else the first differing digit.
int CompareNumbers(QStringView a, QStringView b) {
    QStringView x = LeadingNumber(a);
    QStringView y = LeadingNumber(b);
    if (x.size() != y.size()) {
        return Sign(x.size() - y.size());
    }
    return Sign(x.compare(y, Qt::CaseSensitive));
}

bool IsDate(QStringView text) {
    if (text.size() != 10 || text[2] != u'/' || text[5] != u'/') {
        return false;
    }
    for (qsizetype i : {0, 1, 3, 4, 6, 7, 8, 9}) {
        if (!IsAsciiDigit(text[i])) {
            return false;
        }
    }
    return true;
}

// The digit run at the start of text[position, position + length), clipped to the text: a short
// or malformed b reads as 0 instead of beyond its end. At most 4 digits, so no overflow.
int FieldValue(QStringView text, qsizetype position, qsizetype length) {
    int value = 0;
    for (qsizetype i = position; i < position + length && i < text.size(); ++i) {
        if (!IsAsciiDigit(text[i])) {
            break;
        }
        value = value * 10 + (text[i].unicode() - u'0');
    }
    return value;
}

int CompareDates(QStringView a, QStringView b) {
    static constexpr qsizetype kFields[][2] = {{6, 4}, {3, 2}, {0, 2}};  // year, month, day
    for (const auto& field : kFields) {
        int x = FieldValue(a, field[0], field[1]);
        int y = FieldValue(b, field[0], field[1]);
        if (x != y) {
            return x < y ? -1 : 1;
        }
    }
    return 0;
}

int CompareText(QStringView a, QStringView b, const QCollator& collator) {
    const int collated = collator.compare(a, b);
    if (collated != 0) {
        return Sign(collated);
    }
    // A total order, so equal-looking texts keep one place whatever order they came in.
    return Sign(a.compare(b, Qt::CaseSensitive));
}

bool AllDigits(QStringView text) {
    for (QChar c : text) {
        if (!IsAsciiDigit(c)) {
            return false;
        }
    }
    return true;
}

}  // namespace

QList<ListColumnSpec> ParseColumnDescription(const QString& description, int maxColumns) {
    QList<ListColumnSpec> columns;
    const qsizetype length = description.size();
    qsizetype position = 0;
    while (position < length) {
        const qsizetype comma = description.indexOf(u',', position);
        if (comma < 0 || columns.size() >= maxColumns) {
            break;
        }
        qsizetype end = comma + 1 < length ? description.indexOf(u';', comma + 1) : -1;
        if (end < 0) {
            end = length;
        }
        int width = 0;
        for (qsizetype i = comma + 1; i < end && IsAsciiDigit(description[i]); ++i) {
            width = width * 10 + (description[i].unicode() - u'0');
            if (width > kMaxListColumnWidth) {
                width = kMaxListColumnWidth;
            }
        }
        columns.append({description.sliced(position, comma - position), width});
        position = end + 1;
    }
    return columns;
}

int CompareListCells(const QString& a, const QString& b, bool ascending,
                     const QCollator& collator) {
    QStringView first = ascending ? a : b;
    QStringView second = ascending ? b : a;
    if (AllDigits(a)) {
        return CompareNumbers(first, second);
    }
    if (IsDate(a)) {
        return CompareDates(first, second);
    }
    return CompareText(first, second, collator);
}

QCollator ListTextCollator(const QLocale& locale) {
    QCollator collator(locale.collation());
    collator.setCaseSensitivity(Qt::CaseSensitive);
    collator.setNumericMode(false);
    collator.setIgnorePunctuation(false);
    return collator;
}
