#include "send/smtp_client.h"

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <array>
#include <asio/connect.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/redirect_error.hpp>
#include <asio/ssl.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <memory>
#include <mutex>

#include "common/ascii.h"
#include "core/net_ranges.h"
#include "send/smtp_reply.h"
#include "smtp/sasl.h"

namespace relvo::mail::send {

namespace {

using asio::ip::tcp;
using TlsStream = asio::ssl::stream<tcp::socket&>;

// Client contexts are costly to make (the trusted certificates are loaded once).
asio::ssl::context& ClientContext() {
    static std::once_flag once;
    static std::unique_ptr<asio::ssl::context> context;
    std::call_once(once, [] {
        context = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_client);
        context->set_options(asio::ssl::context::default_workarounds |
                             asio::ssl::context::no_sslv2 | asio::ssl::context::no_sslv3 |
                             asio::ssl::context::no_compression);
        asio::error_code ignored;
        context->set_default_verify_paths(ignored);
    });
    return *context;
}

class Conversation : public std::enable_shared_from_this<Conversation> {
  public:
    Conversation(asio::any_io_executor executor, ClientTarget target, ClientMessage message,
                 StepTimeouts timeouts, Transcript transcript)
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

    // No temporary with a destructor in a coroutine's first statement: this compiler
    // miscompiles those.
    // keep: leave the connection open after a delivered mail (Reusable() then tells).
    asio::awaitable<ClientResult> Run(bool keep) {
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

    bool Reusable() const { return keep_ && result_.stage == Stage::kDone && socket_.is_open(); }
    // A kept connection that failed before its MAIL was answered: the server let it go.
    bool Stale() const { return reused_ && result_.stage <= Stage::kMail; }

    // Makes a kept connection ready for the next mail.
    void Reuse(const ClientMessage& message, const StepTimeouts& timeouts,
               const Transcript& transcript) {
        message_ = message;
        timeouts_ = timeouts;
        transcript_ = transcript;
        result_ = ClientResult();
        result_.connected = true;
        out_.clear();
        reused_ = true;
    }

  private:
    void Say(std::string_view text) {
        if (transcript_) {
            transcript_(text);
        }
    }

    void Arm(std::chrono::milliseconds timeout) {
        unsigned generation = ++generation_;
        timedOut_ = false;
        timer_.expires_after(timeout);
        timer_.async_wait([self = shared_from_this(), generation](asio::error_code ec) {
            if (!ec && generation == self->generation_) {
                self->timedOut_ = true;
                asio::error_code ignored;
                self->socket_.close(ignored);
            }
        });
    }
    void Disarm() {
        ++generation_;
        timer_.cancel();
    }

    bool Fail(Stage stage, std::string reason) {
        result_.stage = stage;
        result_.reason = std::move(reason);
        Say("failed: " + result_.reason);
        return false;
    }

    asio::awaitable<bool> Connect() {
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
                                                (timedOut_ ? "timed out" : ec.message()));
        }
        result_.connected = true;
        Say("Connected to " + peer_);
        if (target_.implicitTls) {
            bool secured = co_await Handshake(Stage::kConnect);
            co_return secured;
        }
        co_return true;
    }

    asio::awaitable<bool> Handshake(Stage stage) {
        tls_.reset(new TlsStream(socket_, ClientContext()));
        SSL* ssl = tls_->native_handle();
        asio::error_code ec;
        if (!target_.hostName.empty() && target_.hostName != target_.address) {
            SSL_set_tlsext_host_name(ssl, target_.hostName.c_str());
        }
        if (target_.verifyCertificate) {
            tls_->set_verify_mode(asio::ssl::verify_peer, ec);
            tls_->set_verify_callback(asio::ssl::host_name_verification(target_.hostName), ec);
        } else {
            tls_->set_verify_mode(asio::ssl::verify_none, ec);
        }
        Arm(timeouts_.reply);
        co_await tls_->async_handshake(asio::ssl::stream_base::client,
                                       asio::redirect_error(asio::use_awaitable, ec));
        Disarm();
        long verify = SSL_get_verify_result(ssl);
        std::string outcome =
            verify == X509_V_OK ? "certificate trusted" : X509_verify_cert_error_string(verify);
        if (ec || timedOut_) {
            co_return Fail(
                Stage::kTls,
                "TLS handshake with " + peer_ +
                    " failed: " + (timedOut_ ? "timed out" : ec.message()) +
                    (target_.verifyCertificate ? " (certificate: " + outcome + ")" : ""));
        }
        encrypted_ = true;
        Say(std::string("TLS ") + SSL_get_version(ssl) + " " + SSL_get_cipher_name(ssl) +
            ", certificate: " + outcome +
            (target_.verifyCertificate ? ", checked for " + target_.hostName : ", not checked"));
        (void)stage;
        co_return true;
    }

    // Queues a command line; it goes out with the next Flush. Commands are built here, outside
    // any co_await expression: this compiler's coroutines mishandle temporaries in those.
    void Put(std::string_view line, std::string_view shown = {}) {
        Say("Client/" + peer_ + " " + std::string(shown.empty() ? line : shown));
        out_.append(line);
        out_ += "\r\n";
    }

    // Writes what Put queued, or the given bytes when bulk is set.
    asio::awaitable<bool> Flush(const std::string* bulk = nullptr) {
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
                "sending to " + peer_ + " failed: " + (timedOut_ ? "timed out" : ec.message());
            co_return false;
        }
        co_return true;
    }

    // Reads one reply; false with ioError_ set when none came in time.
    asio::awaitable<bool> Read(Reply* reply, std::chrono::milliseconds timeout) {
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
                ioError_ = timedOut_ ? "no reply from " + peer_ + " in time"
                                     : "connection to " + peer_ + " lost: " + ec.message();
                co_return false;
            }
            reader_.Append(std::string_view(readBuffer_.data(), n));
        }
    }

    static std::string Printable(std::string_view text) {
        std::string out;
        for (char c : text) {
            out += (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? '?' : c;
        }
        return out;
    }

    // Sends what was Put and reads one reply; false when the reply did not come.
    asio::awaitable<bool> Exchange(Reply* reply) {
        if (!co_await Flush()) {
            co_return false;
        }
        bool replied = co_await Read(reply, timeouts_.reply);
        co_return replied;
    }

    asio::awaitable<bool> Hello(Reply* reply) {
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

    asio::awaitable<bool> Authenticate() {
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
            std::string token = smtp::EncodeBase64(std::string("\0", 1) + target_.user +
                                                   std::string("\0", 1) + target_.password);
            Put("AUTH PLAIN " + token, "AUTH PLAIN ****");
            if (!co_await Exchange(&reply)) {
                co_return Fail(Stage::kAuth, ioError_);
            }
        } else {
            Put("AUTH LOGIN");
            if (!co_await Exchange(&reply)) {
                co_return Fail(Stage::kAuth, ioError_);
            }
            for (const std::string* part : {&target_.user, &target_.password}) {
                if (reply.code != 334) {
                    break;
                }
                Put(smtp::EncodeBase64(*part), "****");
                if (!co_await Exchange(&reply)) {
                    co_return Fail(Stage::kAuth, ioError_);
                }
            }
        }
        if (reply.code != 235) {
            co_return Fail(Stage::kAuth, "login refused: " + reply.Summary());
        }
        co_return true;
    }

    asio::awaitable<void> Converse() {
        if (!co_await Connect()) {
            co_return;
        }
        Reply reply;
        if (!co_await Read(&reply, timeouts_.reply)) {
            Fail(Stage::kGreeting, ioError_);
            co_return;
        }
        if (reply.code != 220) {
            Fail(Stage::kGreeting, "greeting refused: " + reply.Summary());
            co_return;
        }
        if (!co_await Hello(&reply)) {
            co_return;
        }
        if (!tls_ && caps_.startTls) {
            Put("STARTTLS");
            if (!co_await Exchange(&reply)) {
                Fail(Stage::kTls, ioError_);
                co_return;
            }
            if (reply.code == 220) {
                if (reader_.Buffered()) {
                    // Text sent ahead of the handshake could be injected by a third party.
                    Fail(Stage::kTls, peer_ + " sent data before the TLS handshake");
                    co_return;
                }
                if (!co_await Handshake(Stage::kTls) || !co_await Hello(&reply)) {
                    co_return;
                }
            } else {
                Say("STARTTLS refused; going on without TLS");
            }
        }
        if (!co_await Authenticate()) {
            co_return;
        }
        co_await Transaction();
    }

    // MAIL, RCPT and DATA of one mail on a conversation that is greeted (and logged in).
    asio::awaitable<void> Transaction() {
        Reply reply;
        bool utf8 = !IsAsciiText(message_.mailFrom);
        for (const std::string& rcpt : message_.recipients) {
            utf8 = utf8 || !IsAsciiText(rcpt);
        }
        if (utf8 && !caps_.smtpUtf8) {
            Fail(Stage::kMail, "the addresses need SMTPUTF8, which " + peer_ + " does not offer");
            MarkAllPermanent(553, result_.reason);
            co_return;
        }
        if (caps_.maxSize != 0 && message_.size > caps_.maxSize) {
            Fail(Stage::kMail, "the mail (" + std::to_string(message_.size) +
                                   " bytes) exceeds the size " + peer_ + " accepts (" +
                                   std::to_string(caps_.maxSize) + ")");
            MarkAllPermanent(552, result_.reason);
            co_return;
        }
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
            Fail(Stage::kMail, ioError_);
            co_return;
        }
        if (!reply.Positive()) {
            Fail(Stage::kMail, "sender refused: " + reply.Summary());
            co_return;
        }
        size_t accepted = 0;
        for (size_t i = 0; i < rcpts.size(); ++i) {
            if (!caps_.pipelining) {
                Put(rcpts[i]);
            }
            if (!co_await Exchange(&reply)) {
                Fail(Stage::kRcpt, ioError_);
                co_return;
            }
            RecipientReply& r = result_.recipients[i];
            r.code = reply.code;
            r.text = reply.Summary();
            r.permanent = reply.Permanent();
            accepted += reply.Positive() ? 1 : 0;
        }
        result_.stage = Stage::kRcpt;
        if (accepted == 0) {
            result_.reason = "no recipient accepted";
            co_await Quit();
            co_return;
        }
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

    // The reply to DATA or to the end of the mail counts for every recipient RCPT accepted.
    void SetAccepted(const Reply& reply) {
        for (RecipientReply& r : result_.recipients) {
            if (r.code >= 200 && r.code < 400) {
                r.code = reply.code;
                r.text = reply.Summary();
                r.delivered = reply.Positive();
                r.permanent = reply.Permanent();
            }
        }
    }

    void MarkAllPermanent(int code, const std::string& text) {
        for (RecipientReply& r : result_.recipients) {
            r.code = code;
            r.text = text;
            r.permanent = true;
        }
    }

    asio::awaitable<void> Quit() {
        Reply reply;
        Put("QUIT");
        co_await Exchange(&reply);
    }

    tcp::socket socket_;
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
    bool encrypted_ = false;
    bool keep_ = false;
    bool reused_ = false;
};

}  // namespace

bool PlainPasswordAllowed(std::string_view address) {
    return IsLoopbackOrPrivate(address);
}

asio::awaitable<ClientResult> RunSmtpClient(const ClientTarget& target,
                                            const ClientMessage& message,
                                            const StepTimeouts& timeouts,
                                            const Transcript& transcript, SessionCache* cache) {
    auto executor = co_await asio::this_coro::executor;
    std::string key = target.address + "|" + std::to_string(target.port) + "|" +
                      (target.implicitTls ? "tls" : "") + "|" +
                      (target.verifyCertificate ? target.hostName : "") + "|" + target.user + "|" +
                      target.password;
    std::shared_ptr<Conversation> kept;
    if (cache != nullptr) {
        std::lock_guard lock(cache->mutex);
        auto now = std::chrono::steady_clock::now();
        for (auto it = cache->idle.begin(); it != cache->idle.end();) {
            if (it->second.first <= now) {
                it = cache->idle.erase(it);  // the socket closes with its conversation
            } else {
                ++it;
            }
        }
        auto found = cache->idle.find(key);
        if (found != cache->idle.end()) {
            kept = std::static_pointer_cast<Conversation>(found->second.second);
            cache->idle.erase(found);
        }
    }
    ClientResult result;
    if (kept) {
        kept->Reuse(message, timeouts, transcript);
        result = co_await kept->Run(true);
        if (!kept->Stale()) {
            if (kept->Reusable()) {
                std::lock_guard lock(cache->mutex);
                cache->idle.emplace(
                    key, std::make_pair(std::chrono::steady_clock::now() + cache->idleTime, kept));
            }
            co_return result;
        }
    }
    auto conversation =
        std::make_shared<Conversation>(executor, target, message, timeouts, transcript);
    result = co_await conversation->Run(cache != nullptr);
    if (cache != nullptr && conversation->Reusable()) {
        std::lock_guard lock(cache->mutex);
        if (cache->idle.size() < cache->maxIdle) {
            cache->idle.emplace(
                key,
                std::make_pair(std::chrono::steady_clock::now() + cache->idleTime, conversation));
        }
    }
    co_return result;
}

}  // namespace relvo::mail::send
