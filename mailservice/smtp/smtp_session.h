// One SMTP conversation, run as a coroutine on its own strand. Input is read in large pieces and
// every complete command in it is answered before the replies go out in one write (PIPELINING);
// the message text is unstuffed straight from the input buffer into a bounded buffer that goes
// to the queue's temporary file whenever it fills, so a session holds no more of a message than
// that buffer, whatever the message's size. The session is the connection (socket, TLS, greeting,
// AUTH, errors, deadlines); what belongs to one message is its SmtpTransaction.
#pragma once

#include <asio/awaitable.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ssl/stream.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/engine_config.h"
#include "smtp/command_parser.h"
#include "smtp/session_host.h"
#include "smtp/session_rules.h"
#include "smtp/session_state.h"
#include "smtp/smtp_transaction.h"

namespace relvo::mail::smtp {

class SmtpSession : public std::enable_shared_from_this<SmtpSession> {
  public:
    // client: the socket's remote end, or the client a balancer's PROXY header named.
    // balancersOwn: a listed balancer's connection whose header names no client (a health
    // check): it keeps the balancer's address but is trusted for nothing by it, and it logs
    // nothing until it does more than a health check does.
    SmtpSession(SessionHost& host, asio::ip::tcp::socket socket,
                const asio::ip::tcp::endpoint& client, std::shared_ptr<const EngineConfig> config,
                bool balancersOwn = false);

    // Runs the conversation; an admission other than kAdmitted answers 421 and closes.
    void Start(Admission admission);
    // Thread-safe: finish what is under way, answer "421 4.3.2" and close.
    void Shutdown();
    // Thread-safe: close the connection at once.
    void ForceClose();
    // Thread-safe: the server came under stress; a wait for a command takes the shorter timeout.
    void StressStarted();

    const std::string& ClientIp() const { return clientIp_; }

  private:
    struct VerbRule;
    // The row of the verb table for verb; null for kUnknown.
    static const VerbRule* RuleFor(Verb verb);

    asio::awaitable<void> Run(std::shared_ptr<SmtpSession> self, Admission admission);
    void Greet(Admission admission);
    asio::awaitable<void> Converse();
    asio::awaitable<void> SayWhyItEnds();
    void CloseConnection();
    void EndAfterException(std::exception_ptr error);
    void Unregister();
    asio::awaitable<bool> ReadMore();
    asio::awaitable<bool> Flush();
    asio::awaitable<void> StoreMessage();
    asio::awaitable<void> SpillData();
    asio::awaitable<bool> StartTls();
    asio::awaitable<void> AuthFailed();

    // Answers the complete commands received; true when it stopped with input left because
    // enough replies are waiting to be written.
    bool ProcessInput();
    void FeedData(std::string_view pending);
    bool PipelinedAfterData();
    void StartMessage();
    ReceivedInfo ReceivedNow() const;
    bool ForLocalDomain() const;
    bool SkipDiscardedLine(std::string_view pending);
    bool TakeLine(std::string_view pending);
    void RefuseLine(std::string_view reply);
    void HandleLine(std::string_view line);
    void HandleCommand(std::string_view line);
    void LogCommand(const Command& command, std::string_view line);
    // NOOP, RSET, HELP, VRFY and unknown verbs: true when this one is over the session's limit.
    bool OverJunkLimit(const Command& command);

    // The verbs, once the table has let them through.
    void OnHelo(const Command& command);
    void OnEhlo(const Command& command);
    void OnMail(const Command& command);
    void OnRcpt(const Command& command);
    void OnData(const Command& command);
    void OnRset(const Command& command);
    void OnNoop(const Command& command);
    void OnQuit(const Command& command);
    void OnVrfy(const Command& command);
    void OnHelp(const Command& command);
    void OnStartTls(const Command& command);
    void OnAuth(const Command& command);

    void Greeted(std::string_view heloName, bool esmtp);
    void ReplyEhlo(std::string_view heloName);
    void AddRecipient(std::string_view address);
    bool QueueHasRoom();
    void HandleAuthResponse(std::string_view line);
    void FinishAuth(std::string_view user, std::string_view password);
    void FinishData();

    void SetState(SessionState next);
    void Reply(std::string_view line);
    void ReplyError(std::string_view line);
    void ReplyAndClose(std::string_view line);
    // Ends the mail transaction, if any; a session in it is greeted and may send MAIL again.
    void EndTransaction();
    void LogLine(std::string_view marker, std::string_view text);
    bool AuthOffered() const { return tlsActive_ || clientIsLocal_; }
    size_t LineLimit(std::string_view pending) const;
    // The limits that tighten while the server is under stress.
    std::chrono::seconds CommandTimeout() const;
    int JunkCommandLimit() const;

    void ArmTimer(std::chrono::steady_clock::duration timeout);
    void ArmTimerUntil(std::chrono::steady_clock::time_point deadline);
    std::chrono::steady_clock::time_point ReadDeadline(
        std::chrono::steady_clock::time_point now) const;
    void LineCompleted() { lineStartedAt_ = lastReadAt_; }
    void DisarmTimer();
    void CancelIo();

    SessionHost& host_;
    asio::ip::tcp::socket socket_;
    std::unique_ptr<asio::ssl::stream<asio::ip::tcp::socket&>> tls_;
    asio::steady_timer timer_;
    asio::steady_timer delayTimer_;
    unsigned timerGeneration_ = 0;
    std::shared_ptr<const EngineConfig> config_;
    bool registered_ = false;

    std::string clientIp_;
    std::string peer_;  // "ip:port" ("[v6]:port"), the log marker's address
    bool clientIsLocal_ = false;
    bool balancersOwn_ = false;
    bool quiet_ = false;  // a balancer's health check so far: nothing is logged

    // Input: bytes [inStart_, inEnd_) of in_ are received and not yet used.
    // Not zeroed: a session touches only the pages it reads into.
    std::unique_ptr<char[]> in_;
    size_t inCapacity_;
    size_t inStart_ = 0;
    size_t inEnd_ = 0;
    bool discardingLine_ = false;
    // Deadlines, not idle timers: a trickle of bytes does not extend them.
    std::chrono::steady_clock::time_point lastReadAt_;
    std::chrono::steady_clock::time_point lineStartedAt_;  // first byte of the line under way
    std::chrono::steady_clock::time_point readStartedAt_;  // of the read under way, if any
    bool reading_ = false;
    std::string out_;      // replies waiting for the next write
    std::string logLine_;  // reused for every log line

    SessionState state_ = SessionState::kGreeting;
    bool stopping_ = false;  // the server is stopping
    bool timedOut_ = false;
    int errors_ = 0;
    int authFailures_ = 0;
    int junkCommands_ = 0;
    int messages_ = 0;  // MAIL commands accepted
    std::string loginUser_;

    std::string heloName_;
    bool esmtp_ = false;
    int maskedLines_ = 0;  // lines after an AUTH command that may still be credentials
    bool tlsActive_ = false;
    std::string authUser_;

    // From an accepted MAIL to the transaction's end; always present in the kTransaction states.
    std::optional<SmtpTransaction> transaction_;
};

}  // namespace relvo::mail::smtp
