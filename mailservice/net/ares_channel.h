// What the blocking lookups and the asynchronous resolver share of c-ares: one way to set up a
// channel and one reading of its answers.
#pragma once

#include <ares.h>

#include <string>

#include "net/dns_lookup.h"

namespace relvo::mail::net {

// A channel for server ("" = /etc/resolv.conf's), no hosts file, two tries of timeoutMs each;
// watch (may be null) learns which sockets to wait on. An ares status.
int InitChannel(ares_channel* channel, const std::string& server, long long timeoutMs,
                ares_sock_state_cb watch, void* watchData);

// A query's outcome as an answer: the records of a type LookupRecords takes, or the failure.
DnsAnswer AnswerOfQuery(int type, int status, const unsigned char* buffer, int length);

// The failure of an ares status, for an answer.
void SetFailure(int status, DnsAnswer* answer);

}  // namespace relvo::mail::net
