// MX and address lookups with c-ares, each bounded by a deadline. The calls block; the SEND
// service runs them on its worker for blocking work, never on an I/O thread.
#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

namespace relvo::mail::net {

struct DnsSettings {
    std::string server;  // "address[:port]" ("[v6]:port"); "" = the servers of /etc/resolv.conf
    std::chrono::milliseconds timeout{8000};
    const std::atomic<bool>* cancel = nullptr;  // set: the lookup ends early (service stopping)
};

struct MxHost {
    int preference = 0;
    std::string host;
};

struct DnsAnswer {
    enum class Status { kOk, kNoSuchDomain, kNoData, kTemporary };
    Status status = Status::kTemporary;
    std::vector<MxHost> mx;              // sorted by preference
    std::vector<std::string> addresses;  // textual IPv4 and IPv6 addresses
    std::vector<std::string> records;    // LookupRecords: one text per record
    std::string error;                   // why, when not kOk
};

DnsAnswer LookupMx(const std::string& domain, const DnsSettings& settings);
DnsAnswer LookupAddresses(const std::string& host, const DnsSettings& settings);

// The records of one type (1 A, 28 AAAA, 15 MX, 12 PTR, 16 TXT) as text: an address, a host
// name (MX without its preference) or a TXT record's strings joined.
DnsAnswer LookupRecords(const std::string& name, int type, const DnsSettings& settings);

// Whether a query may go out for name: a host name as DNS carries it (letters, digits, '-', '_'
// and dots, at most 253 characters). The lookups above answer any other name as one that does
// not exist, without asking.
bool IsQueryableName(const std::string& name);

// A null MX (RFC 7505): one record, preference 0, host "." or empty.
bool IsNullMx(const std::vector<MxHost>& mx);

}  // namespace relvo::mail::net
