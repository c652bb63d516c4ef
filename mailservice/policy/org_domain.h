// Domain names as DMARC compares them: checked and folded to one form, and reduced to their
// organizational domain (RFC 7489 3.2) through the Public Suffix List.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace relvo::mail::policy {

// The longest domain name DNS carries in text form, without the final dot.
inline constexpr size_t kMaxDomainName = 253;

// The domain lowercased and without a final dot; nullopt when it is no host name: empty, longer
// than 253 characters, a label empty, longer than 63 or with a character other than letters,
// digits and '-' (or starting or ending with '-'). U-labels are refused: what reaches the
// comparison must be the A-label form DNS answers for.
std::optional<std::string> NormalizeDomain(std::string_view domain);

// The organizational domain of a normalized domain: its public suffix and one label more. A domain
// that is itself a public suffix (or shorter) is its own organizational domain.
std::string OrganizationalDomain(const std::string& domain);

}  // namespace relvo::mail::policy
