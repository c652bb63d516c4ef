#include "send/route/relay_accounts.h"

#include "common/profile_store.h"

namespace relvo::mail::send {

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

}  // namespace relvo::mail::send
