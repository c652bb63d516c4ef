// What the DKIM window of a local domain does, without the window: the signing key and its
// selector, the DNS records to publish (DKIM key, SPF and DMARC suggestions) and the check of
// what is published. The key lies where DkimKeyFile (common/dkim_key_file.h) puts it, with mode
// 0600 in directories of mode 0700, and the selector under [DomainInfo] <domain>_DkimSelector;
// the engine signs with them.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

enum class DkimKeyType { kEd25519, kRsa2048 };

// Whether a domain or selector can name a directory or file of keys: letters, digits, '-', '_'
// and inner dots only.
bool IsPlainDkimName(const std::string& name);

// The selector stored for the domain; "" when none.
std::string DkimSelectorOf(const std::string& domain);

// "relvoYYYYMMDD" for the day (UTC), with a letter added when that key file exists already.
std::string NewDkimSelector(const std::string& domain, std::chrono::system_clock::time_point now);

// Makes a key, writes it atomically with mode 0600 and stores its selector for the domain (the
// old key file stays, so that mail signed with it still verifies). The selector, or none with
// the reason.
std::optional<std::string> GenerateDkimKey(const std::string& domain, DkimKeyType type,
                                           std::string* error);

// The TXT record of the key file: "v=DKIM1; k=rsa|ed25519; p=<public key>". None with the
// reason when the file holds no usable key.
std::optional<std::string> DkimRecordFor(const std::string& keyFile, std::string* error);

// "v=spf1 a mx ip4:... ip6:... -all" with the addresses given.
std::string SpfSuggestion(const std::vector<std::string>& addresses);
// The DMARC record to start with (reports only; tighten to quarantine or reject later).
std::string DmarcSuggestion(const std::string& domain);
// This machine's addresses that others can reach: no loopback or link-local ones.
std::vector<std::string> MachineAddresses();

struct PublishedCheck {
    enum class Outcome { kMatches, kDiffers, kMissing, kLookupFailed, kNoEngine };
    Outcome outcome = Outcome::kLookupFailed;
    std::string text;  // for the window
};

// Looks the TXT records of name up through the engine library, asking dnsServer (the DnsServer
// setting: "address", "address:port", "[IPv6 address]:port"; "" for the system's resolvers),
// and compares each with the record, blanks ignored. Blocks for a few seconds at most; run it
// off the UI thread.
PublishedCheck CheckPublishedRecord(const std::string& name, const std::string& record,
                                    const std::string& dnsServer);
