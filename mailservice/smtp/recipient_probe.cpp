#include "smtp/recipient_probe.h"

#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <utility>

namespace relvo::mail::smtp {
namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

std::string Shown(std::string_view text) {
    std::string out;
    for (char c : text.substr(0, ProbeReplyReader::kMaxShown)) {
        out += (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? '?' : c;
    }
    return out;
}

}  // namespace

ProbeReplyReader::Status ProbeReplyReader::Next(ProbeReply* reply) {
    while (true) {
        const size_t end = buffer_.find('\n', start_);
        if (end == std::string::npos) {
            if (buffer_.size() - start_ > kMaxLine) {
                reply->text = "a reply line longer than " + std::to_string(kMaxLine) + " bytes";
                return Status::kError;
            }
            // Keep only the unread part, so that a long conversation does not grow the buffer.
            buffer_.erase(0, start_);
            start_ = 0;
            return Status::kNeedMore;
        }
        std::string_view line(buffer_.data() + start_, end - start_);
        start_ = end + 1;
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (line.size() + 2 > kMaxLine || line.size() < 3 || !IsDigit(line[0]) ||
            !IsDigit(line[1]) || !IsDigit(line[2]) ||
            (line.size() > 3 && line[3] != ' ' && line[3] != '-')) {
            reply->text = "no SMTP reply: " + Shown(line);
            return Status::kError;
        }
        const int code = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
        if (lines_ == 0) {
            partial_ = ProbeReply{code, Shown(line)};
        } else if (code != partial_.code) {
            reply->text = "a reply whose lines have different codes";
            return Status::kError;
        }
        if (++lines_ > kMaxLines) {
            reply->text = "a reply of more than " + std::to_string(kMaxLines) + " lines";
            return Status::kError;
        }
        if (line.size() == 3 || line[3] == ' ') {
            lines_ = 0;
            *reply = std::move(partial_);
            return Status::kReply;
        }
    }
}

ProbeConnection::ProbeConnection(asio::any_io_executor executor,
                                 std::chrono::milliseconds stepTimeout)
    : socket_(executor), timer_(executor), stepTimeout_(stepTimeout) {}

void ProbeConnection::Close() {
    Disarm();
    asio::error_code ignored;
    socket_.close(ignored);
}

// When a step's time passes, the socket is closed and the step fails.
void ProbeConnection::Arm() {
    const unsigned generation = ++generation_;
    timedOut_ = false;
    timer_.expires_after(stepTimeout_);
    timer_.async_wait([self = shared_from_this(), generation](asio::error_code ec) {
        if (!ec && generation == self->generation_) {
            self->timedOut_ = true;
            asio::error_code ignored;
            self->socket_.close(ignored);
        }
    });
}

void ProbeConnection::Disarm() {
    ++generation_;
    timer_.cancel();
}

asio::awaitable<std::string> ProbeConnection::Open(asio::ip::tcp::endpoint endpoint,
                                                   const std::string& heloName) {
    asio::error_code ec;
    Arm();
    co_await socket_.async_connect(endpoint, asio::redirect_error(asio::use_awaitable, ec));
    Disarm();
    if (ec || timedOut_) {
        Close();
        co_return "cannot connect: " + (timedOut_ ? std::string("timed out") : ec.message());
    }
    ProbeReply reply;
    if (!co_await Read(&reply)) {
        co_return reply.text;
    }
    if (reply.code != 220) {
        Close();
        co_return "greeting refused: " + reply.text;
    }
    std::string ehlo = "EHLO " + heloName;
    if (!co_await Exchange(ehlo, &reply)) {
        co_return reply.text;
    }
    if (reply.code / 100 != 2) {
        std::string helo = "HELO " + heloName;
        if (!co_await Exchange(helo, &reply)) {
            co_return reply.text;
        }
        if (reply.code / 100 != 2) {
            Close();
            co_return "HELO refused: " + reply.text;
        }
    }
    co_return std::string();
}

asio::awaitable<ProbeReply> ProbeConnection::Ask(const std::string& address) {
    ProbeReply reply;
    std::string mail = "MAIL FROM:<>";
    if (!co_await Exchange(mail, &reply)) {
        co_return reply;
    }
    if (reply.code / 100 != 2) {
        // A server that takes no null sender cannot be asked this way.
        std::string rset = "RSET";
        ProbeReply ignored;
        co_await Exchange(rset, &ignored);
        co_return ProbeReply{0, "MAIL FROM:<> refused: " + reply.text};
    }
    std::string rcpt = "RCPT TO:<" + address + ">";
    if (!co_await Exchange(rcpt, &reply)) {
        co_return reply;
    }
    // The answer stands whatever RSET brings; a connection that fails it is not used again.
    std::string rset = "RSET";
    ProbeReply reset;
    if (co_await Exchange(rset, &reset) && reset.code / 100 != 2) {
        Close();
    }
    co_return reply;
}

asio::awaitable<void> ProbeConnection::Quit() {
    if (IsOpen()) {
        std::string quit = "QUIT";
        ProbeReply ignored;
        co_await Exchange(quit, &ignored);
    }
    Close();
}

asio::awaitable<bool> ProbeConnection::Send(const std::string& line) {
    out_.assign(line).append("\r\n");
    asio::error_code ec;
    Arm();
    co_await asio::async_write(socket_, asio::buffer(out_),
                               asio::redirect_error(asio::use_awaitable, ec));
    Disarm();
    co_return !ec && !timedOut_;
}

asio::awaitable<bool> ProbeConnection::Read(ProbeReply* reply) {
    while (true) {
        switch (reader_.Next(reply)) {
            case ProbeReplyReader::Status::kReply:
                co_return true;
            case ProbeReplyReader::Status::kError:
                reply->code = 0;
                Close();
                co_return false;
            case ProbeReplyReader::Status::kNeedMore:
                break;
        }
        asio::error_code ec;
        Arm();
        const size_t n = co_await socket_.async_read_some(
            asio::buffer(buffer_), asio::redirect_error(asio::use_awaitable, ec));
        Disarm();
        if (ec || timedOut_) {
            *reply =
                ProbeReply{0, timedOut_ ? "no reply in time" : "connection lost: " + ec.message()};
            Close();
            co_return false;
        }
        reader_.Append(std::string_view(buffer_.data(), n));
    }
}

asio::awaitable<bool> ProbeConnection::Exchange(const std::string& line, ProbeReply* reply) {
    if (!co_await Send(line)) {
        *reply = ProbeReply{0, timedOut_ ? "sending timed out" : "connection lost while sending"};
        Close();
        co_return false;
    }
    const bool replied = co_await Read(reply);
    co_return replied;
}

}  // namespace relvo::mail::smtp
