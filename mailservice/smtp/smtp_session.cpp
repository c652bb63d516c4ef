#include "smtp/smtp_session.h"

#include <algorithm>
#include <asio/co_spawn.hpp>
#include <asio/post.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <cstring>
#include <exception>
#include <utility>

#include "common/ascii.h"
#include "core/net_ranges.h"

namespace relvo::mail::smtp {
namespace {

constexpr size_t kInputBufferSize = 64 * 1024;
constexpr size_t kMaxPendingReplies = 64 * 1024;
constexpr auto kShutdownWriteTimeout = std::chrono::seconds(1);
// Under stress, as a busy server must: idle sessions go sooner, and do less that is useless.
constexpr auto kStressCommandTimeout = std::chrono::seconds(10);
constexpr int kStressJunkCommandLimit = 10;

}  // namespace

SmtpSession::SmtpSession(SessionHost& host, asio::ip::tcp::socket socket,
                         const asio::ip::tcp::endpoint& client,
                         std::shared_ptr<const EngineConfig> config, bool balancersOwn)
    : host_(host),
      socket_(std::move(socket)),
      timer_(socket_.get_executor()),
      delayTimer_(socket_.get_executor()),
      config_(std::move(config)),
      inCapacity_(std::max(kInputBufferSize,
                           2 * (config_->limits.maxCommandLine + config_->limits.maxTextLine))) {
    in_.reset(new char[inCapacity_]);
    asio::ip::address address = client.address();
    if (address.is_v6() && address.to_v6().is_v4_mapped()) {
        address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
    }
    clientIp_ = address.to_string();
    peer_ = address.is_v6() ? "[" + clientIp_ + "]:" + std::to_string(client.port())
                            : clientIp_ + ":" + std::to_string(client.port());
    clientIsLocal_ = !balancersOwn && IsLoopbackOrPrivate(clientIp_);
    balancersOwn_ = quiet_ = balancersOwn;
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
    quiet_ = false;
    LogLine("Server/", "session ended by an internal error: " + what);
    transaction_.reset();
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

void SmtpSession::StressStarted() {
    asio::post(socket_.get_executor(), [self = shared_from_this()] {
        // A session waiting for a command gets the shorter deadline now, not after its wait.
        if (self->reading_ && kDialogue.Has(self->state_)) {
            self->ArmTimerUntil(self->ReadDeadline(self->readStartedAt_));
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
        return transaction_->TextDeadline(now, limits);
    }
    const bool lineUnderWay = inEnd_ > inStart_ || discardingLine_;
    return (lineUnderWay ? lineStartedAt_ : now) + CommandTimeout();
}

std::chrono::seconds SmtpSession::CommandTimeout() const {
    const std::chrono::seconds configured(config_->limits.commandTimeoutSeconds);
    return host_.UnderStress() ? std::min(configured, kStressCommandTimeout) : configured;
}

int SmtpSession::JunkCommandLimit() const {
    const int configured = config_->limits.junkCommandLimit;
    return host_.UnderStress() ? std::min(configured, kStressJunkCommandLimit) : configured;
}

void SmtpSession::DisarmTimer() {
    ++timerGeneration_;
    timer_.cancel();
}

void SmtpSession::SetState(SessionState next) {
    // Closing is final: nothing said or finished afterwards reopens the conversation.
    if (state_ == SessionState::kClosing || next == state_) {
        return;
    }
    if (host_.Log().Debugging()) {
        std::string change = "state ";
        change.append(StateName(state_)).append(" -> ").append(StateName(next));
        LogLine("Debug/", change);
    }
    state_ = next;
}

void SmtpSession::LogLine(std::string_view marker, std::string_view text) {
    if (quiet_) {
        return;
    }
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

void SmtpSession::EndTransaction() {
    transaction_.reset();  // with it all the message's state, and its file if one was begun
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
        if (state_ == SessionState::kData && transaction_->MustSpill()) {
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
    transaction_.reset();
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
    readStartedAt_ = std::chrono::steady_clock::now();
    reading_ = true;
    ArmTimerUntil(ReadDeadline(readStartedAt_));
    asio::error_code ec;
    asio::mutable_buffer space(in_.get() + inEnd_, inCapacity_ - inEnd_);
    size_t n =
        tls_ ? co_await tls_->async_read_some(space, asio::redirect_error(asio::use_awaitable, ec))
             : co_await socket_.async_read_some(space,
                                                asio::redirect_error(asio::use_awaitable, ec));
    DisarmTimer();
    reading_ = false;
    inEnd_ += n;
    lastReadAt_ = std::chrono::steady_clock::now();
    if (state_ == SessionState::kData) {
        transaction_->Received(n);
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
                       : CommandTimeout());
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
        if (state_ == SessionState::kData && transaction_->MustSpill()) {
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
        maskedLines_ = std::max(0, maskedLines_ - 1);
        LogLine("Client/", "****");
        HandleAuthResponse(line);
    } else {
        HandleCommand(line);
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
    ArmTimer(CommandTimeout());
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
    EndTransaction();
    SetState(SessionState::kGreeting);
    co_return true;
}

}  // namespace relvo::mail::smtp
