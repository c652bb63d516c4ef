// The command dispatch (the verb table) and the verbs of the connection: greeting, NOOP, QUIT,
// VRFY, HELP, STARTTLS and AUTH. The mail transaction's verbs are in smtp_session_mail.cpp.
#include "smtp/smtp_session.h"

#include <algorithm>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/ascii.h"
#include "common/base64.h"
#include "core/net_ranges.h"
#include "smtp/command_parser.h"
#include "smtp/sasl.h"
#include "smtp/session_rules.h"

namespace relvo::mail::smtp {
namespace {

constexpr int kMaxAuthFailures = 3;
// An account is shared by its user's devices and addresses: it takes more failures than a client.
constexpr int kAccountFailureFactor = 4;
constexpr std::string_view kAuthBlocked =
    "454 4.7.0 Too many authentication failures, try again later";
constexpr std::string_view kNeedMail = "503 5.5.1 Need MAIL command first";

// How many lines after an AUTH command may carry credentials, whatever its answer: a client
// whose AUTH was refused may send its responses all the same.
int LinesAfterAuth(const Command& command) {
    if (command.verb != Verb::kAuth || command.error != CommandError::kNone) {
        return 2;
    }
    if (AsciiEqualNoCase(command.argument, "PLAIN")) {
        return command.hasInitialResponse ? 0 : 1;
    }
    if (AsciiEqualNoCase(command.argument, "LOGIN")) {
        return command.hasInitialResponse ? 1 : 2;
    }
    return 2;
}

// Commands that move no mail; a session made of them only holds a place.
bool IsJunk(const Command& command) {
    switch (command.verb) {
        case Verb::kNoop:
        case Verb::kRset:
        case Verb::kHelp:
        case Verb::kVrfy:
            return true;
        case Verb::kUnknown:
            return command.error == CommandError::kUnknownVerb;
        default:
            return false;
    }
}

// What a balancer's health check does; anything else is worth a log.
bool HealthCheckVerb(Verb verb) {
    return verb == Verb::kHelo || verb == Verb::kEhlo || verb == Verb::kNoop ||
           verb == Verb::kQuit || verb == Verb::kRset;
}

// The reply to a line that the parser refused.
std::string_view ParseErrorReply(const Command& command) {
    switch (command.error) {
        case CommandError::kNone:
            break;
        case CommandError::kUnknownVerb:
            return "500 5.5.1 Command unrecognized";
        case CommandError::kBadCharacters:
            return "500 5.5.2 Control characters are not allowed in commands";
        case CommandError::kSyntax:
            return "501 5.5.4 Syntax error in parameters or arguments";
        case CommandError::kBadAddress:
            return command.verb == Verb::kMail ? "501 5.1.7 Bad sender address syntax"
                                               : "501 5.1.3 Bad recipient address syntax";
        case CommandError::kUnknownParameter:
            return "555 5.5.4 Parameter not recognized";
        case CommandError::kBadParameterValue:
            return "501 5.5.4 Bad parameter value";
    }
    return {};
}

}  // namespace

// One row per verb: the dialogue states that allow it, the refusal in each other one, and the
// handler.
struct SmtpSession::VerbRule {
    struct Refusal {
        StateSet states;
        std::string_view reply;
    };

    Verb verb;
    StateSet allowed;
    Refusal refusals[2];
    // Outside a transaction the configuration is read again before anything else.
    bool freshConfig;
    void (SmtpSession::*handler)(const Command&);

    constexpr std::string_view RefusalIn(SessionState state) const {
        return refusals[0].states.Has(state) ? refusals[0].reply : refusals[1].reply;
    }
    constexpr bool CoversDialogue() const {
        return (allowed | refusals[0].states | refusals[1].states).Covers(kDialogue);
    }
};

const SmtpSession::VerbRule* SmtpSession::RuleFor(Verb verb) {
    using S = SessionState;
    static constexpr VerbRule kRules[] = {
        {Verb::kHelo, kDialogue, {}, false, &SmtpSession::OnHelo},
        {Verb::kEhlo, kDialogue, {}, false, &SmtpSession::OnEhlo},
        {Verb::kMail,
         {S::kHelo},
         {{{S::kGreeting}, "503 5.5.1 Send HELO or EHLO first"},
          {{S::kMail, S::kRcpt}, "503 5.5.1 Nested MAIL command"}},
         true,
         &SmtpSession::OnMail},
        {Verb::kRcpt,
         {S::kMail, S::kRcpt},
         {{{S::kGreeting, S::kHelo}, kNeedMail}},
         false,
         &SmtpSession::OnRcpt},
        {Verb::kData,
         {S::kRcpt},
         {{{S::kGreeting, S::kHelo}, kNeedMail}, {{S::kMail}, "554 5.5.1 No valid recipients"}},
         false,
         &SmtpSession::OnData},
        {Verb::kRset, kDialogue, {}, false, &SmtpSession::OnRset},
        {Verb::kNoop, kDialogue, {}, false, &SmtpSession::OnNoop},
        {Verb::kQuit, kDialogue, {}, false, &SmtpSession::OnQuit},
        {Verb::kVrfy, kDialogue, {}, false, &SmtpSession::OnVrfy},
        {Verb::kHelp, kDialogue, {}, false, &SmtpSession::OnHelp},
        {Verb::kStartTls, kDialogue, {}, false, &SmtpSession::OnStartTls},
        // Its refusal in a transaction comes after those for no EHLO and for a second AUTH, so
        // OnAuth makes it.
        {Verb::kAuth,
         {S::kHelo, S::kMail, S::kRcpt},
         {{{S::kGreeting}, "503 5.5.1 Send EHLO first"}},
         false,
         &SmtpSession::OnAuth},
    };
    static_assert(std::all_of(std::begin(kRules), std::end(kRules),
                              [](const VerbRule& rule) { return rule.CoversDialogue(); }));
    for (const VerbRule& rule : kRules) {
        if (rule.verb == verb) {
            return &rule;
        }
    }
    return nullptr;
}

void SmtpSession::HandleCommand(std::string_view line) {
    Command command = ParseCommand(line);
    if (quiet_ && !HealthCheckVerb(command.verb)) {
        quiet_ = false;
        LogLine("Client/", "connected (the balancer's own connection: no client address)");
    }
    LogCommand(command, line);
    if (OverJunkLimit(command)) {
        return;
    }
    if (command.error != CommandError::kNone) {
        ReplyError(ParseErrorReply(command));
        return;
    }
    const VerbRule* rule = RuleFor(command.verb);
    if (rule == nullptr) {
        return;  // the parser refuses unknown verbs
    }
    if (rule->freshConfig && !kTransaction.Has(state_)) {
        // Accounts, domains and limits may have changed since the last message.
        config_ = EngineConfig::Load();
    }
    if (!rule->allowed.Has(state_)) {
        ReplyError(rule->RefusalIn(state_));
        return;
    }
    (this->*rule->handler)(command);
}

bool SmtpSession::OverJunkLimit(const Command& command) {
    if (!IsJunk(command) || ++junkCommands_ <= JunkCommandLimit()) {
        return false;
    }
    ReplyAndClose("421 4.7.0 " + host_.Settings().hostName +
                  " Too many commands that move no mail, closing connection");
    return true;
}

void SmtpSession::LogCommand(const Command& command, std::string_view line) {
    const bool authVerb = AsciiStartsNoCase(line, "AUTH") && (line.size() == 4 || line[4] == ' ');
    if (authVerb) {
        maskedLines_ = LinesAfterAuth(command);
    }
    if (command.verb == Verb::kAuth && command.error == CommandError::kNone) {
        LogLine("Client/", std::string("AUTH ") + std::string(command.argument) +
                               (command.hasInitialResponse ? " ****" : ""));
    } else if (authVerb) {
        LogLine("Client/", "AUTH ****");  // however malformed, it may carry a credential
    } else if (maskedLines_ > 0) {
        --maskedLines_;
        LogLine("Client/", "****");
    } else if (command.error == CommandError::kBadCharacters) {
        // Control characters would forge or garble lines of the log and the console's pane.
        std::string shown(line);
        for (char& c : shown) {
            c = (static_cast<unsigned char>(c) < 32 || c == 127) ? '?' : c;
        }
        LogLine("Client/", shown);
    } else {
        LogLine("Client/", line);
    }
}

void SmtpSession::OnHelo(const Command& command) {
    Greeted(command.argument, false);
    Reply("250 " + host_.Settings().hostName);
}

void SmtpSession::OnEhlo(const Command& command) {
    Greeted(command.argument, true);
    ReplyEhlo(command.argument);
}

void SmtpSession::Greeted(std::string_view heloName, bool esmtp) {
    EndTransaction();
    heloName_.assign(heloName);
    esmtp_ = esmtp;
    SetState(SessionState::kHelo);
}

void SmtpSession::ReplyEhlo(std::string_view heloName) {
    const ServerSettings& settings = host_.Settings();
    std::vector<std::string> lines = {
        settings.hostName + " Hello " + std::string(heloName),
        "PIPELINING",
        "SIZE " + std::to_string(config_->limits.maxMessageSize),
        "8BITMIME",
        "SMTPUTF8",
        "ENHANCEDSTATUSCODES",
    };
    if (settings.tls && !tlsActive_) {
        lines.push_back("STARTTLS");
    }
    if (AuthOffered()) {
        lines.push_back("AUTH PLAIN LOGIN");
    }
    lines.push_back("HELP");
    for (size_t i = 0; i < lines.size(); ++i) {
        Reply((i + 1 < lines.size() ? "250-" : "250 ") + lines[i]);
    }
}

void SmtpSession::OnNoop(const Command&) {
    Reply("250 2.0.0 Ok");
}

void SmtpSession::OnQuit(const Command&) {
    host_.ReleaseClientSlot(this);
    ReplyAndClose("221 2.0.0 " + host_.Settings().hostName + " Bye");
}

void SmtpSession::OnVrfy(const Command&) {
    Reply("252 2.5.0 Cannot VRFY user, but will accept message and attempt delivery");
}

void SmtpSession::OnHelp(const Command&) {
    Reply(
        "214 2.0.0 Commands: HELO EHLO MAIL RCPT DATA RSET NOOP QUIT VRFY HELP STARTTLS "
        "AUTH");
}

void SmtpSession::OnStartTls(const Command&) {
    if (!host_.Settings().tls) {
        ReplyError("502 5.5.1 STARTTLS not available");
    } else if (tlsActive_) {
        ReplyError("503 5.5.1 TLS already active");
    } else {
        Reply("220 2.0.0 Ready to start TLS");
        SetState(SessionState::kStartTls);
    }
}

void SmtpSession::OnAuth(const Command& command) {
    const std::string mechanism = AsciiUpperCopy(command.argument);
    if (!esmtp_) {
        ReplyError("503 5.5.1 Send EHLO first");
    } else if (!authUser_.empty()) {
        ReplyError("503 5.5.1 Already authenticated");
    } else if (kTransaction.Has(state_)) {
        ReplyError("503 5.5.1 AUTH not allowed during a mail transaction");
    } else if (!AuthOffered()) {
        ReplyError("538 5.7.11 Encryption required for requested authentication mechanism");
    } else if (mechanism != "PLAIN" && mechanism != "LOGIN") {
        ReplyError("504 5.5.4 Unrecognized authentication type");
    } else if (host_.AuthBlocked(clientIp_)) {
        ReplyError(kAuthBlocked);
    } else {
        bool plain = mechanism == "PLAIN";
        SetState(plain ? SessionState::kAuthPlain : SessionState::kAuthUser);
        if (command.hasInitialResponse) {
            HandleAuthResponse(command.initialResponse);
        } else {
            Reply(plain ? "334 " : "334 VXNlcm5hbWU6");
        }
    }
}

void SmtpSession::HandleAuthResponse(std::string_view line) {
    SessionState step = state_;
    SetState(SessionState::kHelo);
    if (line == "*") {
        ReplyError("501 5.7.0 Authentication cancelled");
        return;
    }
    std::optional<std::string> decoded = line == "=" ? std::string() : DecodeBase64(line);
    if (!decoded) {
        ReplyError("501 5.5.2 Cannot decode the response");
        return;
    }
    if (step == SessionState::kAuthPlain) {
        if (std::optional<PlainCredentials> credentials = ParsePlainMessage(*decoded)) {
            FinishAuth(credentials->user, credentials->password);
        } else {
            FinishAuth("", "");
        }
    } else if (step == SessionState::kAuthUser) {
        loginUser_ = std::move(*decoded);
        SetState(SessionState::kAuthPassword);
        Reply("334 UGFzc3dvcmQ6");
    } else if (step == SessionState::kAuthPassword) {
        FinishAuth(loginUser_, *decoded);
        loginUser_.clear();
    }
}

void SmtpSession::FinishAuth(std::string_view user, std::string_view password) {
    // Another session of this client may have started the block meanwhile. A name's block is
    // answered alike, and kept for names that are no account too: nothing tells which exist.
    if (host_.AuthBlocked(clientIp_) || host_.AccountAuthBlocked(user)) {
        ReplyError(kAuthBlocked);
        return;
    }
    config_ = EngineConfig::Load();
    const AccountEntry* account = Authenticate(*config_, user, password);
    if (account == nullptr) {
        const int limit = config_->limits.authFailLimit;
        if (host_.RecordAuthFailure(clientIp_, limit)) {
            LogLine("Server/", "AUTH refused for 15 minutes: " + std::to_string(limit) +
                                   " failures from " + ClientKey(clientIp_));
        }
        // Guessing one account's password from many addresses.
        const int accountLimit = limit * kAccountFailureFactor;
        if (host_.RecordAccountAuthFailure(user, accountLimit)) {
            // An unknown name may be a password typed in the wrong field: not logged.
            const AccountEntry* named = config_->FindAccount(user);
            LogLine("Server/", "AUTH for " +
                                   (named != nullptr ? "account " + named->name
                                                     : std::string("a name that is no account")) +
                                   " refused for 15 minutes: " + std::to_string(accountLimit) +
                                   " failures from any address");
        }
        SetState(SessionState::kAuthFailed);
        return;
    }
    authUser_ = account->name;
    Reply("235 2.7.0 Authentication successful");
}

asio::awaitable<void> SmtpSession::AuthFailed() {
    // The delay slows guessing down; the connection's replies so far go out first.
    SetState(SessionState::kHelo);
    if (!out_.empty() && !co_await Flush()) {
        co_return;
    }
    delayTimer_.expires_after(host_.Settings().authFailureDelay);
    asio::error_code ec;
    co_await delayTimer_.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    if (stopping_) {
        co_return;
    }
    ReplyError("535 5.7.8 Authentication credentials invalid");
    if (++authFailures_ >= kMaxAuthFailures && state_ != SessionState::kClosing) {
        ReplyAndClose("421 4.7.0 Too many authentication failures, closing connection");
    }
}

}  // namespace relvo::mail::smtp
