#include "send/delivery.h"

#include <fcntl.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <asio/co_spawn.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "common/ascii.h"
#include "common/mail_address.h"
#include "common/profile_store.h"
#include "core/app_dirs.h"
#include "core/net_ranges.h"
#include "send/on_pool.h"
#include "send/smtp_reply.h"

namespace relvo::mail::send {

namespace {

using Status = RecipientOutcome::Status;

struct Target {
    ClientTarget client;
    bool fromRelay = false;
};

bool Pending(const RecipientOutcome& o) {
    return o.status == Status::kPending || o.status == Status::kTemporary;
}

// Sends to the still pending recipients of indexes through one target; updates outcomes.
asio::awaitable<bool> TryTarget(const Target& target, const DeliveryJob& job,
                                const std::string& payload, const std::vector<size_t>& indexes,
                                std::vector<RecipientOutcome>& outcomes,
                                const SendSettings& settings, const Transcript& transcript) {
    std::vector<size_t> todo;
    for (size_t i : indexes) {
        if (Pending(outcomes[i])) {
            todo.push_back(i);
        }
    }
    if (todo.empty()) {
        co_return true;
    }
    if (IsOwnService(target.client.address, target.client.port, settings.ownPorts)) {
        for (size_t i : todo) {
            outcomes[i] = {Status::kPermanent,
                           "554 5.4.6 the route leads back to this server "
                           "(mail loop)"};
        }
        transcript("The route to " + target.client.address + " leads back to this server");
        co_return true;
    }
    ClientMessage message;
    message.heloName = settings.heloName;
    message.mailFrom = job.mailFrom;
    for (size_t i : todo) {
        message.recipients.push_back(job.recipients[i]);
    }
    message.payload = &payload;
    message.size = job.message->size();
    message.eightBit = !IsAsciiText(*job.message);
    ClientResult result = co_await RunSmtpClient(target.client, message, settings.timeouts,
                                                 transcript, settings.sessions);
    for (size_t k = 0; k < todo.size(); ++k) {
        const RecipientReply& r = result.recipients[k];
        RecipientOutcome& o = outcomes[todo[k]];
        o.text = r.text;
        o.status = r.delivered ? Status::kDelivered
                               : (r.permanent ? Status::kPermanent : Status::kTemporary);
    }
    co_return true;
}

asio::awaitable<std::vector<std::string>> Addresses(const std::string& host,
                                                    const SendSettings& settings,
                                                    asio::thread_pool& blocking,
                                                    const Transcript& transcript,
                                                    std::string* error) {
    DnsSettings dns = settings.dns;
    auto lookup = [&host, &dns] { return LookupAddresses(host, dns); };
    DnsAnswer answer = co_await OnPool(blocking, lookup);
    if (answer.status != DnsAnswer::Status::kOk) {
        *error = "no address for " + host + ": " + answer.error;
        transcript("DNS: " + *error);
        co_return std::vector<std::string>();
    }
    std::string list;
    for (const std::string& a : answer.addresses) {
        list += (list.empty() ? "" : ", ") + a;
    }
    transcript("DNS: " + host + " has address " + list);
    co_return answer.addresses;
}

void SetAll(std::vector<RecipientOutcome>& outcomes, const std::vector<size_t>& indexes,
            Status status, const std::string& text) {
    for (size_t i : indexes) {
        if (Pending(outcomes[i])) {
            outcomes[i] = {status, text};
        }
    }
}

// Direct delivery of one domain's recipients to its mail exchangers.
asio::awaitable<void> DeliverToExchangers(const std::string& domain, const DeliveryJob& job,
                                          const std::string& payload,
                                          const std::vector<size_t>& indexes,
                                          std::vector<RecipientOutcome>& outcomes,
                                          const SendSettings& settings, asio::thread_pool& blocking,
                                          const Transcript& transcript) {
    DnsSettings dns = settings.dns;
    auto lookup = [&domain, &dns] { return LookupMx(domain, dns); };
    DnsAnswer mx = co_await OnPool(blocking, lookup);
    std::vector<MxHost> hosts;
    if (mx.status == DnsAnswer::Status::kNoSuchDomain) {
        transcript("DNS: " + domain + ": no such domain");
        SetAll(outcomes, indexes, Status::kPermanent, "550 5.1.2 no such domain: " + domain);
        co_return;
    }
    if (mx.status == DnsAnswer::Status::kTemporary) {
        transcript("DNS: MX lookup for " + domain + " failed: " + mx.error);
        SetAll(outcomes, indexes, Status::kTemporary, "451 4.4.3 DNS: " + mx.error);
        co_return;
    }
    if (mx.status == DnsAnswer::Status::kNoData) {
        transcript("DNS: " + domain + " has no MX; trying its own address");
        hosts.push_back({0, domain});
    } else {
        std::string list;
        for (const MxHost& h : mx.mx) {
            list += (list.empty() ? "" : ", ") + std::to_string(h.preference) + " " +
                    (h.host.empty() ? "." : h.host);
        }
        transcript("DNS: MX of " + domain + ": " + list);
        if (IsNullMx(mx.mx)) {
            SetAll(outcomes, indexes, Status::kPermanent,
                   "556 5.1.10 " + domain + " accepts no mail (null MX)");
            co_return;
        }
        hosts = mx.mx;
    }
    std::string lastError;
    for (const MxHost& host : hosts) {
        std::string error;
        std::vector<std::string> addresses =
            co_await Addresses(host.host, settings, blocking, transcript, &error);
        if (addresses.empty()) {
            lastError = error;
            continue;
        }
        for (const std::string& address : addresses) {
            Target target;
            target.client.hostName = host.host;
            target.client.address = address;
            target.client.port = settings.exchangerPort;
            co_await TryTarget(target, job, payload, indexes, outcomes, settings, transcript);
            if (std::none_of(indexes.begin(), indexes.end(),
                             [&](size_t i) { return Pending(outcomes[i]); })) {
                co_return;
            }
        }
    }
    if (!lastError.empty()) {
        SetAll(outcomes, indexes, Status::kTemporary, "451 4.4.4 " + lastError);
    }
}

asio::awaitable<void> DeliverToServer(const std::string& server, int port, const DeliveryJob& job,
                                      const std::string& payload,
                                      const std::vector<size_t>& indexes,
                                      std::vector<RecipientOutcome>& outcomes,
                                      const SendSettings& settings, asio::thread_pool& blocking,
                                      const Transcript& transcript) {
    std::string error;
    std::vector<std::string> addresses =
        co_await Addresses(server, settings, blocking, transcript, &error);
    for (const std::string& address : addresses) {
        Target target;
        target.client.hostName = server;
        target.client.address = address;
        target.client.port = port;
        target.client.user = job.loginUser;
        target.client.password = job.loginPass;
        co_await TryTarget(target, job, payload, indexes, outcomes, settings, transcript);
        if (std::none_of(indexes.begin(), indexes.end(),
                         [&](size_t i) { return Pending(outcomes[i]); })) {
            co_return;
        }
    }
    if (addresses.empty()) {
        SetAll(outcomes, indexes, Status::kTemporary, "451 4.4.4 " + error);
    }
}

asio::awaitable<void> DeliverThroughRelays(
    const std::vector<RelayAccount>& relays, const DeliveryJob& job, const std::string& payload,
    const std::vector<size_t>& indexes, std::vector<RecipientOutcome>& outcomes,
    const SendSettings& settings, asio::thread_pool& blocking, const Transcript& transcript) {
    for (const RelayAccount& relay : relays) {
        if (std::none_of(indexes.begin(), indexes.end(),
                         [&](size_t i) { return Pending(outcomes[i]); })) {
            co_return;
        }
        transcript("Trying relay " + relay.mailbox + " (" + relay.server + ":" +
                   std::to_string(relay.port) + ")");
        std::string error;
        std::vector<std::string> addresses =
            co_await Addresses(relay.server, settings, blocking, transcript, &error);
        if (addresses.empty()) {
            SetAll(outcomes, indexes, Status::kTemporary,
                   "451 4.4.4 relay " + relay.mailbox + ": " + error);
            continue;
        }
        for (const std::string& address : addresses) {
            Target target;
            target.client.hostName = relay.server;
            target.client.address = address;
            target.client.port = relay.port;
            target.client.implicitTls = relay.implicitTls;
            target.client.verifyCertificate = settings.relayTlsVerify;
            if (relay.authFlag && !relay.login.empty()) {
                target.client.user = relay.login;
                target.client.password = relay.password;
            }
            target.fromRelay = true;
            co_await TryTarget(target, job, payload, indexes, outcomes, settings, transcript);
        }
    }
}

std::string MaildirName() {
    static std::atomic<unsigned> counter{0};
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    std::string safeHost;
    for (char c : std::string(host)) {
        safeHost += (c == '/' || c == ':') ? '_' : c;
    }
    auto now = std::chrono::system_clock::now().time_since_epoch();
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now).count();
    auto micros = std::chrono::duration_cast<std::chrono::microseconds>(now).count() % 1000000;
    return std::to_string(seconds) + ".M" + std::to_string(micros) + "P" +
           std::to_string(getpid()) + "Q" + std::to_string(++counter) + "." + safeHost;
}

bool MakeDirs(const std::string& path) {
    size_t pos = 1;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        std::string part = path.substr(0, pos);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            return false;
        }
    }
    return true;
}

bool SyncPath(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    bool ok = fsync(fd) == 0;
    close(fd);
    return ok;
}

// A local part or domain usable as one directory name.
bool SafeName(std::string_view name) {
    return !name.empty() && name.size() <= 255 && name != "." && name != ".." &&
           std::none_of(name.begin(), name.end(), [](char c) {
               return c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
           });
}

}  // namespace

bool IsOwnService(const std::string& address, int port, const std::vector<int>& ownPorts) {
    if (std::find(ownPorts.begin(), ownPorts.end(), port) == ownPorts.end()) {
        return false;
    }
    if (address.rfind("127.", 0) == 0 || address == "::1" || address == "0.0.0.0" ||
        address == "::") {
        return true;
    }
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return false;
    }
    bool own = false;
    for (ifaddrs* a = list; a != nullptr && !own; a = a->ifa_next) {
        if (a->ifa_addr == nullptr ||
            (a->ifa_addr->sa_family != AF_INET && a->ifa_addr->sa_family != AF_INET6)) {
            continue;
        }
        char text[NI_MAXHOST] = {};
        socklen_t length =
            a->ifa_addr->sa_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
        if (getnameinfo(a->ifa_addr, length, text, sizeof text, nullptr, 0, NI_NUMERICHOST) == 0) {
            std::string_view found(text);
            found = found.substr(0, found.find('%'));
            own = found == address;
        }
    }
    freeifaddrs(list);
    return own;
}

std::vector<RelayAccount> LoadRelayAccounts(const ProfileSnapshot& config) {
    std::vector<std::string> names;
    config.GetSection("RelayList", &names);
    std::vector<RelayAccount> relays;
    for (const std::string& m : names) {
        RelayAccount r;
        r.mailbox = m;
        r.server = config.GetString("RelayInfo", m + "_SmtpServer", "");
        r.port = config.GetInt("RelayInfo", m + "_SmtpPort", 25);
        r.implicitTls = config.GetInt("RelayInfo", m + "_SSLFlag", 0) != 0;
        // As the relay list shows it: an account without an _Enabled line is not enabled.
        r.enabled = config.GetInt("RelayInfo", m + "_Enabled", 0) != 0;
        r.authFlag = config.GetInt("RelayInfo", m + "_SmtpAuthFlag", 1) != 0;
        r.login = config.GetString("RelayInfo", m + "_LoginAcc", "");
        r.password = config.GetString("RelayInfo", m + "_LoginPwd", "");
        relays.push_back(std::move(r));
    }
    return relays;
}

std::optional<RelayAccount> RelayFromCompanion(const ProfileSnapshot& companion) {
    RelayAccount r;
    r.server = companion.GetString("RelayInfo", "SmtpServer", "");
    if (r.server.empty()) {
        return std::nullopt;
    }
    r.mailbox = companion.GetString("RelayInfo", "Mailbox", "");
    r.port = companion.GetInt("RelayInfo", "SmtpPort", 25);
    r.implicitTls = companion.GetInt("RelayInfo", "SSLFlag", 0) != 0;
    r.enabled = true;
    r.authFlag = companion.GetInt("RelayInfo", "SmtpAuthFlag", 1) != 0;
    r.login = companion.GetString("RelayInfo", "LoginAcc", "");
    r.password = companion.GetString("RelayInfo", "LoginPwd", "");
    return r;
}

bool WriteMaildir(const std::string& mailboxDir, const std::string& recipient,
                  const std::string& mailFrom, const std::string& message, std::string* error) {
    std::string domain = AsciiLowerCopy(MailboxDomain(recipient));
    std::string local(MailboxLocalPart(recipient));
    if (!SafeName(domain) || !SafeName(local)) {
        *error = "550 5.1.3 the mailbox name " + recipient + " cannot be a directory name";
        return false;
    }
    std::string box = mailboxDir + "/" + domain + "/" + local;
    for (const char* sub : {"/tmp", "/new", "/cur"}) {
        if (!MakeDirs(box + sub)) {
            *error = "451 4.3.0 cannot make " + box + sub + ": " + std::strerror(errno);
            return false;
        }
    }
    std::string name = MaildirName();
    std::string tmpPath = box + "/tmp/" + name;
    std::string newPath = box + "/new/" + name;
    int fd = open(tmpPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = "451 4.3.0 cannot write " + tmpPath + ": " + std::strerror(errno);
        return false;
    }
    std::string head = "Return-Path: <" + mailFrom + ">\r\nDelivered-To: " + recipient + "\r\n";
    bool ok = true;
    for (std::string_view part : {std::string_view(head), std::string_view(message)}) {
        while (ok && !part.empty()) {
            ssize_t n = write(fd, part.data(), part.size());
            ok = n > 0;
            if (ok) {
                part.remove_prefix(static_cast<size_t>(n));
            }
        }
    }
    ok = ok && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (ok && rename(tmpPath.c_str(), newPath.c_str()) == 0 && SyncPath(box + "/new") &&
        SyncPath(box + "/tmp")) {
        return true;
    }
    *error = "451 4.3.0 cannot store into " + box + ": " + std::strerror(errno);
    unlink(tmpPath.c_str());
    return false;
}

asio::awaitable<std::vector<RecipientOutcome>> Deliver(const DeliveryJob& job,
                                                       const SendSettings& settings,
                                                       asio::thread_pool& blocking,
                                                       const Transcript& transcript) {
    std::vector<RecipientOutcome> outcomes(job.recipients.size());
    std::string payload = DataPayload(*job.message);
    if (job.onlyRelay) {
        std::vector<size_t> all(job.recipients.size());
        for (size_t i = 0; i < all.size(); ++i) {
            all[i] = i;
        }
        std::vector<RelayAccount> only(1, *job.onlyRelay);
        co_await DeliverThroughRelays(only, job, payload, all, outcomes, settings, blocking,
                                      transcript);
        co_return outcomes;
    }
    std::map<std::string, std::vector<size_t>> byDomain;
    for (size_t i = 0; i < job.recipients.size(); ++i) {
        byDomain[AsciiLowerCopy(MailboxDomain(job.recipients[i]))].push_back(i);
    }
    std::vector<size_t> forRelays;
    size_t groupsLeft = byDomain.size();
    for (const auto& entry : byDomain) {
        // What the previous destination took is recorded before the next one is tried; the
        // last destination's outcome is recorded by the caller.
        if (job.checkpoint && groupsLeft-- < byDomain.size()) {
            co_await job.checkpoint(outcomes);
        }
        const std::string& domain = entry.first;
        const std::vector<size_t>& indexes = entry.second;
        const LocalDomain* local =
            settings.config ? settings.config->FindLocalDomain(domain) : nullptr;
        if (domain.empty()) {
            SetAll(outcomes, indexes, Status::kPermanent, "553 5.1.3 the address has no domain");
        } else if (local != nullptr && !local->HasServer()) {
            for (size_t i : indexes) {
                std::string error;
                std::string rcpt = job.recipients[i];
                auto store = [&settings, &rcpt, &job, &error] {
                    return WriteMaildir(settings.mailboxDir, rcpt, job.mailFrom, *job.message,
                                        &error);
                };
                bool stored = co_await OnPool(blocking, store);
                transcript(stored ? "Stored for " + rcpt + " in the local mailbox"
                                  : "Local mailbox of " + rcpt + ": " + error);
                outcomes[i] = stored
                                  ? RecipientOutcome{Status::kDelivered, "stored in mailbox"}
                                  : RecipientOutcome{error.rfind("5", 0) == 0 ? Status::kPermanent
                                                                              : Status::kTemporary,
                                                     error};
            }
        } else if (local != nullptr) {
            co_await DeliverToServer(local->serverAddress, local->serverPort, job, payload, indexes,
                                     outcomes, settings, blocking, transcript);
        } else {
            co_await DeliverToExchangers(domain, job, payload, indexes, outcomes, settings,
                                         blocking, transcript);
            // Only what could not be handed over goes to the relays; refusals are final.
            for (size_t i : indexes) {
                if (Pending(outcomes[i])) {
                    forRelays.push_back(i);
                }
            }
        }
    }
    std::vector<RelayAccount> enabled;
    for (const RelayAccount& r : settings.relays) {
        if (r.enabled && !r.server.empty()) {
            enabled.push_back(r);
        }
    }
    if (!forRelays.empty() && !enabled.empty()) {
        if (job.checkpoint) {
            co_await job.checkpoint(outcomes);
        }
        transcript("Direct sending failed; trying the relay accounts");
        co_await DeliverThroughRelays(enabled, job, payload, forRelays, outcomes, settings,
                                      blocking, transcript);
    }
    for (RecipientOutcome& o : outcomes) {
        if (o.status == Status::kPending) {
            o = {Status::kTemporary, o.text.empty() ? "451 4.4.1 not handed over" : o.text};
        }
    }
    co_return outcomes;
}

}  // namespace relvo::mail::send

namespace relvo::mail::send {

namespace {
std::mutex knobsMutex;
int exchangerPortKnob = 0;
std::optional<StepTimeouts> timeoutsKnob;
}  // namespace

void SetExchangerPortForTesting(int port) {
    std::lock_guard lock(knobsMutex);
    exchangerPortKnob = port;
}

void SetTimeoutsForTesting(const StepTimeouts& timeouts) {
    std::lock_guard lock(knobsMutex);
    timeoutsKnob = timeouts;
}

SendSettings LoadSendSettings() {
    SendSettings settings;
    settings.config = EngineConfig::Load();
    ProfileSnapshot main(MainConfigPath());
    settings.relays = LoadRelayAccounts(main);
    settings.dns.server = main.GetString("System", "DnsServer", "");
    settings.relayTlsVerify = main.GetInt("System", "RelayTlsVerify", 1) != 0;
    settings.heloName = settings.config->heloString;
    if (settings.heloName.empty()) {
        char host[256] = {};
        gethostname(host, sizeof host - 1);
        settings.heloName = host[0] != '\0' ? host : "localhost";
    }
    for (const char* key : {"SmtpPort", "SmtpPort2nd"}) {
        int port = main.GetInt("System", key, std::string_view(key) == "SmtpPort" ? 25 : 0);
        if (port > 0) {
            settings.ownPorts.push_back(port);
        }
    }
    settings.mailboxDir = MailboxDir();
    std::lock_guard lock(knobsMutex);
    settings.exchangerPort = 25;
    if (const char* env = std::getenv("RELVO_TEST_MX_PORT"); env != nullptr && std::atoi(env) > 0) {
        settings.exchangerPort = std::atoi(env);
    }
    if (exchangerPortKnob > 0) {
        settings.exchangerPort = exchangerPortKnob;
    }
    if (timeoutsKnob) {
        settings.timeouts = *timeoutsKnob;
    }
    return settings;
}

}  // namespace relvo::mail::send
