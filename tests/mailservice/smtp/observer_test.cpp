// The DATA path shows a message to its observer as it arrives, across the buffer's spills: whole
// fields (a refused one left out of the stored message), the header's end, the body, its field.
#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <thread>

#include "smtp/smtp_session.h"
#include "smtp_test_support.h"

namespace relvo::mail::smtp {
namespace {

using namespace relvo::mail::smtp::testing;

// Writes what it is shown into seen: each field then "|", "#" at the end of the header, the body.
struct RecordingObserver : MessageObserver {
    explicit RecordingObserver(std::string& seen) : seen(seen) {}
    bool HeaderField(std::string_view field) override {
        seen.append(field).append("|");
        return !field.starts_with("X-Drop:");
    }
    void EndOfHeaders() override { seen += "#"; }
    void Body(std::string_view piece) override { seen.append(piece); }
    std::string Finish() override { return "Authentication-Results: mx.test; none\r\n"; }
    std::string& seen;
};

class ObservingHost : public SessionHost {
  public:
    explicit ObservingHost(const std::string& dir) : queue_(dir + "/queue"), log_(dir, "smtp") {
        queue_.Open(nullptr);
        settings_.hostName = "mx.test";
    }
    const ServerSettings& Settings() const override { return settings_; }
    QueueStore& Queue() override { return queue_; }
    EventLog& Log() override { return log_; }
    void Unregister(SmtpSession*) override {}
    void ReleaseClientSlot(SmtpSession*) override {}
    bool AuthBlocked(const std::string&) override { return false; }
    bool RecordAuthFailure(const std::string&, int) override { return false; }
    bool AccountAuthBlocked(std::string_view) override { return false; }
    bool RecordAccountAuthFailure(std::string_view, int) override { return false; }
    bool UnderStress() const override { return false; }
    asio::thread_pool& ObserverPool() override { return pool_; }
    MessageObserverPtr ObserveMessage(const MessageContext& context) override {
        context_ = context;
        return std::make_unique<RecordingObserver>(seen_);
    }
    MessageContext context_;
    std::string seen_;

  private:
    QueueStore queue_;
    EventLog log_;
    ServerSettings settings_;
    asio::thread_pool pool_{1};
};

TEST(MessageObserver, SeesTheMessageAsItArrivesAndPutsItsFieldOnTop) {
    TempAppDir app;
    app.Write(
        "relvoconsole.cfg",
        "[DomainList]\r\nlocal.example=1\r\n[DomainInfo]\r\nlocal.example_ServerAddress=x\r\n");
    ObservingHost host(app.Path());
    asio::io_context io;
    asio::ip::tcp::acceptor acceptor(io, {asio::ip::make_address("127.0.0.1"), 0});
    acceptor.async_accept([&](asio::error_code, asio::ip::tcp::socket socket) {
        const asio::ip::tcp::endpoint client = socket.remote_endpoint();
        std::make_shared<SmtpSession>(host, std::move(socket), client, EngineConfig::Load())
            ->Start(Admission::kAdmitted);
    });
    std::thread runner([&] { io.run_for(std::chrono::seconds(30)); });

    // A header section longer than the session's buffer, so a spill falls inside it.
    std::string kept, expected;
    for (int i = 0; i < 1100; ++i) {
        kept += "X-Hop: " + std::to_string(i) + std::string(60, '-') + "\r\n";
        expected += "X-Hop: " + std::to_string(i) + std::string(60, '-') + "\r\n|";
    }
    const size_t hops = kept.size();
    std::string body;
    for (int i = 0; i < 500; ++i) {
        body += ".line " + std::to_string(i) + " of the body\r\n";
    }
    const std::string dropped = "X-Drop: folded\r\n\tcontinued\r\n";
    kept += "Subject: kept\r\n\r\n" + body;
    expected += dropped + "|Subject: kept\r\n|#" + body;
    auto replies = RunPeer("127.0.0.1", acceptor.local_endpoint().port(),
                           {{"ehlo", "c.example"},
                            {"mail", "s@remote.example"},
                            {"rcpt", "x@local.example"},
                            {"data", kept.substr(0, hops) + dropped + kept.substr(hops)},
                            {"quit"}});
    runner.join();
    ASSERT_EQ(replies.size(), 6u);
    EXPECT_EQ(replies[4].code, 250) << replies[4].text;
    EXPECT_TRUE(host.context_.forLocalDomain);
    EXPECT_EQ(host.seen_, expected);
    const std::string id = replies[4].text.substr(replies[4].text.find("as ") + 3);
    std::string eml = app.Read("queue/" + id.substr(0, id.find(' ')) + ".eml");
    EXPECT_EQ(eml.rfind("Authentication-Results: mx.test; none\r\nReceived: from c", 0), 0u);
    EXPECT_EQ(eml.substr(std::min(eml.size(), eml.find("X-Hop: 0-"))), kept);
}

}  // namespace
}  // namespace relvo::mail::smtp
