#include "policy/dmarc_dns.h"

#include <utility>

namespace relvo::mail::policy {

TxtAnswer ToTxtAnswer(net::DnsAnswer answer) {
    TxtAnswer txt;
    switch (answer.status) {
        case net::DnsAnswer::Status::kOk:
            txt.status = TxtAnswer::Status::kRecords;
            txt.records = std::move(answer.records);
            break;
        case net::DnsAnswer::Status::kNoSuchDomain:
        case net::DnsAnswer::Status::kNoData:
            txt.status = TxtAnswer::Status::kNoRecords;
            break;
        case net::DnsAnswer::Status::kTemporary:
            txt.status = TxtAnswer::Status::kTemporary;
            break;
    }
    return txt;
}

TxtLookup DnsTxtLookup(net::DnsSettings settings) {
    return [settings = std::move(settings)](const std::string& name) {
        constexpr int kTxt = 16;
        return ToTxtAnswer(net::LookupRecords(name, kTxt, settings));
    };
}

}  // namespace relvo::mail::policy
