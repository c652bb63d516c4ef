// The C entry points of the engine library. Each forwards to the part that does the work; no
// exception crosses into the caller. As the interface says, calls whose result means nothing
// answer 0. The sending entry points answer 0, with one progress line
// saying why, until the SEND service exists.
#include <cstdlib>
#include <exception>

#include "config/app_paths.h"

#include "core/progress.h"
#include "core/timestamp.h"
#include "relvomail.h"

#ifdef RELVO_HAVE_SMTP_SERVICE
#include "smtp/smtp_service.h"
#endif
#ifdef RELVO_HAVE_MAIL_BUILDER
#include "mime/builder_api.h"
#endif
#ifdef RELVO_HAVE_SEND_SERVICE
#include "send/diagnose_send.h"
#include "send/send_service.h"
#endif

#define RELVO_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

#ifndef RELVO_HAVE_SEND_SERVICE
relvo::mail::ProgressChannel& SendServiceWindow() {
    static relvo::mail::ProgressChannel channel;
    return channel;
}

relvo::mail::ProgressChannel& DiagnoseWindow() {
    static relvo::mail::ProgressChannel channel;
    return channel;
}

int SendingUnavailable(const relvo::mail::ProgressChannel& window) {
    window.Post(relvo::mail::LocalTimestamp() +
                "The SEND service is not available in this version of the engine yet; "
                "received mail stays in the queue directory.");
    return 0;
}
#endif

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

}  // namespace

#ifdef RELVO_HAVE_SMTP_SERVICE
using relvo::mail::smtp::SmtpService;
RELVO_EXPORT int RelvoMail_SmtpServiceStart(int port) {
    return Guarded([&] { return SmtpService::Instance().Start(port) ? 1 : 0; });
}
RELVO_EXPORT int RelvoMail_SmtpServiceStop(void) {
    return Guarded([] {
        SmtpService::Instance().Stop();
        return 0;
    });
}
RELVO_EXPORT int RelvoMail_SmtpServiceSetWnd(RelvoMailWindow* window, unsigned int message) {
    return Guarded([&] {
        SmtpService::Instance().SetWindow(window, message);
        return 0;
    });
}
#else
RELVO_EXPORT int RelvoMail_SmtpServiceStart(int) {
    return 0;
}
RELVO_EXPORT int RelvoMail_SmtpServiceStop(void) {
    return 0;
}
RELVO_EXPORT int RelvoMail_SmtpServiceSetWnd(RelvoMailWindow*, unsigned int) {
    return 0;
}
#endif

#ifdef RELVO_HAVE_SEND_SERVICE
using relvo::mail::send::SendService;
RELVO_EXPORT int RelvoMail_SendServiceStart(int threadCount) {
    return Guarded([&] { return SendService::Instance().Start(threadCount) ? 1 : 0; });
}
RELVO_EXPORT int RelvoMail_SendServiceStop(void) {
    return Guarded([] {
        SendService::Instance().Stop();
        return 0;
    });
}
RELVO_EXPORT int RelvoMail_SendServiceSetWnd(RelvoMailWindow* window, unsigned int message) {
    return Guarded([&] {
        SendService::Instance().SetWindow(window, message);
        return 0;
    });
}
#else
RELVO_EXPORT int RelvoMail_SendServiceStart(int) {
    return Guarded([] { return SendingUnavailable(SendServiceWindow()); });
}
RELVO_EXPORT int RelvoMail_SendServiceStop(void) {
    return 0;
}
RELVO_EXPORT int RelvoMail_SendServiceSetWnd(RelvoMailWindow* window, unsigned int message) {
    SendServiceWindow().SetWindow(window, message);
    return 0;
}
#endif

#ifdef RELVO_HAVE_MAIL_BUILDER
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
#else
RELVO_EXPORT int RelvoMail_CreateMail(const char*) {
    return 0;
}
RELVO_EXPORT int RelvoMail_SetFrom(int, const char*, const char*) {
    return 0;
}
RELVO_EXPORT int RelvoMail_AddRecipients(int, const char*, int) {
    return 0;
}
RELVO_EXPORT int RelvoMail_SetSubject(int, const char*) {
    return 0;
}
RELVO_EXPORT int RelvoMail_SetMailBody(int, const char*) {
    return 0;
}
RELVO_EXPORT int RelvoMail_AttachFile(int, const char*) {
    return 0;
}
RELVO_EXPORT int RelvoMail_SaveMailAs(int, const char*) {
    return 0;
}
#endif

#ifdef RELVO_HAVE_SEND_SERVICE
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
#else
RELVO_EXPORT int RelvoMail_SendMailNow(const char*, const char*) {
    return Guarded([] { return SendingUnavailable(DiagnoseWindow()); });
}
RELVO_EXPORT int RelvoMail_SetWnd(RelvoMailWindow* window, unsigned int message) {
    DiagnoseWindow().SetWindow(window, message);
    return 0;
}
#endif
