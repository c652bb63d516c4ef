// One SMTP client conversation over Asio: connect, greeting, EHLO (HELO when refused), TLS
// (from the first byte, or STARTTLS when offered), AUTH, MAIL, RCPT for each recipient, DATA,
// QUIT. Every step has a deadline; every command and reply goes to the transcript, AUTH masked.
#pragma once

#include <asio/awaitable.hpp>
#include <chrono>
#include <string>
#include <vector>

#include "send/transcript.h"
#include "send/transport/session_cache.h"

namespace relvo::mail::send {

struct StepTimeouts {
    std::chrono::milliseconds connect{30000};
    std::chrono::milliseconds reply{120000};    // greeting and each command's reply
    std::chrono::milliseconds dataEnd{300000};  // the reply after the final "."
    // A whole try of one recipient group, over all its hosts and addresses: one slow domain must
    // not hold a sending slot for hours.
    std::chrono::milliseconds attempt{600000};
    // When the running try ends; no step waits past it.
    std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
};

struct ClientTarget {
    std::string hostName;  // for the log, SNI and the certificate check
    std::string address;   // IP address to connect to
    int port = 25;
    bool implicitTls = false;  // TLS from the first byte
    bool verifyCertificate = false;
    // A relay account or a local domain's server with RelayTlsVerify: outside loopback and
    // private networks it gets neither login nor mail without a verified TLS session.
    bool requireTls = false;
    // Opportunistic TLS failed in its handshake with this peer: this try goes without STARTTLS.
    bool withoutStartTls = false;
    std::string user;  // "" = no AUTH
    std::string password;
};

struct ClientMessage {
    std::string heloName;
    std::string mailFrom;                  // "" = null reverse path
    std::vector<std::string> recipients;   // at least one
    const std::string* payload = nullptr;  // DataPayload() of the message
    size_t size = 0;                       // bytes of the message
    bool eightBit = false;
};

enum class Stage { kConnect, kGreeting, kHelo, kTls, kAuth, kMail, kRcpt, kData, kDone };

struct RecipientReply {
    int code = 0;      // the RCPT reply, or the reply after DATA for accepted recipients
    std::string text;  // the reply's summary, or why no reply came
    bool delivered = false;
    bool permanent = false;  // a final refusal (5xx to RCPT or after DATA)
};

struct ClientResult {
    Stage stage = Stage::kConnect;  // where it ended; kDone after the DATA reply
    bool connected = false;
    std::string reason;               // when it ended before kDone
    bool tlsHandshakeFailed = false;  // STARTTLS was taken but its handshake did not complete
    std::vector<RecipientReply> recipients;
    // True when the mail was not handed over for a reason that another route may not share:
    // no connection, a temporary failure, a refusal at the greeting, HELO, TLS, AUTH or MAIL.
    bool HandoverFailed() const { return stage < Stage::kRcpt; }
};

// cache: null, or where a connection is taken from and given back to.
asio::awaitable<ClientResult> RunSmtpClient(const ClientTarget& target,
                                            const ClientMessage& message,
                                            const StepTimeouts& timeouts,
                                            const Transcript& transcript,
                                            SessionCache* cache = nullptr);

}  // namespace relvo::mail::send
