#include "policy/org_domain.h"

#include <libpsl.h>

#include "common/ascii.h"

namespace relvo::mail::policy {
namespace {

// psl_latest(): the newer of the list built into libpsl and the one the publicsuffix package
// keeps up to date (/usr/share/publicsuffix), so a package update reaches us without a rebuild.
// Loaded once and shared; libpsl's queries only read the context, so any thread may ask.
const psl_ctx_t* SuffixList() {
    static const psl_ctx_t* const list = [] {
        const psl_ctx_t* latest = psl_latest(nullptr);
        return latest != nullptr ? latest : psl_builtin();
    }();
    return list;
}

bool IsLabelChar(char c) {
    return IsAsciiAlnum(static_cast<unsigned char>(c)) || c == '-';
}

}  // namespace

std::optional<std::string> NormalizeDomain(std::string_view domain) {
    if (!domain.empty() && domain.back() == '.') {
        domain.remove_suffix(1);
    }
    if (domain.empty() || domain.size() > kMaxDomainName) {
        return std::nullopt;
    }
    size_t labelStart = 0;
    for (size_t i = 0; i <= domain.size(); ++i) {
        if (i == domain.size() || domain[i] == '.') {
            const size_t length = i - labelStart;
            if (length == 0 || length > 63 || domain[labelStart] == '-' || domain[i - 1] == '-') {
                return std::nullopt;
            }
            labelStart = i + 1;
        } else if (!IsLabelChar(domain[i])) {
            return std::nullopt;
        }
    }
    return AsciiLowerCopy(domain);
}

std::string OrganizationalDomain(const std::string& domain) {
    const psl_ctx_t* list = SuffixList();
    const char* registrable =
        list != nullptr ? psl_registrable_domain(list, domain.c_str()) : nullptr;
    return registrable != nullptr ? std::string(registrable) : domain;
}

}  // namespace relvo::mail::policy
