// The DATA path shows a message to its observer as it arrives (through a host of the test's own,
// with a real client): whole fields, a refused one left out of the stored message, the end of
// the header, the body, and the observer's field stored on top, across the buffer's spills.
#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <filesystem>
#include <thread>

#include "smtp/smtp_session.h"
#include "smtp_test_support.h"

namespace relvo::mail::smtp {
namespace {

using namespace relvo::mail::smtp::testing;

struct Seen {
    MessageContext context;
    std::vector<std::string> fields;
    int headerEnds = 0;
    std::string body;
};

class RecordingObserver : public MessageObserver {
  public:
    explicit RecordingObserver(Seen& seen) : seen_(seen) {}
    bool HeaderField(std::string_view field) override {
        seen_.fields.emplace_back(field);
        return !field.starts_with("X-Drop:");
    }
    void EndOfHeaders() override { ++seen_.headerEnds; }
    void Body(std::string_view piece) override { seen_.body.append(piece); }
    std::string Finish() override { return "Authentication-Results: mx.test; none\r\n"; }

  private:
    Seen& seen_;
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
    void Unregister(SmtpSession*, const std::string&) override {}
    MessageObserverPtr ObserveMessage(const MessageContext& context) override {
        seen.context = context;
        return std::make_unique<RecordingObserver>(seen);
    }
    Seen seen;

  private:
    QueueStore queue_;
    EventLog log_;
    ServerSettings settings_;
};

TEST(MessageObserver, SeesTheMessageAsItArrivesAndPutsItsFieldOnTop) {
    TempAppDir app;
    app.Write("relvoconsole.cfg",
              "[System]\r\n[DomainList]\r\nlocal.example=1\r\n"
              "[DomainInfo]\r\nlocal.example_ServerAddress=192.0.2.10\r\n");
    ObservingHost host(app.Path());
    asio::io_context io;
    asio::ip::tcp::acceptor acceptor(io, {asio::ip::make_address("127.0.0.1"), 0});
    acceptor.async_accept([&](asio::error_code ec, asio::ip::tcp::socket socket) {
        ASSERT_FALSE(ec);
        auto session = std::make_shared<SmtpSession>(host, std::move(socket), EngineConfig::Load());
        session->Start(Admission::kAdmitted);
    });
    std::thread runner([&] { io.run_for(std::chrono::seconds(30)); });

    // A header section longer than the session's buffer, so a spill falls inside it.
    std::string header;
    for (int i = 0; i < 1100; ++i) {
        header += "X-Hop: " + std::to_string(i) + std::string(60, '-') + "\r\n";
    }
    header += "X-Drop: folded\r\n\tcontinued\r\nSubject: kept\r\n";
    std::string body;
    for (int i = 0; i < 500; ++i) {
        body += ".line " + std::to_string(i) + " of the body\r\n";
    }
    auto replies = RunPeer("127.0.0.1", acceptor.local_endpoint().port(),
                           {{"ehlo", "c.example"},
                            {"mail", "s@remote.example"},
                            {"rcpt", "x@local.example"},
                            {"data", header + "\r\n" + body},
                            {"quit"}});
    runner.join();
    ASSERT_EQ(replies.size(), 6u);
    EXPECT_EQ(replies[4].code, 250) << replies[4].text;

    const Seen& seen = host.seen;
    EXPECT_EQ(seen.context.mailFrom, "s@remote.example");
    EXPECT_TRUE(seen.context.forLocalDomain);
    ASSERT_EQ(seen.fields.size(), 1102u);
    EXPECT_EQ(seen.fields[1099], "X-Hop: 1099" + std::string(60, '-') + "\r\n");
    EXPECT_EQ(seen.fields[1100], "X-Drop: folded\r\n\tcontinued\r\n");
    EXPECT_EQ(seen.headerEnds, 1);
    EXPECT_EQ(seen.body, body);

    std::string eml;
    for (const auto& entry : std::filesystem::directory_iterator(app.File("queue"))) {
        if (entry.path().extension() == ".eml") {
            eml = app.Read("queue/" + entry.path().filename().string());
        }
    }
    const std::string kept = header.substr(0, header.find("X-Drop:")) + "Subject: kept\r\n";
    EXPECT_EQ(eml.rfind("Authentication-Results: mx.test; none\r\nReceived: from c.example", 0),
              0u);
    EXPECT_EQ(eml.substr(eml.find("X-Hop: 0-")), kept + "\r\n" + body);
}

}  // namespace
}  // namespace relvo::mail::smtp
