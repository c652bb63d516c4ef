// What one send needs from the configuration: the routing's settings (local domains, relay
// accounts, DNS server, ports) and the transport's (greeting name, step time limits, kept
// connections). Read afresh for every try, so a changed configuration counts from the next one.
#pragma once

#include <string>

#include "send/route/routing.h"
#include "send/transport/smtp_client.h"

namespace relvo::mail::send {

struct SendSettings : RouteSettings {
    std::string heloName;
    StepTimeouts timeouts;
    SessionCache* sessions = nullptr;  // connections kept between mails; null: none kept
};

// The settings of a send from the current configuration: the engine view, the relay accounts,
// DnsServer, RelayTlsVerify, the greeting name and this machine's SMTP ports.
SendSettings LoadSendSettings();

// Process-wide testing knobs: the mail exchangers' port (0 = 25, or RELVO_TEST_MX_PORT) and the
// step time limits.
void SetExchangerPortForTesting(int port);
void SetTimeoutsForTesting(const StepTimeouts& timeouts);

}  // namespace relvo::mail::send
