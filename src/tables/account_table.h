// Accounts in the main configuration file: `AccountList` holds one `<name>=1` line per account,
// `AccountInfo` its `<name>_Password`, `<name>_Desc` and `<name>_Enabled` lines. Reads look at the
// file once per AccountTable and give values whole (never cut at 1023 characters), so nothing
// read for the form or an export loses the end of a long value. Writes are atomic batches and
// report failure as false. No Qt widgets; one thread per object.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "common/profile_store.h"
#include "tables/account_file.h"

class QIODevice;

namespace profile {
class Document;
}

inline constexpr std::string_view kAccountListSection = "AccountList";
inline constexpr std::string_view kAccountInfoSection = "AccountInfo";

// Names as the file matches them: without regard to ASCII letter case.
bool SameAccountName(std::string_view a, std::string_view b);

// The accounts as the main configuration file held them when the object was made.
class AccountTable {
  public:
    AccountTable();

    // Keys of `AccountList` in file order, trimmed; empty keys are not accounts.
    std::vector<std::string> Names() const;
    // Whether `AccountList` has a non-zero value for the name.
    bool IsListed(std::string_view name) const;
    std::string Password(std::string_view name) const;
    std::string Description(std::string_view name) const;
    // 0 when missing.
    int Enabled(std::string_view name) const;
    AccountRecord Get(std::string_view name) const;

  private:
    std::optional<std::string_view> Value(std::string_view section, std::string_view key) const;

    std::shared_ptr<const profile::Document> document_;  // none: no readable file
};

// The writes that store one imported line: list line and password, then the description and the
// flag when the line has them.
void AddAccountToBatch(ProfileBatch& batch, const AccountLine& account);

// Stores the four keys of an account in one atomic write.
bool SaveAccount(const AccountRecord& account);

// Removes each account's list line and its three info keys, all in one atomic write.
bool DeleteAccounts(const std::vector<std::string>& names);

// Whether every text of a parsed line can be stored unchanged.
bool IsStorableAccountLine(const AccountLine& account);

// Save's rule for account names: an '@' that is neither first nor followed by fewer than two
// characters, and a name the file can hold unchanged.
bool IsAcceptableAccountName(std::string_view name);

// Why an import left a line out.
enum class SkipReason {
    kNoPassword,   // one field only
    kAccountName,  // a name Save would refuse, such as a header line's "Account"
    kValue,        // a value the file cannot hold unchanged
};

struct SkippedLine {
    std::size_t line = 0;  // from 1, as an editor counts them
    SkipReason reason = SkipReason::kAccountName;

    bool operator==(const SkippedLine&) const = default;
};

// How many skipped lines an import names; the rest are only counted.
inline constexpr std::size_t kNamedSkippedLines = 10;

struct AccountImportCounts {
    int added = 0;    // accounts that had no non-zero list entry before their line was stored
    int updated = 0;  // accounts that had one (also from an earlier line of the same import)
    int skipped = 0;  // lines with text that were not imported; blank lines are not counted
    std::vector<SkippedLine> firstSkipped;  // the first kNamedSkippedLines of them
};

// Stores the lines of an account file in batches: each batch is one atomic rewrite, so an import
// that stops keeps every batch committed before. A batch is committed once enough parse time has
// passed since the last commit (at least the time commits take, so a large file is rewritten a
// bounded number of times relative to its parse) or it holds maxPendingLines lines, and at Finish.
class AccountImport {
  public:
    struct Options {
        std::size_t maxPendingLines = 50000;
        std::chrono::milliseconds minCommitInterval{250};
    };

    AccountImport();
    explicit AccountImport(Options options);

    // One line of the file, bytes without their LF, and its number for the skipped lines. False
    // when a commit failed: stop there.
    bool AddLine(std::string_view bytes, std::size_t lineNumber = 0);
    // Commits the lines not yet stored. False when that failed.
    bool Finish();

    // Counts of the lines stored so far (skipped lines count at once).
    const AccountImportCounts& Counts() const { return committed_; }
    std::size_t Commits() const { return commits_; }

  private:
    bool Commit();
    void Skip(std::size_t lineNumber, SkipReason reason);

    Options options_;
    AccountTable before_;
    std::unordered_set<std::string> written_;  // folded names stored or pending in this import
    ProfileBatch batch_;
    std::size_t pendingLines_ = 0;
    AccountImportCounts pending_;
    AccountImportCounts committed_;
    std::size_t commits_ = 0;
    std::chrono::steady_clock::time_point lastCommit_;
    std::chrono::steady_clock::duration commitCost_{};
};

struct AccountImportResult {
    AccountImportCounts counts;
    bool writeFailed = false;  // the configuration file could not be written; counts say how far
};

// Imports every line of an open account file. `pump` runs every few hundred lines so the window
// can repaint during a long import.
AccountImportResult ImportAccountFile(QIODevice& file, const std::function<void()>& pump);

// Every account of the main configuration file in list order, values whole.
std::vector<AccountRecord> ReadAllAccounts();

// The form field Save stops at, if any.
enum class AccountFormFault { kNone, kName, kPassword, kDescription };

struct AccountFormCheck {
    AccountFormFault fault = AccountFormFault::kNone;
    AccountRecord account;  // what Save stores when there is no fault: the password trimmed
};

// Save's rules: the name is acceptable (IsAcceptableAccountName); the password is not empty once
// blanks are trimmed from its ends; no value holds a line break or NUL.
AccountFormCheck CheckAccountForm(std::string_view name, std::string_view password,
                                  std::string_view description, bool enabled);
