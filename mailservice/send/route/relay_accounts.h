// The relay accounts mail may go through when direct sending fails: those of the main
// configuration in RelayList order, or the one a diagnose send's companion names. Reads files
// only; any thread.
#pragma once

#include <optional>
#include <string>
#include <vector>

class ProfileSnapshot;

namespace relvo::mail::send {

struct RelayAccount {
    std::string mailbox;
    std::string server;
    int port = 25;
    bool implicitTls = false;  // _SSLFlag 1
    bool enabled = false;
    bool authFlag = true;  // _SmtpAuthFlag
    std::string login;
    std::string password;
};

// The relay accounts of the main configuration in RelayList order (enabled or not).
std::vector<RelayAccount> LoadRelayAccounts(const ProfileSnapshot& config);
// The RelayInfo section a diagnose send's companion carries; none when it has no server.
std::optional<RelayAccount> RelayFromCompanion(const ProfileSnapshot& companion);

}  // namespace relvo::mail::send
