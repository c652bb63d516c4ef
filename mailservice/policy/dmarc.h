// DMARC (RFC 7489) for mail received for a local domain: which policy the From domain publishes,
// whether DKIM or SPF passed for a domain aligned with it, and what to do with a message that
// fails. DNS comes in through TxtLookup, so the evaluation is pure: tests answer from a table; the
// receiving path either fetches PolicyRecordNames ahead on its asynchronous resolver and answers
// with AnswersFrom, or runs the blocking DnsTxtLookup (dmarc_dns.h) on a pool.
//
// Our own parser and evaluator rather than libopendmarc: that library keeps its suffix table and
// resolver in process-wide state set once, asks DNS itself with blocking res_query (no deadline,
// no way to answer from a table), reads the suffix list through its own loader instead of
// libpsl's, and writes no aggregate reports. The rules themselves are a few hundred lines.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "policy/dmarc_record.h"

namespace relvo::mail::policy {

// The TXT records of one name, or why there are none.
struct TxtAnswer {
    enum class Status { kRecords, kNoRecords, kTemporary };
    Status status = Status::kTemporary;
    std::vector<std::string> records;  // each record's strings joined
};
using TxtLookup = std::function<TxtAnswer(const std::string& name)>;

// A DKIM or SPF result as Authentication-Results names it.
enum class AuthResult { kNone, kPass, kFail, kSoftfail, kNeutral, kPolicy, kTemperror, kPermerror };

struct DkimCheck {
    std::string domain;  // the signature's d=
    std::string selector;
    AuthResult result = AuthResult::kNone;
};

enum class SpfScope { kMailFrom, kHelo };
struct SpfCheck {
    std::string domain;  // the MAIL FROM domain, or the HELO name for a null reverse path
    SpfScope scope = SpfScope::kMailFrom;
    AuthResult result = AuthResult::kNone;
};

struct DmarcInput {
    std::vector<std::string> fromDomains;  // one per address of the message's From field(s)
    std::vector<DkimCheck> dkim;
    SpfCheck spf;
};

enum class DmarcResult { kNone, kPass, kFail, kTemperror, kPermerror };
enum class DmarcAction { kNone, kQuarantine, kReject };

struct DmarcOutcome {
    DmarcResult result = DmarcResult::kNone;
    std::string fromDomain;    // the From domain, normalized; "" for permerror on the From field
    bool policyFound = false;  // a record applies: policyDomain, record and policy are set
    std::string policyDomain;  // where the record was found: the From or its organizational domain
    DmarcRecord record;
    DmarcPolicy policy = DmarcPolicy::kNone;  // the one that applies: p, or sp for a subdomain
    bool dkimAligned = false;                 // a DKIM pass for an aligned domain
    bool spfAligned = false;                  // an SPF pass for an aligned domain
    bool sampledOut = false;                  // failed, but outside pct: one step milder
    DmarcAction action = DmarcAction::kNone;
    std::string reason;  // for the log, when the result is none, temperror or permerror
};

// A number in [0, 100) for pct; tests give a fixed one.
using PercentSource = std::function<int()>;
PercentSource RandomPercent();

// Whether domain a is aligned with b (both normalized): the same name (strict), or the same
// organizational domain (relaxed).
bool DomainsAligned(const std::string& a, const std::string& b, Alignment mode);

// The policy for the message and what to do with it. permerror: not exactly one From address, or
// its domain is no valid name (the caller refuses the message with 550 5.7.1). temperror: DNS did
// not answer for the record, or a DKIM or SPF check that could have aligned had a temporary error
// and none passed; never a reason to refuse. none: no record applies.
DmarcOutcome EvaluateDmarc(const DmarcInput& input, const TxtLookup& lookup,
                           const PercentSource& percent);

// For a caller on an asynchronous resolver: the names EvaluateDmarc may ask about for a From
// domain (its own _dmarc name, then its organizational domain's when that differs), to be fetched
// together within the message's deadline; then EvaluateDmarc with AnswersFrom(what came back).
// Empty when the From domain is no valid name.
std::vector<std::string> PolicyRecordNames(std::string_view fromDomain);
// Answers from what was fetched ahead; a name that is not there did not answer in time, so it is
// a temporary failure.
TxtLookup AnswersFrom(std::map<std::string, TxtAnswer> answers);

// The Authentication-Results piece: "dmarc=fail header.from=example.com policy.dmarc=reject".
std::string DmarcAuthResults(const DmarcOutcome& outcome);

std::string_view ResultName(DmarcResult result);
std::string_view AuthResultName(AuthResult result);
std::string_view ActionName(DmarcAction action);

// Whether the owner of rua's domain agrees to receive reports for policyDomain (RFC 7489 7.1):
// needed when their organizational domains differ, and then answered by a v=DMARC1 TXT record at
// <policy-domain>._report._dmarc.<rua-domain>.
enum class Destination { kAuthorized, kRefused, kTemporary };
Destination VerifyReportDestination(const std::string& policyDomain, const std::string& ruaAddress,
                                    const TxtLookup& lookup);

}  // namespace relvo::mail::policy
