// The console's dialogs against the real engine library: the library copied into a fresh
// application directory and made to route to a test exchanger, dnsmasq naming mx.e2e.test
// (127.0.0.2) for e2e.test, and an aiosmtpd exchanger listening there (send_peer.py).
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "mailservice/send/send_test_support.h"
#include "support/temp_app_dir.h"

class EnginePeers {
  public:
    using Process = relvo::mail::send::testing::Child;

    // Both settings are read when the console loads the library, so they come first.
    explicit EnginePeers(const TempAppDir& dir)
        : dir_(dir),
          mxPort_(relvo::mail::send::testing::FreePort()),
          dnsPort_(relvo::mail::send::testing::FreePort()) {
        std::filesystem::copy_file(RELVO_ENGINE_LIBRARY, dir.File("librelvomailservice.so"));
        setenv("RELVO_APP_DIR", dir.Path().c_str(), 1);
        setenv("RELVO_TEST_MX_PORT", std::to_string(mxPort_).c_str(), 1);
    }
    ~EnginePeers() {
        unsetenv("RELVO_TEST_MX_PORT");
        unsetenv("RELVO_APP_DIR");
    }
    EnginePeers(const EnginePeers&) = delete;
    EnginePeers& operator=(const EnginePeers&) = delete;

    // "[System]" lines that send through the test's DNS server.
    std::string SystemSection() const {
        return "[System]\r\nDnsServer=127.0.0.1:" + std::to_string(dnsPort_) +
               "\r\nHELOString=console.test\r\nLogSend=1\r\n";
    }

    // Starts dnsmasq and the exchanger (with send_peer.py's options); it keeps what it receives
    // in <app dir>/peer.
    ::testing::AssertionResult Start(const std::vector<std::string>& peerOptions = {}) {
        dns_ = relvo::mail::send::testing::Dnsmasq(
            dnsPort_, {"--mx-host=e2e.test,mx.e2e.test,10", "--host-record=mx.e2e.test,127.0.0.2",
                       "--local=/test/"});
        if (!dns_->Ready("started")) {
            return ::testing::AssertionFailure() << dns_->Output();
        }
        std::filesystem::create_directory(dir_.File("peer"));
        std::vector<std::string> argv = {"/usr/bin/python3", SEND_PEER_SCRIPT, "127.0.0.2",
                                         std::to_string(mxPort_), dir_.File("peer")};
        argv.insert(argv.end(), peerOptions.begin(), peerOptions.end());
        peer_ = std::make_unique<Process>(argv);
        if (!peer_->Ready("ready")) {
            return ::testing::AssertionFailure() << peer_->Output();
        }
        return ::testing::AssertionSuccess();
    }

    Process& Peer() { return *peer_; }

  private:
    const TempAppDir& dir_;
    const int mxPort_;
    const int dnsPort_;
    std::unique_ptr<Process> dns_;
    std::unique_ptr<Process> peer_;
};
