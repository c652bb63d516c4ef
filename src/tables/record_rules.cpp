#include "tables/record_rules.h"

#include <QByteArray>
#include <cstdint>
#include <string>

#include "common/profile_store.h"

namespace {

// The white space "%u" skips in the C locale.
bool IsScanSpace(QChar c) {
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\v' || c == u'\f' || c == u'\r';
}

bool IsAsciiDigit(QChar c) {
    return c >= u'0' && c <= u'9';
}

char16_t FoldAscii(char16_t c) {
    return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + (u'a' - u'A')) : c;
}

}  // namespace

std::optional<quint32> ReadUnsignedNumber(QStringView text) {
    text = text.left(kNumberBoxReadLength);
    qsizetype i = 0;
    while (i < text.size() && IsScanSpace(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }
    if (i >= text.size() || !IsAsciiDigit(text[i])) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (; i < text.size() && IsAsciiDigit(text[i]); ++i) {
        value = value * 10 + static_cast<std::uint64_t>(text[i].unicode() - u'0');
        if (value > UINT32_MAX) {
            return std::nullopt;
        }
    }
    if (negative && value != 0) {
        return std::nullopt;
    }
    return static_cast<quint32>(value);
}

QString UnsignedText(quint32 number) {
    return QString::number(number);
}

QString SignedText(quint32 number) {
    return QString::number(static_cast<qint32>(number));
}

quint32 StoredToUnsigned(int stored) {
    return static_cast<quint32>(stored);
}

bool HasInnerSeparator(QStringView name, QChar separator) {
    const qsizetype at = name.indexOf(separator);
    return at > 0 && at < name.size() - 1;
}

bool IsFaithfulRecordName(QStringView name) {
    if (name.isEmpty() || name.front().isSpace() || name.back().isSpace()) {
        return false;
    }
    // The store's own rule covers "=", line breaks, NUL and the comment and section marks.
    const std::string key = name.toString().toStdString();
    return IsStorableKey(key) && IsStorableKey(key + "_");
}

bool IsFaithfulValue(QStringView value) {
    const QByteArray bytes = value.toUtf8();
    return bytes.size() <= kMaxReadableValueBytes &&
           IsStorableValue(std::string_view(bytes.constData(), bytes.size()));
}

bool IsAcceptableDomainName(QStringView name) {
    return HasInnerSeparator(name, u'.') && IsFaithfulRecordName(name);
}

bool IsAcceptableRelayMailbox(QStringView mailbox) {
    return HasInnerSeparator(mailbox, u'@') && IsFaithfulRecordName(mailbox);
}

bool SameRecordName(QStringView a, QStringView b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (qsizetype i = 0; i < a.size(); ++i) {
        if (FoldAscii(a[i].unicode()) != FoldAscii(b[i].unicode())) {
            return false;
        }
    }
    return true;
}

bool FlagShownTicked(int flag) {
    return flag == 1 || flag == 2;
}

QString DeleteQuestion(const QString& noun, const QStringList& names) {
    QString question = QStringLiteral("Are you sure to delete %1 %2?").arg(names.size()).arg(noun);
    for (const QString& name : names) {
        question += QStringLiteral("\r\n") + name;
    }
    return question;
}

QString FormHintText(FormHint hint) {
    switch (hint) {
        case FormHint::kNone:
            break;
        case FormHint::kAccountName:
            return QStringLiteral("An account name is a mail address such as name@example.org");
        case FormHint::kPassword:
            return QStringLiteral("The password cannot be empty");
        case FormHint::kDomainName:
            return QStringLiteral("A local domain is a name such as example.org");
        case FormHint::kMailbox:
            return QStringLiteral("A mailbox is a mail address such as name@example.org");
        case FormHint::kSmtpServer:
            return QStringLiteral("The SMTP server cannot be empty");
        case FormHint::kPort:
            return QStringLiteral("A port is a number from 1 to 65535");
        case FormHint::kValue:
            return QStringLiteral(
                "This text cannot be stored: it holds a line break or is longer "
                "than 1023 bytes");
    }
    return {};
}

bool IsUsablePort(quint32 port) {
    return port >= kMinPort && port <= kMaxPort;
}
