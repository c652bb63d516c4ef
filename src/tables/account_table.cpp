#include "tables/account_table.h"

#include "common/ascii.h"
#include "common/profile_document.h"
#include "common/profile_file.h"
#include "common/utilities.h"

namespace {

constexpr std::string_view kMainFile = ".cfg";
constexpr std::size_t kLinesPerPump = 256;

std::string FieldKey(std::string_view name, std::string_view field) {
    std::string key(name);
    key += field;
    return key;
}

// At least one character before the first '@' and two after it; characters, not bytes.
bool HasAcceptedAt(std::string_view name) {
    const size_t at = name.find('@');
    if (at == std::string_view::npos || at == 0) {
        return false;
    }
    int charactersAfter = 0;
    for (size_t i = at + 1; i < name.size(); ++i) {
        if ((static_cast<unsigned char>(name[i]) & 0xC0) != 0x80) {
            ++charactersAfter;
        }
    }
    return charactersAfter >= 2;
}

}  // namespace

bool IsAcceptableAccountName(std::string_view name) {
    return HasAcceptedAt(name) && IsStorableAccountName(name);
}

bool SameAccountName(std::string_view a, std::string_view b) {
    return AsciiEqualNoCase(a, b);
}

AccountTable::AccountTable()
    : document_(profile::LoadDocument(ResolveProfilePath(kMainFile)).document) {}

std::optional<std::string_view> AccountTable::Value(std::string_view section,
                                                    std::string_view key) const {
    if (!document_) {
        return std::nullopt;
    }
    auto s = document_->FindSection(section);
    if (!s) {
        return std::nullopt;
    }
    auto line = document_->FindKey(*s, profile::TrimSpaces(key));
    if (!line) {
        return std::nullopt;
    }
    return profile::Unquote(document_->RawValueOf(document_->Lines()[*line]));
}

std::vector<std::string> AccountTable::Names() const {
    std::vector<std::string> names;
    auto s = document_ ? document_->FindSection(kAccountListSection) : std::nullopt;
    if (!s) {
        return names;
    }
    const profile::Section& section = document_->Sections()[*s];
    names.reserve(section.end - section.header);
    for (uint32_t i = section.header + 1; i < section.end; ++i) {
        const profile::Line& line = document_->Lines()[i];
        if (line.kind != profile::LineKind::kKey) {
            continue;
        }
        std::string_view name = document_->KeyOf(line);
        if (!name.empty()) {
            names.emplace_back(name);
        }
    }
    return names;
}

bool AccountTable::IsListed(std::string_view name) const {
    auto value = Value(kAccountListSection, name);
    return value && !value->empty() && profile::ParseWrappedInt(*value) != 0;
}

std::string AccountTable::Password(std::string_view name) const {
    return std::string(Value(kAccountInfoSection, FieldKey(name, "_Password")).value_or(""));
}

std::string AccountTable::Description(std::string_view name) const {
    return std::string(Value(kAccountInfoSection, FieldKey(name, "_Desc")).value_or(""));
}

int AccountTable::Enabled(std::string_view name) const {
    auto value = Value(kAccountInfoSection, FieldKey(name, "_Enabled"));
    return value && !value->empty() ? profile::ParseWrappedInt(*value) : 0;
}

AccountRecord AccountTable::Get(std::string_view name) const {
    return {std::string(name), Password(name), Description(name), Enabled(name)};
}

void AddAccountToBatch(ProfileBatch& batch, const AccountLine& account) {
    batch.Set(kAccountListSection, account.name, "1");
    batch.Set(kAccountInfoSection, FieldKey(account.name, "_Password"), account.password);
    if (account.description) {
        batch.Set(kAccountInfoSection, FieldKey(account.name, "_Desc"), *account.description);
    }
    if (account.enabled) {
        batch.SetInt(kAccountInfoSection, FieldKey(account.name, "_Enabled"), *account.enabled);
    }
}

bool SaveAccount(const AccountRecord& account) {
    ProfileBatch batch;
    AddAccountToBatch(batch,
                      {account.name, account.password, account.description, account.enabled});
    return batch.Commit(kMainFile);
}

bool DeleteAccounts(const std::vector<std::string>& names) {
    ProfileBatch batch;
    for (const std::string& name : names) {
        batch.Remove(kAccountListSection, name);
        for (std::string_view field : {"_Password", "_Desc", "_Enabled"}) {
            batch.Remove(kAccountInfoSection, FieldKey(name, field));
        }
    }
    return batch.Empty() || batch.Commit(kMainFile);
}

bool IsStorableAccountLine(const AccountLine& account) {
    return IsStorableAccountName(account.name) && IsStorableValue(account.password) &&
           (!account.description || IsStorableValue(*account.description));
}

AccountImport::AccountImport() : AccountImport(Options{}) {}

AccountImport::AccountImport(Options options)
    : options_(options), lastCommit_(std::chrono::steady_clock::now()) {}

void AccountImport::Skip(std::size_t lineNumber, SkipReason reason) {
    ++committed_.skipped;
    if (committed_.firstSkipped.size() < kNamedSkippedLines) {
        committed_.firstSkipped.push_back({lineNumber, reason});
    }
}

bool AccountImport::AddLine(std::string_view bytes, std::size_t lineNumber) {
    const std::string text = DecodeAccountLine(bytes);
    std::optional<AccountLine> account = ParseAccountLine(text);
    if (!account) {
        if (!SplitAccountFields(text).empty()) {
            Skip(lineNumber, SkipReason::kNoPassword);
        }
        return true;  // a blank line is no account and no mistake
    }
    if (!IsAcceptableAccountName(account->name)) {
        Skip(lineNumber, SkipReason::kAccountName);
        return true;
    }
    if (!IsStorableAccountLine(*account)) {
        Skip(lineNumber, SkipReason::kValue);
        return true;
    }
    // The file's own rule for "already there": a non-zero list value, or a line of this import.
    const bool known =
        !written_.insert(AsciiLowerCopy(account->name)).second || before_.IsListed(account->name);
    ++(known ? pending_.updated : pending_.added);
    AddAccountToBatch(batch_, *account);
    ++pendingLines_;
    const auto waited = std::chrono::steady_clock::now() - lastCommit_;
    if (pendingLines_ >= options_.maxPendingLines ||
        (waited >= options_.minCommitInterval && waited >= commitCost_)) {
        return Commit();
    }
    return true;
}

bool AccountImport::Finish() {
    return pendingLines_ == 0 || Commit();
}

bool AccountImport::Commit() {
    const auto start = std::chrono::steady_clock::now();
    if (!batch_.Commit(kMainFile)) {
        return false;
    }
    lastCommit_ = std::chrono::steady_clock::now();
    commitCost_ = lastCommit_ - start;
    committed_.added += pending_.added;
    committed_.updated += pending_.updated;
    pending_.added = 0;
    pending_.updated = 0;
    pendingLines_ = 0;
    batch_.Clear();
    ++commits_;
    return true;
}

AccountImportResult ImportAccountFile(QIODevice& file, const std::function<void()>& pump) {
    AccountFileReader reader(file);
    AccountImport import;
    std::string line;
    for (std::size_t count = 1; reader.Next(line); ++count) {
        if (!import.AddLine(line, count)) {
            return {import.Counts(), true};
        }
        if (pump && count % kLinesPerPump == 0) {
            pump();
        }
    }
    const bool stored = import.Finish();
    return {import.Counts(), !stored};
}

std::vector<AccountRecord> ReadAllAccounts() {
    AccountTable table;
    std::vector<AccountRecord> accounts;
    for (std::string& name : table.Names()) {
        accounts.push_back(table.Get(name));
    }
    return accounts;
}

AccountFormCheck CheckAccountForm(std::string_view name, std::string_view password,
                                  std::string_view description, bool enabled) {
    AccountFormCheck check;
    const std::string_view trimmed = TrimBlanks(password);
    if (!IsAcceptableAccountName(name)) {
        check.fault = AccountFormFault::kName;
    } else if (trimmed.empty() || !IsStorableValue(trimmed)) {
        check.fault = AccountFormFault::kPassword;
    } else if (!IsStorableValue(description)) {
        check.fault = AccountFormFault::kDescription;
    } else {
        check.account = {std::string(name), std::string(trimmed), std::string(description),
                         enabled ? 1 : 0};
    }
    return check;
}
