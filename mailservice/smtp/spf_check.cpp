#include "smtp/spf_check.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <array>
#include <asio/use_awaitable.hpp>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "common/ascii.h"

namespace relvo::mail::smtp {

namespace {

using net::DnsAnswer;

enum class Result { kNone, kNeutral, kPass, kFail, kSoftFail, kTempError, kPermError };
enum class Match { kYes, kNo, kTempError, kPermError };

// Limits of one evaluation across its includes and redirects (RFC 7208 4.6.4).
constexpr int kMaxDnsTerms = 10;
constexpr int kMaxVoidLookups = 2;
constexpr size_t kMaxNames = 10;  // MX hosts and PTR names looked at per term

constexpr int kTypeA = 1;
constexpr int kTypePtr = 12;
constexpr int kTypeMx = 15;
constexpr int kTypeTxt = 16;
constexpr int kTypeAaaa = 28;

struct Address {
    bool v6 = false;
    std::array<unsigned char, 16> bytes{};  // IPv4 in the first 4
};

std::optional<Address> ParseAddress(const std::string& text, bool v6) {
    Address address;
    address.v6 = v6;
    if (inet_pton(v6 ? AF_INET6 : AF_INET, text.c_str(), address.bytes.data()) != 1) {
        return std::nullopt;
    }
    return address;
}

// The client as SPF sees it: an IPv4-mapped IPv6 address is the IPv4 address.
std::optional<Address> ClientAddress(const std::string& text) {
    if (auto v4 = ParseAddress(text, false)) {
        return v4;
    }
    auto v6 = ParseAddress(text, true);
    static constexpr unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (v6 && std::memcmp(v6->bytes.data(), kMapped, 12) == 0) {
        Address v4;
        std::memcpy(v4.bytes.data(), v6->bytes.data() + 12, 4);
        return v4;
    }
    return v6;
}

bool InNetwork(const Address& ip, const Address& network, int bits) {
    if (ip.v6 != network.v6) {
        return false;
    }
    for (int i = 0; bits > 0; ++i, bits -= 8) {
        unsigned mask = bits >= 8 ? 0xff : (0xff << (8 - bits)) & 0xff;
        if ((ip.bytes[i] & mask) != (network.bytes[i] & mask)) {
            return false;
        }
    }
    return true;
}

// A domain check_host can start from: at least two labels of 1 to 63 characters.
bool UsableDomain(std::string domain) {
    if (domain.ends_with('.')) {
        domain.pop_back();
    }
    if (!net::IsQueryableName(domain) || domain.find('.') == std::string::npos) {
        return false;
    }
    size_t start = 0;
    for (;;) {
        size_t dot = domain.find('.', start);
        size_t end = dot == std::string::npos ? domain.size() : dot;
        if (end == start || end - start > 63) {
            return false;
        }
        if (dot == std::string::npos) {
            return true;
        }
        start = dot + 1;
    }
}

bool DigitsOnly(std::string_view text) {
    return !text.empty() && text.size() <= 3 &&
           text.find_first_not_of("0123456789") == std::string_view::npos;
}

struct Term {
    char qualifier = '+';
    std::string kind;  // all include a mx ptr ip4 ip6 exists
    std::string domainSpec;
    int cidr4 = 32;
    int cidr6 = 128;
    Address network;
};

struct Record {
    std::vector<Term> mechanisms;
    std::optional<std::string> redirect;
    bool hasAll = false;
};

// What the macros of a record expand to (RFC 7208 7).
struct MacroValues {
    std::string sender, localPart, senderDomain, ip, ipVersion, helo;
};

std::string UrlEscaped(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || std::strchr("-._~", c) != nullptr) {
            out += static_cast<char>(c);
        } else {
            static constexpr char kHex[] = "0123456789ABCDEF";
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

// A macro-string (RFC 7208 section 7) with its macros expanded for domain; nullopt when the text is
// not one.
// Without values only the syntax is checked.
std::optional<std::string> Expand(std::string_view spec, const std::string& domain,
                                  const MacroValues* values, bool explanation = false) {
    std::string out;
    for (size_t i = 0; i < spec.size(); ++i) {
        char c = spec[i];
        if (c < 0x21 || c > 0x7e) {
            return std::nullopt;
        }
        if (c != '%') {
            out += c;
            continue;
        }
        if (++i >= spec.size()) {
            return std::nullopt;
        }
        if (spec[i] == '%' || spec[i] == '_' || spec[i] == '-') {
            out += spec[i] == '%' ? "%" : spec[i] == '_' ? " " : "%20";
            continue;
        }
        size_t close = spec.find('}', i);
        if (spec[i] != '{' || close == std::string_view::npos || close == i + 1) {
            return std::nullopt;
        }
        std::string_view macro = spec.substr(i + 1, close - i - 1);
        i = close;
        char letter = AsciiLower(macro[0]);
        if (std::strchr("slodiphv", letter) == nullptr &&
            !(explanation && std::strchr("crt", letter) != nullptr)) {
            return std::nullopt;
        }
        size_t at = 1;
        size_t keep = 0;
        while (at < macro.size() && std::isdigit(static_cast<unsigned char>(macro[at]))) {
            keep = std::min<size_t>(keep * 10 + static_cast<size_t>(macro[at++] - '0'), 1000);
        }
        if (at > 1 && keep == 0) {
            return std::nullopt;
        }
        bool reverse = at < macro.size() && AsciiLower(macro[at]) == 'r';
        at += reverse ? 1 : 0;
        std::string_view delimiters = macro.substr(at);
        if (delimiters.find_first_not_of(".-+,/_=") != std::string_view::npos) {
            return std::nullopt;
        }
        if (values == nullptr) {
            continue;
        }
        std::string value = letter == 's'   ? values->sender
                            : letter == 'l' ? values->localPart
                            : letter == 'o' ? values->senderDomain
                            : letter == 'd' ? domain
                            : letter == 'i' ? values->ip
                            : letter == 'v' ? values->ipVersion
                            : letter == 'h' ? values->helo
                                            : "unknown";  // p: unvalidated names are not used
        if (delimiters.empty()) {
            delimiters = ".";
        }
        std::vector<std::string> parts(1);
        for (char v : value) {
            if (delimiters.find(v) != std::string_view::npos) {
                parts.emplace_back();
            } else {
                parts.back() += v;
            }
        }
        if (reverse) {
            std::reverse(parts.begin(), parts.end());
        }
        size_t first = keep != 0 && keep < parts.size() ? parts.size() - keep : 0;
        std::string joined;
        for (size_t p = first; p < parts.size(); ++p) {
            joined += (p == first ? "" : ".") + parts[p];
        }
        out += std::isupper(static_cast<unsigned char>(macro[0])) ? UrlEscaped(joined) : joined;
    }
    // A name too long for DNS loses labels from the left.
    while (out.size() > 253 && out.find('.') != std::string::npos) {
        out.erase(0, out.find('.') + 1);
    }
    return out;
}

// "/n" and "//n" at the end of a term's argument; false when one is out of range.
bool TakeCidrs(std::string& argument, Term& term) {
    for (int pass = 0; pass < 2; ++pass) {
        size_t slash = argument.rfind('/');
        if (slash == std::string::npos ||
            !DigitsOnly(std::string_view(argument).substr(slash + 1))) {
            return true;
        }
        int bits = std::stoi(argument.substr(slash + 1));
        bool v6 = slash > 0 && argument[slash - 1] == '/';
        if (v6 ? bits > 128 : bits > 32) {
            return false;
        }
        (v6 ? term.cidr6 : term.cidr4) = bits;
        argument.erase(v6 ? slash - 1 : slash);
        if (v6) {
            continue;  // "/n" may come before it
        }
        return argument.empty() || argument.back() != '/';
    }
    return true;
}

// A record's terms; nullopt when any of them is broken (the whole record is a permerror then).
std::optional<Record> ParseRecord(std::string_view text) {
    Record record;
    bool explanation = false;
    size_t at = 6;  // after "v=spf1"
    while (at < text.size()) {
        size_t end = text.find(' ', at);
        std::string_view word = text.substr(at, end == std::string_view::npos ? end : end - at);
        at = end == std::string_view::npos ? text.size() : end + 1;
        if (word.empty()) {
            continue;
        }
        size_t equals = word.find('=');
        size_t colon = word.find_first_of(":/");
        if (equals != std::string_view::npos && equals < colon) {
            std::string name = AsciiLowerCopy(std::string(word.substr(0, equals)));
            std::string_view value = word.substr(equals + 1);
            if (name.empty() || !std::isalpha(static_cast<unsigned char>(name[0])) ||
                name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-_.") !=
                    std::string::npos ||
                !Expand(value, "", nullptr, name == "exp")) {
                return std::nullopt;
            }
            if (name == "redirect") {
                if (record.redirect || value.empty()) {
                    return std::nullopt;
                }
                record.redirect = std::string(value);
            } else if (name == "exp") {
                if (explanation) {
                    return std::nullopt;
                }
                explanation = true;  // explanations are not given: nothing is refused for SPF
            }
            continue;
        }
        Term term;
        if (std::strchr("+-~?", word[0]) != nullptr) {
            term.qualifier = word[0];
            word.remove_prefix(1);
        }
        size_t nameEnd = word.find_first_of(":/");
        term.kind = AsciiLowerCopy(std::string(word.substr(0, nameEnd)));
        std::string argument(nameEnd == std::string_view::npos ? "" : word.substr(nameEnd));
        if (term.kind == "all") {
            if (!argument.empty()) {
                return std::nullopt;
            }
            record.hasAll = true;
        } else if (term.kind == "ip4" || term.kind == "ip6") {
            bool v6 = term.kind == "ip6";
            size_t slash = argument.find('/');
            std::string address = argument.substr(std::min<size_t>(1, argument.size()),
                                                  slash == std::string::npos ? slash : slash - 1);
            std::optional<Address> network = ParseAddress(address, v6);
            int& bits = v6 ? term.cidr6 : term.cidr4;
            if (argument.empty() || argument[0] != ':' || !network) {
                return std::nullopt;
            }
            if (slash != std::string::npos) {
                std::string_view digits = std::string_view(argument).substr(slash + 1);
                if (!DigitsOnly(digits) || std::stoi(std::string(digits)) > (v6 ? 128 : 32)) {
                    return std::nullopt;
                }
                bits = std::stoi(std::string(digits));
            }
            term.network = *network;
        } else if (term.kind == "a" || term.kind == "mx" || term.kind == "ptr" ||
                   term.kind == "include" || term.kind == "exists") {
            bool cidrs = term.kind == "a" || term.kind == "mx";
            if (cidrs && !TakeCidrs(argument, term)) {
                return std::nullopt;
            }
            if (!argument.empty()) {
                if (argument[0] != ':' || argument.size() == 1) {
                    return std::nullopt;
                }
                term.domainSpec = argument.substr(1);
                if (!Expand(term.domainSpec, "", nullptr)) {
                    return std::nullopt;
                }
            } else if (term.kind == "include" || term.kind == "exists") {
                return std::nullopt;
            }
        } else {
            return std::nullopt;
        }
        record.mechanisms.push_back(std::move(term));
    }
    return record;
}

Result QualifierResult(char qualifier) {
    switch (qualifier) {
        case '-':
            return Result::kFail;
        case '~':
            return Result::kSoftFail;
        case '?':
            return Result::kNeutral;
        default:
            return Result::kPass;
    }
}

std::string ResultName(Result result) {
    switch (result) {
        case Result::kPass:
            return "pass";
        case Result::kFail:
            return "fail";
        case Result::kSoftFail:
            return "softfail";
        case Result::kNeutral:
            return "neutral";
        case Result::kNone:
            return "none";
        case Result::kTempError:
            return "temperror";
        case Result::kPermError:
            break;
    }
    return "permerror";
}

bool Void(const DnsAnswer& answer) {
    return answer.status == DnsAnswer::Status::kNoSuchDomain ||
           answer.status == DnsAnswer::Status::kNoData;
}

// One evaluation: check_host for the sender's domain and every include and redirect under it.
class Evaluation {
  public:
    Evaluation(net::AsyncDns& dns, const SpfQuery& query, Address client, MacroValues values)
        : dns_(dns), query_(query), client_(client), values_(std::move(values)) {}

    asio::awaitable<Result> CheckHost(const std::string& domain) {
        if (!UsableDomain(domain)) {
            co_return Result::kNone;
        }
        DnsAnswer txt = co_await Query(domain, kTypeTxt);
        if (txt.status == DnsAnswer::Status::kTemporary) {
            co_return Result::kTempError;
        }
        std::vector<std::string> spf;
        for (const std::string& record : txt.records) {
            std::string head = AsciiLowerCopy(record.substr(0, 7));
            if (head == "v=spf1" || head == "v=spf1 ") {
                spf.push_back(record);
            }
        }
        if (spf.size() != 1) {
            co_return spf.empty() ? Result::kNone : Result::kPermError;
        }
        std::optional<Record> record = ParseRecord(spf.front());
        if (!record) {
            co_return Result::kPermError;
        }
        for (const Term& term : record->mechanisms) {
            Match match = co_await Evaluate(term, domain);
            if (match == Match::kTempError) {
                co_return Result::kTempError;
            }
            if (match == Match::kPermError) {
                co_return Result::kPermError;
            }
            if (match == Match::kYes) {
                co_return QualifierResult(term.qualifier);
            }
        }
        if (!record->redirect || record->hasAll) {
            co_return Result::kNeutral;
        }
        std::optional<std::string> target = Expand(*record->redirect, domain, &values_);
        if (!target || !CountTerm()) {
            co_return Result::kPermError;
        }
        Result result = co_await CheckHost(*target);
        co_return result == Result::kNone ? Result::kPermError : result;
    }

  private:
    asio::awaitable<DnsAnswer> Query(const std::string& name, int type) {
        if (query_.group->cancelled || std::chrono::steady_clock::now() >= query_.group->deadline) {
            DnsAnswer late;
            late.error = "DNS server did not answer";
            co_return late;
        }
        DnsAnswer answer = co_await dns_.AsyncLookup(query_.dnsServer, name, type, query_.group,
                                                     asio::use_awaitable);
        co_return answer;
    }

    bool CountTerm() { return ++terms_ <= kMaxDnsTerms; }
    bool CountVoid() { return ++voids_ <= kMaxVoidLookups; }

    // A lookup's answer for a term: a void one counts toward the limit.
    Match Failed(const DnsAnswer& answer) {
        if (answer.status == DnsAnswer::Status::kTemporary) {
            return Match::kTempError;
        }
        return CountVoid() ? Match::kNo : Match::kPermError;
    }

    asio::awaitable<bool> HasClientAddress(const std::string& host, int bits) {
        DnsAnswer addresses = co_await Query(host, client_.v6 ? kTypeAaaa : kTypeA);
        for (const std::string& text : addresses.records) {
            std::optional<Address> address = ParseAddress(text, client_.v6);
            if (address && InNetwork(client_, *address, bits)) {
                co_return true;
            }
        }
        co_return false;
    }

    std::string ReverseName() const {
        std::string name;
        if (!client_.v6) {
            for (int i = 3; i >= 0; --i) {
                name += std::to_string(client_.bytes[i]) + ".";
            }
            return name + "in-addr.arpa";
        }
        static constexpr char kHex[] = "0123456789abcdef";
        for (int i = 15; i >= 0; --i) {
            name += std::string{kHex[client_.bytes[i] & 15], '.', kHex[client_.bytes[i] >> 4], '.'};
        }
        return name + "ip6.arpa";
    }

    asio::awaitable<Match> Evaluate(const Term& term, const std::string& domain) {
        if (term.kind == "all") {
            co_return Match::kYes;
        }
        if (term.kind == "ip4" || term.kind == "ip6") {
            co_return InNetwork(client_, term.network, client_.v6 ? term.cidr6 : term.cidr4)
                ? Match::kYes
                : Match::kNo;
        }
        if (!CountTerm()) {
            co_return Match::kPermError;
        }
        std::optional<std::string> target =
            term.domainSpec.empty() ? domain : Expand(term.domainSpec, domain, &values_);
        if (!target) {
            co_return Match::kPermError;
        }
        const int bits = client_.v6 ? term.cidr6 : term.cidr4;
        if (term.kind == "include") {
            Result result = co_await CheckHost(*target);
            switch (result) {
                case Result::kPass:
                    co_return Match::kYes;
                case Result::kTempError:
                    co_return Match::kTempError;
                case Result::kPermError:
                case Result::kNone:
                    co_return Match::kPermError;
                default:
                    co_return Match::kNo;
            }
        }
        if (term.kind == "a" || term.kind == "exists") {
            const bool exists = term.kind == "exists";
            DnsAnswer answer = co_await Query(*target, exists || !client_.v6 ? kTypeA : kTypeAaaa);
            if (answer.status != DnsAnswer::Status::kOk) {
                co_return Failed(answer);
            }
            if (exists) {
                co_return Match::kYes;
            }
            for (const std::string& text : answer.records) {
                std::optional<Address> address = ParseAddress(text, client_.v6);
                if (address && InNetwork(client_, *address, bits)) {
                    co_return Match::kYes;
                }
            }
            co_return Match::kNo;
        }
        if (term.kind == "mx") {
            DnsAnswer mx = co_await Query(*target, kTypeMx);
            if (mx.status != DnsAnswer::Status::kOk) {
                co_return Failed(mx);
            }
            if (mx.records.size() > kMaxNames) {
                co_return Match::kPermError;
            }
            for (const std::string& host : mx.records) {
                bool found = co_await HasClientAddress(host, bits);
                if (found) {
                    co_return Match::kYes;
                }
            }
            co_return Match::kNo;
        }
        // ptr: a name of the client's that points back to it and lies in the target domain.
        std::string reverse = ReverseName();
        DnsAnswer names = co_await Query(reverse, kTypePtr);
        if (names.status != DnsAnswer::Status::kOk) {
            co_return Void(names) && !CountVoid() ? Match::kPermError : Match::kNo;
        }
        const std::string wanted = AsciiLowerCopy(*target);
        for (size_t i = 0; i < names.records.size() && i < kMaxNames; ++i) {
            std::string name = AsciiLowerCopy(names.records[i]);
            if (name != wanted && !name.ends_with("." + wanted)) {
                continue;
            }
            bool validated = co_await HasClientAddress(name, client_.v6 ? 128 : 32);
            if (validated) {
                co_return Match::kYes;
            }
        }
        co_return Match::kNo;
    }

    net::AsyncDns& dns_;
    const SpfQuery& query_;
    const Address client_;
    const MacroValues values_;
    int terms_ = 0;
    int voids_ = 0;
};

}  // namespace

asio::awaitable<SpfOutcome> CheckSpf(net::AsyncDns& dns, SpfQuery query) {
    SpfOutcome outcome;
    outcome.identity =
        query.mailFrom.empty() ? "smtp.helo=" + query.heloName : "smtp.mailfrom=" + query.mailFrom;
    std::string sender = query.mailFrom.empty() ? "postmaster@" + query.heloName : query.mailFrom;
    size_t at = sender.rfind('@');
    std::optional<Address> client = ClientAddress(query.clientAddress);
    if (at == std::string::npos || !client) {
        outcome.result = "none";  // nothing that SPF can check
        co_return outcome;
    }
    MacroValues values;
    values.sender = sender;
    values.localPart = sender.substr(0, at);
    values.senderDomain = AsciiLowerCopy(sender.substr(at + 1));
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(client->v6 ? AF_INET6 : AF_INET, client->bytes.data(), text, sizeof text);
    values.ip = text;
    if (client->v6) {
        values.ip.clear();
        static constexpr char kHex[] = "0123456789abcdef";
        for (unsigned char byte : client->bytes) {
            values.ip += std::string{kHex[byte >> 4], '.', kHex[byte & 15], '.'};
        }
        values.ip.pop_back();
    }
    values.ipVersion = client->v6 ? "ip6" : "in-addr";
    values.helo = query.heloName;
    Evaluation evaluation(dns, query, *client, values);
    std::string domain = values.senderDomain;
    Result result = co_await evaluation.CheckHost(domain);
    outcome.result = ResultName(result);
    co_return outcome;
}

}  // namespace relvo::mail::smtp
