// One connection to a local domain's server that asks it about recipients: greeting, EHLO (HELO
// when refused), then per recipient MAIL FROM:<>, RCPT TO:<address> and RSET, so that the same
// connection serves the next question; QUIT when it is let go. Every step has a deadline and
// every reply is bounded. No message is ever sent.
//
// The SEND service's client is not used: it lives in send/, which this room may not include, and
// it is built around deliveries (a conversation ends in DATA, and is kept only after one).
// Without a client TLS context of our own the probe goes in the clear, so only servers on
// loopback and private networks are asked (RecipientVerifier decides that).
#pragma once

#include <array>
#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace relvo::mail::smtp {

struct ProbeReply {
    int code = 0;      // 0: no reply (text says why)
    std::string text;  // the reply's first line, control characters as '?', at most kMaxShown
};

// Reads replies out of the bytes a server sends, within fixed bounds.
class ProbeReplyReader {
  public:
    static constexpr size_t kMaxLine = 1000;  // RFC 5321 allows 512; servers add slack
    static constexpr size_t kMaxLines = 100;
    static constexpr size_t kMaxShown = 200;
    enum class Status { kNeedMore, kReply, kError };

    void Append(std::string_view bytes) { buffer_.append(bytes); }
    // The next complete reply; kError (reply->text says why) when the bytes are no reply or
    // exceed the bounds.
    Status Next(ProbeReply* reply);
    bool Buffered() const { return start_ < buffer_.size(); }

  private:
    std::string buffer_;
    size_t start_ = 0;
    size_t lines_ = 0;  // lines of the reply under way
    ProbeReply partial_;
};

class ProbeConnection : public std::enable_shared_from_this<ProbeConnection> {
  public:
    // stepTimeout: the connect and each reply.
    ProbeConnection(asio::any_io_executor executor, std::chrono::milliseconds stepTimeout);

    // Connects, reads the greeting and says EHLO (HELO when refused); "" or why not.
    asio::awaitable<std::string> Open(asio::ip::tcp::endpoint endpoint,
                                      const std::string& heloName);
    // The server's reply to RCPT TO:<address>; code 0 when the conversation broke (the connection
    // is then closed), or when MAIL FROM:<> was refused (text says so).
    asio::awaitable<ProbeReply> Ask(const std::string& address);
    asio::awaitable<void> Quit();
    bool IsOpen() const { return socket_.is_open(); }
    void Close();

  private:
    void Arm();
    void Disarm();
    // Arguments are references to the caller's locals: this compiler mishandles temporaries
    // made inside a co_await expression.
    asio::awaitable<bool> Send(const std::string& line);
    asio::awaitable<bool> Read(ProbeReply* reply);
    // Sends line and reads its reply; false (reply->text says why) when none came.
    asio::awaitable<bool> Exchange(const std::string& line, ProbeReply* reply);

    asio::ip::tcp::socket socket_;
    asio::steady_timer timer_;
    std::chrono::milliseconds stepTimeout_;
    unsigned generation_ = 0;
    bool timedOut_ = false;
    ProbeReplyReader reader_;
    std::string out_;
    std::array<char, 4096> buffer_{};
};

}  // namespace relvo::mail::smtp
