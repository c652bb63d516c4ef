#include "smtp/smtp_session.h"

#include <algorithm>
#include <asio/co_spawn.hpp>
#include <asio/post.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <cstring>
#include <exception>
#include <optional>
#include <utility>

#include "common/ascii.h"
#include "common/mail_address.h"
#include "core/net_ranges.h"
#include "core/on_pool.h"
#include "smtp/command_parser.h"
#include "smtp/sasl.h"
#include "smtp/session_rules.h"

namespace relvo::mail::smtp {
namespace {

constexpr size_t kInputBufferSize = 64 * 1024;
constexpr int kMaxAuthFailures = 3;
// Message text goes to the queue's file in pieces of about this size.
constexpr size_t kSpillSize = 64 * 1024;
constexpr size_t kMaxPendingReplies = 64 * 1024;
constexpr auto kShutdownWriteTimeout = std::chrono::seconds(1);
// DATA may start slowly (a client composing, a slow first hop); the minimum rate counts after it.
constexpr auto kDataRateGrace = std::chrono::seconds(30);

// Completes a queue store on the session's strand: the coroutine resumes there once the message
// and its companion are on disk (or the store failed).
template <typename Token>
auto AsyncStore(QueueStore& queue, Envelope envelope, std::string header, SpoolPtr spool,
                std::string body, Token&& token) {
    return asio::async_initiate<Token, void(bool, uint32_t, std::string)>(
        [&queue](auto handler, Envelope envelope, std::string header, SpoolPtr spool,
                 std::string body) {
            auto shared = std::make_shared<decltype(handler)>(std::move(handler));
            queue.Store(std::move(envelope), std::move(header), std::move(spool), std::move(body),
                        [shared](bool ok, uint32_t id, const std::string& error) {
                            auto executor = asio::get_associated_executor(*shared);
                            asio::post(executor, [shared, ok, id, error]() mutable {
                                (*shared)(ok, id, error);
                            });
                        });
        },
        token, std::move(envelope), std::move(header), std::move(spool), std::move(body));
}

// Completes a spool write on the session's strand, handing the buffer back.
template <typename Token>
auto AsyncAppend(QueueStore& queue, SpoolPtr spool, std::string text, size_t length,
                 Token&& token) {
    return asio::async_initiate<Token, void(bool, std::string, std::string)>(
        [&queue](auto handler, SpoolPtr spool, std::string text, size_t length) {
            auto shared = std::make_shared<decltype(handler)>(std::move(handler));
            queue.Append(std::move(spool), std::move(text), length,
                         [shared](bool ok, std::string text, const std::string& error) {
                             auto executor = asio::get_associated_executor(*shared);
                             asio::post(executor,
                                        [shared, ok, text = std::move(text), error]() mutable {
                                            (*shared)(ok, std::move(text), error);
                                        });
                         });
        },
        token, std::move(spool), std::move(text), length);
}

constexpr std::string_view kAuthBlocked =
    "454 4.7.0 Too many authentication failures, try again later";
constexpr std::string_view kNeedMail = "503 5.5.1 Need MAIL command first";
constexpr std::string_view kNeedSmtpUtf8 =
    "553 5.6.7 Non-ASCII addresses need the SMTPUTF8 parameter";
constexpr std::string_view kLocalProblem =
    "451 4.3.0 Error: local problem storing the message, try again later";

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

SmtpSession::SmtpSession(SessionHost& host, asio::ip::tcp::socket socket,
                         const asio::ip::tcp::endpoint& client,
                         std::shared_ptr<const EngineConfig> config)
    : host_(host),
      socket_(std::move(socket)),
      timer_(socket_.get_executor()),
      delayTimer_(socket_.get_executor()),
      config_(std::move(config)),
      inCapacity_(std::max(kInputBufferSize,
                           2 * (config_->limits.maxCommandLine + config_->limits.maxTextLine))),
      reader_(config_->limits.maxMessageSize) {
    in_.reset(new char[inCapacity_]);
    asio::ip::address address = client.address();
    if (address.is_v6() && address.to_v6().is_v4_mapped()) {
        address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
    }
    clientIp_ = address.to_string();
    peer_ = address.is_v6() ? "[" + clientIp_ + "]:" + std::to_string(client.port())
                            : clientIp_ + ":" + std::to_string(client.port());
    clientIsLocal_ = IsLoopbackOrPrivate(clientIp_);
    asio::error_code ec;
    socket_.set_option(asio::ip::tcp::no_delay(true), ec);
}

void SmtpSession::Start(Admission admission) {
    registered_ = admission == Admission::kAdmitted;
    asio::co_spawn(socket_.get_executor(), Run(shared_from_this(), admission),
                   [self = shared_from_this()](std::exception_ptr error) {
                       if (error) {
                           self->EndAfterException(error);
                       }
                   });
}

void SmtpSession::EndAfterException(std::exception_ptr error) {
    // Only resource exhaustion gets here; the session goes, the service stays.
    std::string what = "unknown error";
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& exception) {
        what = exception.what();
    } catch (...) {
    }
    LogLine("Server/", "session ended by an internal error: " + what);
    DropMessage();
    DisarmTimer();
    asio::error_code ec;
    socket_.close(ec);
    Unregister();
}

void SmtpSession::Unregister() {
    if (registered_) {
        registered_ = false;
        host_.Unregister(this);
    }
}

void SmtpSession::Shutdown() {
    asio::post(socket_.get_executor(), [self = shared_from_this()] {
        self->stopping_ = true;
        self->delayTimer_.cancel();
        // A session waiting for its store must still answer 250; it sees the flag afterwards.
        if (self->state_ != SessionState::kQueueing) {
            self->CancelIo();
        }
    });
}

void SmtpSession::ForceClose() {
    asio::post(socket_.get_executor(), [self = shared_from_this()] {
        self->stopping_ = true;
        self->SetState(SessionState::kClosing);
        self->delayTimer_.cancel();
        asio::error_code ec;
        self->socket_.close(ec);
    });
}

void SmtpSession::CancelIo() {
    asio::error_code ec;
    socket_.cancel(ec);
}

void SmtpSession::ArmTimer(std::chrono::steady_clock::duration timeout) {
    unsigned generation = ++timerGeneration_;
    timer_.expires_after(timeout);
    timer_.async_wait([self = shared_from_this(), generation](asio::error_code ec) {
        if (!ec && generation == self->timerGeneration_) {
            self->timedOut_ = true;
            self->CancelIo();
        }
    });
}

void SmtpSession::ArmTimerUntil(std::chrono::steady_clock::time_point deadline) {
    ArmTimer(deadline - std::chrono::steady_clock::now());
}

// A command line must be complete within SmtpCommandTimeout of its first byte, and the wait for
// that byte is as long. DATA may pause at most SmtpDataTimeout, and after its first 30 s must
// keep SmtpMinDataRate on average.
std::chrono::steady_clock::time_point SmtpSession::ReadDeadline(
    std::chrono::steady_clock::time_point now) const {
    const SmtpLimits& limits = config_->limits;
    if (state_ == SessionState::kData) {
        auto earned = std::chrono::milliseconds(
            dataBytes_ * 1000 / static_cast<uint64_t>(std::max(1, limits.minDataRate)));
        auto byRate =
            dataStartedAt_ + std::max<std::chrono::steady_clock::duration>(kDataRateGrace, earned);
        return std::min(now + std::chrono::seconds(limits.dataTimeoutSeconds), byRate);
    }
    const bool lineUnderWay = inEnd_ > inStart_ || discardingLine_;
    return (lineUnderWay ? lineStartedAt_ : now) +
           std::chrono::seconds(limits.commandTimeoutSeconds);
}

void SmtpSession::DisarmTimer() {
    ++timerGeneration_;
    timer_.cancel();
}

void SmtpSession::SetState(SessionState next) {
    // Closing is final: nothing said or finished afterwards reopens the conversation.
    if (state_ != SessionState::kClosing) {
        state_ = next;
    }
}

void SmtpSession::LogLine(std::string_view marker, std::string_view text) {
    logLine_.assign(marker);
    logLine_.append(peer_);
    logLine_.push_back(' ');
    logLine_.append(text);
    host_.Log().Line(logLine_);
}

void SmtpSession::Reply(std::string_view line) {
    out_.append(line);
    out_.append("\r\n");
    LogLine("Server/", line);
}

void SmtpSession::ReplyError(std::string_view line) {
    Reply(line);
    if (++errors_ >= config_->limits.maxErrors && state_ != SessionState::kClosing) {
        ReplyAndClose("421 4.7.0 Too many errors, closing connection");
    }
}

void SmtpSession::ReplyAndClose(std::string_view line) {
    Reply(line);
    SetState(SessionState::kClosing);
}

void SmtpSession::ResetTransaction() {
    mailFrom_.clear();
    recipients_.clear();
    DropMessage();
    if (kTransaction.Has(state_)) {
        SetState(SessionState::kHelo);
    }
}

asio::awaitable<void> SmtpSession::Run(std::shared_ptr<SmtpSession> self, Admission admission) {
    Greet(admission);
    co_await Converse();
    co_await SayWhyItEnds();
    CloseConnection();
    (void)self;
}

void SmtpSession::Greet(Admission admission) {
    const std::string& host = host_.Settings().hostName;
    LogLine("Client/", "connected");
    if (admission != Admission::kAdmitted) {
        ReplyAndClose(admission == Admission::kTooManySessions
                          ? "421 4.3.2 " + host + " Too many connections, try again later"
                          : "421 4.7.0 " + host + " Too many connections from your address");
    } else if (stopping_) {
        ReplyAndClose("421 4.3.2 " + host + " Service shutting down");
    } else {
        Reply("220 " + host + " ESMTP Relvo SMTP Server ready");
    }
}

asio::awaitable<void> SmtpSession::Converse() {
    while (true) {
        bool backlog = ProcessInput();
        if (state_ == SessionState::kData && reader_.Paused()) {
            co_await SpillData();
            continue;
        }
        if (state_ == SessionState::kQueueing) {
            co_await StoreMessage();
            continue;
        }
        if (state_ == SessionState::kAuthFailed) {
            co_await AuthFailed();
            continue;
        }
        if (state_ == SessionState::kStartTls) {
            if (co_await StartTls()) {
                continue;
            }
            co_return;
        }
        if (stopping_ && state_ != SessionState::kClosing) {
            ReplyAndClose("421 4.3.2 " + host_.Settings().hostName + " Service shutting down");
        }
        if (!out_.empty() && !co_await Flush()) {
            co_return;
        }
        if (state_ == SessionState::kClosing) {
            co_return;
        }
        if (!backlog && !co_await ReadMore()) {
            co_return;
        }
    }
}

asio::awaitable<void> SmtpSession::SayWhyItEnds() {
    if (timedOut_ || (stopping_ && state_ != SessionState::kClosing)) {
        // The connection still works: say why it ends.
        const std::string& host = host_.Settings().hostName;
        out_.clear();
        Reply(timedOut_ ? "421 4.4.2 " + host + " Error: timeout exceeded"
                        : "421 4.3.2 " + host + " Service shutting down");
        timedOut_ = false;
        co_await Flush();
    }
}

void SmtpSession::CloseConnection() {
    DropMessage();
    DisarmTimer();
    delayTimer_.cancel();
    asio::error_code ec;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
    socket_.close(ec);
    LogLine("Client/", "disconnected");
    Unregister();
}

asio::awaitable<bool> SmtpSession::ReadMore() {
    if (inStart_ == inEnd_) {
        inStart_ = inEnd_ = 0;
    } else if (inStart_ > 0) {
        std::memmove(in_.get(), in_.get() + inStart_, inEnd_ - inStart_);
        inEnd_ -= inStart_;
        inStart_ = 0;
    }
    const bool lineUnderWay = inEnd_ > inStart_ || discardingLine_;
    ArmTimerUntil(ReadDeadline(std::chrono::steady_clock::now()));
    asio::error_code ec;
    asio::mutable_buffer space(in_.get() + inEnd_, inCapacity_ - inEnd_);
    size_t n =
        tls_ ? co_await tls_->async_read_some(space, asio::redirect_error(asio::use_awaitable, ec))
             : co_await socket_.async_read_some(space,
                                                asio::redirect_error(asio::use_awaitable, ec));
    DisarmTimer();
    inEnd_ += n;
    lastReadAt_ = std::chrono::steady_clock::now();
    if (state_ == SessionState::kData) {
        dataBytes_ += n;
    } else if (!lineUnderWay) {
        lineStartedAt_ = lastReadAt_;
    }
    if (ec && n == 0) {
        if (!timedOut_ && !stopping_) {
            SetState(SessionState::kClosing);  // the client went away; nothing to say
        }
        co_return false;
    }
    co_return true;
}

asio::awaitable<bool> SmtpSession::Flush() {
    ArmTimer(stopping_ ? std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                             kShutdownWriteTimeout)
                       : std::chrono::seconds(config_->limits.commandTimeoutSeconds));
    asio::error_code ec;
    if (tls_) {
        co_await asio::async_write(*tls_, asio::buffer(out_),
                                   asio::redirect_error(asio::use_awaitable, ec));
    } else {
        co_await asio::async_write(socket_, asio::buffer(out_),
                                   asio::redirect_error(asio::use_awaitable, ec));
    }
    DisarmTimer();
    out_.clear();
    if (ec) {
        SetState(SessionState::kClosing);
        timedOut_ = false;
        co_return false;
    }
    co_return true;
}

size_t SmtpSession::LineLimit(std::string_view pending) const {
    // AUTH exchanges carry base64 and may be longer than other commands (RFC 4954 4).
    const SmtpLimits& limits = config_->limits;
    if (kAuthExchange.Has(state_) || AsciiStartsNoCase(pending, "AUTH ")) {
        return std::max(limits.maxTextLine, limits.maxCommandLine);
    }
    return limits.maxCommandLine;
}

bool SmtpSession::ProcessInput() {
    while (kReadingInput.Has(state_) && inStart_ < inEnd_) {
        if (out_.size() >= kMaxPendingReplies) {
            return true;  // a client that pipelines without reading gets its replies first
        }
        std::string_view pending(in_.get() + inStart_, inEnd_ - inStart_);
        if (state_ == SessionState::kData && reader_.Paused()) {
            break;  // the buffered text goes to disk first
        }
        if (state_ == SessionState::kData) {
            FeedData(pending);
        } else if (discardingLine_ ? !SkipDiscardedLine(pending) : !TakeLine(pending)) {
            break;
        }
    }
    return false;
}

void SmtpSession::FeedData(std::string_view pending) {
    inStart_ += reader_.Feed(pending);
    if (reader_.error() != DataReader::Error::kNone) {
        DropMessage();  // refused: nothing more is stored or shown
    } else if (observed_) {
        ObserveData();
    }
    if (reader_.Done()) {
        LineCompleted();
        FinishData();
    }
}

void SmtpSession::ObserveData() {
    if (!observed_->Scan(reader_.Body())) {
        reader_.Stop();
        dataRefusal_ = "552 5.3.4 Message refused: a header field is too long";
        observed_.reset();
    }
}

// The rest of a line refused as too long; false while its end has not come yet.
bool SmtpSession::SkipDiscardedLine(std::string_view pending) {
    const void* lf = std::memchr(pending.data(), '\n', pending.size());
    if (lf == nullptr) {
        inStart_ = inEnd_;
        return false;
    }
    inStart_ += static_cast<size_t>(static_cast<const char*>(lf) - pending.data()) + 1;
    discardingLine_ = false;
    LineCompleted();
    return true;
}

// Handles the next line of pending; false while it is incomplete.
bool SmtpSession::TakeLine(std::string_view pending) {
    size_t endLength = 0;
    size_t length = FindLineEnd(pending, &endLength);
    size_t limit = LineLimit(pending);
    if (length == std::string_view::npos) {
        if (pending.size() >= limit) {
            // Too long already: drop the rest of it as it arrives.
            RefuseLine("500 5.5.2 Line too long");
            discardingLine_ = true;
            inStart_ = inEnd_;
        }
        return false;
    }
    std::string_view line = pending.substr(0, length);
    inStart_ += length + endLength;
    LineCompleted();
    if (length + endLength > limit) {
        RefuseLine("500 5.5.2 Line too long");
    } else if (endLength != 2) {
        RefuseLine("500 5.5.2 Lines must end with CRLF");
    } else {
        HandleLine(line);
    }
    return true;
}

void SmtpSession::RefuseLine(std::string_view reply) {
    // A line refused for its form also ends an AUTH exchange under way.
    if (kAuthExchange.Has(state_)) {
        SetState(SessionState::kHelo);
    }
    ReplyError(reply);
}

void SmtpSession::HandleLine(std::string_view line) {
    if (kAuthExchange.Has(state_)) {
        LogLine("Client/", "****");
        HandleAuthResponse(line);
    } else {
        HandleCommand(line);
    }
}

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
    LogCommand(command, line);
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

void SmtpSession::LogCommand(const Command& command, std::string_view line) {
    // A client whose AUTH was refused may still send its credentials as the next line.
    const bool authVerb = AsciiStartsNoCase(line, "AUTH") && (line.size() == 4 || line[4] == ' ');
    const bool afterAuth = std::exchange(lastLineWasAuth_, authVerb);
    if (command.verb == Verb::kAuth && command.error == CommandError::kNone) {
        LogLine("Client/", std::string("AUTH ") + std::string(command.argument) +
                               (command.hasInitialResponse ? " ****" : ""));
    } else if (authVerb || (afterAuth && command.verb == Verb::kUnknown)) {
        // Whatever follows AUTH may be a credential, however malformed the line.
        LogLine("Client/", authVerb ? "AUTH ****" : "****");
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
    ResetTransaction();
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

void SmtpSession::OnMail(const Command& command) {
    if (command.hasSize && command.size > config_->limits.maxMessageSize) {
        ReplyError("552 5.3.4 Message size exceeds fixed maximum message size");
        return;
    }
    if (!command.smtpUtf8 && !IsAsciiText(command.address)) {
        ReplyError(kNeedSmtpUtf8);
        return;
    }
    SetState(SessionState::kMail);
    smtpUtf8_ = command.smtpUtf8;
    mailFrom_.assign(command.address);
    Reply("250 2.1.0 Ok");
}

void SmtpSession::OnRcpt(const Command& command) {
    if (recipients_.size() >= config_->limits.maxRecipients) {
        Reply("452 4.5.3 Too many recipients");
    } else if (!smtpUtf8_ && !IsAsciiText(command.address)) {
        ReplyError(kNeedSmtpUtf8);
    } else {
        AddRecipient(command.address);
    }
}

void SmtpSession::AddRecipient(std::string_view address) {
    switch (CheckRecipient(*config_, address, !authUser_.empty(), clientIp_)) {
        case RecipientVerdict::kAccept:
            recipients_.emplace_back(address);
            SetState(SessionState::kRcpt);
            Reply("250 2.1.5 Ok");
            break;
        case RecipientVerdict::kUnknownUser:
            ReplyError("550 5.1.1 Mailbox unavailable: no such user here");
            break;
        case RecipientVerdict::kRelayDenied:
            ReplyError("554 5.7.1 Relay access denied");
            break;
    }
}

void SmtpSession::OnData(const Command&) {
    if (authUser_.empty() && PipelinedAfterData()) {
        // A client that does not wait for 354 is a spam engine, or it smuggles a message past
        // a filter in front of us; clients we know (AUTH) may be careless.
        ResetTransaction();
        ReplyAndClose("503 5.5.0 Improper use of SMTP command pipelining");
        return;
    }
    SetState(SessionState::kData);
    dataStartedAt_ = std::chrono::steady_clock::now();
    dataBytes_ = 0;
    StartMessage();
    Reply("354 End data with <CR><LF>.<CR><LF>");
}

// Whether anything came after the DATA line: in the input buffer, in the TLS layer, or waiting
// in the socket.
bool SmtpSession::PipelinedAfterData() {
    if (inStart_ < inEnd_ || (tls_ && SSL_pending(tls_->native_handle()) > 0)) {
        return true;
    }
    asio::error_code ec;
    return socket_.available(ec) > 0 && !ec;
}

void SmtpSession::StartMessage() {
    reader_.Reset(config_->limits.maxMessageSize);
    reader_.SetPauseAt(kSpillSize);
    dataRefusal_ = {};
    const MessageContext context{clientIp_, heloName_, mailFrom_, authUser_, ForLocalDomain()};
    if (MessageObserverPtr observer = host_.ObserveMessage(context)) {
        observed_ = std::make_unique<ObservedText>(std::move(observer));
    } else {
        // Known now, so the message's file starts with it and is never copied.
        reader_.Body().assign(ReceivedHeader(ReceivedNow()));
    }
}

bool SmtpSession::ForLocalDomain() const {
    return std::any_of(recipients_.begin(), recipients_.end(), [this](const std::string& rcpt) {
        return config_->FindLocalDomain(MailboxDomain(rcpt)) != nullptr;
    });
}

void SmtpSession::DropMessage() {
    observed_.reset();
    if (spool_) {
        host_.Queue().Drop(std::move(spool_));
    }
}

void SmtpSession::OnRset(const Command&) {
    ResetTransaction();
    Reply("250 2.0.0 Ok");
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
    // Another session of this client may have started the block meanwhile.
    if (host_.AuthBlocked(clientIp_)) {
        ReplyError(kAuthBlocked);
        return;
    }
    config_ = EngineConfig::Load();
    const AccountEntry* account = Authenticate(*config_, user, password);
    if (account == nullptr) {
        if (host_.RecordAuthFailure(clientIp_, config_->limits.authFailLimit)) {
            LogLine("Server/", "AUTH refused for 15 minutes: " +
                                   std::to_string(config_->limits.authFailLimit) +
                                   " failures from " + ClientKey(clientIp_));
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

void SmtpSession::FinishData() {
    switch (reader_.error()) {
        case DataReader::Error::kNone:
            SetState(SessionState::kQueueing);
            return;
        case DataReader::Error::kTooBig:
            LogLine("Server/", "message refused: " + std::to_string(reader_.BytesSeen()) +
                                   " bytes exceed the size limit");
            ReplyError("552 5.3.4 Message size exceeds fixed maximum message size");
            break;
        case DataReader::Error::kBareLineEnd:
            ReplyError("554 5.6.0 Message refused: bare CR or LF found; lines must end with CRLF");
            break;
        case DataReader::Error::kNul:
            ReplyError("554 5.6.0 Message refused: NUL characters are not allowed");
            break;
        case DataReader::Error::kStopped:
            ReplyError(dataRefusal_);
            break;
    }
    ResetTransaction();
}

ReceivedInfo SmtpSession::ReceivedNow() const {
    ReceivedInfo info;
    info.heloName = heloName_;
    info.clientIp = clientIp_;
    info.hostName = host_.Settings().hostName;
    info.esmtp = esmtp_;
    info.tls = tlsActive_;
    info.authenticated = !authUser_.empty();
    if (recipients_.size() == 1) {
        info.singleRecipient = recipients_.front();
    }
    info.when = std::chrono::system_clock::now();
    return info;
}

// Writes the text that filled the buffer to the message's temporary file.
asio::awaitable<void> SmtpSession::SpillData() {
    if (!spool_) {
        spool_ = std::make_shared<Spool>();
    }
    std::string& text = reader_.Body();
    const size_t length = observed_ ? observed_->Settled() : text.size();
    auto [ok, back, error] =
        co_await AsyncAppend(host_.Queue(), spool_, std::move(text), length, asio::use_awaitable);
    text = std::move(back);
    if (!ok) {
        LogLine("Server/", "queue store failed: " + error);
        reader_.Stop();
        dataRefusal_ = kLocalProblem;
        DropMessage();
        co_return;
    }
    text.erase(0, length);
    if (observed_) {
        observed_->Removed(length);
    }
}

asio::awaitable<void> SmtpSession::StoreMessage() {
    std::string head;
    if (observed_) {
        // Nothing else of the session runs while this coroutine waits, as with the store below.
        auto finish = [this] { return observed_->Finish(reader_.Body()); };
        head = co_await OnPool(host_.ObserverPool(), finish);
        head += ReceivedHeader(ReceivedNow());
    }
    Envelope envelope{std::move(mailFrom_), std::move(recipients_), peer_, heloName_, authUser_};
    SpoolPtr spool = std::move(spool_);
    ResetTransaction();
    const size_t size = reader_.StoredBytes();
    auto [ok, id, error] =
        co_await AsyncStore(host_.Queue(), std::move(envelope), std::move(head), std::move(spool),
                            std::move(reader_.Body()), asio::use_awaitable);
    SetState(SessionState::kHelo);
    reader_.Reset(config_->limits.maxMessageSize);
    if (ok) {
        Reply("250 2.0.0 Ok: queued as " + std::to_string(id) + " (" + std::to_string(size) +
              " bytes)");
    } else {
        LogLine("Server/", "queue store failed: " + error);
        Reply(kLocalProblem);
    }
}

asio::awaitable<bool> SmtpSession::StartTls() {
    if (!co_await Flush()) {
        co_return false;
    }
    // Commands sent before the handshake must not count as protected (RFC 3207 5).
    inStart_ = inEnd_ = 0;
    tls_ =
        std::make_unique<asio::ssl::stream<asio::ip::tcp::socket&>>(socket_, *host_.Settings().tls);
    ArmTimer(std::chrono::seconds(config_->limits.commandTimeoutSeconds));
    asio::error_code ec;
    co_await tls_->async_handshake(asio::ssl::stream_base::server,
                                   asio::redirect_error(asio::use_awaitable, ec));
    DisarmTimer();
    if (ec) {
        LogLine("Server/", "TLS handshake failed: " + ec.message());
        tls_.reset();
        timedOut_ = false;
        SetState(SessionState::kClosing);
        co_return false;
    }
    LogLine("Server/", std::string("TLS established: ") + SSL_get_version(tls_->native_handle()));
    tlsActive_ = true;
    heloName_.clear();
    esmtp_ = false;
    authUser_.clear();
    ResetTransaction();
    SetState(SessionState::kGreeting);
    co_return true;
}

}  // namespace relvo::mail::smtp
