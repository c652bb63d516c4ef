// The DMARC lookups answered by c-ares (net/dns_lookup.h). Each call blocks for at most the
// settings' timeout: run it on a pool with the message's remaining time as that timeout.
#pragma once

#include "net/dns_lookup.h"
#include "policy/dmarc.h"

namespace relvo::mail::policy {

// TXT records of a name: a name that does not exist or has no TXT records is kNoRecords; a
// timeout, a server failure or a cancel is kTemporary.
TxtLookup DnsTxtLookup(net::DnsSettings settings);

}  // namespace relvo::mail::policy
