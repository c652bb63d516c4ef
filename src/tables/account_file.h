// Account files: one account per line, quoted fields separated by comma, space and tab, as Export
// writes them; Import reads them as users write them too (quotes optional, a quoted field keeps
// its commas, blanks around fields ignored, empty fields keep their place, at least two fields).
// Pure text rules plus the line reader and the atomic writer; failures come back as values, never
// as exceptions. Any thread may call, one file per object.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

class QIODevice;
class QString;

struct AccountRecord {
    std::string name;
    std::string password;
    std::string description;
    int enabled = 0;

    bool operator==(const AccountRecord&) const = default;
};

// The fields of one import line. Missing third or fourth fields leave the stored values alone.
struct AccountLine {
    std::string name;
    std::string password;
    std::optional<std::string> description;
    std::optional<int> enabled;  // 1 or 0
};

// Windows-1252 bytes as UTF-8; the five bytes that code page leaves undefined become the C1
// controls of the same value, as Windows converts them.
std::string Windows1252ToUtf8(std::string_view bytes);

// The text of one line of an account file: the bytes unchanged when they are UTF-8, otherwise
// read as Windows-1252 (files exported on Windows are in that code page).
std::string DecodeAccountLine(std::string_view bytes);

// The fields of a decoded line, split at commas outside double quotes, blanks (space, tab, CR)
// around each field ignored. A field that begins with a quote runs to the quote followed by only
// blanks and a comma or the line's end; inside it two quotes stand for one, and a lone quote is
// kept. An empty field keeps its place. No fields for a blank line.
std::vector<std::string> SplitAccountFields(std::string_view text);

// The account of a decoded line; none when it has fewer than two fields. The fourth field gives 1
// when the number at its start is above 0.
std::optional<AccountLine> ParseAccountLine(std::string_view text);

// "N",<sp><tab>"P",<sp><tab>"D",<sp><tab>"F" and CR LF; quotes inside a value are doubled, so every
// value comes back as it was.
std::string FormatAccountLine(const AccountRecord& account);

// Whether a name can be a key of the account sections and come back unchanged: not empty, no
// control character, no '=', no blank at either end, not starting with ';' or '['.
bool IsStorableAccountName(std::string_view name);

// Lines of an open account file, of any length, without their LF; a UTF-8 byte order mark at the
// start of the file is skipped.
class AccountFileReader {
  public:
    explicit AccountFileReader(QIODevice& device) : device_(device) {}
    // False at the end of the file (or on a read error).
    bool Next(std::string& line);

  private:
    QIODevice& device_;
    bool first_ = true;
};

struct AccountFileResult {
    bool ok = false;
    std::string error;  // why the file could not be written, for the user (UTF-8)
};

// Writes every account's line to the path through a temporary file renamed over it only once all
// bytes are on disk, so a failure leaves any earlier file as it was. The file is readable and
// writable by its owner only.
AccountFileResult WriteAccountFile(const QString& path, const std::vector<AccountRecord>& accounts);
