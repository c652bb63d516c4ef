#include "send/transport/smtp_conversation.h"

#include <algorithm>
#include <asio/connect.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include "common/ascii.h"
#include "common/base64.h"

namespace relvo::mail::send {

namespace {

using asio::ip::tcp;

std::string Printable(std::string_view text) {
    std::string out;
    for (char c : text) {
        out += (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? '?' : c;
    }
    return out;
}

}  // namespace

SmtpConversation::SmtpConversation(asio::any_io_executor executor, ClientTarget target,
                                   ClientMessage message, StepTimeouts timeouts,
                                   Transcript transcript)
    : socket_(executor),
      timer_(executor),
      target_(std::move(target)),
      message_(std::move(message)),
      timeouts_(timeouts),
      transcript_(std::move(transcript)) {
    peer_ = (target_.address.find(':') != std::string::npos ? "[" + target_.address + "]"
                                                            : target_.address) +
            ":" + std::to_string(target_.port);
}

// No temporary with a destructor in a coroutine's first statement: this compiler miscompiles
// those.
asio::awaitable<ClientResult> SmtpConversation::Run(bool keep) {
    result_.recipients.resize(message_.recipients.size());
    keep_ = keep;
    if (reused_) {
        Say("Reusing the connection to " + peer_);
        co_await Transaction();
    } else {
        co_await Converse();
    }
    Disarm();
    if (!Reusable()) {
        asio::error_code ignored;
        socket_.close(ignored);
    }
    if (result_.stage != Stage::kDone) {
        // Recipients without a final answer share the conversation's reason.
        for (RecipientReply& r : result_.recipients) {
            if (!r.delivered && !r.permanent && r.code < 400) {
                r.code = 0;
                r.text = result_.reason;
            }
        }
    }
    co_return result_;
}

void SmtpConversation::Reuse(const ClientMessage& message, const StepTimeouts& timeouts,
                             const Transcript& transcript) {
    message_ = message;
    timeouts_ = timeouts;
    transcript_ = transcript;
    result_ = ClientResult();
    result_.connected = true;
    out_.clear();
    reused_ = true;
}

void SmtpConversation::Say(std::string_view text) {
    if (transcript_) {
        transcript_(text);
    }
}

void SmtpConversation::Arm(std::chrono::milliseconds timeout) {
    unsigned generation = ++generation_;
    timedOut_ = false;
    const auto now = std::chrono::steady_clock::now();
    // The try's deadline cuts the step short; max() means there is none.
    cutByDeadline_ = timeouts_.deadline != std::chrono::steady_clock::time_point::max() &&
                     timeouts_.deadline - now < timeout;
    timer_.expires_after(cutByDeadline_ ? std::max(timeouts_.deadline - now,
                                                   std::chrono::steady_clock::duration::zero())
                                        : std::chrono::steady_clock::duration(timeout));
    timer_.async_wait([self = shared_from_this(), generation](asio::error_code ec) {
        if (!ec && generation == self->generation_) {
            self->timedOut_ = true;
            asio::error_code ignored;
            self->socket_.close(ignored);
        }
    });
}

void SmtpConversation::Disarm() {
    ++generation_;
    timer_.cancel();
}

std::string SmtpConversation::TimedOutText() const {
    return cutByDeadline_ ? "the try's time limit was reached" : "timed out";
}

bool SmtpConversation::Fail(Stage stage, std::string reason) {
    result_.stage = stage;
    result_.reason = std::move(reason);
    Say("failed: " + result_.reason);
    return false;
}

asio::awaitable<bool> SmtpConversation::Connect() {
    asio::error_code ec;
    tcp::endpoint endpoint(asio::ip::make_address(target_.address, ec),
                           static_cast<unsigned short>(target_.port));
    if (ec) {
        co_return Fail(Stage::kConnect, "not an address: " + target_.address);
    }
    Say("Connecting to " + target_.hostName + " (" + peer_ + ")");
    Arm(timeouts_.connect);
    co_await socket_.async_connect(endpoint, asio::redirect_error(asio::use_awaitable, ec));
    Disarm();
    if (ec || timedOut_) {
        co_return Fail(Stage::kConnect, "cannot connect to " + peer_ + ": " +
                                            (timedOut_ ? TimedOutText() : ec.message()));
    }
    result_.connected = true;
    Say("Connected to " + peer_);
    if (target_.implicitTls) {
        bool secured = co_await Handshake();
        co_return secured;
    }
    co_return true;
}

asio::awaitable<bool> SmtpConversation::Handshake() {
    tls_.reset(new TlsStream(socket_, ClientTlsContext()));
    ApplyTlsPolicy(*tls_, target_);
    asio::error_code ec;
    Arm(timeouts_.reply);
    co_await tls_->async_handshake(asio::ssl::stream_base::client,
                                   asio::redirect_error(asio::use_awaitable, ec));
    Disarm();
    SSL* ssl = tls_->native_handle();
    std::string outcome = CertificateOutcome(ssl);
    if (ec || timedOut_) {
        result_.tlsHandshakeFailed = true;
        co_return Fail(Stage::kTls,
                       "TLS handshake with " + peer_ +
                           " failed: " + (timedOut_ ? TimedOutText() : ec.message()) +
                           (target_.verifyCertificate ? " (certificate: " + outcome + ")" : ""));
    }
    if (VerifiedTlsRequired(target_) && SSL_get_verify_result(ssl) != X509_V_OK) {
        co_return Fail(Stage::kTls, "the certificate of " + peer_ + " is not trusted: " + outcome);
    }
    encrypted_ = true;
    Say(std::string("TLS ") + SSL_get_version(ssl) + " " + SSL_get_cipher_name(ssl) +
        ", certificate: " + outcome +
        (target_.verifyCertificate ? ", checked for " + target_.hostName : ", not checked"));
    co_return true;
}

void SmtpConversation::Put(std::string_view line, std::string_view shown) {
    Say("Client/" + peer_ + " " + std::string(shown.empty() ? line : shown));
    out_.append(line);
    out_ += "\r\n";
}

asio::awaitable<bool> SmtpConversation::Flush(const std::string* bulk) {
    const std::string& bytes = bulk != nullptr ? *bulk : out_;
    asio::error_code ec;
    Arm(timeouts_.reply);
    if (tls_) {
        co_await asio::async_write(*tls_, asio::buffer(bytes),
                                   asio::redirect_error(asio::use_awaitable, ec));
    } else {
        co_await asio::async_write(socket_, asio::buffer(bytes),
                                   asio::redirect_error(asio::use_awaitable, ec));
    }
    Disarm();
    if (bulk == nullptr) {
        out_.clear();
    }
    if (ec || timedOut_) {
        ioError_ =
            "sending to " + peer_ + " failed: " + (timedOut_ ? TimedOutText() : ec.message());
        co_return false;
    }
    co_return true;
}

asio::awaitable<bool> SmtpConversation::Read(Reply* reply, std::chrono::milliseconds timeout) {
    for (;;) {
        std::string error;
        ReplyReader::Status status = reader_.Next(reply, &error);
        if (status == ReplyReader::Status::kReply) {
            for (size_t i = 0; i < reply->lines.size(); ++i) {
                Say("Server/" + peer_ + " " + std::to_string(reply->code) +
                    (i + 1 < reply->lines.size() ? "-" : " ") + Printable(reply->lines[i]));
            }
            co_return true;
        }
        if (status == ReplyReader::Status::kError) {
            ioError_ = peer_ + " sent " + error;
            co_return false;
        }
        asio::error_code ec;
        size_t n = 0;
        Arm(timeout);
        if (tls_) {
            n = co_await tls_->async_read_some(asio::buffer(readBuffer_),
                                               asio::redirect_error(asio::use_awaitable, ec));
        } else {
            n = co_await socket_.async_read_some(asio::buffer(readBuffer_),
                                                 asio::redirect_error(asio::use_awaitable, ec));
        }
        Disarm();
        if (ec || timedOut_) {
            ioError_ = timedOut_ ? (cutByDeadline_ ? TimedOutText() + " waiting for " + peer_
                                                   : "no reply from " + peer_ + " in time")
                                 : "connection to " + peer_ + " lost: " + ec.message();
            co_return false;
        }
        reader_.Append(std::string_view(readBuffer_.data(), n));
    }
}

asio::awaitable<bool> SmtpConversation::Exchange(Reply* reply) {
    if (!co_await Flush()) {
        co_return false;
    }
    bool replied = co_await Read(reply, timeouts_.reply);
    co_return replied;
}

asio::awaitable<void> SmtpConversation::Converse() {
    if (!co_await Connect() || !co_await Greeting()) {
        co_return;
    }
    Reply reply;
    if (!co_await Hello(&reply) || !co_await StartTls(&reply) || !co_await Authenticate()) {
        co_return;
    }
    co_await Transaction();
}

asio::awaitable<bool> SmtpConversation::Greeting() {
    Reply reply;
    if (!co_await Read(&reply, timeouts_.reply)) {
        co_return Fail(Stage::kGreeting, ioError_);
    }
    if (reply.code != 220) {
        co_return Fail(Stage::kGreeting, "greeting refused: " + reply.Summary());
    }
    co_return true;
}

asio::awaitable<bool> SmtpConversation::Hello(Reply* reply) {
    std::string ehlo = "EHLO " + message_.heloName;
    Put(ehlo);
    if (!co_await Exchange(reply)) {
        co_return Fail(Stage::kHelo, ioError_);
    }
    if (reply->Positive()) {
        caps_ = ParseEhlo(*reply);
        co_return true;
    }
    Put("HELO " + message_.heloName);
    if (!co_await Exchange(reply)) {
        co_return Fail(Stage::kHelo, ioError_);
    }
    if (!reply->Positive()) {
        co_return Fail(Stage::kHelo, "HELO refused: " + reply->Summary());
    }
    caps_ = Capabilities();
    co_return true;
}

// STARTTLS when the peer offers it and TLS is not on yet; a refusal leaves the conversation plain,
// unless the target requires verified TLS: then no STARTTLS ends it.
asio::awaitable<bool> SmtpConversation::StartTls(Reply* reply) {
    const bool required = VerifiedTlsRequired(target_);
    if (tls_) {
        co_return true;
    }
    if (!caps_.startTls) {
        co_return required ? Fail(Stage::kTls, TlsMissing("does not offer STARTTLS")) : true;
    }
    if (target_.withoutStartTls && !required) {
        Say("STARTTLS not used: its handshake with " + peer_ + " failed just before");
        co_return true;
    }
    Put("STARTTLS");
    if (!co_await Exchange(reply)) {
        co_return Fail(Stage::kTls, ioError_);
    }
    if (reply->code != 220) {
        if (required) {
            co_return Fail(Stage::kTls, TlsMissing("refused STARTTLS: " + reply->Summary()));
        }
        Say("STARTTLS refused; going on without TLS");
        co_return true;
    }
    if (reader_.Buffered()) {
        // Text sent ahead of the handshake could be injected by a third party.
        co_return Fail(Stage::kTls, peer_ + " sent data before the TLS handshake");
    }
    if (!co_await Handshake()) {
        co_return false;
    }
    bool greeted = co_await Hello(reply);
    co_return greeted;
}

// Also what a stripped STARTTLS looks like: the peer (or someone between) offers none.
std::string SmtpConversation::TlsMissing(const std::string& what) const {
    return "TLS required (RelayTlsVerify): " + peer_ + " " + what +
           "; no login and no mail sent to it";
}

asio::awaitable<bool> SmtpConversation::Authenticate() {
    if (target_.user.empty()) {
        co_return true;
    }
    if (!caps_.authPlain && !caps_.authLogin) {
        Say("The server offers no AUTH PLAIN or LOGIN; sending without logging in");
        co_return true;
    }
    if (!encrypted_ && !PlainPasswordAllowed(target_.address)) {
        co_return Fail(Stage::kAuth, "refusing to send the password to " + peer_ +
                                         " over an unencrypted connection");
    }
    Reply reply;
    if (caps_.authPlain) {
        std::string token = EncodeBase64(std::string("\0", 1) + target_.user +
                                         std::string("\0", 1) + target_.password);
        Put("AUTH PLAIN " + token, "AUTH PLAIN ****");
        if (!co_await Exchange(&reply)) {
            co_return Fail(Stage::kAuth, ioError_);
        }
    } else if (!co_await AuthenticateLogin(&reply)) {
        co_return false;
    }
    if (reply.code != 235) {
        co_return Fail(Stage::kAuth, "login refused: " + reply.Summary());
    }
    co_return true;
}

// AUTH LOGIN: the user and the password, each sent when the server asks for it with a 334.
asio::awaitable<bool> SmtpConversation::AuthenticateLogin(Reply* reply) {
    Put("AUTH LOGIN");
    if (!co_await Exchange(reply)) {
        co_return Fail(Stage::kAuth, ioError_);
    }
    for (const std::string* part : {&target_.user, &target_.password}) {
        if (reply->code != 334) {
            break;
        }
        Put(EncodeBase64(*part), "****");
        if (!co_await Exchange(reply)) {
            co_return Fail(Stage::kAuth, ioError_);
        }
    }
    co_return true;
}

asio::awaitable<void> SmtpConversation::Transaction() {
    bool utf8 = NeedsSmtpUtf8();
    if (!Acceptable(utf8)) {
        co_return;
    }
    size_t accepted = 0;
    if (!co_await Envelope(utf8, &accepted)) {
        co_return;
    }
    result_.stage = Stage::kRcpt;
    if (accepted == 0) {
        result_.reason = "no recipient accepted";
        co_await Quit();
        co_return;
    }
    co_await Data();
}

bool SmtpConversation::NeedsSmtpUtf8() const {
    bool utf8 = !IsAsciiText(message_.mailFrom);
    for (const std::string& rcpt : message_.recipients) {
        utf8 = utf8 || !IsAsciiText(rcpt);
    }
    return utf8;
}

bool SmtpConversation::Acceptable(bool utf8) {
    if (utf8 && !caps_.smtpUtf8) {
        Fail(Stage::kMail, "the addresses need SMTPUTF8, which " + peer_ + " does not offer");
        MarkAllPermanent(553, result_.reason);
        return false;
    }
    if (caps_.maxSize != 0 && message_.size > caps_.maxSize) {
        Fail(Stage::kMail, "the mail (" + std::to_string(message_.size) +
                               " bytes) exceeds the size " + peer_ + " accepts (" +
                               std::to_string(caps_.maxSize) + ")");
        MarkAllPermanent(552, result_.reason);
        return false;
    }
    return true;
}

std::string SmtpConversation::MailCommand(bool utf8) const {
    std::string mail = "MAIL FROM:<" + message_.mailFrom + ">";
    if (caps_.esmtp && caps_.maxSize != 0) {
        mail += " SIZE=" + std::to_string(message_.size);
    }
    if (caps_.esmtp && message_.eightBit && caps_.eightBitMime) {
        mail += " BODY=8BITMIME";
    }
    if (utf8) {
        mail += " SMTPUTF8";
    }
    return mail;
}

asio::awaitable<bool> SmtpConversation::Envelope(bool utf8, size_t* accepted) {
    Reply reply;
    std::string mail = MailCommand(utf8);
    std::vector<std::string> rcpts;
    for (const std::string& rcpt : message_.recipients) {
        rcpts.push_back("RCPT TO:<" + rcpt + ">");
    }
    // With PIPELINING, MAIL and every RCPT go in one write; DATA waits for their replies.
    Put(mail);
    if (caps_.pipelining) {
        for (const std::string& r : rcpts) {
            Put(r);
        }
    }
    if (!co_await Exchange(&reply)) {
        co_return Fail(Stage::kMail, ioError_);
    }
    if (!reply.Positive()) {
        co_return Fail(Stage::kMail, "sender refused: " + reply.Summary());
    }
    for (size_t i = 0; i < rcpts.size(); ++i) {
        if (!caps_.pipelining) {
            Put(rcpts[i]);
        }
        if (!co_await Exchange(&reply)) {
            co_return Fail(Stage::kRcpt, ioError_);
        }
        RecipientReply& r = result_.recipients[i];
        r.code = reply.code;
        r.text = reply.Summary();
        r.permanent = reply.Permanent();
        *accepted += reply.Positive() ? 1 : 0;
    }
    co_return true;
}

asio::awaitable<void> SmtpConversation::Data() {
    Reply reply;
    Put("DATA");
    if (!co_await Exchange(&reply)) {
        Fail(Stage::kData, ioError_);
        co_return;
    }
    if (reply.code != 354) {
        Fail(Stage::kData, "DATA refused: " + reply.Summary());
        SetAccepted(reply);
        co_return;
    }
    Say("Client/" + peer_ + " <" + std::to_string(message_.size) + " bytes of mail>");
    if (!co_await Flush(message_.payload)) {
        Fail(Stage::kData, ioError_);
        co_return;
    }
    if (!co_await Read(&reply, timeouts_.dataEnd)) {
        // The server may have taken the mail; it is tried again, as RFC 5321 accepts.
        Fail(Stage::kData, ioError_);
        co_return;
    }
    SetAccepted(reply);
    result_.stage = Stage::kDone;
    if (!keep_ || !reply.Positive()) {
        co_await Quit();
    }
}

void SmtpConversation::SetAccepted(const Reply& reply) {
    for (RecipientReply& r : result_.recipients) {
        if (r.code >= 200 && r.code < 400) {
            r.code = reply.code;
            r.text = reply.Summary();
            r.delivered = reply.Positive();
            r.permanent = reply.Permanent();
        }
    }
}

void SmtpConversation::MarkAllPermanent(int code, const std::string& text) {
    for (RecipientReply& r : result_.recipients) {
        r.code = code;
        r.text = text;
        r.permanent = true;
    }
}

asio::awaitable<void> SmtpConversation::Quit() {
    Reply reply;
    Put("QUIT");
    co_await Exchange(&reply);
}

}  // namespace relvo::mail::send
