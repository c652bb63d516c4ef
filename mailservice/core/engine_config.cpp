#include "core/engine_config.h"

#include <mutex>

#include "common/ascii.h"
#include "common/profile_file.h"
#include "common/profile_store.h"
#include "core/app_dirs.h"

namespace relvo::mail {

namespace {

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
        const auto flag = [&file](const SettingInfo& setting) {
            return ReadFlagSetting(file, setting);
        };
        const auto number = [&file](const SettingInfo& setting) {
            return ReadNumberSetting(file, setting);
        };
        const auto text = [&file](const SettingInfo& setting) {
            return ReadTextSetting(file, setting);
        };
        config->smtpAuthRequired = flag(Setting("SmtpAuthFlag"));
        config->logSmtp = flag(Setting("LogSmtp"));
        config->logSmtpDays = number(Setting("LogSmtpDays"));
        config->logSend = flag(Setting("LogSend"));
        config->logSendDays = number(Setting("LogSendDays"));
        config->retriesAfterFailed = number(Setting("RetriesAfterFailed"));
        config->relayTlsVerify = flag(Setting("RelayTlsVerify"));
        config->sendRetrySeconds = number(Setting("SendRetrySeconds"));
        config->listenAddress = text(Setting("SmtpListenAddress"));
        config->tlsCertFile = text(Setting("SmtpTlsCertFile"));
        config->tlsKeyFile = text(Setting("SmtpTlsKeyFile"));
        config->heloString = text(Setting("HELOString"));
        config->proxyFrom =
            ParseIpNetworkList(text(Setting("SmtpProxyFrom")), &config->proxyFromRejected);
        config->dnsServer = text(Setting("DnsServer"));
        config->dmarcPolicy = flag(Setting("DmarcPolicy"));
        config->dmarcReportFrom = text(Setting("DmarcReportFrom"));

        SmtpLimits& limits = config->limits;
        limits.maxMessageSize = static_cast<size_t>(number(Setting("SmtpMaxMessageSize")));
        limits.maxRecipients = static_cast<size_t>(number(Setting("SmtpMaxRecipients")));
        limits.maxErrors = number(Setting("SmtpMaxErrors"));
        limits.maxSessions = number(Setting("SmtpMaxSessions"));
        limits.maxSessionsPerClient = number(Setting("SmtpMaxSessionsPerClient"));
        limits.commandTimeoutSeconds = number(Setting("SmtpCommandTimeout"));
        limits.dataTimeoutSeconds = number(Setting("SmtpDataTimeout"));
        limits.minDataRate = number(Setting("SmtpMinDataRate"));
        limits.authFailLimit = number(Setting("SmtpAuthFailLimit"));
        limits.maxHeaderSize = static_cast<size_t>(number(Setting("SmtpMaxHeaderSize")));
        limits.maxMessagesPerSession = number(Setting("SmtpMaxMessagesPerSession"));
        limits.junkCommandLimit = number(Setting("SmtpJunkCommandLimit"));
        limits.queueMinFreeSpace = static_cast<uint64_t>(number(Setting("QueueMinFreeSpace")));
        config->relayNetworks =
            ParseIpNetworkList(text(Setting("SmtpRelayNetworks")), &config->invalidRelayNetworks);

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
            domain.verifyRecipients = file.GetInt("DomainInfo", name + "_VerifyRecipients", 1) != 0;
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
