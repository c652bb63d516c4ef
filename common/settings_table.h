// Every key of section System of the main configuration file, once: its kind, default, range,
// how a stored value is taken, and what it means. The console's settings sheet, its field rules,
// the engine's configuration view and the README's key table all read it, so they cannot drift
// apart. Standard library only; constexpr, so a key named in code is checked when it compiles.
#pragma once

#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <string_view>

class ProfileSnapshot;

namespace relvo {

inline constexpr const char* kSystemSection = "System";

enum class SettingKind {
    Flag,         // 0 off, anything else on; the sheet writes 0 or 1
    Number,       // a whole number, stored as signed decimal text
    HostName,     // free text naming a host
    Address,      // one IPv4 or IPv6 address
    AddressList,  // comma-separated addresses and CIDR networks
    DnsServer,    // "address[:port]"
    FilePath,     // the full path of a file
    Mailbox,      // an address, or `Name <address>`
};

// How a number stored in the file becomes the value in use.
enum class FileRule {
    AsWritten,       // taken as it is; its reader says what 0 or a negative means
    LimitOrDefault,  // absent, 0 or negative: the default; other values held to the range
    HeldToRange,     // every value held to the range, 0 and negatives included
};

// Who edits and documents the key: the console's keys of its first three pages, or the engine's
// own keys (the Advanced page and the README's table).
enum class SettingOwner { Console, Engine };

struct SettingInfo {
    const char* key;
    SettingOwner owner;
    SettingKind kind;
    const char* description;  // one line; the README's "Meaning" for the engine's keys
    int defaultValue = 0;     // a flag's or a number's; texts default to empty
    int minimum = 0;          // a number's range, when maximum > 0
    int maximum = 0;
    FileRule rule = FileRule::AsWritten;
    // The settings sheet shows and writes this where the key is absent, when it differs from
    // the default the services use.
    std::optional<int> sheetDefault = std::nullopt;
    const char* quantity = nullptr;    // how the sheet's hint for a number starts
    const char* zeroMeans = nullptr;   // a range from 0 whose 0 is special ("no second port")
    const char* emptyMeans = nullptr;  // what an empty text stands for
    const char* section = kSystemSection;

    constexpr bool HasRange() const { return maximum > 0; }
    constexpr bool IsText() const {
        return kind != SettingKind::Flag && kind != SettingKind::Number;
    }
    constexpr int SheetDefault() const { return sheetDefault.value_or(defaultValue); }
};

inline constexpr SettingInfo kSettings[] = {
    // The console's keys, in the order of its pages (General, SMTP, SEND).
    {.key = "AutoRun",
     .owner = SettingOwner::Console,
     .kind = SettingKind::Flag,
     .description = "start the console with the desktop session, through an entry in the "
                    "autostart folder"},
    {.key = "AutoMinimize",
     .owner = SettingOwner::Console,
     .kind = SettingKind::Flag,
     .description = "hide the main window to the tray when it is first shown"},
    {.key = "AutoStartSmtpService",
     .owner = SettingOwner::Console,
     .kind = SettingKind::Flag,
     .description = "start the SMTP service when the main window opens (relvoserver always does)",
     .defaultValue = 1},
    {.key = "AutoStartSendService",
     .owner = SettingOwner::Console,
     .kind = SettingKind::Flag,
     .description = "start the SEND service when the main window opens, and in relvoserver",
     .defaultValue = 1},
    {.key = "LogSmtp",
     .owner = SettingOwner::Console,
     .kind = SettingKind::Flag,
     .description = "keep the SMTP log",
     .defaultValue = 1},
    {.key = "LogSmtpDays",
     .owner = SettingOwner::Console,
     .kind = SettingKind::Number,
     .description = "days of SMTP log kept, today's included (below 1: today's only)",
     .defaultValue = 7},
    {.key = "SmtpAuthFlag",
     .owner = SettingOwner::Console,
     .kind = SettingKind::Flag,
     .description = "1: only AUTH lets a client relay; 0: loopback and `SmtpRelayNetworks` relay "
                    "without AUTH",
     .defaultValue = 1},
    // A port outside the range is taken as written and refused when the service starts.
    {.key = "SmtpPort",
     .owner = SettingOwner::Console,
     .kind = SettingKind::Number,
     .description = "TCP port of the SMTP service",
     .defaultValue = 25,
     .minimum = 1,
     .maximum = 65535,
     .quantity = "A port"},
    {.key = "SmtpPort2nd",
     .owner = SettingOwner::Console,
     .kind = SettingKind::Number,
     .description = "a second port of the SMTP service; below 1: none",
     .defaultValue = 0,
     .minimum = 0,
     .maximum = 65535,
     .quantity = "A port",
     .zeroMeans = "no second port"},
    {.key = "LogSend",
     .owner = SettingOwner::Console,
     .kind = SettingKind::Flag,
     .description = "keep the SEND log",
     .defaultValue = 1},
    {.key = "LogSendDays",
     .owner = SettingOwner::Console,
     .kind = SettingKind::Number,
     .description = "days of SEND log and of finished mail in `old/` kept (below 1: today's only)",
     .defaultValue = 7},
    {.key = "RetriesAfterFailed",
     .owner = SettingOwner::Console,
     .kind = SettingKind::Number,
     .description =
         "times a temporary failure is retried before the sender is told (below 0: none)",
     .defaultValue = 1},
    // Both defaults are in force: the SEND service starts with 5 threads where the key is absent,
    // while the sheet offers 10 and writes the 10 the operator saw. The service holds the count
    // to the range at its start, with a line saying so.
    {.key = "SendMailThread",
     .owner = SettingOwner::Console,
     .kind = SettingKind::Number,
     .description = "deliveries of the SEND service in flight at once",
     .defaultValue = 5,
     .minimum = 1,
     .maximum = 1024,
     .rule = FileRule::HeldToRange,
     .sheetDefault = 10,
     .quantity = "The sending threads"},
    {.key = "HELOString",
     .owner = SettingOwner::Console,
     .kind = SettingKind::HostName,
     .description = "the name the SEND service gives in its greeting to other servers",
     .emptyMeans = "the machine's host name"},

    // The engine's own keys, in the order of the Advanced page and the README.
    {.key = "SmtpListenAddress",
     .owner = SettingOwner::Engine,
     .kind = SettingKind::Address,
     .description = "the one address the SMTP service listens on",
     .emptyMeans = "every IPv4 and IPv6 address"},
    {.key = "SmtpTlsCertFile",
     .owner = SettingOwner::Engine,
     .kind = SettingKind::FilePath,
     .description = "PEM certificate (chain) for STARTTLS (TLS 1.2 with ECDHE and AES-GCM or "
                    "ChaCha20-Poly1305 only, or TLS 1.3; the server's order)",
     .emptyMeans = "a self-signed certificate kept in the application directory, naming "
                   "`HELOString` and the machine's host name, valid 397 days, made again at a "
                   "start when it has expired or the names changed (a configured one is never "
                   "replaced)"},
    {.key = "SmtpTlsKeyFile",
     .owner = SettingOwner::Engine,
     .kind = SettingKind::FilePath,
     .description = "PEM private key of that certificate"},
    {.key = "SmtpMaxMessageSize",
     .owner = SettingOwner::Engine,
     .kind = SettingKind::Number,
     .description = "largest message in bytes (the SIZE extension)",
     .defaultValue = 52428800,
     .minimum = 1024,
     .maximum = 2147483647,
     .rule = FileRule::LimitOrDefault,
     .quantity = "A message size in bytes"},
    {.key = "SmtpMaxRecipients",
     .owner = SettingOwner::Engine,
     .kind = SettingKind::Number,
     .description = "recipients per message",
     .defaultValue = 100,
     .minimum = 1,
     .maximum = 10000,
     .rule = FileRule::LimitOrDefault,
     .quantity = "The recipients per message"},
    {.key = "SmtpMaxErrors",
     .owner = SettingOwner::Engine,
     .kind = SettingKind::Number,
     .description = "errors in one session before it is closed",
     .defaultValue = 10,
     .minimum = 1,
     .maximum = 1000,
     .rule = FileRule::LimitOrDefault,
     .quantity = "The errors per session"},
    {.key = "SmtpMaxSessions",
     .owner = SettingOwner::Engine,
     .kind = SettingKind::Number,
     .description = "sessions at once",
     .defaultValue = 200,
     .minimum = 1,
     .maximum = 10000,
     .rule = FileRule::LimitOrDefault,
     .quantity = "The sessions at once"},
    {.key = "SmtpMaxSessionsPerClient",
     .owner = SettingOwner::Engine,
     .kind = SettingKind::Number,
     .description = "sessions at once from one client: an IPv4 address, or an IPv6 /64 (loopback "
                    "has no such limit; a session no longer counts once it has answered QUIT)",
     .defaultValue = 20,
     .minimum = 1,
     .maximum = 10000,
     .rule = FileRule::LimitOrDefault,
     .quantity = "The sessions per client"},
    {.key = "SmtpMaxHeaderSize",
     .owner = SettingOwner::Engine,
     .kind = SettingKind::Number,
     .description = "bytes of a message's header section, relayed or local; a larger one is "
                    "refused `552 5.3.4` with nothing queued",
     .defaultValue = 102400,
     .minimum = 4096,
     .maximum = 1048576,
     .rule = FileRule::LimitOrDefault,
     .quantity = "A header section size in bytes"},
    {.key = "SmtpMaxMessagesPerSession",
     .owner = SettingOwner::Engine,
     .kind = SettingKind::Number,
     .description = "messages one session may send; the next MAIL is answered `421 4.7.0` and "
                    "the session closed",
     .defaultValue = 100,
     .minimum = 1,
     .maximum = 100000,
     .rule = FileRule::LimitOrDefault,
     .quantity = "The messages per session"},
    {.key = "SmtpJunkCommandLimit",
     .owner = SettingOwner::Engine,
     .kind = SettingKind::Number,
     .description = "NOOP, RSET, HELP, VRFY, EXPN and unknown commands one session may give "
                    "before it is answered `421 4.7.0` and closed (10 while more than 80% of "
                    "`SmtpMaxSessions` are in use)",
     .defaultValue = 100,
     .minimum = 1,
     .maximum = 100000,
     .rule = FileRule::LimitOrDefault,
     .quantity = "The junk commands per session"},
    {.key = "SmtpCommandTimeout",
     .owner = SettingOwner::Engine,
     .kind = SettingKind::Number,
     .description = "seconds a command line may take from its first byte to its end, and seconds "
                    "to wait for that first byte; then `421 4.4.2`",
     .defaultValue = 300,
     .minimum = 5,
     .maximum = 3600,
     .rule = FileRule::LimitOrDefault,
     .quantity = "A command timeout in seconds"},
    {.key = "SmtpDataTimeout",
     .owner = SettingOwner::Engine,
     .kind = SettingKind::Number,
     .description = "seconds the message text may pause with no byte at all",
     .defaultValue = 600,
     .minimum = 5,
     .maximum = 3600,
     .rule = FileRule::LimitOrDefault,
     .quantity = "A data timeout in seconds"},
    {.key = "SmtpMinDataRate",
     .owner = SettingOwner::Engine,
     .kind = SettingKind::Number,
     .description = "bytes per second the message text must keep on average once DATA has run "
                    "30 seconds; a slower client gets `421 4.4.2`",
     .defaultValue = 1024,
     .minimum = 1,
     .maximum = 1048576,
     .rule = FileRule::LimitOrDefault,
     .quantity = "The least data rate in bytes per second"},
    {.key = "SmtpAuthFailLimit",
     .owner = SettingOwner::Engine,
     .kind = SettingKind::Number,
     .description = "failed AUTH from one client (IPv4 address or IPv6 /64) within 15 minutes of "
                    "its first counted failure, over all its sessions and both ports, before its "
                    "AUTH is answered `454 4.7.0` for 15 minutes",
     .defaultValue = 5,
     .minimum = 1,
     .maximum = 1000,
     .rule = FileRule::LimitOrDefault,
     .quantity = "The failed logins per client"},
    {.key = "QueueMinFreeSpace",
     .owner = SettingOwner::Engine,
     .kind = SettingKind::Number,
     .description = "bytes the queue's file system must have free before MAIL is answered, else "
                    "`452 4.3.1`; receiving resumes by itself when space returns. 0: one and a "
                    "half times `SmtpMaxMessageSize`",
     .defaultValue = 0,
     .minimum = 0,
     .maximum = 2147483647,
     .rule = FileRule::HeldToRange,
     .quantity = "A free space in bytes",
     .zeroMeans = "1.5 times the largest message"},
    {.key = "SmtpRelayNetworks",
     .owner = SettingOwner::Engine,
     .kind = SettingKind::AddressList,
     .description = "with `SmtpAuthFlag` 0, the networks besides loopback that may relay without "
                    "AUTH: comma-separated CIDR, IPv4 and IPv6 (`192.0.2.0/24, 2001:db8::/48`; a "
                    "bare address is one host); an entry that is no network is skipped, with one "
                    "line at start"},
    {.key = "SmtpProxyFrom",
     .owner = SettingOwner::Engine,
     .kind = SettingKind::AddressList,
     .description = "comma-separated addresses and CIDR networks of TCP balancers (`192.0.2.10, "
                    "10.0.0.0/8, 2001:db8::/32`); a connection from one of them must begin with a "
                    "PROXY header (text or binary) within 5 s, and the client it names is the "
                    "client for everything. See \"Several servers\"",
     .emptyMeans = "no balancer"},
    {.key = "DnsServer",
     .owner = SettingOwner::Engine,
     .kind = SettingKind::DnsServer,
     .description = "\"address\", \"address:port\" or \"[IPv6 address]:port\" of the DNS server "
                    "the SEND service asks for MX and address records, the SMTP service for the "
                    "DKIM keys and SPF records of received mail, and the DKIM window for the "
                    "published key",
     .emptyMeans = "the servers of `/etc/resolv.conf`"},
    {.key = "RelayTlsVerify",
     .owner = SettingOwner::Engine,
     .kind = SettingKind::Flag,
     .description = "1: a relay account or a local domain's server outside loopback and private "
                    "networks gets no login and no mail unless STARTTLS (or TLS from the first "
                    "byte) brings a certificate trusted for its host name; the recipient waits "
                    "with the reason. 0: a relay's certificate is not checked (a lab relay with a "
                    "self-signed certificate)",
     .defaultValue = 1},
    {.key = "DmarcPolicy",
     .owner = SettingOwner::Engine,
     .kind = SettingKind::Flag,
     .description = "1: mail for a local domain whose From domain's DMARC policy it fails is "
                    "refused (`p=reject`) or put in the Junk folder (`p=quarantine`); 0: the "
                    "results are only recorded. Mail of authenticated, loopback and "
                    "`SmtpRelayNetworks` clients is not evaluated",
     .defaultValue = 1},
    {.key = "DmarcReportFrom",
     .owner = SettingOwner::Engine,
     .kind = SettingKind::Mailbox,
     .description = "the sender of the daily DMARC aggregate reports to the domains that ask for "
                    "them (`Example Org <dmarc@example.org>` or an address)",
     .emptyMeans = "no reports"},
    {.key = "SendRetrySeconds",
     .owner = SettingOwner::Engine,
     .kind = SettingKind::Number,
     .description = "seconds before the first retry of a temporary failure; each further retry "
                    "waits twice as long (at most 7 days)",
     .defaultValue = 600,
     .minimum = 1,
     .maximum = 604800,
     .rule = FileRule::LimitOrDefault,
     .quantity = "The first retry interval in seconds"},
};

constexpr std::span<const SettingInfo> AllSettings() {
    return kSettings;
}

// The index in the table of a key of section System (ASCII case-insensitive, as the file's keys
// are); the table's size when none. An index rather than a pointer: compilers that check pointers
// at run time (the sanitizers) cannot compare one with null in a constant expression.
constexpr std::size_t FindSettingIndex(std::string_view key) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    for (std::size_t index = 0; index < std::size(kSettings); ++index) {
        const std::string_view name = kSettings[index].key;
        bool same = name.size() == key.size();
        for (std::size_t i = 0; same && i < name.size(); ++i) {
            same = lower(name[i]) == lower(key[i]);
        }
        if (same) {
            return index;
        }
    }
    return std::size(kSettings);
}

// The key of section System; null when none.
constexpr const SettingInfo* FindSetting(std::string_view key) {
    const std::size_t index = FindSettingIndex(key);
    return index < std::size(kSettings) ? &kSettings[index] : nullptr;
}

// A key named in code: a name not in the table does not compile.
consteval const SettingInfo& Setting(std::string_view key) {
    const std::size_t index = FindSettingIndex(key);
    if (index >= std::size(kSettings)) {
        throw "no such setting";
    }
    return kSettings[index];
}

consteval int SettingDefault(std::string_view key) {
    return Setting(key).defaultValue;
}

// The value in use for a number or flag as stored (the default when the key is absent or holds
// no number), by the key's rule.
int NumberInUse(const SettingInfo& setting, int stored);

// The value in use of a number or flag key of the file.
int ReadNumberSetting(const ProfileSnapshot& file, const SettingInfo& setting);
bool ReadFlagSetting(const ProfileSnapshot& file, const SettingInfo& setting);
// A text key as stored, empty when absent.
std::string ReadTextSetting(const ProfileSnapshot& file, const SettingInfo& setting);

}  // namespace relvo
