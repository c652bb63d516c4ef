// The mail transaction's verbs: MAIL makes the transaction, RCPT adds to it, DATA starts its
// message and RSET ends it. The message's text and its hand-off to the queue are in
// smtp_session_data.cpp.
#include "smtp/smtp_session.h"

#include <asio/ssl/stream.hpp>
#include <chrono>

#include "common/ascii.h"
#include "smtp/session_rules.h"

namespace relvo::mail::smtp {
namespace {

constexpr std::string_view kNeedSmtpUtf8 =
    "553 5.6.7 Non-ASCII addresses need the SMTPUTF8 parameter";

}  // namespace

void SmtpSession::OnMail(const Command& command) {
    if (messages_ >= config_->limits.maxMessagesPerSession) {
        ReplyAndClose("421 4.7.0 " + host_.Settings().hostName +
                      " Too many messages in one session, closing connection");
        return;
    }
    if (command.hasSize && command.size > config_->limits.maxMessageSize) {
        ReplyError("552 5.3.4 Message size exceeds fixed maximum message size");
        return;
    }
    if (!command.smtpUtf8 && !IsAsciiText(command.address)) {
        ReplyError(kNeedSmtpUtf8);
        return;
    }
    if (!QueueHasRoom()) {
        ReplyError("452 4.3.1 Insufficient system storage");
        return;
    }
    transaction_.emplace(host_.Queue(), command.address, command.smtpUtf8, config_->limits);
    ++messages_;
    SetState(SessionState::kMail);
    Reply("250 2.1.0 Ok");
}

// Checked before each transaction, so that receiving stops short of a full disk and resumes by
// itself once space returns; one line each way in the log.
bool SmtpSession::QueueHasRoom() {
    const uint64_t minFree = config_->limits.QueueMinFree();
    bool changed = false;
    const bool room = host_.Queue().HasFreeSpace(minFree, &changed);
    if (changed) {
        host_.Log().Line(room ? "The queue's file system has room again; receiving resumes"
                              : "The queue's file system has less than " + std::to_string(minFree) +
                                    " bytes free (QueueMinFreeSpace); new mail is answered 452 "
                                    "until space returns");
    }
    return room;
}

void SmtpSession::OnRcpt(const Command& command) {
    if (transaction_->Recipients().size() >= config_->limits.maxRecipients) {
        Reply("452 4.5.3 Too many recipients");
    } else if (!transaction_->SmtpUtf8() && !IsAsciiText(command.address)) {
        ReplyError(kNeedSmtpUtf8);
    } else {
        AddRecipient(command.address);
    }
}

void SmtpSession::AddRecipient(std::string_view address) {
    // A balancer's own connection names no client: its address earns it nothing.
    const std::string_view trustedIp = balancersOwn_ ? std::string_view() : clientIp_;
    switch (CheckRecipient(*config_, address, !authUser_.empty(), trustedIp)) {
        case RecipientVerdict::kAccept:
            transaction_->AddRecipient(address);
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
        EndTransaction();
        ReplyAndClose("503 5.5.0 Improper use of SMTP command pipelining");
        return;
    }
    SetState(SessionState::kData);
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

void SmtpSession::OnRset(const Command&) {
    EndTransaction();
    Reply("250 2.0.0 Ok");
}

}  // namespace relvo::mail::smtp
