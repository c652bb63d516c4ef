// The C entry points of the engine library. Each forwards to the part that does the work; no
// exception crosses into the caller. As the interface says, calls whose result means nothing
// answer 0.
#include <cstdlib>
#include <exception>

#include "common/app_paths.h"

#include "relvomail.h"

#include "api/engine_process.h"
#include "mime/builder_api.h"
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
