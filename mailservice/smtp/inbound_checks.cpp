#include "smtp/inbound_checks.h"

#define _Bool bool  // the library's header uses C's boolean type
#include <opendkim/dkim.h>
#undef _Bool

#include <algorithm>
#include <asio/co_spawn.hpp>
#include <cctype>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>

#include "common/ascii.h"
#include "common/ip_network.h"
#include "common/mail_address.h"
#include "core/header_fields.h"
#include "policy/dmarc_dns.h"
#include "policy/from_field.h"
#include "policy/org_domain.h"

namespace relvo::mail::smtp {

// The answers of one message's lookups. The resolver's loop fills it; the session's waiter runs
// when the last lookup has ended (answered, failed, or out of time).
struct InboundChecks::Lookups {
    std::mutex mutex;
    std::map<std::pair<std::string, std::string>, net::DnsAnswer> keys;  // (selector, domain)
    std::optional<SpfOutcome> spf;
    std::map<std::string, net::DnsAnswer> policies;  // by the policy record's name
    std::optional<net::DnsAnswer> ptr;               // the client's PTR names
    std::vector<net::DnsAnswer> forward;  // the addresses of the first kMaxPtrNames names
    int pending = 0;
    std::function<void()> waiter;
    InboundCheckHub* hub = nullptr;

    void Ended() {  // with the mutex held by the caller's lock, which it gives here
        if (--pending == 0) {
            hub->Release();
            if (waiter) {
                auto ready = std::move(waiter);
                waiter = nullptr;
                ready();
            }
        }
    }
};

namespace {

std::pair<std::string, std::string> KeyName(std::string_view selector, std::string_view domain) {
    return {AsciiLowerCopy(selector), AsciiLowerCopy(domain)};
}

DKIM_CBSTAT LookUpKey(DKIM* dkim, DKIM_SIGINFO* sig, u_char* buffer, size_t size) {
    auto* lookups = static_cast<InboundChecks::Lookups*>(dkim_get_user_context(dkim));
    const char* selector = reinterpret_cast<const char*>(dkim_sig_getselector(sig));
    const char* domain = reinterpret_cast<const char*>(dkim_sig_getdomain(sig));
    if (lookups == nullptr || selector == nullptr || domain == nullptr) {
        return DKIM_CBSTAT_ERROR;
    }
    // Only what was fetched before: this never waits.
    std::lock_guard lock(lookups->mutex);
    auto found = lookups->keys.find(KeyName(selector, domain));
    if (found == lookups->keys.end() ||
        found->second.status == net::DnsAnswer::Status::kTemporary) {
        return DKIM_CBSTAT_TRYAGAIN;
    }
    const net::DnsAnswer& answer = found->second;
    if (answer.status != net::DnsAnswer::Status::kOk || answer.records.front().size() >= size) {
        return DKIM_CBSTAT_NOTFOUND;
    }
    std::memcpy(buffer, answer.records.front().c_str(), answer.records.front().size() + 1);
    return DKIM_CBSTAT_CONTINUE;
}

DKIM_LIB* VerifyingLibrary() {
    static DKIM_LIB* library = [] {
        DKIM_LIB* lib = dkim_init(nullptr, nullptr);
        if (lib != nullptr) {
            dkim_set_key_lookup(lib, LookUpKey);
            // Keys are asked for at the end of the message only, when they have been fetched.
            unsigned int flags = DKIM_LIBFLAGS_FIXCRLF | DKIM_LIBFLAGS_DELAYSIGPROC;
            dkim_options(lib, DKIM_OP_SETOPT, DKIM_OPTS_FLAGS, &flags, sizeof flags);
        }
        return lib;
    }();
    return library;
}

std::string WithoutLineEnd(std::string_view field) {
    while (!field.empty() && (field.back() == '\n' || field.back() == '\r')) {
        field.remove_suffix(1);
    }
    return std::string(field);
}

// A tag's value from a DKIM-Signature field ("" when absent).
std::string TagValue(std::string_view field, std::string_view tag) {
    std::string value(field.substr(field.find(':') + 1));
    std::string compact;
    for (char c : value) {
        if (!std::isspace(static_cast<unsigned char>(c))) {
            compact += c;
        }
    }
    for (size_t at = 0; at < compact.size();) {
        size_t end = compact.find(';', at);
        std::string_view part(compact.data() + at,
                              (end == std::string::npos ? compact.size() : end) - at);
        if (part.size() > tag.size() && part.substr(0, tag.size()) == tag &&
            part[tag.size()] == '=') {
            return std::string(part.substr(tag.size() + 1));
        }
        at = end == std::string::npos ? compact.size() : end + 1;
    }
    return "";
}

// A property value for the field: the text itself when it is a plain token, else a quoted
// string of its printable characters, at most 255 of them.
std::string PropertyValue(std::string_view value) {
    value = value.substr(0, 255);
    bool plain = !value.empty();
    for (char c : value) {
        plain = plain && (std::isalnum(static_cast<unsigned char>(c)) ||
                          std::strchr(".-_@+=!#$%&'*/?^`{|}~", c) != nullptr);
    }
    if (plain) {
        return std::string(value);
    }
    std::string quoted = "\"";
    for (char c : value) {
        if (c >= ' ' && c <= '~') {
            quoted += (c == '"' || c == '\\') ? std::string{'\\', c} : std::string{c};
        }
    }
    return quoted + "\"";
}

std::string DkimResult(DKIM_SIGINFO* sig, bool keyUnanswered) {
    if (DKIM_SIG_CHECK(sig)) {
        return "pass";
    }
    if (keyUnanswered) {
        return "temperror";
    }
    switch (dkim_sig_geterror(sig)) {
        case DKIM_SIGERROR_KEYFAIL:
            return "temperror";
        case DKIM_SIGERROR_OK:
        case DKIM_SIGERROR_UNKNOWN:
        case DKIM_SIGERROR_BADSIG:
        case DKIM_SIGERROR_EXPIRED:
        case DKIM_SIGERROR_FUTURE:
        case DKIM_SIGERROR_TIMESTAMPS:
        case DKIM_SIGERROR_SUBDOMAIN:
        case DKIM_SIGERROR_TOOLARGE_L:
        case DKIM_SIGERROR_MBSFAILED:
        case DKIM_SIGERROR_KEYHASHMISMATCH:
            return "fail";
        default:
            return "permerror";  // a broken signature, key record or key
    }
}

// Skips comments and folding white space; false on a comment that does not end.
bool SkipCfws(std::string_view text, size_t& at) {
    while (at < text.size()) {
        char c = text[at];
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            ++at;
            continue;
        }
        if (c != '(') {
            return true;
        }
        int depth = 0;
        for (; at < text.size(); ++at) {
            if (text[at] == '\\') {
                ++at;
            } else if (text[at] == '(') {
                ++depth;
            } else if (text[at] == ')' && --depth == 0) {
                break;
            }
        }
        if (at >= text.size()) {
            return false;
        }
        ++at;
    }
    return true;
}

policy::AuthResult AuthResultOf(std::string_view result) {
    using policy::AuthResult;
    static const std::pair<std::string_view, AuthResult> kNames[] = {
        {"pass", AuthResult::kPass},          {"fail", AuthResult::kFail},
        {"softfail", AuthResult::kSoftfail},  {"neutral", AuthResult::kNeutral},
        {"policy", AuthResult::kPolicy},      {"temperror", AuthResult::kTemperror},
        {"permerror", AuthResult::kPermerror}};
    for (const auto& [name, value] : kNames) {
        if (name == result) {
            return value;
        }
    }
    return AuthResult::kNone;
}

// The name a PTR record gives for a forward lookup; "" when it is no host name.
std::string PtrHostName(std::string_view name) {
    if (name.ends_with('.')) {
        name.remove_suffix(1);
    }
    return policy::NormalizeDomain(name).value_or("");
}

std::string ReverseName(const IpAddress& address) {
    std::string name;
    if (address.IsV4()) {
        for (int i = 15; i >= 12; --i) {
            name += std::to_string(address.bytes[i]) + ".";
        }
        return name + "in-addr.arpa";
    }
    static constexpr char kHex[] = "0123456789abcdef";
    for (int i = 15; i >= 0; --i) {
        name += std::string{kHex[address.bytes[i] & 15], '.', kHex[address.bytes[i] >> 4], '.'};
    }
    return name + "ip6.arpa";
}

}  // namespace

policy::DmarcReportStore& InboundCheckHub::Reports() {
    std::call_once(reportsOnce_, [this] {
        reports_ = std::make_unique<policy::DmarcReportStore>(policy::DmarcStoreDir());
    });
    return *reports_;
}

bool InboundCheckHub::Admit() {
    if (inFlight_.fetch_add(1) < maxMessages_) {
        return true;
    }
    inFlight_.fetch_sub(1);
    const int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count();
    int64_t last = lastFullLine_.load();
    if ((last == 0 || now - last >= 60) && lastFullLine_.compare_exchange_strong(last, now)) {
        log_.Line("Inbound checks: " + std::to_string(maxMessages_) +
                  " messages already wait for DNS; new messages get temperror results at once");
    }
    return false;
}

struct InboundChecks::Verifier {
    DKIM* handle = nullptr;
    DKIM_STAT status = DKIM_STAT_OK;
    bool signatures = false;
    ~Verifier() {
        if (handle != nullptr) {
            dkim_free(handle);
        }
    }
};

std::string AuthservIdOf(std::string_view field) {
    std::string_view value = field.substr(field.find(':') + 1);
    size_t at = 0;
    if (!SkipCfws(value, at) || at >= value.size()) {
        return "";
    }
    std::string id;
    if (value[at] == '"') {  // the id may be a quoted string
        for (++at; at < value.size() && value[at] != '"'; ++at) {
            if (value[at] == '\\' && at + 1 < value.size()) {
                ++at;
            }
            id += value[at];
        }
        return AsciiLowerCopy(id);
    }
    size_t end = value.find_first_of("; \t\r\n(", at);
    id = AsciiLowerCopy(value.substr(at, end == std::string_view::npos ? end : end - at));
    if (id.ends_with('.')) {
        id.pop_back();  // the same name written as absolute
    }
    return id;
}

InboundChecks::InboundChecks(const MessageContext& context, std::string authservId,
                             std::string dnsServer, InboundCheckHub& hub, EventLog& log,
                             SenderPolicy senderPolicy)
    : context_(context),
      authservId_(std::move(authservId)),
      dnsServer_(std::move(dnsServer)),
      hub_(hub),
      log_(log),
      dkim_(std::make_unique<Verifier>()),
      senderPolicy_(std::move(senderPolicy)) {
    if (DKIM_LIB* library = VerifyingLibrary()) {
        dkim_->handle =
            dkim_verify(library, reinterpret_cast<const u_char*>("relvo"), nullptr, &dkim_->status);
    }
}

InboundChecks::~InboundChecks() {
    if (group_ != nullptr) {
        hub_.Dns().Cancel(group_);  // a no-op when every lookup has ended
    }
}

bool InboundChecks::HeaderField(std::string_view field) {
    std::string name = AsciiLowerCopy(HeaderFieldName(field));
    if (name == "authentication-results" && AuthservIdOf(field) == AsciiLowerCopy(authservId_)) {
        return false;  // a client's claim in our name
    }
    if (name == "from") {
        if (fromFields_.size() < kMaxFromFields) {
            fromFields_.emplace_back(field.substr(field.find(':') + 1));
        }
        ++fromFieldCount_;
    }
    if (name == "dkim-signature") {
        if (signatures_.size() < kMaxListedSignatures) {
            signatures_.push_back({AsciiLowerCopy(TagValue(field, "d")), TagValue(field, "s")});
        } else {
            ++unlisted_;
        }
        if (signatures_.size() + unlisted_ > kMaxSignatures) {
            return true;  // not shown to the library: no key, no body hash of its own
        }
    }
    if (dkim_->handle != nullptr && dkim_->status == DKIM_STAT_OK) {
        std::string text = WithoutLineEnd(field);
        DKIM_STAT status =
            dkim_header(dkim_->handle, reinterpret_cast<u_char*>(text.data()), text.size());
        // A field the library cannot read (a broken signature) is left out; the others are
        // still verified.
        if (status != DKIM_STAT_SYNTAX) {
            dkim_->status = status;
        }
    }
    return true;
}

void InboundChecks::EndOfHeaders() {
    lookups_ = std::make_shared<Lookups>();
    lookups_->hub = &hub_;
    if (!context_.trustedClient) {
        fromDomains_ = policy::FromDomains({fromFields_.begin(), fromFields_.end()});
        if (fromFieldCount_ > fromFields_.size()) {
            fromDomains_.push_back("");  // authors in the fields not kept: more than one
        }
    }
    if (!hub_.Admit()) {
        return;  // no lookups: every result is a temperror
    }
    group_ =
        std::make_shared<net::AsyncDns::Group>(std::chrono::steady_clock::now() + kCheckDnsTime);
    std::vector<std::pair<std::string, std::string>> keys;
    for (size_t i = 0; i < signatures_.size() && i < kMaxSignatures; ++i) {
        auto key = KeyName(signatures_[i].selector, signatures_[i].domain);
        if (!key.first.empty() && !key.second.empty() &&
            std::find(keys.begin(), keys.end(), key) == keys.end()) {
            keys.push_back(key);
        }
    }
    std::vector<std::string> policyNames;
    const std::optional<IpAddress> client =
        context_.trustedClient ? std::nullopt : ParseIpAddress(context_.clientAddress);
    if (fromDomains_.size() == 1) {
        policyNames = policy::PolicyRecordNames(fromDomains_.front());
    }
    // SPF, each key, each policy record name and the client's PTR names (their addresses are
    // added when the names come).
    lookups_->pending = static_cast<int>(keys.size() + policyNames.size()) + 1 + (client ? 1 : 0);
    net::AsyncDns& dns = hub_.Dns();
    for (const std::string& name : policyNames) {
        dns.Lookup(dnsServer_, name, 16 /* TXT */, group_,
                   [lookups = lookups_, name](net::DnsAnswer answer) {
                       std::lock_guard lock(lookups->mutex);
                       lookups->policies[name] = std::move(answer);
                       lookups->Ended();
                   });
    }
    if (client) {
        LookUpClientNames(dns, *client);
    }
    for (const auto& key : keys) {
        dns.Lookup(dnsServer_, key.first + "._domainkey." + key.second, 16 /* TXT */, group_,
                   [lookups = lookups_, key](net::DnsAnswer answer) {
                       std::lock_guard lock(lookups->mutex);
                       lookups->keys[key] = std::move(answer);
                       lookups->Ended();
                   });
    }
    SpfQuery query{context_.clientAddress, context_.heloName, context_.mailFrom, dnsServer_,
                   group_};
    asio::co_spawn(dns.Executor(), CheckSpf(dns, std::move(query)),
                   [lookups = lookups_](std::exception_ptr error, SpfOutcome outcome) {
                       std::lock_guard lock(lookups->mutex);
                       if (!error) {
                           lookups->spf = std::move(outcome);
                       }
                       lookups->Ended();
                   });
    if (dkim_->handle != nullptr) {
        dkim_set_user_context(dkim_->handle, lookups_.get());
        if (dkim_->status == DKIM_STAT_OK) {
            dkim_->status = dkim_eoh(dkim_->handle);
            dkim_->signatures = dkim_->status == DKIM_STAT_OK;
        }
    }
}

void InboundChecks::LookUpClientNames(net::AsyncDns& dns, const IpAddress& client) {
    const int type = client.IsV4() ? 1 /* A */ : 28 /* AAAA */;
    dns.Lookup(dnsServer_, ReverseName(client), 12 /* PTR */, group_,
               [lookups = lookups_, &dns, server = dnsServer_, group = group_,
                type](net::DnsAnswer answer) {
                   std::vector<std::string> names;
                   {
                       std::lock_guard lock(lookups->mutex);
                       for (const std::string& record : answer.records) {
                           std::string name = PtrHostName(record);
                           if (!name.empty() && names.size() < kMaxPtrNames &&
                               std::find(names.begin(), names.end(), name) == names.end()) {
                               names.push_back(std::move(name));
                           }
                       }
                       lookups->ptr = std::move(answer);
                       lookups->forward.resize(names.size());
                       lookups->pending += static_cast<int>(names.size());
                       lookups->Ended();
                   }
                   for (size_t i = 0; i < names.size(); ++i) {
                       dns.Lookup(server, names[i], type, group,
                                  [lookups, i](net::DnsAnswer addresses) {
                                      std::lock_guard lock(lookups->mutex);
                                      lookups->forward[i] = std::move(addresses);
                                      lookups->Ended();
                                  });
                   }
               });
}

void InboundChecks::Body(std::string_view piece) {
    if (dkim_->signatures && dkim_->status == DKIM_STAT_OK) {
        dkim_->status =
            dkim_body(dkim_->handle, reinterpret_cast<u_char*>(const_cast<char*>(piece.data())),
                      piece.size());
    }
}

void InboundChecks::WhenReady(std::function<void()> ready) {
    if (lookups_ != nullptr) {
        std::lock_guard lock(lookups_->mutex);
        if (lookups_->pending > 0) {
            lookups_->waiter = std::move(ready);
            return;
        }
    }
    ready();
}

std::string InboundChecks::VerifyDkim() {
    if (signatures_.empty()) {
        return "dkim=none";
    }
    DKIM_SIGINFO** sigs = nullptr;
    int count = 0;
    if (dkim_->signatures && group_ != nullptr) {
        if (dkim_->status == DKIM_STAT_OK) {
            dkim_eom(dkim_->handle, nullptr);
        }
        if (dkim_getsiglist(dkim_->handle, &sigs, &count) != DKIM_STAT_OK) {
            count = 0;
        }
    }
    std::vector<bool> used(static_cast<size_t>(count), false);
    std::string results;
    for (size_t i = 0; i < signatures_.size(); ++i) {
        const Signature& signature = signatures_[i];
        std::string result = "policy";
        if (i < kMaxSignatures) {
            // The library's signature of the same domain and selector; none when it could not
            // take the field.
            DKIM_SIGINFO* sig = nullptr;
            for (int j = 0; j < count && sig == nullptr; ++j) {
                const char* d = reinterpret_cast<const char*>(dkim_sig_getdomain(sigs[j]));
                const char* s = reinterpret_cast<const char*>(dkim_sig_getselector(sigs[j]));
                if (!used[j] && d != nullptr && s != nullptr &&
                    KeyName(s, d) == KeyName(signature.selector, signature.domain)) {
                    used[j] = true;
                    sig = sigs[j];
                }
            }
            bool unanswered = group_ == nullptr;
            if (!unanswered) {
                std::lock_guard lock(lookups_->mutex);
                auto key = lookups_->keys.find(KeyName(signature.selector, signature.domain));
                unanswered = key != lookups_->keys.end() &&
                             key->second.status == net::DnsAnswer::Status::kTemporary;
            }
            result = sig != nullptr      ? DkimResult(sig, unanswered)
                     : group_ == nullptr ? "temperror"
                                         : "permerror";
            dkimChecks_.push_back({signature.domain, signature.selector, AuthResultOf(result)});
        }
        results += results.empty() ? "" : ";\r\n\t";
        results += "dkim=" + result + " header.d=" + PropertyValue(signature.domain) +
                   " header.s=" + PropertyValue(signature.selector);
    }
    if (unlisted_ > 0) {
        results += ";\r\n\tdkim=policy reason=\"" + std::to_string(unlisted_) +
                   " more signatures not evaluated\"";
    }
    return results;
}

std::string InboundChecks::Finish() {
    if (lookups_ == nullptr) {
        EndOfHeaders();  // not reached without it; the results need its lookups' record
    }
    std::string dkim = VerifyDkim();
    SpfOutcome spf{"temperror", ""};
    {
        std::lock_guard lock(lookups_->mutex);
        if (lookups_->spf) {
            spf = *lookups_->spf;
        }
    }
    spfResult_ = spf.result;
    if (spf.identity.empty()) {
        spf.identity = context_.mailFrom.empty() ? "smtp.helo=" + context_.heloName
                                                 : "smtp.mailfrom=" + context_.mailFrom;
    }
    size_t equals = spf.identity.find('=') + 1;
    std::string identity =
        spf.identity.substr(0, equals) + PropertyValue(spf.identity.substr(equals));
    std::string results = dkim + ";\r\n\tspf=" + spf.result + " " + identity;
    if (!context_.trustedClient) {
        results += ";\r\n\t" + EvaluateSender(spf.result);
        if (std::string iprev = IprevResult(); !iprev.empty()) {
            results += ";\r\n\t" + iprev;
        }
    }
    std::string logged = results;
    for (size_t at; (at = logged.find("\r\n\t")) != std::string::npos;) {
        logged.replace(at, 3, " ");
    }
    log_.Line("Server/" + context_.clientAddress + " " + logged);
    return "Authentication-Results: " + authservId_ + ";\r\n\t" + results + "\r\n";
}

std::string InboundChecks::EvaluateSender(const std::string& spfResult) {
    policy::DmarcInput input;
    input.fromDomains = fromDomains_;
    input.dkim = dkimChecks_;
    input.spf.scope =
        context_.mailFrom.empty() ? policy::SpfScope::kHelo : policy::SpfScope::kMailFrom;
    input.spf.domain = context_.mailFrom.empty() ? context_.heloName
                                                 : std::string(MailboxDomain(context_.mailFrom));
    input.spf.result = AuthResultOf(spfResult);
    std::map<std::string, policy::TxtAnswer> answers;
    {
        std::lock_guard lock(lookups_->mutex);
        for (const auto& [name, answer] : lookups_->policies) {
            answers.emplace(name, policy::ToTxtAnswer(answer));
        }
    }
    policy::DmarcOutcome outcome = policy::EvaluateDmarc(
        input, policy::AnswersFrom(std::move(answers)), senderPolicy_.percent);
    if (!senderPolicy_.act) {
        outcome.action = policy::DmarcAction::kNone;  // what the reports say was done
    } else if (outcome.result == policy::DmarcResult::kPermerror && outcome.fromDomain.empty()) {
        // No single author to hold to a policy (RFC 7489 6.6.1).
        refusal_ = "550 5.7.1 Message refused: " + outcome.reason;
    } else if (outcome.action == policy::DmarcAction::kReject) {
        refusal_ =
            "550 5.7.1 Message refused: it fails the DMARC policy of " + outcome.policyDomain;
    } else if (outcome.action == policy::DmarcAction::kQuarantine) {
        quarantine_ = "dmarc";
    }
    if (senderPolicy_.report && outcome.policyFound && !outcome.record.rua.empty()) {
        // Finish runs on the observers' pool, so the row's write holds no I/O thread.
        hub_.Reports().Add(input, outcome, context_.clientAddress,
                           std::chrono::system_clock::now());
    }
    std::string text = policy::DmarcAuthResults(outcome);
    if (!outcome.reason.empty() && outcome.result != policy::DmarcResult::kFail) {
        text += " reason=" + PropertyValue(outcome.reason);
    }
    return text;
}

// RFC 8601 3: pass when a PTR name of the client has the client's address among its own.
std::string InboundChecks::IprevResult() {
    const std::optional<IpAddress> client = ParseIpAddress(context_.clientAddress);
    if (!client) {
        return "";
    }
    std::string result = "temperror";
    std::lock_guard lock(lookups_->mutex);
    if (lookups_->ptr && lookups_->ptr->status != net::DnsAnswer::Status::kTemporary) {
        // No PTR name, or none whose addresses include the client's: fail, unless a name's
        // addresses did not come.
        bool temporary = false;
        for (const net::DnsAnswer& answer : lookups_->forward) {
            temporary = temporary || answer.status == net::DnsAnswer::Status::kTemporary;
            for (const auto* list : {&answer.records, &answer.addresses}) {
                for (const std::string& text : *list) {
                    const std::optional<IpAddress> address = ParseIpAddress(text);
                    if (address && address->bytes == client->bytes) {
                        return "iprev=pass policy.iprev=" + PropertyValue(context_.clientAddress);
                    }
                }
            }
        }
        result = temporary ? "temperror" : "fail";
    }
    return "iprev=" + result + " policy.iprev=" + PropertyValue(context_.clientAddress);
}

}  // namespace relvo::mail::smtp
