// One conversation with one SMTP server, from connect to QUIT, that may stay open for the next
// mail to the same destination. Each step sends its command and reads its reply under its own
// deadline; a failure ends the conversation with its stage and reason, and the recipients without
// a final answer share that reason. Runs on one executor (a strand or a single I/O thread).
#pragma once

#include <array>
#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <memory>
#include <string>
#include <string_view>

#include "send/transport/smtp_client.h"
#include "send/transport/smtp_reply.h"
#include "send/transport/tls_policy.h"

namespace relvo::mail::send {

class SmtpConversation : public std::enable_shared_from_this<SmtpConversation> {
  public:
    SmtpConversation(asio::any_io_executor executor, ClientTarget target, ClientMessage message,
                     StepTimeouts timeouts, Transcript transcript);

    // keep: leave the connection open after a delivered mail (Reusable() then tells).
    asio::awaitable<ClientResult> Run(bool keep);

    bool Reusable() const { return keep_ && result_.stage == Stage::kDone && socket_.is_open(); }
    // A kept connection that failed before its MAIL was answered: the server let it go.
    bool Stale() const { return reused_ && result_.stage <= Stage::kMail; }

    // Makes a kept connection ready for the next mail.
    void Reuse(const ClientMessage& message, const StepTimeouts& timeouts,
               const Transcript& transcript);

  private:
    void Say(std::string_view text);
    // The deadline of one step: when it passes, the socket is closed and the step fails.
    void Arm(std::chrono::milliseconds timeout);
    void Disarm();
    bool Fail(Stage stage, std::string reason);
    // What a step that ran out of time says: its own limit, or the try's.
    std::string TimedOutText() const;
    std::string TlsMissing(const std::string& what) const;

    asio::awaitable<bool> Connect();
    asio::awaitable<bool> Handshake();
    // Queues a command line; it goes out with the next Flush. Commands are built here, outside
    // any co_await expression: this compiler's coroutines mishandle temporaries in those.
    void Put(std::string_view line, std::string_view shown = {});
    // Writes what Put queued, or the given bytes when bulk is set.
    asio::awaitable<bool> Flush(const std::string* bulk = nullptr);
    // Reads one reply; false with ioError_ set when none came in time.
    asio::awaitable<bool> Read(Reply* reply, std::chrono::milliseconds timeout);
    // Sends what was Put and reads one reply; false when the reply did not come.
    asio::awaitable<bool> Exchange(Reply* reply);

    asio::awaitable<void> Converse();
    asio::awaitable<bool> Greeting();
    asio::awaitable<bool> Hello(Reply* reply);
    asio::awaitable<bool> StartTls(Reply* reply);
    asio::awaitable<bool> Authenticate();
    asio::awaitable<bool> AuthenticateLogin(Reply* reply);

    // MAIL, RCPT and DATA of one mail on a conversation that is greeted (and logged in).
    asio::awaitable<void> Transaction();
    bool NeedsSmtpUtf8() const;
    // Refuses the mail for every recipient when the peer cannot take it at all.
    bool Acceptable(bool utf8);
    std::string MailCommand(bool utf8) const;
    // MAIL and the RCPTs; counts the recipients accepted. False when the conversation ended.
    asio::awaitable<bool> Envelope(bool utf8, size_t* accepted);
    asio::awaitable<void> Data();
    // The reply to DATA or to the end of the mail counts for every recipient RCPT accepted.
    void SetAccepted(const Reply& reply);
    void MarkAllPermanent(int code, const std::string& text);
    asio::awaitable<void> Quit();

    asio::ip::tcp::socket socket_;
    asio::steady_timer timer_;
    std::unique_ptr<TlsStream> tls_;
    ClientTarget target_;
    ClientMessage message_;
    StepTimeouts timeouts_;
    Transcript transcript_;
    std::string peer_;
    ReplyReader reader_;
    std::array<char, 4096> readBuffer_{};
    Capabilities caps_;
    ClientResult result_;
    std::string ioError_;
    std::string out_;
    unsigned generation_ = 0;
    bool timedOut_ = false;
    bool cutByDeadline_ = false;  // the armed step ends at the try's deadline
    bool encrypted_ = false;
    bool keep_ = false;
    bool reused_ = false;
};

}  // namespace relvo::mail::send
