#include "smtp/inbound_checks.h"

#define _Bool bool  // the library's header uses C's boolean type
#include <opendkim/dkim.h>
#undef _Bool

#include <asio/post.hpp>
#include <cctype>
#include <cstring>

#include "common/ascii.h"
#include "core/header_fields.h"

namespace relvo::mail::smtp {

namespace {

constexpr size_t kMaxSignatures = 8;

DKIM_CBSTAT LookUpKey(DKIM* dkim, DKIM_SIGINFO* sig, u_char* buffer, size_t size) {
    auto* checks = static_cast<InboundChecks*>(dkim_get_user_context(dkim));
    const char* selector = reinterpret_cast<const char*>(dkim_sig_getselector(sig));
    const char* domain = reinterpret_cast<const char*>(dkim_sig_getdomain(sig));
    if (checks == nullptr || selector == nullptr || domain == nullptr) {
        return DKIM_CBSTAT_ERROR;
    }
    net::DnsAnswer answer = checks->KeyRecord(selector, domain);
    if (answer.status == net::DnsAnswer::Status::kTemporary) {
        return DKIM_CBSTAT_TRYAGAIN;
    }
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
            unsigned int flags = DKIM_LIBFLAGS_FIXCRLF;
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

// Text that may stand in a header field as a property value, or "" when it may not.
std::string SafeValue(std::string_view value) {
    for (char c : value) {
        if (!std::isalnum(static_cast<unsigned char>(c)) &&
            std::strchr(".-_@+=!#$%&'*/?^`{|}~", c) == nullptr) {
            return "";
        }
    }
    return std::string(value);
}

std::string DkimResult(DKIM_SIGINFO* sig) {
    if (DKIM_SIG_CHECK(sig)) {
        return "pass";
    }
    switch (dkim_sig_geterror(sig)) {
        case DKIM_SIGERROR_KEYFAIL:
            return "temperror";
        case DKIM_SIGERROR_NOKEY:
        case DKIM_SIGERROR_DNSSYNTAX:
            return "permerror";
        default:
            return "fail";
    }
}

}  // namespace

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
    std::string value = WithoutLineEnd(field.substr(field.find(':') + 1));
    size_t begin = value.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos) {
        return "";
    }
    size_t end = value.find_first_of("; \t\r\n(", begin);
    return AsciiLowerCopy(value.substr(begin, end == std::string::npos ? end : end - begin));
}

InboundChecks::InboundChecks(const MessageContext& context, std::string authservId,
                             net::DnsSettings dns, asio::thread_pool& pool, EventLog& log)
    : context_(context),
      authservId_(std::move(authservId)),
      dns_(std::move(dns)),
      pool_(pool),
      log_(log),
      deadline_(std::chrono::steady_clock::now() + kCheckDnsTime),
      dkim_(std::make_unique<Verifier>()) {
    dns_.timeout = kCheckDnsTime;
    auto spf = std::make_shared<std::packaged_task<SpfOutcome()>>([c = context_, dns = dns_] {
        return CheckSpf(c.clientAddress, c.heloName, c.mailFrom, dns);
    });
    spf_ = spf->get_future();
    asio::post(pool_, [spf] { (*spf)(); });
    if (DKIM_LIB* library = VerifyingLibrary()) {
        dkim_->handle =
            dkim_verify(library, reinterpret_cast<const u_char*>("relvo"), nullptr, &dkim_->status);
        if (dkim_->handle != nullptr) {
            dkim_set_user_context(dkim_->handle, this);
        }
    }
}

InboundChecks::~InboundChecks() = default;

bool InboundChecks::HeaderField(std::string_view field) {
    std::string name = AsciiLowerCopy(HeaderFieldName(field));
    if (name == "authentication-results" && AuthservIdOf(field) == AsciiLowerCopy(authservId_)) {
        return false;  // a client's claim in our name
    }
    if (name == "dkim-signature" && keys_.size() < kMaxSignatures) {
        std::string selector = TagValue(field, "s");
        std::string domain = AsciiLowerCopy(TagValue(field, "d"));
        if (!selector.empty() && !domain.empty()) {
            keys_.emplace(std::make_pair(selector, domain), std::shared_future<net::DnsAnswer>());
        }
    }
    if (dkim_->handle != nullptr && dkim_->status == DKIM_STAT_OK) {
        std::string text = WithoutLineEnd(field);
        dkim_->status =
            dkim_header(dkim_->handle, reinterpret_cast<u_char*>(text.data()), text.size());
    }
    return true;
}

void InboundChecks::EndOfHeaders() {
    for (auto& [key, answer] : keys_) {
        auto lookup = std::make_shared<std::packaged_task<net::DnsAnswer()>>(
            [name = key.first + "._domainkey." + key.second, dns = dns_] {
                return net::LookupRecords(name, 16 /* TXT */, dns);
            });
        answer = lookup->get_future().share();
        asio::post(pool_, [lookup] { (*lookup)(); });
    }
    if (dkim_->handle != nullptr && dkim_->status == DKIM_STAT_OK) {
        dkim_->status = dkim_eoh(dkim_->handle);
        dkim_->signatures = dkim_->status == DKIM_STAT_OK;
    }
}

void InboundChecks::Body(std::string_view piece) {
    if (dkim_->signatures && dkim_->status == DKIM_STAT_OK) {
        dkim_->status =
            dkim_body(dkim_->handle, reinterpret_cast<u_char*>(const_cast<char*>(piece.data())),
                      piece.size());
    }
}

net::DnsAnswer InboundChecks::KeyRecord(const std::string& selector, const std::string& domain) {
    auto found = keys_.find({selector, AsciiLowerCopy(domain)});
    net::DnsAnswer answer;  // temporary failure until an answer comes
    answer.error = "DNS lookup timed out";
    if (found == keys_.end() || !found->second.valid()) {
        return answer;
    }
    if (found->second.wait_until(deadline_) == std::future_status::ready) {
        answer = found->second.get();
    }
    return answer;
}

std::string InboundChecks::VerifyDkim() {
    if (!dkim_->signatures) {
        // A DKIM-Signature field the library could not take is a signature that cannot verify.
        return keys_.empty() ? "dkim=none" : "dkim=permerror";
    }
    if (dkim_->status == DKIM_STAT_OK) {
        dkim_eom(dkim_->handle, nullptr);
    }
    DKIM_SIGINFO** sigs = nullptr;
    int count = 0;
    if (dkim_getsiglist(dkim_->handle, &sigs, &count) != DKIM_STAT_OK || count == 0) {
        return "dkim=permerror";
    }
    std::string results;
    for (int i = 0; i < count && static_cast<size_t>(i) < kMaxSignatures; ++i) {
        results += results.empty() ? "" : ";\r\n\t";
        results += "dkim=" + DkimResult(sigs[i]);
        const char* domain = reinterpret_cast<const char*>(dkim_sig_getdomain(sigs[i]));
        std::string d = SafeValue(domain != nullptr ? domain : "");
        if (!d.empty()) {
            results += " header.d=" + d;
        }
    }
    return results;
}

std::string InboundChecks::Finish() {
    std::string dkim = VerifyDkim();
    SpfOutcome spf{"temperror", ""};
    if (spf_.wait_until(deadline_) == std::future_status::ready) {
        spf = spf_.get();
    }
    spfResult_ = spf.result;
    std::string identity = spf.identity.substr(0, spf.identity.find('=') + 1) +
                           SafeValue(spf.identity.substr(spf.identity.find('=') + 1));
    std::string spfText = "spf=" + spf.result;
    if (!identity.empty() && identity.back() != '=') {
        spfText += " " + identity;
    }
    std::string logged = dkim;
    for (size_t at; (at = logged.find("\r\n\t")) != std::string::npos;) {
        logged.replace(at, 3, " ");
    }
    log_.Line("Server/" + context_.clientAddress + " " + logged + "; " + spfText);
    return "Authentication-Results: " + authservId_ + ";\r\n\t" + dkim + ";\r\n\t" + spfText +
           "\r\n";
}

}  // namespace relvo::mail::smtp
