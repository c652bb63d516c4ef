#include "send/send_settings.h"

#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <optional>
#include <string_view>

#include "common/profile_store.h"
#include "common/settings_table.h"
#include "core/app_dirs.h"

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
    settings.dns.server = settings.config->dnsServer;
    settings.relayTlsVerify = settings.config->relayTlsVerify;
    settings.heloName = settings.config->heloString;
    if (settings.heloName.empty()) {
        char host[256] = {};
        gethostname(host, sizeof host - 1);
        settings.heloName = host[0] != '\0' ? host : "localhost";
    }
    for (const SettingInfo* key : {&Setting("SmtpPort"), &Setting("SmtpPort2nd")}) {
        int port = ReadNumberSetting(main, *key);
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
