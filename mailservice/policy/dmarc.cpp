#include "policy/dmarc.h"

#include <optional>
#include <random>

#include "policy/org_domain.h"

namespace relvo::mail::policy {
namespace {

struct Discovery {
    enum class Status { kFound, kNoPolicy, kTemporary };
    Status status = Status::kNoPolicy;
    std::string domain;
    DmarcRecord record;
    std::string reason;
};

// The name of a domain's policy record, or "" when it would be too long to ask for.
std::string RecordName(const std::string& domain) {
    std::string name = "_dmarc." + domain;
    return name.size() <= kMaxDomainName ? name : "";
}

// One name's answer: kFound, kNoPolicy (stop looking), or nullopt (no DMARC record: look further).
std::optional<Discovery> AskName(const std::string& domain, const TxtLookup& lookup) {
    Discovery found;
    found.domain = domain;
    const std::string name = RecordName(domain);
    if (name.empty()) {
        return std::nullopt;
    }
    const TxtAnswer answer = lookup(name);
    if (answer.status == TxtAnswer::Status::kTemporary) {
        found.status = Discovery::Status::kTemporary;
        found.reason = "DNS did not answer for " + name;
        return found;
    }
    if (answer.status == TxtAnswer::Status::kNoRecords) {
        return std::nullopt;
    }
    SelectedRecord selected = SelectDmarcRecord(answer.records);
    switch (selected.status) {
        case Selection::kNone:
            return std::nullopt;
        case Selection::kMultiple:
            found.reason = "more than one DMARC record at " + name;
            break;
        case Selection::kNoPolicy:
            found.reason = "the DMARC record at " + name + " has no policy";
            break;
        case Selection::kValid:
            found.status = Discovery::Status::kFound;
            found.record = std::move(selected.record);
            break;
    }
    return found;
}

// The From domain's record, else its organizational domain's (RFC 7489 6.6.3).
Discovery DiscoverPolicy(const std::string& fromDomain, const TxtLookup& lookup) {
    if (auto found = AskName(fromDomain, lookup)) {
        return std::move(*found);
    }
    const std::string organizational = OrganizationalDomain(fromDomain);
    if (organizational != fromDomain) {
        if (auto found = AskName(organizational, lookup)) {
            return std::move(*found);
        }
    }
    Discovery none;
    none.reason = "no DMARC record for " + fromDomain;
    return none;
}

DmarcAction ActionOf(DmarcPolicy policy) {
    switch (policy) {
        case DmarcPolicy::kQuarantine:
            return DmarcAction::kQuarantine;
        case DmarcPolicy::kReject:
            return DmarcAction::kReject;
        case DmarcPolicy::kNone:
            break;
    }
    return DmarcAction::kNone;
}

}  // namespace

PercentSource RandomPercent() {
    return [] {
        thread_local std::mt19937 engine{std::random_device{}()};
        return std::uniform_int_distribution<int>(0, 99)(engine);
    };
}

bool DomainsAligned(const std::string& a, const std::string& b, Alignment mode) {
    if (a == b) {
        return true;
    }
    return mode == Alignment::kRelaxed && OrganizationalDomain(a) == OrganizationalDomain(b);
}

DmarcOutcome EvaluateDmarc(const DmarcInput& input, const TxtLookup& lookup,
                           const PercentSource& percent) {
    DmarcOutcome outcome;
    if (input.fromDomains.size() != 1) {
        outcome.result = DmarcResult::kPermerror;
        outcome.reason =
            input.fromDomains.empty() ? "no From address" : "more than one From address";
        return outcome;
    }
    const auto from = NormalizeDomain(input.fromDomains.front());
    if (!from) {
        outcome.result = DmarcResult::kPermerror;
        outcome.reason = "the From domain is no valid domain name";
        return outcome;
    }
    outcome.fromDomain = *from;

    Discovery discovery = DiscoverPolicy(*from, lookup);
    if (discovery.status != Discovery::Status::kFound) {
        outcome.result = discovery.status == Discovery::Status::kTemporary ? DmarcResult::kTemperror
                                                                           : DmarcResult::kNone;
        outcome.reason = std::move(discovery.reason);
        return outcome;
    }
    outcome.policyFound = true;
    outcome.policyDomain = std::move(discovery.domain);
    outcome.record = std::move(discovery.record);
    const DmarcRecord& record = outcome.record;
    outcome.policy = outcome.policyDomain == *from ? record.p : record.sp;

    bool alignedTemporary = false;
    for (const DkimCheck& check : input.dkim) {
        const auto domain = NormalizeDomain(check.domain);
        if (!domain || !DomainsAligned(*domain, *from, record.adkim)) {
            continue;
        }
        outcome.dkimAligned = outcome.dkimAligned || check.result == AuthResult::kPass;
        alignedTemporary = alignedTemporary || check.result == AuthResult::kTemperror;
    }
    if (const auto domain = NormalizeDomain(input.spf.domain);
        domain && DomainsAligned(*domain, *from, record.aspf)) {
        outcome.spfAligned = input.spf.result == AuthResult::kPass;
        alignedTemporary = alignedTemporary || input.spf.result == AuthResult::kTemperror;
    }
    if (outcome.dkimAligned || outcome.spfAligned) {
        outcome.result = DmarcResult::kPass;
        return outcome;
    }
    if (alignedTemporary) {
        // An answer that did not come might have passed: never punish the message for it.
        outcome.result = DmarcResult::kTemperror;
        outcome.reason = "an aligned DKIM or SPF check had a temporary error";
        return outcome;
    }
    outcome.result = DmarcResult::kFail;
    outcome.action = ActionOf(outcome.policy);
    if (outcome.action != DmarcAction::kNone && record.pct < 100 && percent() >= record.pct) {
        // Outside the sample: the next milder policy.
        outcome.sampledOut = true;
        outcome.action =
            outcome.action == DmarcAction::kReject ? DmarcAction::kQuarantine : DmarcAction::kNone;
    }
    return outcome;
}

std::vector<std::string> PolicyRecordNames(std::string_view fromDomain) {
    std::vector<std::string> names;
    const auto from = NormalizeDomain(fromDomain);
    if (!from) {
        return names;
    }
    const std::string organizational = OrganizationalDomain(*from);
    for (const std::string& domain : {*from, organizational}) {
        std::string name = RecordName(domain);
        if (!name.empty() && (names.empty() || names.front() != name)) {
            names.push_back(std::move(name));
        }
    }
    return names;
}

TxtLookup AnswersFrom(std::map<std::string, TxtAnswer> answers) {
    return [answers = std::move(answers)](const std::string& name) {
        const auto found = answers.find(name);
        return found != answers.end() ? found->second
                                      : TxtAnswer{TxtAnswer::Status::kTemporary, {}};
    };
}

std::string DmarcAuthResults(const DmarcOutcome& outcome) {
    std::string text = "dmarc=";
    text += ResultName(outcome.result);
    if (!outcome.fromDomain.empty()) {
        text += " header.from=" + outcome.fromDomain;
    }
    if (outcome.policyFound) {
        text += " policy.dmarc=";
        text += PolicyName(outcome.policy);
    }
    return text;
}

std::string_view ResultName(DmarcResult result) {
    switch (result) {
        case DmarcResult::kPass:
            return "pass";
        case DmarcResult::kFail:
            return "fail";
        case DmarcResult::kTemperror:
            return "temperror";
        case DmarcResult::kPermerror:
            return "permerror";
        case DmarcResult::kNone:
            break;
    }
    return "none";
}

std::string_view AuthResultName(AuthResult result) {
    switch (result) {
        case AuthResult::kPass:
            return "pass";
        case AuthResult::kFail:
            return "fail";
        case AuthResult::kSoftfail:
            return "softfail";
        case AuthResult::kNeutral:
            return "neutral";
        case AuthResult::kPolicy:
            return "policy";
        case AuthResult::kTemperror:
            return "temperror";
        case AuthResult::kPermerror:
            return "permerror";
        case AuthResult::kNone:
            break;
    }
    return "none";
}

std::string_view ActionName(DmarcAction action) {
    switch (action) {
        case DmarcAction::kQuarantine:
            return "quarantine";
        case DmarcAction::kReject:
            return "reject";
        case DmarcAction::kNone:
            break;
    }
    return "none";
}

Destination VerifyReportDestination(const std::string& policyDomain, const std::string& ruaAddress,
                                    const TxtLookup& lookup) {
    const size_t at = ruaAddress.rfind('@');
    const auto ruaDomain = NormalizeDomain(
        at == std::string::npos ? std::string_view() : std::string_view(ruaAddress).substr(at + 1));
    const auto policy = NormalizeDomain(policyDomain);
    if (!ruaDomain || !policy) {
        return Destination::kRefused;
    }
    if (OrganizationalDomain(*ruaDomain) == OrganizationalDomain(*policy)) {
        return Destination::kAuthorized;
    }
    const std::string name = *policy + "._report._dmarc." + *ruaDomain;
    if (name.size() > kMaxDomainName) {
        return Destination::kRefused;
    }
    const TxtAnswer answer = lookup(name);
    if (answer.status == TxtAnswer::Status::kTemporary) {
        return Destination::kTemporary;
    }
    return answer.status == TxtAnswer::Status::kRecords && HasDmarcVersionTag(answer.records)
               ? Destination::kAuthorized
               : Destination::kRefused;
}

}  // namespace relvo::mail::policy
