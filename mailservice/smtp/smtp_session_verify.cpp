// An RCPT for a local domain whose server is asked first (RecipientVerifier): a recipient that
// server refuses is refused here, so that no failure notice goes to a sender the client may have
// forged. While the server is asked the session reads no further commands and its thread serves
// others; the answer, the end of the wait or the session's end resumes it.
#include <asio/post.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>
#include <utility>

#include "common/mail_address.h"
#include "smtp/smtp_session.h"

namespace relvo::mail::smtp {

void SmtpSession::CheckWithServer(const LocalDomain& domain, std::string_view address) {
    RecipientVerifier& verifier = *host_.Verifier();
    if (std::optional<ProbeVerdict> known = verifier.Cached(address)) {
        AnswerCheckedRecipient(ProbeOutcome{*known, "", "answer kept from an earlier check"},
                               address);
        return;
    }
    checking_.assign(address);
    checkOutcome_.reset();
    checkDeadline_ = std::chrono::steady_clock::now() + host_.Settings().recipientCheckWait;
    const unsigned generation = ++checkGeneration_;
    auto executor = socket_.get_executor();
    checkWait_ = verifier.Ask(
        domain, address,
        [weak = weak_from_this(), executor, generation](const ProbeOutcome& outcome) {
            asio::post(executor, [weak, generation, outcome] {
                auto self = weak.lock();
                if (self && generation == self->checkGeneration_ && !self->checkOutcome_) {
                    self->checkOutcome_ = outcome;
                    self->delayTimer_.cancel();
                }
            });
        });
    SetState(SessionState::kVerifying);
}

asio::awaitable<void> SmtpSession::AwaitRecipientCheck() {
    // The replies so far go out while the server is asked. (Not a co_await in the first
    // statement: this compiler mishandles temporaries there.)
    const bool repliesWaiting = !out_.empty();
    if (repliesWaiting) {
        co_await Flush();
    }
    if (state_ == SessionState::kVerifying && !stopping_ && !checkOutcome_) {
        delayTimer_.expires_at(checkDeadline_);
        asio::error_code ec;
        co_await delayTimer_.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    }
    // Whatever woke us, the question is no longer ours: one nobody waits for is not put.
    ++checkGeneration_;
    checkWait_->Cancel();
    checkWait_.reset();
    std::optional<ProbeOutcome> outcome = std::exchange(checkOutcome_, std::nullopt);
    if (state_ != SessionState::kVerifying) {
        co_return;  // the connection failed or was cut
    }
    if (!outcome && stopping_) {
        // The server is stopping: its 421 answers instead.
        SetState(transaction_->Recipients().empty() ? SessionState::kMail : SessionState::kRcpt);
        co_return;
    }
    if (!outcome) {
        const LocalDomain* domain = config_->FindLocalDomain(MailboxDomain(checking_));
        outcome = ProbeOutcome{
            ProbeVerdict::kUnknown,
            domain != nullptr ? domain->serverAddress + ":" + std::to_string(domain->serverPort)
                              : "",
            "no answer within " + std::to_string(host_.Settings().recipientCheckWait.count()) +
                " ms"};
    }
    const std::string address = std::move(checking_);
    checking_.clear();
    SetState(transaction_->Recipients().empty() ? SessionState::kMail : SessionState::kRcpt);
    AnswerCheckedRecipient(*outcome, address);
}

void SmtpSession::AnswerCheckedRecipient(const ProbeOutcome& outcome, std::string_view address) {
    const std::string server = outcome.server.empty() ? "" : " " + outcome.server;
    switch (outcome.verdict) {
        case ProbeVerdict::kAccepted:
            AcceptRecipient(address);
            break;
        case ProbeVerdict::kRefused:
            LogLine("Server/", "recipient " + std::string(address) +
                                   " refused by the domain's server" + server + ": " +
                                   outcome.detail);
            ReplyError("550 5.1.1 Recipient refused by the domain's mail server");
            break;
        case ProbeVerdict::kUnknown:
            LogLine("Server/", "recipient " + std::string(address) +
                                   " could not be verified with the domain's server" + server +
                                   ": " + outcome.detail + "; accepted for now");
            AcceptRecipient(address);
            break;
    }
}

}  // namespace relvo::mail::smtp
