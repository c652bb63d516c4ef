// The DMARC lookups answered by c-ares (net/). DnsTxtLookup blocks for at most the settings'
// timeout: run it on a pool with the message's remaining time as that timeout.
#pragma once

#include "net/dns_lookup.h"
#include "policy/dmarc.h"

namespace relvo::mail::policy {

// A TXT answer of the c-ares client (either the blocking lookups or AsyncDns) as the evaluation
// takes it: a name that does not exist or has no TXT records is kNoRecords; a timeout, a server
// failure or a cancel is kTemporary.
TxtAnswer ToTxtAnswer(net::DnsAnswer answer);

// TXT records of a name, asked with the blocking lookup; answers as ToTxtAnswer.
TxtLookup DnsTxtLookup(net::DnsSettings settings);

}  // namespace relvo::mail::policy
