#include "tables/record_layouts.h"

#include <string_view>

#include "common/utilities.h"
#include "tables/record_rules.h"

namespace {

constexpr std::string_view kMainFile = ".cfg";

std::string Utf8(const QString& text) {
    return text.toStdString();
}

QString FromUtf8(const std::string& text) {
    return QString::fromStdString(text);
}

QString EnabledText(int flag) {
    return flag != 0 ? QStringLiteral("Yes") : QStringLiteral("-");
}

// A field of a record read through one snapshot of the file.
class RecordReader {
  public:
    RecordReader(const ProfileSnapshot& file, const RecordTable& table, const std::string& name)
        : file_(file), table_(table), name_(name) {}

    QString Text(std::string_view field, std::string_view defaultValue) const {
        return FromUtf8(
            file_.GetString(table_.InfoSection(), table_.FieldKey(name_, field), defaultValue));
    }
    int Int(std::string_view field, int defaultValue) const {
        return file_.GetInt(table_.InfoSection(), table_.FieldKey(name_, field), defaultValue);
    }

  private:
    const ProfileSnapshot& file_;
    const RecordTable& table_;
    const std::string& name_;
};

std::string StoredNumber(quint32 number) {
    return IntToText(std::nullopt, static_cast<int>(number));
}

std::string StoredFlag(int flag) {
    return IntToText(std::nullopt, flag);
}

}  // namespace

const RecordTableLayout& DomainLayout() {
    static const RecordTableLayout layout{
        RecordTable("DomainList", "DomainInfo"),
        DomainListRow,
        {"ServerAddress", "Port", "DkimSelector", "VerifyRecipients"},
        "domain(s)"};
    return layout;
}

const RecordTableLayout& RelayLayout() {
    // "_SmtpAuthFlag" belongs to the diagnose dialog and outlives the record here.
    static const RecordTableLayout layout{
        RecordTable("RelayList", "RelayInfo"),
        RelayListRow,
        {"SmtpServer", "SmtpPort", "Enabled", "SSLFlag", "LoginAcc", "LoginPwd"},
        "relay account(s)"};
    return layout;
}

std::vector<std::string> ListedNames(const ProfileSnapshot& file, const RecordTable& table) {
    std::vector<std::string> names;
    file.GetSection(table.ListSection(), &names);
    return names;
}

void AddRemovals(ProfileBatch& batch, const RecordTableLayout& layout, const QStringList& names) {
    for (const QString& name : names) {
        const std::string key = Utf8(name);
        batch.Remove(layout.table.ListSection(), key);
        for (const std::string& field : layout.deleteFields) {
            batch.Remove(layout.table.InfoSection(), layout.table.FieldKey(key, field));
        }
    }
}

QStringList DomainListRow(const ProfileSnapshot& file, const std::string& name) {
    const RecordReader record(file, DomainLayout().table, name);
    return {FromUtf8(name), record.Text("ServerAddress", ""), record.Text("Port", "25")};
}

DomainRecord LoadDomain(const QString& name) {
    const ProfileSnapshot file(kMainFile);
    const std::string key = Utf8(name);
    const RecordReader record(file, DomainLayout().table, key);
    return {name, record.Text("ServerAddress", ""),
            StoredToUnsigned(record.Int("Port", static_cast<int>(kDefaultSmtpPort))),
            record.Int("VerifyRecipients", 1) != 0};
}

void AddDomainSave(ProfileBatch& batch, const DomainRecord& domain) {
    const RecordTable& table = DomainLayout().table;
    const std::string name = Utf8(domain.name);
    RecordTable::Fields fields = {{"ServerAddress", Utf8(domain.serverAddress)},
                                  {"Port", StoredNumber(domain.port)}};
    if (!domain.verifyRecipients) {
        fields.emplace_back("VerifyRecipients", StoredFlag(0));
    }
    table.AddToBatch(batch, name, fields);
    if (domain.verifyRecipients) {
        batch.Remove(table.InfoSection(), table.FieldKey(name, "VerifyRecipients"));
    }
}

QStringList DomainSavedRow(const DomainRecord& domain) {
    return {domain.name, domain.serverAddress, SignedText(domain.port)};
}

QStringList RelayListRow(const ProfileSnapshot& file, const std::string& mailbox) {
    const RecordReader record(file, RelayLayout().table, mailbox);
    return {FromUtf8(mailbox), record.Text("SmtpServer", ""), record.Text("SmtpPort", "25"),
            EnabledText(record.Int("Enabled", 0))};
}

RelayRecord LoadRelay(const QString& mailbox) {
    const ProfileSnapshot file(kMainFile);
    const std::string key = Utf8(mailbox);
    const RecordReader record(file, RelayLayout().table, key);
    RelayRecord relay;
    relay.mailbox = mailbox;
    relay.smtpServer = record.Text("SmtpServer", "");
    relay.port = StoredToUnsigned(record.Int("SmtpPort", static_cast<int>(kDefaultSmtpPort)));
    relay.ssl = record.Int("SSLFlag", 0);
    relay.enabled = record.Int("Enabled", 1);
    relay.loginAccount = record.Text("LoginAcc", "");
    relay.password = record.Text("LoginPwd", "");
    return relay;
}

void AddRelaySave(ProfileBatch& batch, const RelayRecord& relay) {
    RelayLayout().table.AddToBatch(batch, Utf8(relay.mailbox),
                                   {{"SmtpServer", Utf8(relay.smtpServer)},
                                    {"SmtpPort", StoredNumber(relay.port)},
                                    {"SSLFlag", StoredFlag(relay.ssl)},
                                    {"Enabled", StoredFlag(relay.enabled)},
                                    {"LoginAcc", Utf8(relay.loginAccount)},
                                    {"LoginPwd", Utf8(relay.password)}});
}

QStringList RelaySavedRow(const RelayRecord& relay) {
    return {relay.mailbox, relay.smtpServer, SignedText(relay.port), EnabledText(relay.enabled)};
}

quint32 UsualSmtpPort(int ssl) {
    return ssl != 0 ? kSslSmtpPort : kDefaultSmtpPort;
}
