// The DKIM window's check of a published record through the real engine library and its DNS
// client, against dnsmasq on the IPv6 loopback (and the IPv4 one): the DnsServer setting in each
// form the console accepts, records split into several strings, several records at one name and
// a server that never answers.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <dlfcn.h>

#include "engine/engine_binding.h"
#include "mailservice/send/send_test_support.h"
#include "relvomail.h"
#include "support/temp_app_dir.h"
#include "tables/dkim_setup.h"

namespace {

using relvo::mail::send::testing::Dnsmasq;
using relvo::mail::send::testing::FreePort;
using Outcome = PublishedCheck::Outcome;

const std::string kRecord = "v=DKIM1; k=ed25519; p=11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo=";

// A UDP socket on the IPv6 loopback that takes queries and never answers them.
class SilentServer {
  public:
    SilentServer() : fd_(socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_addr = in6addr_loopback;
        socklen_t length = sizeof address;
        if (bind(fd_, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
            getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            port_ = ntohs(address.sin6_port);
        }
    }
    ~SilentServer() { close(fd_); }
    SilentServer(const SilentServer&) = delete;
    SilentServer& operator=(const SilentServer&) = delete;
    int Port() const { return port_; }

  private:
    int fd_;
    int port_ = 0;
};

TEST(DkimDnsTest, PublishedRecordsAreCheckedThroughTheEngineOverIpv6) {
    TempAppDir dir;
    std::filesystem::copy_file(RELVO_ENGINE_LIBRARY, dir.File("librelvomailservice.so"));
    const int port = FreePort();
    auto dns = Dnsmasq(
        port,
        {"--listen-address=::1", "--local=/test/", "--txt-record=s._domainkey.good.test," + kRecord,
         "--txt-record=s._domainkey.old.test,v=DKIM1; k=ed25519; p=AAAA",
         // one record in two strings, the way long keys are published
         "--txt-record=s._domainkey.split.test,v=DKIM1; k=ed25519; ," + kRecord.substr(20),
         "--txt-record=s._domainkey.many.test,v=spf1 -all",
         "--txt-record=s._domainkey.many.test," + kRecord});
    ASSERT_TRUE(dns->Ready("started")) << dns->Output();
    SilentServer silent;
    ASSERT_NE(silent.Port(), 0);

    const std::string v6 = "[::1]:" + std::to_string(port);
    const std::string v4 = "127.0.0.1:" + std::to_string(port);
    const std::string mute = "[::1]:" + std::to_string(silent.Port());
    const struct {
        std::string name;
        std::string server;
        Outcome outcome;
    } cases[] = {
        {"s._domainkey.good.test", v6, Outcome::kMatches},
        {"s._domainkey.good.test", v4, Outcome::kMatches},
        {"s._domainkey.old.test", v6, Outcome::kDiffers},
        {"s._domainkey.none.test", v6, Outcome::kMissing},
        {"s._domainkey.split.test", v6, Outcome::kMatches},
        {"s._domainkey.many.test", v6, Outcome::kMatches},
        {"s._domainkey.good.test", mute, Outcome::kLookupFailed},
    };
    for (const auto& c : cases) {
        const auto start = std::chrono::steady_clock::now();
        PublishedCheck check = CheckPublishedRecord(c.name, kRecord, c.server);
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(check.outcome, c.outcome) << c.name << " via " << c.server << ": " << check.text;
        // The deadline holds, with room for a loaded machine.
        EXPECT_LT(took, std::chrono::milliseconds(RELVOMAIL_DNS_DEADLINE_MS + 2000)) << c.name;
    }

    // Several records come back apart and whole; a buffer too small for them is said so.
    engine::TxtAnswer many = engine::LookupTxt("s._domainkey.many.test", v6);
    EXPECT_EQ(many.status, engine::TxtAnswer::Status::kFound) << many.problem;
    std::vector<std::string> expected = {kRecord, "v=spf1 -all"};  // in sorted order
    std::sort(many.records.begin(), many.records.end());
    EXPECT_EQ(many.records, expected);
    void* engine = dlopen(engine::LibraryPath().c_str(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(engine, nullptr);
    auto* lookupTxt =
        reinterpret_cast<decltype(&RelvoMail_LookupTxt)>(dlsym(engine, "RelvoMail_LookupTxt"));
    ASSERT_NE(lookupTxt, nullptr);
    char small[16];
    EXPECT_EQ(lookupTxt("s._domainkey.many.test", v6.c_str(), small, sizeof small),
              RELVOMAIL_DNS_BUFFER_TOO_SMALL);
    EXPECT_EQ(lookupTxt("bad name/", v6.c_str(), small, sizeof small), RELVOMAIL_DNS_BAD_ARGUMENT);
    dlclose(engine);  // only drops the reference NOLOAD added
}

}  // namespace
