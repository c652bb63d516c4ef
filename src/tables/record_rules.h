// Rules of the routing-table dialogs that need no window: which record names and values the
// profile file can hold, the key separators the names must contain, how a numeric box is read,
// how names are matched, and the text of the delete question. Pure functions; any thread.
#pragma once

#include <QString>
#include <QStringList>
#include <QStringView>
#include <QtGlobal>
#include <optional>

// Only this many characters of a numeric box are read.
inline constexpr int kNumberBoxReadLength = 63;

// Reads a numeric box as the "%u" conversion does: leading white space skipped, an optional sign,
// then decimal digits up to the first other character ("25abc" reads 25). No digits: no number.
// Two inputs that "%u" would turn into a different number than the one typed are refused as well,
// so they get the same "Please enter a positive integer." answer instead of being stored silently
// as something else: a negative number (which "%u" wraps to its two's complement) and a number
// above 4294967295 (which "%u" saturates or wraps). "-0" is zero and reads 0.
std::optional<quint32> ReadUnsignedNumber(QStringView text);

// The number as unsigned decimal text, as the form shows it.
QString UnsignedText(quint32 number);
// The number as the signed decimal text the file stores (4294967295 is "-1").
QString SignedText(quint32 number);
// A number read from the file (signed) as the form holds it: its 32-bit two's complement.
quint32 StoredToUnsigned(int stored);

// Whether the first occurrence of separator lies inside name: present, not the first and not the
// last character. Later occurrences are not examined.
bool HasInnerSeparator(QStringView name, QChar separator);

// Whether a record name can be written as a profile key and read back unchanged: not empty, no
// line break, no "=", no leading ";" or "[", no white space at either end.
bool IsFaithfulRecordName(QStringView name);
// Readers of the file (this console and the engine) return at most this many bytes of a value.
inline constexpr qsizetype kMaxReadableValueBytes = 1023;
// Whether a value can be written and read back unchanged: no line break or NUL (anything else is
// quoted as needed) and no longer in UTF-8 than readers return, so it never comes back cut.
bool IsFaithfulValue(QStringView value);

// Local domain names need an inner "." and relay mailboxes an inner "@"; both must be faithful.
bool IsAcceptableDomainName(QStringView name);
bool IsAcceptableRelayMailbox(QStringView mailbox);

// Whether two record names name the same record in the file, which folds only ASCII letters.
bool SameRecordName(QStringView a, QStringView b);

// A check box shows a stored flag of 1 or 2 as ticked (2 is what another program may store for
// "on"); anything else, 0 included, unticked.
bool FlagShownTicked(int flag);

// "Are you sure to delete <count> <noun>?" followed by "\r\n" and each name, in the given order.
QString DeleteQuestion(const QString& noun, const QStringList& names);

// What a refused form field is told beside the form: what is wrong and what is expected.
enum class FormHint {
    kNone,
    kAccountName,
    kPassword,
    kDomainName,
    kMailbox,
    kSmtpServer,
    kPort,
    kValue,  // a text the file cannot hold (a line break, or too long)
};
QString FormHintText(FormHint hint);

// Ports a server can listen on; 0 and anything above cannot work.
inline constexpr quint32 kMinPort = 1;
inline constexpr quint32 kMaxPort = 65535;
bool IsUsablePort(quint32 port);
