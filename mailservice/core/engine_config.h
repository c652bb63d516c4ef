// One immutable view of the main configuration file (System keys, accounts, local domains) as the
// engine uses it. Load is cheap when the file has not changed: the last view is returned again.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/ip_network.h"
#include "common/settings_table.h"

namespace relvo::mail {

struct AccountEntry {
    std::string name;
    std::string password;
    bool enabled = false;
};

struct LocalDomain {
    std::string name;
    std::string serverAddress;
    int serverPort = 25;
    std::string dkimSelector;  // <name>_DkimSelector, "" = the domain does not sign
    // <name>_VerifyRecipients: a recipient is asked of the server before RCPT is answered.
    bool verifyRecipients = true;
    bool HasServer() const { return !serverAddress.empty(); }
};

// Limits of the receiving service; each comes from a System key (common/settings_table.h).
struct SmtpLimits {
    size_t maxCommandLine = 512;  // RFC 5321 command line, CRLF included
    size_t maxTextLine = 1000;    // RFC 5321 text line, CRLF included
    size_t maxMessageSize = SettingDefault("SmtpMaxMessageSize");  // bytes, the SIZE extension
    size_t maxRecipients = SettingDefault("SmtpMaxRecipients");
    int maxErrors = SettingDefault("SmtpMaxErrors");
    int maxSessions = SettingDefault("SmtpMaxSessions");
    int maxSessionsPerClient = SettingDefault("SmtpMaxSessionsPerClient");
    int commandTimeoutSeconds = SettingDefault("SmtpCommandTimeout");
    int dataTimeoutSeconds = SettingDefault("SmtpDataTimeout");  // longest wait for more DATA
    int minDataRate = SettingDefault("SmtpMinDataRate");  // bytes/s over DATA, after its first 30 s
    int authFailLimit = SettingDefault("SmtpAuthFailLimit");     // per client within 15 minutes
    size_t maxHeaderSize = SettingDefault("SmtpMaxHeaderSize");  // bytes of one header section
    int maxMessagesPerSession = SettingDefault("SmtpMaxMessagesPerSession");
    int junkCommandLimit = SettingDefault("SmtpJunkCommandLimit");  // NOOP, RSET, ... per session
    // QueueMinFreeSpace: bytes the queue's file system keeps free; 0 = 1.5 x maxMessageSize.
    uint64_t queueMinFreeSpace = 0;
    uint64_t QueueMinFree() const {
        return queueMinFreeSpace != 0 ? queueMinFreeSpace
                                      : static_cast<uint64_t>(maxMessageSize) * 3 / 2;
    }
};

class EngineConfig {
  public:
    // Reads MainConfigPath(); a missing file gives every default.
    static std::shared_ptr<const EngineConfig> Load();
    // Reads the given file (tests, tools).
    static std::shared_ptr<const EngineConfig> LoadFrom(const std::string& path);

    bool smtpAuthRequired = SettingDefault("SmtpAuthFlag") != 0;
    bool logSmtp = SettingDefault("LogSmtp") != 0;
    int logSmtpDays = SettingDefault("LogSmtpDays");
    bool logSend = SettingDefault("LogSend") != 0;
    int logSendDays = SettingDefault("LogSendDays");
    int retriesAfterFailed = SettingDefault("RetriesAfterFailed");
    bool relayTlsVerify = SettingDefault("RelayTlsVerify") != 0;
    int sendRetrySeconds = SettingDefault("SendRetrySeconds");  // first retry; later ones double
    std::string listenAddress;  // SmtpListenAddress, "" = all addresses
    std::string tlsCertFile;    // SmtpTlsCertFile, "" = self-signed one under the app dir
    std::string tlsKeyFile;     // SmtpTlsKeyFile
    std::string heloString;     // HELOString, "" = host name
    // SmtpProxyFrom: balancers whose connections begin with a PROXY header; empty = none.
    std::vector<IpNetwork> proxyFrom;
    std::vector<std::string> proxyFromRejected;  // its entries that are no address or network
    std::string dnsServer;                       // DnsServer, "" = the system's resolvers
    bool dmarcPolicy = SettingDefault("DmarcPolicy") != 0;  // act on a failed sender's policy
    std::string dmarcReportFrom;  // DmarcReportFrom, "" = no aggregate reports
    SmtpLimits limits;
    // SmtpRelayNetworks: besides loopback, who may relay without AUTH when SmtpAuthFlag is 0.
    std::vector<IpNetwork> relayNetworks;
    std::vector<std::string> invalidRelayNetworks;  // entries skipped, for the start-up line

    // Case-insensitive (ASCII), as the file's names are; null when absent.
    const AccountEntry* FindAccount(std::string_view name) const;
    const LocalDomain* FindLocalDomain(std::string_view domain) const;

    const std::vector<AccountEntry>& Accounts() const { return accounts_; }
    const std::vector<LocalDomain>& LocalDomains() const { return domains_; }

  private:
    std::vector<AccountEntry> accounts_;
    std::vector<LocalDomain> domains_;
    std::unordered_map<std::string, size_t> accountIndex_;  // lower-case name -> index
    std::unordered_map<std::string, size_t> domainIndex_;
    friend class EngineConfigReader;
};

}  // namespace relvo::mail
