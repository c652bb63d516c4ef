// The message of the mail transaction: its text as it arrives (written to the queue's file a
// buffer at a time), the reply to its end, and its hand-off to the queue.
#include "smtp/smtp_session.h"

#include <algorithm>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>
#include <chrono>
#include <memory>
#include <string>
#include <utility>

#include "common/mail_address.h"
#include "core/on_pool.h"
#include "smtp/session_rules.h"

namespace relvo::mail::smtp {
namespace {

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

// Completes on the session's strand once the message's observer has its results: the session
// yields meanwhile, and no thread waits.
template <typename Token>
auto AsyncObserverReady(SmtpTransaction& mail, Token&& token) {
    return asio::async_initiate<Token, void()>(
        [&mail](auto handler) {
            auto shared = std::make_shared<decltype(handler)>(std::move(handler));
            mail.CompleteObserved([shared] {
                auto executor = asio::get_associated_executor(*shared);
                asio::post(executor, [shared]() mutable { (*shared)(); });
            });
        },
        token);
}

constexpr std::string_view kLocalProblem =
    "451 4.3.0 Error: local problem storing the message, try again later";

}  // namespace

void SmtpSession::StartMessage() {
    const bool trusted =
        !authUser_.empty() || OwnNetworkClient(*config_, balancersOwn_ ? "" : clientIp_);
    const MessageContext context{clientIp_, heloName_,        transaction_->Sender(),
                                 authUser_, ForLocalDomain(), trusted};
    transaction_->StartText(std::chrono::steady_clock::now(), host_.ObserveMessage(context));
    if (!transaction_->Observed()) {
        // Known now, so the message's file starts with it and is never copied.
        transaction_->Text().assign(ReceivedHeader(ReceivedNow()));
    }
}

bool SmtpSession::ForLocalDomain() const {
    const std::vector<std::string>& recipients = transaction_->Recipients();
    return std::any_of(recipients.begin(), recipients.end(), [this](const std::string& rcpt) {
        return config_->FindLocalDomain(MailboxDomain(rcpt)) != nullptr;
    });
}

ReceivedInfo SmtpSession::ReceivedNow() const {
    ReceivedInfo info;
    info.heloName = heloName_;
    info.clientIp = clientIp_;
    info.hostName = host_.Settings().hostName;
    info.esmtp = esmtp_;
    info.tls = tlsActive_;
    info.authenticated = !authUser_.empty();
    if (transaction_->Recipients().size() == 1) {
        info.singleRecipient = transaction_->Recipients().front();
    }
    info.when = std::chrono::system_clock::now();
    return info;
}

void SmtpSession::FeedData(std::string_view pending) {
    inStart_ += transaction_->Feed(pending);
    if (transaction_->TextEnded()) {
        LineCompleted();
        FinishData();
    }
}

void SmtpSession::FinishData() {
    switch (transaction_->TextError()) {
        case DataReader::Error::kNone:
            SetState(SessionState::kQueueing);
            return;
        case DataReader::Error::kTooBig:
            LogLine("Server/", "message refused: " + std::to_string(transaction_->BytesSeen()) +
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
            ReplyError(transaction_->Refusal());
            break;
    }
    EndTransaction();
}

// Writes the text that filled the buffer to the message's temporary file. Nothing else of the
// session runs while this waits, so the transaction stays as it is.
asio::awaitable<void> SmtpSession::SpillData() {
    SmtpTransaction& mail = *transaction_;
    SpoolPtr spool = mail.SpillSpool();
    std::string& text = mail.Text();
    const size_t length = mail.Settled();
    auto [ok, back, error] =
        co_await AsyncAppend(host_.Queue(), spool, std::move(text), length, asio::use_awaitable);
    text = std::move(back);
    if (!ok) {
        LogLine("Server/", "queue store failed: " + error);
        mail.Refuse(kLocalProblem);
        co_return;
    }
    mail.Spilled(length);
}

asio::awaitable<void> SmtpSession::StoreMessage() {
    std::string head;
    if (transaction_->Observed()) {
        // Nothing else of the session runs while this coroutine waits, as with the store below.
        co_await AsyncObserverReady(*transaction_, asio::use_awaitable);
        auto finish = [this] { return transaction_->FinishObserved(); };
        head = co_await OnPool(host_.ObserverPool(), finish);
        if (std::string refusal = transaction_->ObservedRefusal(); !refusal.empty()) {
            LogLine("Server/", "message refused: " + refusal);
            SetState(SessionState::kHelo);
            EndTransaction();  // and with it the text written so far
            ReplyError(refusal);
            co_return;
        }
        head += ReceivedHeader(ReceivedNow());
    }
    SmtpTransaction::Message message = transaction_->TakeMessage();
    EndTransaction();  // the reply to the store below is its last
    Envelope envelope{std::move(message.sender), std::move(message.recipients), peer_, heloName_,
                      authUser_};
    envelope.spfResult = std::move(message.spfResult);
    envelope.quarantine = std::move(message.quarantine);
    auto [ok, id, error] =
        co_await AsyncStore(host_.Queue(), std::move(envelope), std::move(head),
                            std::move(message.spool), std::move(message.text), asio::use_awaitable);
    SetState(SessionState::kHelo);
    if (ok) {
        Reply("250 2.0.0 Ok: queued as " + std::to_string(id) + " (" +
              std::to_string(message.size) + " bytes)");
    } else {
        LogLine("Server/", "queue store failed: " + error);
        Reply(kLocalProblem);
    }
}

}  // namespace relvo::mail::smtp
