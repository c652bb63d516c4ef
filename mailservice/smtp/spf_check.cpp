#include "smtp/spf_check.h"

#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <netdb.h>
#include <netinet/in.h>
extern "C" {  // the library's headers declare C functions without saying so
#include <spf2/spf.h>
#include <spf2/spf_dns.h>
}

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace relvo::mail::smtp {

namespace {

using net::DnsAnswer;
using net::DnsSettings;

struct LayerState {
    DnsSettings dns;
    std::chrono::steady_clock::time_point deadline;
};

// One answer in the form the library's own resolver gives: addresses as in_addr/in6_addr,
// names and TXT records as C strings.
SPF_dns_rr_t* Lookup(SPF_dns_server_t* layer, const char* domain, ns_type type, int) {
    auto* state = static_cast<LayerState*>(layer->hook);
    DnsSettings dns = state->dns;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        state->deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
        return SPF_dns_rr_new_init(layer, domain, type, 0, TRY_AGAIN);
    }
    dns.timeout = left;
    DnsAnswer answer = net::LookupRecords(domain, type, dns);
    if (answer.status == DnsAnswer::Status::kNoSuchDomain) {
        return SPF_dns_rr_new_nxdomain(layer, domain);
    }
    int herrno = answer.status == DnsAnswer::Status::kOk       ? NETDB_SUCCESS
                 : answer.status == DnsAnswer::Status::kNoData ? NO_DATA
                                                               : TRY_AGAIN;
    SPF_dns_rr_t* rr = SPF_dns_rr_new_init(layer, domain, type, 0, herrno);
    if (rr == nullptr || herrno != NETDB_SUCCESS) {
        return rr;
    }
    for (const std::string& record : answer.records) {
        int index = rr->num_rr;
        if (type == ns_t_a || type == ns_t_aaaa) {
            size_t size = type == ns_t_a ? sizeof(in_addr) : sizeof(in6_addr);
            if (SPF_dns_rr_buf_realloc(rr, index, size) != SPF_E_SUCCESS ||
                inet_pton(type == ns_t_a ? AF_INET : AF_INET6, record.c_str(), rr->rr[index]) !=
                    1) {
                continue;
            }
        } else {
            if (SPF_dns_rr_buf_realloc(rr, index, record.size() + 1) != SPF_E_SUCCESS) {
                continue;
            }
            std::memcpy(rr->rr[index], record.c_str(), record.size() + 1);
        }
        rr->num_rr = index + 1;
    }
    return rr;
}

void Destroy(SPF_dns_server_t* layer) {
    delete static_cast<LayerState*>(layer->hook);
    std::free(layer);
}

SPF_dns_server_t* NewLayer(const DnsSettings& dns) {
    auto* layer = static_cast<SPF_dns_server_t*>(std::calloc(1, sizeof(SPF_dns_server_t)));
    if (layer == nullptr) {
        return nullptr;
    }
    layer->destroy = Destroy;
    layer->lookup = Lookup;
    layer->name = "relvo";
    layer->hook = new LayerState{dns, std::chrono::steady_clock::now() + dns.timeout};
    return layer;
}

struct ServerFree {
    void operator()(SPF_server_t* server) const { SPF_server_free(server); }
};
struct RequestFree {
    void operator()(SPF_request_t* request) const { SPF_request_free(request); }
};
struct ResponseFree {
    void operator()(SPF_response_t* response) const { SPF_response_free(response); }
};

std::string ResultName(SPF_result_t result) {
    switch (result) {
        case SPF_RESULT_PASS:
            return "pass";
        case SPF_RESULT_FAIL:
            return "fail";
        case SPF_RESULT_SOFTFAIL:
            return "softfail";
        case SPF_RESULT_NEUTRAL:
            return "neutral";
        case SPF_RESULT_NONE:
            return "none";
        case SPF_RESULT_TEMPERROR:
            return "temperror";
        default:
            return "permerror";
    }
}

}  // namespace

SpfOutcome CheckSpf(const std::string& clientAddress, const std::string& heloName,
                    const std::string& mailFrom, const DnsSettings& dns) {
    SpfOutcome outcome;
    outcome.identity = mailFrom.empty() ? "smtp.helo=" + heloName : "smtp.mailfrom=" + mailFrom;
    outcome.result = "temperror";
    // The server does not take the DNS layer it is given: it goes after the server.
    std::unique_ptr<SPF_dns_server_t, decltype(&Destroy)> layer(NewLayer(dns), Destroy);
    std::unique_ptr<SPF_server_t, ServerFree> server(layer ? SPF_server_new_dns(layer.get(), 0)
                                                           : nullptr);
    if (!server) {
        return outcome;
    }
    std::unique_ptr<SPF_request_t, RequestFree> request(SPF_request_new(server.get()));
    bool v6 = clientAddress.find(':') != std::string::npos;
    SPF_errcode_t set = v6 ? SPF_request_set_ipv6_str(request.get(), clientAddress.c_str())
                           : SPF_request_set_ipv4_str(request.get(), clientAddress.c_str());
    if (set != SPF_E_SUCCESS ||
        SPF_request_set_helo_dom(request.get(), heloName.c_str()) != SPF_E_SUCCESS ||
        (!mailFrom.empty() && SPF_request_set_env_from(request.get(), mailFrom.c_str()) != 0)) {
        outcome.result = "none";  // nothing that SPF can check
        return outcome;
    }
    SPF_response_t* raw = nullptr;
    SPF_request_query_mailfrom(request.get(), &raw);
    std::unique_ptr<SPF_response_t, ResponseFree> response(raw);
    if (response) {
        outcome.result = ResultName(SPF_response_result(response.get()));
    }
    return outcome;
}

}  // namespace relvo::mail::smtp
