#include "core/engine_config.h"

#include <algorithm>
#include <mutex>

#include "common/ascii.h"
#include "common/profile_file.h"
#include "common/profile_store.h"
#include "core/app_dirs.h"

namespace relvo::mail {

namespace {

// A limit from the file: absent, zero or negative gives the default, anything else is held to
// the range so that a typing slip cannot disable a limit or starve the server.
int BoundedInt(const ProfileSnapshot& file, std::string_view key, int defaultValue, int minimum,
               int maximum) {
    int value = file.GetInt("System", key, defaultValue);
    if (value <= 0) {
        return defaultValue;
    }
    return std::clamp(value, minimum, maximum);
}

struct CacheEntry {
    std::string path;
    std::shared_ptr<const profile::Document> document;  // kept so that its address stays unique
    std::shared_ptr<const EngineConfig> config;
};

std::mutex cacheMutex;
CacheEntry cache;

}  // namespace

class EngineConfigReader {
  public:
    static std::shared_ptr<const EngineConfig> Read(const std::string& path) {
        const ProfileSnapshot file(path);
        auto config = std::make_shared<EngineConfig>();
        config->smtpAuthRequired = file.GetInt("System", "SmtpAuthFlag", 1) != 0;
        config->logSmtp = file.GetInt("System", "LogSmtp", 1) != 0;
        config->logSmtpDays = file.GetInt("System", "LogSmtpDays", 7);
        config->logSend = file.GetInt("System", "LogSend", 1) != 0;
        config->logSendDays = file.GetInt("System", "LogSendDays", 7);
        config->retriesAfterFailed = file.GetInt("System", "RetriesAfterFailed", 1);
        config->listenAddress = file.GetString("System", "SmtpListenAddress", "");
        config->tlsCertFile = file.GetString("System", "SmtpTlsCertFile", "");
        config->tlsKeyFile = file.GetString("System", "SmtpTlsKeyFile", "");
        config->heloString = file.GetString("System", "HELOString", "");
        config->proxyFrom = ParseIpNetworkList(file.GetString("System", "SmtpProxyFrom", ""),
                                               &config->proxyFromRejected);
        config->dnsServer = file.GetString("System", "DnsServer", "");

        SmtpLimits& limits = config->limits;
        limits.maxMessageSize = static_cast<size_t>(BoundedInt(
            file, "SmtpMaxMessageSize", static_cast<int>(limits.maxMessageSize), 1024, 0x7FFFFFFF));
        limits.maxRecipients = static_cast<size_t>(BoundedInt(
            file, "SmtpMaxRecipients", static_cast<int>(limits.maxRecipients), 1, 10000));
        limits.maxErrors = BoundedInt(file, "SmtpMaxErrors", limits.maxErrors, 1, 1000);
        limits.maxSessions = BoundedInt(file, "SmtpMaxSessions", limits.maxSessions, 1, 10000);
        limits.maxSessionsPerClient =
            BoundedInt(file, "SmtpMaxSessionsPerClient", limits.maxSessionsPerClient, 1, 10000);
        limits.commandTimeoutSeconds =
            BoundedInt(file, "SmtpCommandTimeout", limits.commandTimeoutSeconds, 5, 3600);
        limits.dataTimeoutSeconds =
            BoundedInt(file, "SmtpDataTimeout", limits.dataTimeoutSeconds, 5, 3600);
        limits.minDataRate = BoundedInt(file, "SmtpMinDataRate", limits.minDataRate, 1, 1048576);
        limits.authFailLimit = BoundedInt(file, "SmtpAuthFailLimit", limits.authFailLimit, 1, 1000);
        config->relayNetworks = ParseIpNetworkList(
            file.GetString("System", "SmtpRelayNetworks", ""), &config->invalidRelayNetworks);

        std::vector<std::string> names;
        file.GetSection("AccountList", &names);
        config->accounts_.reserve(names.size());
        for (auto& name : names) {
            std::string lower = AsciiLowerCopy(name);
            // The first line of a name wins, as in every lookup of the file.
            if (config->accountIndex_.count(lower) != 0) {
                continue;
            }
            AccountEntry entry;
            entry.password = file.GetString("AccountInfo", name + "_Password", "");
            entry.enabled = file.GetInt("AccountInfo", name + "_Enabled", 0) != 0;
            entry.name = std::move(name);
            config->accountIndex_.emplace(std::move(lower), config->accounts_.size());
            config->accounts_.push_back(std::move(entry));
        }

        names.clear();
        file.GetSection("DomainList", &names);
        config->domains_.reserve(names.size());
        for (auto& name : names) {
            std::string lower = AsciiLowerCopy(name);
            if (config->domainIndex_.count(lower) != 0) {
                continue;
            }
            LocalDomain domain;
            domain.serverAddress = file.GetString("DomainInfo", name + "_ServerAddress", "");
            domain.serverPort = file.GetInt("DomainInfo", name + "_Port", 25);
            domain.dkimSelector = file.GetString("DomainInfo", name + "_DkimSelector", "");
            domain.name = std::move(name);
            config->domainIndex_.emplace(std::move(lower), config->domains_.size());
            config->domains_.push_back(std::move(domain));
        }
        return config;
    }
};

std::shared_ptr<const EngineConfig> EngineConfig::Load() {
    return LoadFrom(MainConfigPath());
}

std::shared_ptr<const EngineConfig> EngineConfig::LoadFrom(const std::string& path) {
    // The store keeps one parsed document per file while the file is unchanged, so the same
    // document means the same configuration.
    auto document = profile::LoadDocument(path).document;
    {
        std::lock_guard lock(cacheMutex);
        if (cache.config && document && cache.document == document && cache.path == path) {
            return cache.config;
        }
    }
    auto config = EngineConfigReader::Read(path);
    std::lock_guard lock(cacheMutex);
    cache = CacheEntry{path, std::move(document), config};
    return config;
}

const AccountEntry* EngineConfig::FindAccount(std::string_view name) const {
    auto found = accountIndex_.find(AsciiLowerCopy(name));
    return found == accountIndex_.end() ? nullptr : &accounts_[found->second];
}

const LocalDomain* EngineConfig::FindLocalDomain(std::string_view domain) const {
    auto found = domainIndex_.find(AsciiLowerCopy(domain));
    return found == domainIndex_.end() ? nullptr : &domains_[found->second];
}

}  // namespace relvo::mail
