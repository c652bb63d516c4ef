// The DKIM signer's key cache: a key file is parsed once, and again when it is replaced (even by
// a file of the same size and time) or rewritten in place; every signature verifies with the key
// the file holds when the message is signed, checked by Python's dkim module.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "common/dkim_key_file.h"
#include "core/engine_config.h"
#include "send/transport/dkim_signer.h"
#include "send/transport/signing_trust.h"
#include "send_test_support.h"
#include "support/temp_app_dir.h"

namespace relvo::mail::send {
namespace {

// A new key of the type in file, and its DNS record.
std::string NewKey(const std::string& type, const std::string& file) {
    int status = 0;
    std::string record = testing::RunPython(
        "import subprocess,base64\n"
        "t='" +
            type +
            "'\n"
            "subprocess.run(['openssl','genpkey','-algorithm',t,'-out','" +
            file +
            "'],check=True,capture_output=True)\n"
            "der=subprocess.run(['openssl','pkey','-in','" +
            file +
            "','-pubout','-outform','DER'],check=True,capture_output=True).stdout\n"
            "print('v=DKIM1; k='+('ed25519' if t=='ED25519' else 'rsa')+'; p='+"
            "base64.b64encode(der[-32:] if t=='ED25519' else der).decode(),end='')\n",
        "", &status);
    EXPECT_EQ(status, 0);
    return record;
}

// "True False": the message verifies with first's record and not with second's.
std::string Verdicts(const std::string& message, const std::string& first,
                     const std::string& second) {
    int status = 0;
    return testing::RunPython(
        "import dkim,sys\n"
        "m=sys.stdin.buffer.read()\n"
        "def by(r): return lambda name, timeout=5: r\n"
        "print(dkim.verify(m,dnsfunc=by(b'" +
            first + "')), dkim.verify(m,dnsfunc=by(b'" + second + "')))\n",
        message, &status);
}

TEST(DkimKeyTest, EachSignatureIsMadeWithTheKeyTheFileHoldsNow) {
    TempAppDir app;
    app.Write("relvoconsole.cfg",
              "[System]\r\n[DomainList]\r\nsigned.test=1\r\n[DomainInfo]\r\n"
              "signed.test_DkimSelector=s1\r\n");
    const auto config = EngineConfig::Load();
    const std::string path = DkimKeyFile(app.Path(), "signed.test", "s1");
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    const std::string message =
        "From: A <a@signed.test>\r\nTo: b@far.test\r\nSubject: key\r\n"
        "Date: Mon, 7 Dec 2026 10:00:00 +0000\r\n\r\nBody.\r\n";
    for (const std::string type : {"RSA", "ED25519"}) {
        SCOPED_TRACE(type);
        const std::string a = NewKey(type, app.File("a.key"));
        const std::string b = NewKey(type, app.File("b.key"));
        const std::string aText = app.Read("a.key");
        auto signedNow = [&] {
            DkimSignature signature = SignMessage(message, *config, app.Path());
            EXPECT_EQ(signature.problem, "");
            return signature.field + message;
        };

        std::filesystem::copy_file(app.File("a.key"), path,
                                   std::filesystem::copy_options::overwrite_existing);
        EXPECT_EQ(Verdicts(signedNow(), a, b), "True False\n") << "first read";
        EXPECT_EQ(Verdicts(signedNow(), a, b), "True False\n") << "from the cache";

        // Another file under the name, of the same size and time: only its inode tells.
        std::filesystem::last_write_time(app.File("b.key"), std::filesystem::last_write_time(path));
        if (std::filesystem::file_size(app.File("b.key")) == aText.size()) {
            std::filesystem::rename(app.File("b.key"), path);
            EXPECT_EQ(Verdicts(signedNow(), b, a), "True False\n") << "replaced";
        }

        app.Write("dkim/signed.test/s1.key", aText);  // the same file written over
        EXPECT_EQ(Verdicts(signedNow(), a, b), "True False\n") << "rewritten in place";
    }
}

TEST(DkimKeyTest, AKeyThatIsNoRegularFileLeavesTheMailUnsignedWithoutWaiting) {
    TempAppDir app;
    app.Write("relvoconsole.cfg",
              "[System]\r\n[DomainList]\r\nsigned.test=1\r\n[DomainInfo]\r\n"
              "signed.test_DkimSelector=s1\r\n");
    const std::string path = DkimKeyFile(app.Path(), "signed.test", "s1");
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);  // would block a reader that waited for a writer
    DkimSignature signature =
        SignMessage("From: a@signed.test\r\n\r\nBody.\r\n", *EngineConfig::Load(), app.Path());
    EXPECT_EQ(signature.field, "");
    EXPECT_NE(signature.problem.find("not a regular file"), std::string::npos) << signature.problem;
}

// Our signature goes only on mail a client we trust handed in; any address we cannot read is
// no such client, and neither is a balancer's own address.
TEST(SigningTrustTest, OnlyAuthLoopbackRelayNetworksAndTheMailBuilderAreVouchedFor) {
    const std::vector<IpNetwork> relayNetworks =
        ParseIpNetworkList("203.0.113.0/24, 2001:db8:1::/48");
    const std::vector<IpNetwork> balancers = ParseIpNetworkList("127.0.0.5, 203.0.113.7");
    const struct {
        std::string authUser;
        std::optional<std::string> clientAddress;
        bool trusted;
    } cases[] = {
        {"", std::nullopt, true},  // the mail builder: no client at all
        {"alice@signed.test", "198.51.100.2:40000", true},
        {"", "127.0.0.1:40000", true},
        {"", "[::1]:25", true},
        {"", "[::ffff:127.0.0.1]:25", true},
        {"", "203.0.113.9:25", true},
        {"", "[2001:db8:1::5]:25", true},
        {"", "127.0.0.5:40000", false},  // a balancer's own connection
        {"", "203.0.113.7:40000", false},
        {"alice@signed.test", "127.0.0.5:40000", true},
        {"", "198.51.100.2:40000", false},  // anyone on the Internet
        {"", "10.1.2.3:25", false},         // private networks are not trusted as such
        {"", "", false},                    // present but empty
        {"", "127.0.0.1", false},
        {"", "::1:25", false},
        {"", "127.0.0.1:x", false},
        {"", "localhost:25", false},
        {"", "[127.0.0.1:25", false},
        {"", "127.0.0.1.example:25", false},
        {"", "198.51.100.2:25 127.0.0.1:25", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.authUser + " " + c.clientAddress.value_or("(none)"));
        EXPECT_EQ(TrustedSubmission(c.authUser, c.clientAddress, relayNetworks, balancers),
                  c.trusted);
    }
}

}  // namespace
}  // namespace relvo::mail::send
