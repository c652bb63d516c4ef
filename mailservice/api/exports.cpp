// The C entry points of the engine library. Each forwards to the part that does the work; the
// sending entry points answer 0 until the SEND service exists.
#include "relvomail.h"

#define RELVO_EXPORT extern "C" __attribute__((visibility("default")))

RELVO_EXPORT int RelvoMail_SmtpServiceStart(int) { return 0; }
RELVO_EXPORT int RelvoMail_SmtpServiceStop(void) { return 0; }
RELVO_EXPORT int RelvoMail_SmtpServiceSetWnd(RelvoMailWindow*, unsigned int) { return 0; }
RELVO_EXPORT int RelvoMail_SendServiceStart(int) { return 0; }
RELVO_EXPORT int RelvoMail_SendServiceStop(void) { return 0; }
RELVO_EXPORT int RelvoMail_SendServiceSetWnd(RelvoMailWindow*, unsigned int) { return 0; }
RELVO_EXPORT int RelvoMail_CreateMail(const char*) { return 0; }
RELVO_EXPORT int RelvoMail_SetFrom(int, const char*, const char*) { return 0; }
RELVO_EXPORT int RelvoMail_AddRecipients(int, const char*, int) { return 0; }
RELVO_EXPORT int RelvoMail_SetSubject(int, const char*) { return 0; }
RELVO_EXPORT int RelvoMail_SetMailBody(int, const char*) { return 0; }
RELVO_EXPORT int RelvoMail_AttachFile(int, const char*) { return 0; }
RELVO_EXPORT int RelvoMail_SaveMailAs(int, const char*) { return 0; }
RELVO_EXPORT int RelvoMail_SendMailNow(const char*, const char*) { return 0; }
RELVO_EXPORT int RelvoMail_SetWnd(RelvoMailWindow*, unsigned int) { return 0; }
