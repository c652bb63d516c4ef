// The SEND service and the diagnose send against real peers on loopback: aiosmtpd mail
// exchangers and relays (plain, STARTTLS, TLS from the first byte, AUTH) and dnsmasq answering
// MX and address queries.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "common/mail_queue.h"
#include "core/timestamp.h"
#include "send/delivery.h"
#include "send/diagnose_send.h"
#include "send/send_service.h"
#include "send_test_support.h"
#include "support/netns_slot.h"
#include "support/queue_entries.h"
#include "support/temp_app_dir.h"

namespace relvo::mail::send {
namespace {

using namespace std::chrono_literals;
using testing::Child;
using testing::ReadFile;
using testing::ReadReceived;
using testing::Received;
using testing::RecordingWindow;
using Clock = std::chrono::system_clock;

SendService& Service() {
    return testing::Engine().send;
}

// Whether something accepts connections on 127.0.0.1:port.
bool Accepts(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    const bool connected =
        connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return connected;
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 15s) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

// The MX answers every test uses; each test runs only the peers it needs.
const std::vector<std::string> kZone = {
    "--mx-host=multi.test,mx1.multi.test,10",
    "--mx-host=multi.test,mx2.multi.test,20",
    "--host-record=mx1.multi.test,127.0.0.2",
    "--host-record=mx2.multi.test,127.0.0.3",
    "--host-record=nomx.test,127.0.0.4",
    "--mx-host=null.test,.,0",
    "--mx-host=origin.test,mx.origin.test,5",
    "--host-record=mx.origin.test,127.0.0.9",
    "--mx-host=down.test,mx.down.test,10",
    "--host-record=mx.down.test,127.0.0.8",
    "--mx-host=fast.test,mx.fast.test,10",
    "--host-record=mx.fast.test,127.0.0.3",
    "--mx-host=slow.test,mx.slow.test,10",
    "--host-record=mx.slow.test,127.0.0.4",
    "--mx-host=wide.test,mx1.wide.test,1",
    "--mx-host=wide.test,mx2.wide.test,2",
    "--mx-host=wide.test,mx3.wide.test,3",
    "--mx-host=wide.test,mx4.wide.test,4",
    "--mx-host=wide.test,mx5.wide.test,5",
    "--mx-host=wide.test,live.alive.test,6",
    "--address=/wide.test/127.0.0.21",
    "--host-record=live.alive.test,127.0.0.26",
    "--server=/tempfail.test/127.0.0.1#9",  // nothing answers there: the lookup fails for now
    "--local=/test/",
};

class SendServiceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        port_ = testing::FreePort();
        dnsPort_ = testing::FreePort();
        dns_ = testing::Dnsmasq(dnsPort_, kZone);
        ASSERT_TRUE(dns_->Ready("started")) << dns_->Output();
        SetExchangerPortForTesting(port_);
        StepTimeouts timeouts;
        timeouts.connect = 2s;
        timeouts.reply = 5s;
        timeouts.dataEnd = 30s;
        SetTimeoutsForTesting(timeouts);
        Service().SetScanInterval(100ms);
        Service().SetWindow(window_.Handle(), RELVOMAIL_PROGRESS_MESSAGE);
        WriteConfig("", "");
    }
    void TearDown() override { Service().Stop(); }

    // The test's own System lines come first: the first occurrence of a key counts.
    void WriteConfig(const std::string& system, const std::string& sections) {
        app_.Write("relvoconsole.cfg",
                   "[System]\r\n" + system + "DnsServer=127.0.0.1:" + std::to_string(dnsPort_) +
                       "\r\nHELOString=relvo.test\r\nSendRetrySeconds=1\r\nLogSend=1\r\n"
                       "SmtpPort=1\r\n" +
                       sections);
    }

    // A peer on host:port_ (or port) writing into its own directory.
    Child& Peer(const std::string& host, std::vector<std::string> options = {}, int port = 0,
                const std::vector<std::string>& prefix = {}) {
        std::string dir = app_.File("peer-" + host + "-" + std::to_string(peerCount_++));
        std::filesystem::create_directories(dir);
        std::vector<std::string> argv = prefix;
        argv.insert(argv.end(), {"/usr/bin/python3", SEND_PEER_SCRIPT, host,
                                 std::to_string(port ? port : port_), dir});
        argv.insert(argv.end(), options.begin(), options.end());
        peerDirs_[host] = dir;
        peers_.push_back(std::make_unique<Child>(argv));
        EXPECT_TRUE(peers_.back()->Ready("ready")) << peers_.back()->Output();
        return *peers_.back();
    }
    std::vector<Received> Got(const std::string& host) { return ReadReceived(peerDirs_[host]); }

    // A self-signed certificate for name; returns {certificate, key}.
    std::vector<std::string> Certificate(const std::string& name) {
        std::string cert = app_.File(name + ".crt");
        std::string key = app_.File(name + ".key");
        int status = system(("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 "
                             "-nodes -days 1 -subj /CN=" +
                             name + " -addext subjectAltName=DNS:" + name + " -keyout " + key +
                             " -out " + cert + " 2>/dev/null")
                                .c_str());
        EXPECT_EQ(status, 0);
        return {cert, key};
    }

    // A new key of keyType (RSA, ED25519) for the domain's selector in the data directory; returns
    // the dnsmasq option that publishes it.
    std::string DkimKey(const std::string& domain, const std::string& selector,
                        const std::string& keyType) {
        return testing::DkimKey(app_.File("dkim/" + domain + "/" + selector + ".key"), domain,
                                selector, keyType);
    }
    std::string DkimVerdicts(const std::string& message) {
        return testing::DkimVerdicts(message, dnsPort_);
    }

    std::string Finished(uint32_t id) { return app_.File("old/" + std::to_string(id) + ".cfg"); }
    // In old/ with its final states: delivered mail is moved first and has its states written
    // there just after.
    bool Done(uint32_t id) {
        std::string state = std::filesystem::exists(Finished(id)) ? State(Finished(id), 0) : "";
        return !state.empty() && state.rfind("pending", 0) != 0;
    }
    std::string Queued(uint32_t id) { return app_.File("queue/" + std::to_string(id) + ".cfg"); }
    static std::string State(const std::string& companion, int n) {
        return ProfileSnapshot(companion).GetString("MailInfo", "RcptStatus" + std::to_string(n),
                                                    "");
    }
    std::string LogText() {
        return ReadFile(
            app_.File("log/send" + LocalDateKey(std::chrono::system_clock::now()) + ".txt"));
    }

    TempAppDir app_;
    RecordingWindow window_;
    int port_ = 0;
    int dnsPort_ = 0;
    std::unique_ptr<Child> dns_;
    std::vector<std::unique_ptr<Child>> peers_;
    std::map<std::string, std::string> peerDirs_;
    int peerCount_ = 0;
};

const char kMessage[] =
    "From: Sender <sender@origin.test>\r\nTo: many\r\nSubject: routing\r\n\r\nline one\r\n"
    ".line with a dot\r\nGr\xc3\xbc\xc3\x9f\x65 in 8 bits\r\n";

TEST_F(SendServiceTest, RoutesEachRecipientAndReturnsTheFailures) {
    WriteConfig("", "[DomainList]\r\nlocal.test=1\r\n");
    Peer("127.0.0.3", {"--reject-rcpt", "bad@multi.test"});  // mx1 (127.0.0.2) is down
    Peer("127.0.0.4");
    Peer("127.0.0.9");
    uint32_t id = testing::Enqueue("sender@origin.test",
                                   {"good@multi.test", "bad@multi.test", "x@nomx.test",
                                    "y@null.test", "z@nx.test", "box@local.test"},
                                   kMessage);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(Service().Start(2));
    ASSERT_TRUE(WaitUntil([&] { return Done(id); })) << window_.Text();

    const std::vector<std::string> expected = {"delivered 250",    "failed 550 5.1.1",
                                               "delivered 250",    "failed 556 5.1.10",
                                               "failed 550 5.1.2", "delivered"};
    for (size_t n = 0; n < expected.size(); ++n) {
        EXPECT_EQ(State(Finished(id), static_cast<int>(n)).rfind(expected[n], 0), 0u)
            << n << ": " << State(Finished(id), static_cast<int>(n));
    }
    EXPECT_FALSE(std::filesystem::exists(app_.File("queue/" + std::to_string(id) + ".eml")));

    std::vector<Received> mx2 = Got("127.0.0.3");
    ASSERT_EQ(mx2.size(), 1u);
    EXPECT_EQ(mx2[0].to, std::vector<std::string>{"good@multi.test"});
    EXPECT_EQ(mx2[0].from, "sender@origin.test");
    EXPECT_NE(mx2[0].message.find("\r\n.line with a dot\r\n"), std::string::npos);
    EXPECT_NE(mx2[0].message.find("Received: from client.test"), std::string::npos);
    EXPECT_NE(mx2[0].options.find("SIZE="), std::string::npos) << mx2[0].options;
    EXPECT_NE(mx2[0].options.find("BODY=8BITMIME"), std::string::npos) << mx2[0].options;
    std::vector<Received> noMx = Got("127.0.0.4");
    ASSERT_EQ(noMx.size(), 1u);
    EXPECT_EQ(noMx[0].to, std::vector<std::string>{"x@nomx.test"});

    std::vector<std::filesystem::path> boxed;
    for (const auto& e :
         std::filesystem::directory_iterator(app_.File("mailbox/local.test/box/new"))) {
        boxed.push_back(e.path());
    }
    ASSERT_EQ(boxed.size(), 1u);
    EXPECT_NE(ReadFile(boxed[0].string()).find("Subject: routing"), std::string::npos);

    // One notice to the sender names exactly the three failed recipients.
    ASSERT_TRUE(WaitUntil([&] { return Got("127.0.0.9").size() == 1; })) << window_.Text();
    Received bounce = Got("127.0.0.9")[0];
    EXPECT_EQ(bounce.from, "<>");  // the null reverse path as aiosmtpd reports it
    EXPECT_EQ(bounce.to, std::vector<std::string>{"sender@origin.test"});
    int status = 0;
    std::string parsed = testing::RunPython(
        "import email,sys\n"
        "m=email.message_from_bytes(sys.stdin.buffer.read())\n"
        "print(m.get_content_type(), m.get_param('report-type'))\n"
        "for p in m.walk():\n"
        "  if p.get_content_type()=='message/delivery-status':\n"
        "    for block in p.get_payload()[1:]:\n"
        "      print(block['Final-Recipient'], block['Action'], block['Status'])\n",
        bounce.message, &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(parsed,
              "multipart/report delivery-status\n"
              "rfc822; bad@multi.test failed 5.1.1\n"
              "rfc822; y@null.test failed 5.1.10\n"
              "rfc822; z@nx.test failed 5.1.2\n");

    Service().Stop();
    std::string log = LogText();
    EXPECT_NE(log.find("DNS: MX of multi.test: 10 mx1.multi.test, 20 mx2.multi.test"),
              std::string::npos);
    EXPECT_NE(log.find("Client/127.0.0.3:" + std::to_string(port_) + " RCPT TO:<good@multi.test>"),
              std::string::npos);
    EXPECT_NE(log.find("Server/127.0.0.3:" + std::to_string(port_) + " 550 5.1.1"),
              std::string::npos);
}

// Every reason tried is named on the recipient's line, and the status is the most precise code.
TEST_F(SendServiceTest, FailureNoticeNamesEveryReasonTried) {
    WriteConfig("RetriesAfterFailed=0\r\n",
                "[RelayList]\r\nr@relay.test=1\r\n[RelayInfo]\r\nr@relay.test_SmtpServer="
                "127.0.0.5\r\nr@relay.test_SmtpPort=" +
                    std::to_string(port_) + "\r\nr@relay.test_Enabled=1\r\n");
    Peer("127.0.0.3", {"--reject-rcpt", "bad@multi.test"});
    Peer("127.0.0.9");
    struct Case {
        std::string rcpt, status;
        std::vector<std::string> named;  // in the readable line
    };
    const std::vector<Case> cases = {
        {"a@down.test", "4.4.1", {"mx.down.test: 451 4.4.1", "relay r@relay.test: 451 4.4.1"}},
        {"c@tempfail.test", "4.4.3", {"DNS", "relay r@relay.test"}},
        {"bad@multi.test", "5.1.1", {"no such user here"}},
    };
    std::vector<std::string> to;
    for (const Case& c : cases) {
        to.push_back(c.rcpt);
    }
    ASSERT_NE(testing::Enqueue("sender@origin.test", to, kMessage), 0u);
    ASSERT_TRUE(Service().Start(1));
    ASSERT_TRUE(WaitUntil([&] { return Got("127.0.0.9").size() == 1; }, 30s)) << window_.Text();
    int status = 0;
    std::string parsed = testing::RunPython(
        "import email,sys\n"
        "m=email.message_from_bytes(sys.stdin.buffer.read())\n"
        "for p in m.walk():\n"
        "  if p.get_content_type()=='text/plain': print(p.get_payload())\n"
        "  if p.get_content_type()=='message/delivery-status':\n"
        "    for b in p.get_payload()[1:]: print('STATUS', b['Final-Recipient'], b['Status'])\n",
        Got("127.0.0.9")[0].message, &status);
    for (const Case& c : cases) {
        EXPECT_NE(parsed.find("STATUS rfc822; " + c.rcpt + " " + c.status + "\n"),
                  std::string::npos)
            << c.rcpt << "\n"
            << parsed;
        size_t at = parsed.find("<" + c.rcpt + ">:");
        ASSERT_NE(at, std::string::npos) << parsed;
        std::string line = parsed.substr(at, parsed.find('\n', at) - at);
        for (const std::string& n : c.named) {
            EXPECT_NE(line.find(n), std::string::npos) << n << " not in " << line;
        }
    }
}

// One mail to a local account named three times in three spellings, beside queue entries that
// cannot be read: one Maildir copy a mail reader takes without complaint, and the damaged
// entries set aside in quarantine/.
TEST_F(SendServiceTest, LocalMailboxTakesEachAddressOnceAndDamagedEntriesGoToQuarantine) {
    WriteConfig("", "[DomainList]\r\nrelvo.test=1\r\n[AccountList]\r\nalice@relvo.test=1\r\n");
    struct Damaged {
        std::string name, companion;
        bool message;
        uint32_t id;
    };
    const std::string good = queue_entries::CompanionText(queue_entries::Mail(900003));
    const std::vector<Damaged> damaged = {
        {"900001.cfg", "\x01\x02 garbage", true, 900001},
        {"900002.cfg", "[MailInfo]\r\nRcptToNumber=3\r\nRcptTo0=a@relvo.test\r\n", true, 900002},
        {"900003.cfg", good, false, 900003},
        {"0900004.cfg", good, false, 900004},
    };
    std::filesystem::create_directories(app_.File("queue"));
    for (const Damaged& d : damaged) {
        app_.Write("queue/" + d.name, d.companion);
        if (d.message) {
            app_.Write("queue/" + std::to_string(d.id) + ".eml", "Subject: x\r\n\r\nx\r\n");
        }
    }
    const std::string multipart =
        "From: s@origin.test\r\nTo: alice@relvo.test\r\nSubject: parts\r\nMIME-Version: 1.0\r\n"
        "Content-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n--b1\r\nContent-Type: "
        "text/plain\r\n\r\nhello\r\n--b1\r\nContent-Type: text/plain\r\n\r\nworld\r\n--b1--\r\n";
    uint32_t id = testing::Enqueue(
        "s@origin.test", {"Alice@RELVO.TEST", "alice@relvo.test", "ALICE@Relvo.Test"}, multipart);
    ASSERT_TRUE(Service().Start(2));
    ASSERT_TRUE(WaitUntil([&] { return Done(id); })) << window_.Text();
    for (int n = 0; n < 3; ++n) {
        EXPECT_EQ(State(Finished(id), n).rfind("delivered", 0), 0u) << State(Finished(id), n);
    }
    using Listing = std::filesystem::directory_iterator;
    EXPECT_EQ(std::distance(Listing(app_.File("mailbox/relvo.test")), Listing()), 1);
    int status = 0;
    std::string read = testing::RunPython(
        "import mailbox,sys,email,email.policy\n"
        "box=mailbox.Maildir(sys.stdin.read(),factory=lambda f:"
        "email.message_from_binary_file(f,policy=email.policy.default),create=False)\n"
        "for key in box.keys():\n"
        "  raw=box.get_bytes(key); m=box[key]\n"
        "  print(b'\\r' in raw, m['Delivered-To'], len(list(m.walk())),"
        "sum(len(p.defects) for p in m.walk()))\n",
        app_.File("mailbox/relvo.test/alice"), &status);
    EXPECT_EQ(read, "False alice@relvo.test 3 0\n");

    for (const Damaged& d : damaged) {
        EXPECT_TRUE(WaitUntil([&] {
            return std::filesystem::exists(
                app_.File("quarantine/" + std::to_string(d.id) + ".cfg"));
        })) << d.name;
        EXPECT_FALSE(std::filesystem::exists(app_.File("queue/" + d.name))) << d.name;
    }
    EXPECT_TRUE(std::filesystem::exists(app_.File("quarantine/900001.eml")));
    Service().Stop();
    EXPECT_NE(LogText().find("Mail 900002: cannot be read (the companion counts 3 recipients"),
              std::string::npos);
}

// The application directory on a small file system of its own for one test (root only).
class SmallDisk {
  public:
    explicit SmallDisk(const std::string& path) : path_(path) {
        std::filesystem::create_directories(path);
        mounted_ =
            mount("tmpfs", path.c_str(), "tmpfs", 0, "size=2m,nr_inodes=1000,mode=0700") == 0;
    }
    ~SmallDisk() {
        Service().Stop();
        if (mounted_) {
            umount2(path_.c_str(), MNT_DETACH);
        }
    }
    bool Mounted() const { return mounted_; }
    // Until no block is left, and no inode but `inodes` (what starting the service takes).
    void Fill(int inodes) {
        std::ofstream(path_ + "/filler") << std::string(4 << 20, 'x');
        for (; fillers_ < 2000; ++fillers_) {
            int fd = open(Filler(fillers_).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
            if (fd < 0) {
                break;
            }
            close(fd);
        }
        for (; inodes > 0 && fillers_ > 0; --inodes) {
            unlink(Filler(--fillers_).c_str());
        }
    }
    void Free() {
        unlink((path_ + "/filler").c_str());
        for (int n = 0; n < fillers_; ++n) {
            unlink(Filler(n).c_str());
        }
    }

  private:
    std::string Filler(int n) const { return path_ + "/inode" + std::to_string(n); }

    std::string path_;
    bool mounted_ = false;
    int fillers_ = 0;
};

// On a full disk: states old/ missed are written when space returns, and a mail whose queue
// companion cannot take its states is never sent again to the recipient that got it.
TEST_F(SendServiceTest, StatesMissedOnAFullDiskAreWrittenWhenSpaceReturnsAndNothingGoesTwice) {
    const std::string dir = app_.File("small");
    SmallDisk disk(dir);
    if (!disk.Mounted()) {
        GTEST_SKIP() << "mounting a tmpfs needs root";
    }
    OverrideApplicationDirectory(dir);
    std::filesystem::copy_file(app_.ConfigFile(), dir + "/relvoconsole.cfg");
    for (const char* sub : {"/old", "/log", "/mail", "/queue"}) {
        std::filesystem::create_directories(dir + sub);
    }
    Peer("127.0.0.3", {"--defer-rcpt", "later@multi.test"});
    std::vector<uint32_t> ids;
    for (int n = 0; n < 30; ++n) {
        ids.push_back(testing::Enqueue("sender@origin.test", {"x@fast.test"}, kMessage));
        // Filled to its block's end, the companion cannot take its states over its own bytes.
        const std::string companion = dir + "/queue/" + std::to_string(ids.back()) + ".cfg";
        const size_t size = std::filesystem::file_size(companion);
        std::ofstream(companion, std::ios::app)
            << "Padding=" << std::string(4070 - size, 'x') << "\r\n";
    }
    const uint32_t split =
        testing::Enqueue("sender@origin.test", {"y@fast.test", "later@multi.test"}, kMessage);
    disk.Fill(10);
    auto state = [&](uint32_t id) { return State(dir + "/old/" + std::to_string(id) + ".cfg", 0); };
    auto got = [&](const std::string& to) {
        std::vector<Received> all = Got("127.0.0.3");
        return std::count_if(all.begin(), all.end(), [&](const Received& r) {
            return r.to == std::vector<std::string>{to};
        });
    };
    ASSERT_TRUE(Service().Start(4));
    ASSERT_TRUE(WaitUntil([&] { return got("x@fast.test") == 30; }));
    ASSERT_TRUE(window_.WaitFor("written again when the disk allows", 10s)) << window_.Text();
    ASSERT_TRUE(
        window_.WaitFor("Mail " + std::to_string(split) + ": later@multi.test: failed", 10s))
        << window_.Text();
    EXPECT_EQ(got("y@fast.test"), 1);
    disk.Free();
    for (uint32_t id : ids) {
        EXPECT_TRUE(WaitUntil([&] { return state(id).rfind("delivered 250", 0) == 0; }))
            << id << ": " << state(id);
    }
    EXPECT_TRUE(WaitUntil([&] { return state(split).rfind("delivered 250", 0) == 0; }))
        << state(split);
    Service().Stop();
    OverrideApplicationDirectory(app_.Path());
}

TEST_F(SendServiceTest, FallsBackToTheNextRelayButNotAfterARefusedRecipient) {
    std::vector<std::string> cert = Certificate("relay.test");
    std::string p = std::to_string(port_);
    WriteConfig("RelayTlsVerify=0\r\n",
                "[RelayList]\r\nfirst@relay.test=1\r\nsecond@relay.test=1\r\n"
                "third@relay.test=1\r\n[RelayInfo]\r\n"
                "first@relay.test_SmtpServer=127.0.0.5\r\nfirst@relay.test_SmtpPort=" +
                    p +
                    "\r\nfirst@relay.test_Enabled=1\r\n"
                    "second@relay.test_SmtpServer=127.0.0.6\r\nsecond@relay.test_SmtpPort=" +
                    p +
                    "\r\nsecond@relay.test_Enabled=1\r\nsecond@relay.test_LoginAcc=relayuser\r\n"
                    "second@relay.test_LoginPwd=relay-secret\r\n"
                    "third@relay.test_SmtpServer=127.0.0.7\r\nthird@relay.test_SmtpPort=" +
                    p + "\r\nthird@relay.test_Enabled=0\r\n");
    Peer("127.0.0.3", {"--reject-rcpt", "bad@multi.test"});
    Peer("127.0.0.6", {"--starttls", cert[0], cert[1], "--auth", "relayuser:relay-secret"});
    Peer("127.0.0.7");
    Peer("127.0.0.9");
    uint32_t id =
        testing::Enqueue("sender@origin.test", {"a@down.test", "bad@multi.test"}, kMessage);
    ASSERT_TRUE(Service().Start(1));
    ASSERT_TRUE(WaitUntil([&] { return Done(id); })) << window_.Text();
    EXPECT_EQ(State(Finished(id), 0).rfind("delivered 250", 0), 0u) << State(Finished(id), 0);
    EXPECT_EQ(State(Finished(id), 1).rfind("failed 550 5.1.1", 0), 0u) << State(Finished(id), 1);

    std::vector<Received> relayed = Got("127.0.0.6");
    ASSERT_EQ(relayed.size(), 1u);
    EXPECT_EQ(relayed[0].to, std::vector<std::string>{"a@down.test"});
    EXPECT_TRUE(relayed[0].tls);
    EXPECT_EQ(relayed[0].login, "relayuser");
    EXPECT_TRUE(Got("127.0.0.7").empty()) << "a disabled relay was used";

    Service().Stop();
    std::string log = LogText();
    EXPECT_NE(log.find("Trying relay first@relay.test"), std::string::npos);
    EXPECT_NE(log.find("AUTH PLAIN ****"), std::string::npos);
    EXPECT_NE(log.find("TLS TLSv1.3"), std::string::npos);
    EXPECT_EQ(log.find("relay-secret"), std::string::npos);
    EXPECT_EQ(log.find("AHJlbGF5dXNlcgByZWxheS1zZWNyZXQ="), std::string::npos);
}

// One try of a recipient group walks at most five exchangers and ends at its time limit, so one
// domain cannot hold a sending slot for hours.
TEST_F(SendServiceTest, ATryWalksAtMostFiveExchangersWithinItsTimeLimit) {
    Peer("127.0.0.26");  // the sixth exchanger of wide.test
    Peer("127.0.0.4", {"--data-delay", "5"});
    for (auto [rcpt, attempt, says] : {std::tuple{"a@wide.test", 600s, "127.0.0.21"},
                                       std::tuple{"a@slow.test", 1s, "time limit"}}) {
        SetTimeoutsForTesting(StepTimeouts{2s, 10s, 10s, attempt});
        WriteConfig("RetriesAfterFailed=0\r\n", "");
        uint32_t id = testing::Enqueue("", {rcpt}, kMessage);
        ASSERT_TRUE(Service().Start(1));
        ASSERT_TRUE(WaitUntil([&] { return Done(id); })) << window_.Text();
        Service().Stop();
        const std::string state = State(Finished(id), 0);
        EXPECT_TRUE(state.starts_with("failed") && state.find(says) != std::string::npos) << state;
    }
    EXPECT_TRUE(Got("127.0.0.26").empty());
}

TEST_F(SendServiceTest, RetriesATemporaryFailureThenReturnsIt) {
    WriteConfig("RetriesAfterFailed=1\r\n", "");
    Peer("127.0.0.3", {"--defer-rcpt", "later@multi.test"});
    Peer("127.0.0.9");
    auto start = std::chrono::steady_clock::now();
    uint32_t id = testing::Enqueue("sender@origin.test", {"later@multi.test"}, kMessage);
    uint32_t nullSender = testing::Enqueue("", {"later@multi.test"}, kMessage);
    ASSERT_TRUE(Service().Start(4));
    ASSERT_TRUE(WaitUntil([&] { return Done(id); })) << window_.Text();
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1s);
    ProfileSnapshot companion(Finished(id));
    EXPECT_EQ(companion.GetInt("MailInfo", "Tries", 0), 2);
    EXPECT_EQ(State(Finished(id), 0).rfind("failed 451 4.2.0", 0), 0u) << State(Finished(id), 0);
    EXPECT_EQ(companion.GetString("MailInfo", "LastAnswer", ""), "451 4.2.0 mailbox busy");

    ASSERT_TRUE(WaitUntil([&] { return Got("127.0.0.9").size() == 1; })) << window_.Text();
    EXPECT_NE(Got("127.0.0.9")[0].message.find("Status: 4.2.0"), std::string::npos);
    // The returned mail names its notice, itself a mail from the null sender to the sender.
    uint32_t notice = static_cast<uint32_t>(companion.GetInt("MailInfo", "NoticeId", 0));
    ASSERT_NE(notice, 0u);
    ASSERT_TRUE(WaitUntil([&] { return Done(notice); })) << window_.Text();
    ProfileSnapshot noticeCompanion(Finished(notice));
    EXPECT_EQ(noticeCompanion.GetString("MailInfo", "MailFrom", "?"), "");
    EXPECT_EQ(noticeCompanion.GetString("MailInfo", "RcptTo0", ""), "sender@origin.test");
    ASSERT_TRUE(WaitUntil([&] { return Done(nullSender); }));
    EXPECT_FALSE(ProfileSnapshot(Finished(nullSender)).HasKey("MailInfo", "NoticeId"));
    // The null sender gets nothing back: still exactly one notice, and nothing is left queued.
    ASSERT_TRUE(window_.WaitFor("no failure notice for the null sender", 2s));
    EXPECT_EQ(Got("127.0.0.9").size(), 1u);
    EXPECT_TRUE(Got("127.0.0.3").empty());
}

TEST_F(SendServiceTest, RetryNowSendsADeferredMailLongBeforeItsNextTry) {
    WriteConfig("SendRetrySeconds=3600\r\n", "");
    Peer("127.0.0.3", {"--defer-rcpt", "later@multi.test"});
    uint32_t id = testing::Enqueue("sender@origin.test", {"later@multi.test"}, kMessage);
    ASSERT_TRUE(Service().Start(1));
    ASSERT_TRUE(window_.WaitFor("Mail " + std::to_string(id) + ": tried again in", 10s))
        << window_.Text();
    ProfileSnapshot deferred(Queued(id));
    EXPECT_EQ(deferred.GetString("MailInfo", "LastAnswer", ""), "451 4.2.0 mailbox busy");
    EXPECT_EQ(deferred.GetInt("MailInfo", "Tries", 0), 1);
    EXPECT_GT(std::stoll(deferred.GetString("MailInfo", "NextTry", "0")),
              Clock::to_time_t(Clock::now()) + 3000);

    peers_.clear();
    Peer("127.0.0.3");  // the mailbox takes mail again
    std::string error;
    mailqueue::OperatorOutcome outcome = mailqueue::OperatorOutcome::kBusy;
    ASSERT_TRUE(WaitUntil([&] {
        outcome = mailqueue::RetryNow(app_.File("queue"), id, &error);
        return outcome != mailqueue::OperatorOutcome::kBusy;
    }));
    ASSERT_EQ(outcome, mailqueue::OperatorOutcome::kDone) << error;
    // Only the request can explain a try within seconds of a next try an hour away.
    ASSERT_TRUE(WaitUntil([&] { return Done(id); }, 5s)) << window_.Text();

    ProfileSnapshot delivered(Finished(id));
    EXPECT_EQ(State(Finished(id), 0).rfind("delivered 250", 0), 0u) << State(Finished(id), 0);
    EXPECT_EQ(delivered.GetInt("MailInfo", "Tries", 0), 2);
    EXPECT_EQ(delivered.GetString("MailInfo", "LastAnswer", ""), "250 2.0.0 OK queued");
    EXPECT_EQ(Got("127.0.0.3").size(), 1u);
    EXPECT_FALSE(ProfileSnapshot(app_.File("queue/retry.cfg")).HasKey("Retry", std::to_string(id)));
}

// An operator's delete and a try never both happen: the mail is delivered once and the delete
// finds it gone, or it is deleted and never sent. The whole mail ends in old, none of it queued.
TEST_F(SendServiceTest, DeleteAndDeliveryNeverBothHappen) {
    Peer("127.0.0.4", {"--data-delay", "2"});
    const std::string queue = app_.File("queue");
    const std::string old = app_.File("old");
    auto deleteUntilSettled = [&](uint32_t id, int* busy) {
        std::string error;
        mailqueue::OperatorOutcome outcome;
        while ((outcome = mailqueue::DeleteQueued(queue, old, id, &error)) ==
               mailqueue::OperatorOutcome::kBusy) {
            ++*busy;
            std::this_thread::sleep_for(20ms);
        }
        EXPECT_NE(outcome, mailqueue::OperatorOutcome::kFailed) << error;
        return outcome;
    };
    const struct {
        const char* name;
        bool duringData;
    } cases[] = {{"deleted before its first try", false},
                 {"deleted while the exchanger takes its data", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        size_t receivedBefore = Got("127.0.0.4").size();
        uint32_t id = testing::Enqueue("sender@origin.test", {"b@slow.test"}, kMessage);
        int busy = 0;
        if (c.duringData) {
            ASSERT_TRUE(window_.WaitFor("RCPT TO:<b@slow.test>", 10s)) << window_.Text();
        }
        mailqueue::OperatorOutcome outcome = deleteUntilSettled(id, &busy);
        if (!c.duringData) {
            ASSERT_TRUE(Service().Start(1));
        }
        const std::string name = std::to_string(id);
        for (const char* ext : {".cfg", ".eml", ".cfg.lock"}) {
            EXPECT_FALSE(std::filesystem::exists(queue + "/" + name + ext)) << ext;
        }
        EXPECT_TRUE(std::filesystem::exists(old + "/" + name + ".eml"));
        if (c.duringData) {
            EXPECT_GT(busy, 0) << "the delete did not wait for the try";
            EXPECT_EQ(outcome, mailqueue::OperatorOutcome::kGone);
            ASSERT_TRUE(WaitUntil([&] { return Done(id); })) << window_.Text();
            EXPECT_EQ(State(Finished(id), 0).rfind("delivered 250", 0), 0u)
                << State(Finished(id), 0);
            EXPECT_EQ(Got("127.0.0.4").size(), receivedBefore + 1);
        } else {
            EXPECT_EQ(outcome, mailqueue::OperatorOutcome::kDone);
            EXPECT_EQ(State(Finished(id), 0), "deleted by the operator");
            // A scan or two later nothing was sent.
            std::this_thread::sleep_for(500ms);
            EXPECT_EQ(Got("127.0.0.4").size(), receivedBefore);
            EXPECT_EQ(window_.Text().find("Mail " + name + ": sending"), std::string::npos);
        }
    }

    // And at any moment: each of many mails is deleted a varying while after it is queued, so
    // that deletes fall before, during and just after tries. The exchanger gets exactly the mails
    // whose delete found them gone, each once.
    Peer("127.0.0.3", {"--data-delay", "0.2"});
    std::map<std::string, uint32_t> bySubject;
    std::map<uint32_t, mailqueue::OperatorOutcome> outcomes;
    for (int i = 0; i < 16; ++i) {
        std::string subject = "mail " + std::to_string(i);
        uint32_t id = testing::Enqueue("sender@origin.test", {"good@multi.test"},
                                       "Subject: " + subject + "\r\n\r\nbody\r\n");
        bySubject[subject] = id;
        std::this_thread::sleep_for(std::chrono::milliseconds(i * 37 % 150));
        int busy = 0;
        outcomes[id] = deleteUntilSettled(id, &busy);
    }

    for (const auto& [id, outcome] : outcomes) {
        ASSERT_TRUE(WaitUntil([&] { return Done(id); })) << id << "\n" << window_.Text();
    }
    std::multiset<uint32_t> received;
    for (const Received& r : Got("127.0.0.3")) {
        size_t at = r.message.find("Subject: ");
        ASSERT_NE(at, std::string::npos);
        received.insert(bySubject.at(r.message.substr(at + 9, r.message.find('\r', at) - at - 9)));
    }
    size_t delivered = 0;
    for (const auto& [id, outcome] : outcomes) {
        SCOPED_TRACE(id);
        EXPECT_FALSE(std::filesystem::exists(Queued(id)));
        EXPECT_FALSE(std::filesystem::exists(queue + "/" + std::to_string(id) + ".eml"));
        EXPECT_TRUE(std::filesystem::exists(old + "/" + std::to_string(id) + ".eml"));
        if (outcome == mailqueue::OperatorOutcome::kGone) {
            ++delivered;
            EXPECT_EQ(State(Finished(id), 0).rfind("delivered 250", 0), 0u);
            EXPECT_EQ(received.count(id), 1u);
        } else {
            EXPECT_EQ(outcome, mailqueue::OperatorOutcome::kDone);
            EXPECT_EQ(State(Finished(id), 0), "deleted by the operator");
            EXPECT_EQ(received.count(id), 0u);
        }
    }
    EXPECT_EQ(received.size(), delivered);
}

// An operator's change under way (the claim held) only puts the try off: it is made once the
// claim is free, with no error on the way.
TEST_F(SendServiceTest, ATryWaitsForAnOperatorsClaim) {
    Peer("127.0.0.3");
    uint32_t id = testing::Enqueue("sender@origin.test", {"good@multi.test"}, kMessage);
    auto result = mailqueue::MailClaim::Result::kFailed;
    mailqueue::MailClaim held = mailqueue::MailClaim::TryTake(app_.File("queue"), id, &result);
    ASSERT_EQ(result, mailqueue::MailClaim::Result::kTaken);
    ASSERT_TRUE(Service().Start(1));
    std::this_thread::sleep_for(1500ms);  // the service looked at it, and again a second later
    EXPECT_TRUE(Got("127.0.0.3").empty());
    EXPECT_TRUE(std::filesystem::exists(Queued(id)));
    held = mailqueue::MailClaim();
    ASSERT_TRUE(WaitUntil([&] { return Done(id); }, 5s)) << window_.Text();
    EXPECT_EQ(Got("127.0.0.3").size(), 1u);
    EXPECT_EQ(window_.Text().find("cannot be read"), std::string::npos) << window_.Text();
}

// A delete whose move to old was cut short leaves a queued mail marked deleted: the service only
// finishes the move, and sends nothing.
TEST_F(SendServiceTest, FinishesTheMoveOfAMailTheOperatorDeleted) {
    Peer("127.0.0.3");
    uint32_t id =
        testing::Enqueue("sender@origin.test", {"good@multi.test", "other@multi.test"}, kMessage);
    ProfileBatch marked;
    marked.Set("MailInfo", "RcptStatus0", "delivered 250 earlier");
    marked.Set("MailInfo", "RcptStatus1", "deleted by the operator");
    ASSERT_TRUE(marked.Commit(Queued(id)));
    // A failure settled by a try whose notice could not be stored: the sender is told before the
    // mail leaves the queue.
    uint32_t failed = testing::Enqueue("sender@origin.test", {"gone@multi.test"}, kMessage);
    ProfileBatch untold;
    untold.Set("MailInfo", "RcptStatus0", "failed 550 5.1.1 no such user");
    ASSERT_TRUE(untold.Commit(Queued(failed)));
    ASSERT_TRUE(Service().Start(1));
    ASSERT_TRUE(
        window_.WaitFor("Mail " + std::to_string(id) + ": nothing left to send; moved to old", 5s))
        << window_.Text();
    EXPECT_FALSE(std::filesystem::exists(Queued(id)));
    EXPECT_EQ(State(Finished(id), 1), "deleted by the operator");
    ASSERT_TRUE(WaitUntil([&] {
        return ProfileSnapshot(Finished(failed)).HasKey("MailInfo", "NoticeId");
    })) << window_.Text();
    EXPECT_TRUE(window_.WaitFor("Mail " + std::to_string(failed) + ": failure notice", 5s))
        << window_.Text();
    EXPECT_TRUE(Got("127.0.0.3").empty());
}

// A delivered mail that cannot leave the queue (old/ is not a directory) has its states written
// there, so that the next pass only moves it.
TEST_F(SendServiceTest, ADeliveredMailThatCannotMoveIsNeverSentAgain) {
    Peer("127.0.0.3", {"--data-delay", "1"});
    uint32_t id = testing::Enqueue("sender@origin.test", {"good@multi.test"}, kMessage);
    const std::string mail = "Mail " + std::to_string(id);
    ASSERT_TRUE(Service().Start(1));
    ASSERT_TRUE(window_.WaitFor("<good@multi.test>", 5s)) << window_.Text();
    std::filesystem::remove_all(app_.File("old"));  // while the peer holds the DATA
    app_.Write("old", "not a directory");
    ASSERT_TRUE(window_.WaitFor(mail + ": delivered, but could not be moved to old", 5s))
        << window_.Text();
    Service().Stop();
    EXPECT_EQ(State(Queued(id), 0).rfind("delivered 250", 0), 0u) << State(Queued(id), 0);
    std::filesystem::remove(app_.File("old"));
    ASSERT_TRUE(Service().Start(1));
    ASSERT_TRUE(window_.WaitFor(mail + ": nothing left to send; moved to old", 5s))
        << window_.Text();
    EXPECT_EQ(Got("127.0.0.3").size(), 1u);
}

// The claim refuses a message file that is a symbolic link; nothing is read through it, and the
// entry, never sendable, goes to quarantine/ as the link it is.
TEST_F(SendServiceTest, NeverSendsAMessageItCannotClaim) {
    Peer("127.0.0.3");
    uint32_t id = testing::Enqueue("sender@origin.test", {"good@multi.test"}, kMessage);
    const std::string message = app_.File("queue/" + std::to_string(id) + ".eml");
    app_.Write("elsewhere.txt", "Subject: not queued\r\n\r\nsecret\r\n");
    ASSERT_TRUE(std::filesystem::remove(message));
    std::filesystem::create_symlink(app_.File("elsewhere.txt"), message);
    ASSERT_TRUE(Service().Start(1));
    ASSERT_TRUE(window_.WaitFor("Mail " + std::to_string(id) +
                                    ": cannot be read (its message file is not a regular file); "
                                    "moved to quarantine",
                                5s))
        << window_.Text();
    Service().Stop();
    EXPECT_TRUE(Got("127.0.0.3").empty());
    EXPECT_FALSE(std::filesystem::exists(Queued(id)));
    EXPECT_TRUE(
        std::filesystem::is_symlink(app_.File("quarantine/" + std::to_string(id) + ".eml")));
    EXPECT_EQ(app_.Read("elsewhere.txt"), "Subject: not queued\r\n\r\nsecret\r\n");
}

TEST_F(SendServiceTest, StopInTheMiddleLosesAndRepeatsNothing) {
    Peer("127.0.0.3");
    Child& slow = Peer("127.0.0.4", {"--data-delay", "20"});
    uint32_t id = testing::Enqueue("sender@origin.test", {"a@fast.test", "b@slow.test"}, kMessage);
    ASSERT_TRUE(Service().Start(0));
    EXPECT_TRUE(window_.WaitFor("0 sending threads is outside 1 to 1024; using 1", 2s));
    ASSERT_TRUE(WaitUntil([&] { return Got("127.0.0.3").size() == 1; })) << window_.Text();
    ASSERT_TRUE(window_.WaitFor("<b@slow.test>", 5s));
    std::this_thread::sleep_for(300ms);

    auto before = std::chrono::steady_clock::now();
    Service().Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 5s);
    ASSERT_TRUE(std::filesystem::exists(Queued(id)));
    EXPECT_EQ(State(Queued(id), 0).rfind("delivered 250", 0), 0u) << State(Queued(id), 0);
    EXPECT_FALSE(State(Queued(id), 1).rfind("delivered", 0) == 0);
    (void)slow;

    // Once the slow exchanger is replaced, only its recipient gets the mail.
    peers_.erase(peers_.begin() + 1);
    Peer("127.0.0.4");
    ASSERT_TRUE(Service().Start(1));
    ASSERT_TRUE(WaitUntil([&] { return Done(id); })) << window_.Text();
    EXPECT_EQ(Got("127.0.0.3").size(), 1u);
    std::vector<Received> second = Got("127.0.0.4");
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].to, std::vector<std::string>{"b@slow.test"});
    // The queue keeps nothing of a finished mail, the store's lock file of its companion neither.
    EXPECT_FALSE(std::filesystem::exists(Queued(id) + ".lock"));
    EXPECT_EQ(State(Finished(id), 1).rfind("delivered 250", 0), 0u) << State(Finished(id), 1);
}

TEST_F(SendServiceTest, KeepsTheConnectionForTheNextMailAndNoticesWhenItIsGone) {
    Peer("127.0.0.3");
    std::vector<uint32_t> ids;
    for (int i = 0; i < 3; ++i) {
        ids.push_back(testing::Enqueue("sender@origin.test", {"good@multi.test"}, kMessage));
    }
    ASSERT_TRUE(Service().Start(1));
    ASSERT_TRUE(WaitUntil([&] { return Done(ids.back()); })) << window_.Text();
    EXPECT_EQ(Got("127.0.0.3").size(), 3u);

    // The exchanger restarts: the kept connection is dead, the next mail opens a new one.
    peers_.clear();
    Peer("127.0.0.3");
    uint32_t later = testing::Enqueue("sender@origin.test", {"good@multi.test"}, kMessage);
    ASSERT_TRUE(WaitUntil([&] { return Done(later); })) << window_.Text();
    EXPECT_EQ(State(Finished(later), 0).rfind("delivered 250", 0), 0u) << State(Finished(later), 0);
    EXPECT_EQ(Got("127.0.0.3").size(), 1u);
    Service().Stop();

    std::string log = LogText();
    auto count = [&log](const std::string& text) {
        size_t n = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) {
            ++n;
        }
        return n;
    };
    std::string mx2 = "127.0.0.3:" + std::to_string(port_);
    EXPECT_EQ(count("Connected to " + mx2), 2u) << log;
    EXPECT_EQ(count("Reusing the connection to " + mx2), 3u) << log;
    EXPECT_EQ(count("Client/" + mx2 + " EHLO"), 2u) << log;
}

TEST_F(SendServiceTest, ReturnsMailThatLoopsInsteadOfSendingIt) {
    Peer("127.0.0.3");
    std::string manyHops;
    for (int i = 0; i < 31; ++i) {
        manyHops += "Received: from hop" + std::to_string(i) + ".test by relvo.test\r\n";
    }
    struct Case {
        const char* name;
        std::string smtpPort;  // this server's own port: the exchanger at it is ourselves
        std::string message;
        std::string state;
    };
    const std::vector<Case> cases = {
        {"route back to this server", std::to_string(port_), kMessage, "failed 554 5.4.6"},
        {"too many Received headers", "1", manyHops + kMessage,
         "failed 554 5.4.6 too many Received headers"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteConfig("RetriesAfterFailed=3\r\nSmtpPort=" + c.smtpPort + "\r\n", "");
        uint32_t id = testing::Enqueue("", {"good@multi.test"}, c.message);
        ASSERT_TRUE(Service().Start(1));
        ASSERT_TRUE(WaitUntil([&] { return Done(id); })) << window_.Text();
        EXPECT_EQ(State(Finished(id), 0).rfind(c.state, 0), 0u) << State(Finished(id), 0);
        Service().Stop();
    }
    EXPECT_TRUE(Got("127.0.0.3").empty());
}

// Opportunistic TLS: an exchanger whose STARTTLS handshake cannot complete still gets the mail,
// in the clear, as one that offers no STARTTLS does.
TEST_F(SendServiceTest, AnExchangerWithBrokenTlsGetsTheMailInTheClear) {
    std::vector<std::string> cert = Certificate("mx2.multi.test");
    Peer("127.0.0.3", {"--starttls", cert[0], cert[1], "--tls-max", "1.1"});
    uint32_t id = testing::Enqueue("sender@origin.test", {"good@multi.test"}, kMessage);
    ASSERT_TRUE(Service().Start(1));
    ASSERT_TRUE(WaitUntil([&] { return Done(id); })) << window_.Text();
    EXPECT_EQ(State(Finished(id), 0).rfind("delivered", 0), 0u) << State(Finished(id), 0);
    const std::vector<Received> got = Got("127.0.0.3");
    ASSERT_EQ(got.size(), 1u);
    EXPECT_FALSE(got[0].tls);
    EXPECT_TRUE(window_.WaitFor("again without STARTTLS", 5s)) << window_.Text();
}

TEST_F(SendServiceTest, DiagnoseSendReportsToTheWindowItStartedWith) {
    std::vector<std::string> cert = Certificate("relay.test");
    Peer("127.0.0.3");
    Peer("127.0.0.6", {"--tls", cert[0], cert[1]});
    std::filesystem::create_directories(app_.File("mail"));
    app_.Write("mail/77.eml", kMessage);
    std::string relayed =
        "[MailInfo]\r\nMailId=77\r\nMailFrom=Sender <sender@origin.test>\r\n"
        "RcptToNumber=1\r\nRcptTo0=good@multi.test\r\n[RelayInfo]\r\n"
        "Mailbox=tls@relay.test\r\nSmtpServer=127.0.0.6\r\nSmtpPort=" +
        std::to_string(port_) +
        "\r\nSSLFlag=1\r\nSmtpAuthFlag=1\r\n"
        "LoginAcc=\r\nLoginPwd=\r\n";
    app_.Write("mail/77.cfg", relayed);
    RecordingWindow first;
    RecordingWindow second;
    DiagnoseSetWindow(first.Handle(), RELVOMAIL_PROGRESS_MESSAGE);
    DiagnoseSendNow(app_.File("mail/77.cfg").c_str(), "Good <good@multi.test>");
    // The relay's certificate names relay.test, not 127.0.0.6: checked, it is refused.
    ASSERT_TRUE(first.WaitFor("not sent: ", 10s)) << first.Text();
    EXPECT_NE(first.Lines().back().find("TLS handshake with 127.0.0.6"), std::string::npos)
        << first.Text();
    EXPECT_TRUE(Got("127.0.0.6").empty());

    app_.Write("mail/77.cfg", relayed.substr(0, relayed.find("[RelayInfo]")));
    DiagnoseSendNow(app_.File("mail/77.cfg").c_str(), "good@multi.test");
    DiagnoseSetWindow(second.Handle(), RELVOMAIL_PROGRESS_MESSAGE);
    ASSERT_TRUE(first.WaitFor("sent\n", 10s)) << first.Text();
    std::string text = first.Text();
    EXPECT_NE(text.find("DNS: MX of multi.test"), std::string::npos);
    EXPECT_NE(text.find("Connecting to mx1.multi.test"), std::string::npos);
    EXPECT_NE(text.find("Server/127.0.0.3:" + std::to_string(port_) + " 250 2.0.0 OK queued"),
              std::string::npos);
    EXPECT_EQ(first.Lines().back().substr(20), "sent");
    EXPECT_TRUE(second.Lines().empty());
    ASSERT_EQ(Got("127.0.0.3").size(), 1u);
    EXPECT_EQ(Got("127.0.0.3")[0].from, "sender@origin.test");

    DiagnoseSendNow(app_.File("mail/77.cfg").c_str(), "not an address");
    ASSERT_TRUE(second.WaitFor("not sent: \"not an address\" is not a mail address", 5s));
}

// Mail the receiving side quarantined (the sender's DMARC policy) goes into the account's Junk
// folder, which a Maildir++ reader finds as such, and to a local domain's server marked as spam;
// other mail still goes to the inbox unmarked.
TEST_F(SendServiceTest, QuarantinedMailGoesToJunkOrIsMarked) {
    WriteConfig("",
                "[DomainList]\r\nrelvo.test=1\r\ncorp.test=1\r\n[DomainInfo]\r\n"
                "corp.test_ServerAddress=127.0.0.5\r\ncorp.test_Port=" +
                    std::to_string(port_) + "\r\n[AccountList]\r\nalice@relvo.test=1\r\n");
    Peer("127.0.0.5");
    struct Case {
        std::string subject, recipient, quarantine;
    } cases[] = {
        {"junk", "alice@relvo.test", "dmarc"},
        {"inbox", "alice@relvo.test", ""},
        {"flagged", "boss@corp.test", "dmarc"},
        {"plain", "boss@corp.test", ""},
    };
    std::vector<uint32_t> ids;
    for (const Case& c : cases) {
        ids.push_back(testing::Enqueue(
            "s@origin.test", {c.recipient},
            "From: s@origin.test\r\nSubject: " + c.subject + "\r\n\r\nbody\r\n", c.quarantine));
        ASSERT_NE(ids.back(), 0u);
    }
    ASSERT_TRUE(Service().Start(2));
    for (uint32_t id : ids) {
        ASSERT_TRUE(WaitUntil([&] { return Done(id); })) << window_.Text();
        EXPECT_EQ(State(Finished(id), 0).rfind("delivered", 0), 0u) << State(Finished(id), 0);
    }
    int status = 0;
    std::string folders = testing::RunPython(
        "import mailbox,sys\n"
        "box=mailbox.Maildir(sys.stdin.read(),create=False)\n"
        "junk=box.get_folder('Junk')\n"
        "print(box.list_folders(),[m['Subject'] for m in box],[m['Subject'] for m in junk])\n",
        app_.File("mailbox/relvo.test/alice"), &status);
    EXPECT_EQ(status, 0) << folders;
    EXPECT_EQ(folders, "['Junk'] ['inbox'] ['junk']\n");
    EXPECT_TRUE(std::filesystem::exists(app_.File("mailbox/relvo.test/alice/.Junk/maildirfolder")));
    std::map<std::string, bool> flagged;
    for (const Received& got : Got("127.0.0.5")) {
        const size_t subject = got.message.find("Subject: ");
        ASSERT_NE(subject, std::string::npos) << got.message;
        flagged[got.message.substr(subject + 9, got.message.find("\r\n", subject) - subject - 9)] =
            got.message.rfind("X-Spam-Flag: YES\r\n", 0) == 0;
    }
    EXPECT_EQ(flagged, (std::map<std::string, bool>{{"flagged", true}, {"plain", false}}));
}

TEST_F(SendServiceTest, LocalDomainServerGetsTheMailsLogin) {
    std::string p = std::to_string(port_);
    WriteConfig(
        "",
        "[DomainList]\r\ncorp.test=1\r\n[DomainInfo]\r\ncorp.test_ServerAddress=127.0.0.5\r\n"
        "corp.test_Port=" +
            p + "\r\n");
    Peer("127.0.0.5", {"--auth", "sender@origin.test:mail-secret"});
    std::filesystem::create_directories(app_.File("mail"));
    app_.Write("mail/78.eml", kMessage);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"LoginUser=sender@origin.test\r\nLoginPass=wrong\r\n",
         "not sent: login refused: 535 5.7.8"},
        {"LoginUser=sender@origin.test\r\nLoginPass=mail-secret\r\n", "sent\n"},
    };
    for (const auto& [login, last] : cases) {
        app_.Write("mail/78.cfg",
                   "[MailInfo]\r\nMailId=78\r\nMailFrom=sender@origin.test\r\n"
                   "RcptToNumber=1\r\nRcptTo0=boss@corp.test\r\n" +
                       login);
        RecordingWindow window;
        DiagnoseSetWindow(window.Handle(), RELVOMAIL_PROGRESS_MESSAGE);
        DiagnoseSendNow(app_.File("mail/78.cfg").c_str(), "boss@corp.test");
        EXPECT_TRUE(window.WaitFor(last, 10s)) << window.Text();
        EXPECT_NE(window.Text().find("AUTH PLAIN ****"), std::string::npos);
        EXPECT_EQ(window.Text().find("mail-secret"), std::string::npos);
    }
    std::vector<Received> got = Got("127.0.0.5");
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].login, "sender@origin.test");
    EXPECT_EQ(got[0].to, std::vector<std::string>{"boss@corp.test"});
}

}  // namespace
}  // namespace relvo::mail::send

namespace relvo::mail::send {
namespace {

// A relay outside loopback and private networks: a network namespace joined to this machine by a
// veth pair with documentation addresses, made and removed by the test (root only).
class RemoteRelay {
  public:
    // In network ("198.51.100." or "203.0.113."): a /30 held for the object's life, so that
    // namespaces of tests running beside never share its addresses.
    explicit RemoteRelay(const std::string& network = "198.51.100.")
        : hostIp_(slot_.Address(network, 1)), peerIp_(slot_.Address(network, 2)) {
        if (slot_.Index() < 0) {
            return;
        }
        const std::string hostIp = hostIp_ + "/30", peerIp = peerIp_ + "/30";
        std::string id = std::to_string(getpid() % 10000 * 100 + slot_.Index());
        ns_ = "relvo-send-" + id;
        std::string host = "rsh" + id;
        std::string peer = "rsp" + id;
        ok_ = Run("ip netns add " + ns_) &&
              Run("ip link add " + host + " type veth peer name " + peer) &&
              Run("ip link set " + peer + " netns " + ns_) &&
              Run("ip addr add " + hostIp + " dev " + host) && Run("ip link set " + host + " up") &&
              Run("ip netns exec " + ns_ + " ip addr add " + peerIp + " dev " + peer) &&
              Run("ip netns exec " + ns_ + " ip link set " + peer + " up") &&
              Run("ip netns exec " + ns_ + " ip link set lo up");
    }
    ~RemoteRelay() {
        if (!ns_.empty()) {
            Run("ip netns del " + ns_);
        }
    }
    bool Ok() const { return ok_; }
    const std::string& HostIp() const { return hostIp_; }  // this machine's end
    const std::string& PeerIp() const { return peerIp_; }  // the namespace's
    std::vector<std::string> Prefix() const { return {"ip", "netns", "exec", ns_}; }

  private:
    static bool Run(const std::string& command) {
        return system((command + " >/dev/null 2>&1").c_str()) == 0;
    }
    relvo::testing::NetnsSlot slot_;  // first: the addresses come from it
    std::string hostIp_, peerIp_;
    std::string ns_;
    bool ok_ = false;
};

// The local domain's server is this project's own receiving side: relvoserver on a second data
// directory, which takes the mail for its enabled account into its queue.
TEST_F(SendServiceTest, LocalDomainServerMayBeOurOwnReceivingServer) {
    std::string other = (std::filesystem::temp_directory_path() / "relvo-other-XXXXXX").string();
    ASSERT_NE(mkdtemp(other.data()), nullptr);
    struct Removal {
        std::string path;
        ~Removal() {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
    } removal{other};
    const int smtpPort = testing::FreePort();
    std::ofstream(other + "/relvoconsole.cfg", std::ios::binary)
        << "[System]\r\nSmtpPort=" << smtpPort
        << "\r\nAutoStartSendService=0\r\n[AccountList]\r\nboss@corp.test=1\r\n"
           "[AccountInfo]\r\nboss@corp.test_Password=x\r\nboss@corp.test_Enabled=1\r\n"
           "[DomainList]\r\ncorp.test=1\r\n";
    Child server({RELVOSERVER_PATH, "--data-dir", other});
    ASSERT_TRUE(WaitUntil([&] { return Accepts(smtpPort); })) << server.Output();
    WriteConfig("",
                "[DomainList]\r\ncorp.test=1\r\n[DomainInfo]\r\ncorp.test_ServerAddress="
                "127.0.0.1\r\ncorp.test_Port=" +
                    std::to_string(smtpPort) + "\r\n");
    uint32_t id = testing::Enqueue("sender@origin.test", {"boss@corp.test"}, kMessage);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(Service().Start(1));
    ASSERT_TRUE(WaitUntil([&] { return Done(id); })) << window_.Text();
    EXPECT_EQ(State(Finished(id), 0).rfind("delivered 250", 0), 0u) << State(Finished(id), 0);

    std::vector<std::string> queued;
    for (const auto& e : std::filesystem::directory_iterator(other + "/queue")) {
        if (e.path().extension() == ".eml") {
            queued.push_back(ReadFile(e.path().string()));
        }
    }
    ASSERT_EQ(queued.size(), 1u) << server.Output();
    EXPECT_NE(queued[0].find("Subject: routing\r\n\r\nline one\r\n.line with a dot\r\n"),
              std::string::npos);
}

// A relay outside private networks gets login and mail only over TLS with a trusted certificate
// (RelayTlsVerify=1); no STARTTLS offered is what a stripped one looks like. Unchecked: no
// password.
TEST_F(SendServiceTest, ARemoteRelayGetsNoLoginOrMailWithoutVerifiedTls) {
    if (getuid() != 0) {
        GTEST_SKIP() << "needs root for the network namespace";
    }
    RemoteRelay remote;
    if (!remote.Ok()) {
        // As the receiving side's remote-client test: a chroot without its own /run cannot.
        GTEST_SKIP() << "cannot make the network namespace for the remote relay";
    }
    const std::string relay = remote.PeerIp();
    const std::vector<std::string> selfSigned = Certificate("relay.test");
    const struct {
        const char* verify;
        std::vector<std::string> peer;
        std::string reason;
    } cases[] = {
        {"1", {"--auth", "user:plain-secret"}, "does not offer STARTTLS; no login and no mail"},
        {"1",
         {"--auth", "user:plain-secret", "--starttls", selfSigned[0], selfSigned[1]},
         "certificate"},
        {"0", {"--auth", "user:plain-secret"}, "refusing to send the password to " + relay},
    };
    for (const auto& c : cases) {
        const std::string p = std::to_string(testing::FreePort());
        WriteConfig(std::string("RetriesAfterFailed=0\r\nRelayTlsVerify=") + c.verify + "\r\n",
                    "[RelayList]\r\nremote@relay.test=1\r\n[RelayInfo]\r\n"
                    "remote@relay.test_SmtpServer=" +
                        relay + "\r\nremote@relay.test_SmtpPort=" + p +
                        "\r\nremote@relay.test_Enabled=1\r\nremote@relay.test_LoginAcc=user\r\n"
                        "remote@relay.test_LoginPwd=plain-secret\r\n");
        Peer(relay, c.peer, std::stoi(p), remote.Prefix());
        uint32_t id = testing::Enqueue("", {"a@down.test"}, kMessage);
        ASSERT_TRUE(Service().Start(1));
        ASSERT_TRUE(WaitUntil([&] { return Done(id); })) << window_.Text();
        EXPECT_NE(State(Finished(id), 0).find(c.reason), std::string::npos)
            << State(Finished(id), 0);
        EXPECT_TRUE(Got(relay).empty()) << c.reason;
        Service().Stop();
        std::string log = LogText();
        EXPECT_NE(log.find("Server/" + relay + ":" + p + " 250-AUTH LOGIN PLAIN"),
                  std::string::npos)
            << log;
        for (const char* command : {" AUTH", " MAIL"}) {
            EXPECT_EQ(log.find("Client/" + relay + ":" + p + command), std::string::npos)
                << command;
        }
        EXPECT_EQ(log.find("plain-secret"), std::string::npos);
    }
}

// Mail from a local domain with a key leaves signed (RSA and Ed25519) and verifies with dkimpy
// against the records dnsmasq serves; changed after signing, it fails. A domain whose key cannot
// be read, and one that is not ours, send unsigned.
TEST_F(SendServiceTest, SignsMailFromDomainsWithAKey) {
    struct Domain {
        std::string name, selector, keyType, verdict;
    } domains[] = {{"rsa.test", "s1", "RSA", "True False"},
                   {"ed.test", "s2", "ED25519", "True False"},
                   {"broken.test", "s3", "", "unsigned"},
                   {"plain.test", "", "", "unsigned"}};
    std::vector<std::string> zone = kZone;
    std::string domainList = "[DomainList]\r\n", domainInfo = "[DomainInfo]\r\n";
    for (const Domain& d : domains) {
        if (!d.selector.empty()) {
            domainList += d.name + "=1\r\n";
            domainInfo += d.name + "_DkimSelector=" + d.selector + "\r\n";
        }
        if (d.keyType.empty()) {
            continue;
        }
        zone.push_back(DkimKey(d.name, d.selector, d.keyType));
    }
    dns_.reset();  // its port is taken again, with the keys
    dns_ = testing::Dnsmasq(dnsPort_, zone);
    ASSERT_TRUE(dns_->Ready("started")) << dns_->Output();
    WriteConfig("", domainList + domainInfo);
    Peer("127.0.0.3");
    for (const Domain& d : domains) {
        ASSERT_NE(
            testing::Enqueue("sender@" + d.name, {"rcpt@fast.test"},
                             "From: Sender <sender@" + d.name +
                                 ">\r\nTo: rcpt@fast.test\r\nSubject: signed\r\n"
                                 "Date: Mon, 7 Dec 2026 10:00:00 +0000\r\n\r\nBody text.\r\n"),
            0u);
    }
    ASSERT_TRUE(Service().Start(2));
    ASSERT_TRUE(WaitUntil([&] { return Got("127.0.0.3").size() == std::size(domains); }))
        << window_.Text();

    for (const Received& mail : Got("127.0.0.3")) {
        for (const Domain& d : domains) {
            if (mail.from == "sender@" + d.name) {
                EXPECT_EQ(DkimVerdicts(mail.message), d.verdict + "\n") << mail.message;
                std::smatch signedFields;  // From once more than it appears
                if (std::regex_search(mail.message, signedFields, std::regex("\\sh=([^;]*);"))) {
                    EXPECT_EQ(std::regex_replace(signedFields[1].str(), std::regex("\\s"), ""),
                              "From:To:Subject:Date:from");
                }
            }
        }
    }
    Service().Stop();
    std::string log = LogText();
    for (const char* line :
         {"DKIM signature d=rsa.test s=s1 a=rsa-sha256",
          "DKIM signature d=ed.test s=s2 a=ed25519-sha256",
          "DKIM: mail from broken.test goes unsigned: cannot read the key file"}) {
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
    }
}

// New mail goes out at once while the queue's listing is an hour away: this process's store
// hands its entries over, and another writer's rename into queue/ is seen by the watch.
TEST_F(SendServiceTest, TakesNewMailAtOnceWithoutListingTheQueue) {
    WriteConfig("", "[DomainList]\r\nlocal.test=1\r\n");
    Service().SetScanInterval(1h);
    ASSERT_TRUE(Service().Start(2));
    std::this_thread::sleep_for(300ms);  // past the listing at start
    auto renamedIn = [this] {
        const uint32_t id = 2000000000;
        mailqueue::Envelope envelope{
            "sender@origin.test", {"box@local.test"}, "127.0.0.1:1", "x", ""};
        app_.Write("queue/" + std::to_string(id) + ".eml", kMessage);
        app_.Write("part", mailqueue::NewCompanionText(id, envelope, sizeof kMessage - 1,
                                                       std::time(nullptr), "2026-12-07 00:00:00"));
        std::filesystem::rename(app_.File("part"), Queued(id));
        return id;
    };
    const std::vector<std::pair<const char*, std::function<uint32_t()>>> cases = {
        {"stored by this process",
         [] { return testing::Enqueue("sender@origin.test", {"box@local.test"}, kMessage); }},
        {"renamed in by another writer", renamedIn},
    };
    const std::string box = app_.File("mailbox/local.test/box/new");
    size_t boxed = 0;
    for (const auto& [name, queue] : cases) {
        SCOPED_TRACE(name);
        const uint32_t id = queue();
        const auto queued = std::chrono::steady_clock::now();
        auto inBox = [&] {
            return std::filesystem::exists(box) &&
                   static_cast<size_t>(std::distance(std::filesystem::directory_iterator(box),
                                                     std::filesystem::directory_iterator())) >
                       boxed;
        };
        while (!inBox() && std::chrono::steady_clock::now() - queued < 5s) {
            std::this_thread::sleep_for(2ms);
        }
        EXPECT_LT(std::chrono::steady_clock::now() - queued, 200ms);
        ASSERT_TRUE(WaitUntil([&] { return Done(id); })) << window_.Text();
        ++boxed;
    }
}

}  // namespace
}  // namespace relvo::mail::send

namespace relvo::mail::send {
namespace {

// The smtplib peer's steps (smtp_peer.py) as JSON; the texts hold no control character but CR
// and LF.
std::string PeerSteps(const std::vector<std::vector<std::string>>& steps) {
    std::string json = "[";
    for (const auto& step : steps) {
        json += json.size() > 1 ? ",[" : "[";
        for (size_t k = 0; k < step.size(); ++k) {
            json += k ? ",\"" : "\"";
            for (char c : step[k]) {
                json += c == '\r'   ? "\\r"
                        : c == '\n' ? "\\n"
                        : c == '"'  ? "\\\""
                                    : std::string(1, c);
            }
            json += "\"";
        }
        json += "]";
    }
    return json + "]";
}

// Both services of relvoserver, fed by a client from outside the private networks (a network
// namespace) and delivering to a local domain's server (aiosmtpd on loopback). Mail that anyone
// could send with our domain in From leaves unsigned; the same mail after AUTH leaves signed and
// verifies with dkimpy. A sender whose SPF failed gets no failure notice, unless it logged in (a
// user away from home); one without SPF gets one.
TEST_F(SendServiceTest, SignsOnlyTrustedSubmissionsAndReturnsNoMailToForgedSenders) {
    if (getuid() != 0) {
        GTEST_SKIP() << "needs root for the network namespace";
    }
    // A /30 of its own from the process id, so that other suites' namespaces can run beside.
    RemoteRelay client("203.0.113.");
    const std::string host = client.HostIp();
    if (!client.Ok()) {
        GTEST_SKIP() << "cannot make the network namespace for the remote client";
    }
    std::vector<std::string> zone = kZone;
    zone.push_back(DkimKey("sign.test", "s1", "ED25519"));
    zone.push_back("--txt-record=spffail.test,v=spf1 -all");
    dns_.reset();  // its port is taken again, with the records
    dns_ = testing::Dnsmasq(dnsPort_, zone);
    ASSERT_TRUE(dns_->Ready("started")) << dns_->Output();
    const int smtpPort = testing::FreePort();
    WriteConfig("SmtpPort=" + std::to_string(smtpPort) +
                    "\r\nSmtpAuthFlag=1\r\nAutoStartSendService=1\r\nLogSmtp=1\r\n",
                "[AccountList]\r\nalice@sign.test=1\r\n[AccountInfo]\r\n"
                "alice@sign.test_Password=alice-secret\r\nalice@sign.test_Enabled=1\r\n"
                "[DomainList]\r\nsign.test=1\r\nhosted.test=1\r\n[DomainInfo]\r\n"
                "sign.test_DkimSelector=s1\r\nhosted.test_ServerAddress=127.0.0.5\r\n"
                "hosted.test_Port=" +
                    std::to_string(port_) +
                    "\r\n"
                    // Refusals found only at delivery, as from a server that cannot be asked
                    // before (the receiving side's check is off for it).
                    "hosted.test_VerifyRecipients=0\r\n");
    Peer("127.0.0.5", {"--reject-rcpt", "gone@hosted.test"});
    testing::Child server({RELVOSERVER_PATH, "--data-dir", app_.Path()});
    ASSERT_TRUE(WaitUntil([&] { return Accepts(smtpPort); })) << server.Output();

    const std::vector<std::vector<std::string>> login = {
        {"starttls"},
        {"ehlo", "client.test"},
        {"auth", "PLAIN", "alice@sign.test", "alice-secret"}};
    const struct {
        std::string subject;
        bool auth;
        std::string sender, recipient;
    } mails[] = {
        {"anyone", false, "ceo@sign.test", "boss@hosted.test"},
        {"alice", true, "ceo@sign.test", "boss@hosted.test"},
        {"forged", false, "ceo@spffail.test", "gone@hosted.test"},
        {"roaming", true, "boss@spffail.test", "gone@hosted.test"},
        {"unchecked", false, "ceo@nospf.test", "gone@hosted.test"},
    };
    for (const auto& m : mails) {
        std::vector<std::vector<std::string>> steps = {{"ehlo", "client.test"}};
        if (m.auth) {
            steps.insert(steps.end(), login.begin(), login.end());
        }
        const std::string text = "From: The Boss <ceo@sign.test>\r\nTo: " + m.recipient +
                                 "\r\nSubject: " + m.subject +
                                 "\r\nDate: Mon, 7 Dec 2026 10:00:00 +0000\r\n\r\nBody text.\r\n";
        steps.insert(steps.end(), {{"mail", m.sender}, {"rcpt", m.recipient}, {"data", text}});
        std::vector<std::string> argv = client.Prefix();
        argv.insert(argv.end(), {"/usr/bin/python3", SMTP_PEER_SCRIPT, host,
                                 std::to_string(smtpPort), PeerSteps(steps)});
        testing::Child peer(argv);
        ASSERT_TRUE(peer.Ended()) << peer.Output();
        ASSERT_NE(peer.Output().find("250 2.0.0 Ok: queued as"), std::string::npos)
            << m.subject << "\n"
            << peer.Output();
    }

    ASSERT_TRUE(WaitUntil([&] { return Got("127.0.0.5").size() == 2; }, 30s)) << LogText();
    for (const Received& mail : Got("127.0.0.5")) {
        const bool alice = mail.message.find("Subject: alice") != std::string::npos;
        EXPECT_EQ(DkimVerdicts(mail.message), alice ? "True False\n" : "unsigned\n")
            << mail.message;
    }
    const std::vector<std::string> lines = {
        "DKIM: mail from sign.test goes unsigned: not submitted by a trusted client",
        "DKIM signature d=sign.test s=s1 a=ed25519-sha256",
        "no failure notice: the sender ceo@spffail.test failed SPF when received",
        "queued for boss@spffail.test",
        "queued for ceo@nospf.test",
    };
    for (const std::string& line : lines) {
        EXPECT_TRUE(WaitUntil([&] { return LogText().find(line) != std::string::npos; }, 30s))
            << line << "\n"
            << LogText();
    }
    EXPECT_EQ(LogText().find("queued for ceo@spffail.test"), std::string::npos);
}

}  // namespace
}  // namespace relvo::mail::send
