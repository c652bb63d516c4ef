// DKIM signatures for mail handed to another server: the key of the local domain named in the
// From header, relaxed/relaxed canonicalization, rsa-sha256 or ed25519-sha256 by the key's type.
#pragma once

#include <string>
#include <string_view>

#include "core/engine_config.h"

namespace relvo::mail::send {

struct DkimSignature {
    std::string field;  // "DKIM-Signature: ...\r\n"; "" when the mail goes unsigned
    std::string domain;
    std::string selector;
    std::string algorithm;  // "rsa-sha256" or "ed25519-sha256"
    std::string problem;    // why the From domain's key could not be used ("" when none)
};

// The domain of the first address of the message's From field, lower case; "" when none.
std::string FromDomain(std::string_view message);

// The From domain when it is a local domain with a DKIM selector, whose key would sign the
// message; "" otherwise.
std::string SigningDomain(std::string_view message, const EngineConfig& config);

// Signs message (the .eml bytes) when its From domain is a local domain with a selector and a
// key under appDir. Reads the message in place, in pieces. Whether the mail deserves our
// signature at all (TrustedSubmission) is the caller's to decide.
DkimSignature SignMessage(std::string_view message, const EngineConfig& config,
                          const std::string& appDir);

// True the first time a domain's key problem is seen by this process, so that it is logged once.
bool FirstKeyProblem(const std::string& domain, const std::string& problem);

}  // namespace relvo::mail::send
