// Where local domains and relay accounts live in the main configuration file, and how a record
// becomes a list row, a form and a set of writes. Reads never fail (missing keys give the
// defaults); writing is left to the caller, which commits the batch in one atomic rewrite.
// No window; any thread.
#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>
#include <string>
#include <vector>

#include "common/profile_store.h"
#include "common/record_table.h"

inline constexpr quint32 kDefaultSmtpPort = 25;
inline constexpr quint32 kSslSmtpPort = 465;

// What a table dialog needs to know of its table besides its own form.
struct RecordTableLayout {
    RecordTable table;
    // The cell texts of a listed record, read through one snapshot of the file.
    QStringList (*listRow)(const ProfileSnapshot& file, const std::string& name);
    // Fields a delete removes, in that order (the list line goes first).
    std::vector<std::string> deleteFields;
    // Completes "Are you sure to delete %d ...?".
    QString deleteNoun;
};

const RecordTableLayout& DomainLayout();
const RecordTableLayout& RelayLayout();

// Record names of a table in file order.
std::vector<std::string> ListedNames(const ProfileSnapshot& file, const RecordTable& table);

// Adds the removal of every record named, list line first, then the layout's fields.
void AddRemovals(ProfileBatch& batch, const RecordTableLayout& layout, const QStringList& names);

struct DomainRecord {
    QString name;
    QString serverAddress;
    quint32 port = kDefaultSmtpPort;
    // <domain>_VerifyRecipients: stored only as 0 (off); on is the default and leaves no key.
    bool verifyRecipients = true;
};

// The row of a listed domain: name, address, the stored port text unparsed ("25" when missing).
QStringList DomainListRow(const ProfileSnapshot& file, const std::string& name);
// The domain as the form loads it: a missing port is 25, a stored text the number it begins with.
DomainRecord LoadDomain(const QString& name);
// Writes of a Save, in file order: the list line, then address and port (signed decimal text),
// then VerifyRecipients=0 when it is off, or its removal when it is on.
void AddDomainSave(ProfileBatch& batch, const DomainRecord& domain);
// The row after a Save: name, address, port as signed decimal text.
QStringList DomainSavedRow(const DomainRecord& domain);

struct RelayRecord {
    QString mailbox;
    QString smtpServer;
    quint32 port = kDefaultSmtpPort;
    int ssl = 0;
    int enabled = 1;
    QString loginAccount;
    QString password;
};

// The row of a listed relay account: mailbox, server, stored port text ("25" when missing),
// "Yes" when the stored enabled flag is not 0, otherwise "-" (also when it is missing).
QStringList RelayListRow(const ProfileSnapshot& file, const std::string& mailbox);
// The relay account as the form loads it; a missing enabled flag loads as 1.
RelayRecord LoadRelay(const QString& mailbox);
// Writes of a Save, in file order. The "_SmtpAuthFlag" key is never part of them.
void AddRelaySave(ProfileBatch& batch, const RelayRecord& relay);
QStringList RelaySavedRow(const RelayRecord& relay);

// The port a relay server usually listens on: 465 with SSL, otherwise 25.
quint32 UsualSmtpPort(int ssl);
