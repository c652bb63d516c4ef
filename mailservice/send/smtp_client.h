// One SMTP client conversation over Asio: connect, greeting, EHLO (HELO when refused), TLS
// (from the first byte, or STARTTLS when offered), AUTH, MAIL, RCPT for each recipient, DATA,
// QUIT. Every step has a deadline; every command and reply goes to the transcript, AUTH masked.
#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace relvo::mail::send {

// Receives the lines of a conversation (without time stamp).
using Transcript = std::function<void(std::string_view line)>;

struct StepTimeouts {
    std::chrono::milliseconds connect{30000};
    std::chrono::milliseconds reply{120000};    // greeting and each command's reply
    std::chrono::milliseconds dataEnd{300000};  // the reply after the final "."
};

struct ClientTarget {
    std::string hostName;  // for the log, SNI and the certificate check
    std::string address;   // IP address to connect to
    int port = 25;
    bool implicitTls = false;  // TLS from the first byte
    bool verifyCertificate = false;
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
    std::string reason;  // when it ended before kDone
    std::vector<RecipientReply> recipients;
    // True when the mail was not handed over for a reason that another route may not share:
    // no connection, a temporary failure, a refusal at the greeting, HELO, TLS, AUTH or MAIL.
    bool HandoverFailed() const { return stage < Stage::kRcpt; }
};

// Connections left open after a delivered mail, for the next mail to the same destination
// (same address, port, TLS and login). Only for conversations that all run on one I/O thread.
struct SessionCache {
    std::chrono::milliseconds idleTime{5000};  // an idle connection is closed after this
    size_t maxIdle = 64;
    std::mutex mutex;
    std::multimap<std::string,
                  std::pair<std::chrono::steady_clock::time_point, std::shared_ptr<void>>>
        idle;
};

// cache: null, or where a connection is taken from and given back to.
asio::awaitable<ClientResult> RunSmtpClient(const ClientTarget& target,
                                            const ClientMessage& message,
                                            const StepTimeouts& timeouts,
                                            const Transcript& transcript,
                                            SessionCache* cache = nullptr);

// Whether a password may go to this peer over an unencrypted connection.
bool PlainPasswordAllowed(std::string_view address);

}  // namespace relvo::mail::send
