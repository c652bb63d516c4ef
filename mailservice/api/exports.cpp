// The C entry points of the engine library. Each forwards to the part that does the work; no
// exception crosses into the caller. As the interface says, calls whose result means nothing
// answer 0.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "common/app_paths.h"

#include "relvomail.h"

#include "api/engine_process.h"
#include "mime/builder_api.h"
#include "net/dns_lookup.h"
#include "send/diagnose_send.h"

#define RELVO_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// Runs the call and turns any escaping exception into the failure result 0.
template <typename Call>
int Guarded(Call call) noexcept {
    try {
        return call();
    } catch (...) {
        return 0;
    }
}

// The library keeps its own copy of the application paths: the console hands over the data
// directory it chose through the environment before loading the library.
[[maybe_unused]] const bool applicationDirectoryApplied = [] {
    const char* directory = std::getenv(kAppDirEnvironmentVariable);
    if (directory != nullptr && *directory != '\0') {
        OverrideApplicationDirectory(directory);
    }
    return true;
}();

// The records, each followed by a NUL, into buffer; their number or a RELVOMAIL_DNS_ code.
int PackTxtRecords(const std::vector<std::string>& records, char* buffer, int bufferSize) {
    size_t used = 0;
    int count = 0;
    for (const std::string& record : records) {
        if (record.find('\0') != std::string::npos) {
            continue;  // could not be told apart from the next record
        }
        if (record.size() + 1 > static_cast<size_t>(bufferSize) - used) {
            return RELVOMAIL_DNS_BUFFER_TOO_SMALL;
        }
        std::memcpy(buffer + used, record.data(), record.size());
        used += record.size();
        buffer[used++] = '\0';
        ++count;
    }
    return count > 0 ? count : RELVOMAIL_DNS_NO_RECORD;
}

}  // namespace

using relvo::mail::EngineProcess;
RELVO_EXPORT int RelvoMail_SmtpServiceStart(int port) {
    return Guarded([&] { return EngineProcess::Get().smtp.Start(port) ? 1 : 0; });
}
RELVO_EXPORT int RelvoMail_SmtpServiceStop(void) {
    return Guarded([] {
        EngineProcess::Get().smtp.Stop();
        return 0;
    });
}
RELVO_EXPORT int RelvoMail_SmtpServiceSetWnd(RelvoMailWindow* window, unsigned int message) {
    return Guarded([&] {
        EngineProcess::Get().smtp.SetWindow(window, message);
        return 0;
    });
}

RELVO_EXPORT int RelvoMail_SendServiceStart(int threadCount) {
    return Guarded([&] { return EngineProcess::Get().send.Start(threadCount) ? 1 : 0; });
}
RELVO_EXPORT int RelvoMail_SendServiceStop(void) {
    return Guarded([] {
        EngineProcess::Get().send.Stop();
        return 0;
    });
}
RELVO_EXPORT int RelvoMail_SendServiceSetWnd(RelvoMailWindow* window, unsigned int message) {
    return Guarded([&] {
        EngineProcess::Get().send.SetWindow(window, message);
        return 0;
    });
}

namespace builder = relvo::mail;
RELVO_EXPORT int RelvoMail_CreateMail(const char* charset) {
    return Guarded([&] { return builder::BuilderCreateMail(charset ? charset : ""); });
}
RELVO_EXPORT int RelvoMail_SetFrom(int mailId, const char* sender, const char*) {
    return Guarded([&] {
        builder::BuilderSetFrom(mailId, sender ? sender : "");
        return 0;
    });
}
RELVO_EXPORT int RelvoMail_AddRecipients(int mailId, const char* recipients, int) {
    return Guarded([&] {
        builder::BuilderAddRecipients(mailId, recipients ? recipients : "");
        return 0;
    });
}
RELVO_EXPORT int RelvoMail_SetSubject(int mailId, const char* subject) {
    return Guarded([&] {
        builder::BuilderSetSubject(mailId, subject ? subject : "");
        return 0;
    });
}
RELVO_EXPORT int RelvoMail_SetMailBody(int mailId, const char* body) {
    return Guarded([&] {
        builder::BuilderSetMailBody(mailId, body ? body : "");
        return 0;
    });
}
RELVO_EXPORT int RelvoMail_AttachFile(int mailId, const char* filePath) {
    return Guarded([&] {
        builder::BuilderAttachFile(mailId, filePath ? filePath : "");
        return 0;
    });
}
RELVO_EXPORT int RelvoMail_SaveMailAs(int mailId, const char* filePath) {
    return Guarded([&] {
        builder::BuilderSaveMailAs(mailId, filePath ? filePath : "");
        return 0;
    });
}

RELVO_EXPORT int RelvoMail_SendMailNow(const char* companionFilePath, const char* recipient) {
    return Guarded([&] {
        relvo::mail::send::DiagnoseSendNow(companionFilePath, recipient);
        return 0;
    });
}
RELVO_EXPORT int RelvoMail_SetWnd(RelvoMailWindow* window, unsigned int message) {
    return Guarded([&] {
        relvo::mail::send::DiagnoseSetWindow(window, message);
        return 0;
    });
}

RELVO_EXPORT int RelvoMail_LookupTxt(const char* name, const char* dnsServer, char* buffer,
                                     int bufferSize) {
    namespace net = relvo::mail::net;
    try {
        if (name == nullptr || buffer == nullptr || bufferSize < 1 || !net::IsQueryableName(name)) {
            return RELVOMAIL_DNS_BAD_ARGUMENT;
        }
        net::DnsSettings dns;
        dns.server = dnsServer != nullptr ? dnsServer : "";
        dns.timeout = std::chrono::milliseconds(RELVOMAIL_DNS_DEADLINE_MS);
        net::DnsAnswer answer = net::LookupRecords(name, 16 /* TXT */, dns);
        switch (answer.status) {
            case net::DnsAnswer::Status::kOk:
                return PackTxtRecords(answer.records, buffer, bufferSize);
            case net::DnsAnswer::Status::kNoSuchDomain:
            case net::DnsAnswer::Status::kNoData:
                return RELVOMAIL_DNS_NO_RECORD;
            case net::DnsAnswer::Status::kTemporary:
                break;
        }
        return RELVOMAIL_DNS_LOOKUP_FAILED;
    } catch (...) {
        return RELVOMAIL_DNS_LOOKUP_FAILED;
    }
}
