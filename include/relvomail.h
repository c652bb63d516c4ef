/* The engine library's C interface, shared by the console and the engine (librelvomailservice).
 * Text arguments are UTF-8 and need only be valid during the call. Every entry point returns int;
 * where a result means nothing the engine returns 0. The console calls from its UI thread only;
 * the engine may deliver progress lines from any thread. */
#ifndef RELVOMAIL_H
#define RELVOMAIL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The message number the console registers its windows with. */
#define RELVOMAIL_PROGRESS_MESSAGE 0x8000u

/* A window handle: owned by the console and valid for the life of the process. The engine
 * delivers one progress line by calling handle->deliver(handle, message, wparam, text); text is
 * zero-terminated UTF-8 and need only live for the call. Lines for a window that is gone are
 * dropped by the console. */
typedef struct RelvoMailWindow RelvoMailWindow;
typedef void (*RelvoMailDeliverFunction)(RelvoMailWindow* window, unsigned int message,
                                         uintptr_t wparam, const char* text);
struct RelvoMailWindow {
    RelvoMailDeliverFunction deliver;
};

/* Services. Start returns non-zero when the service runs. */
int RelvoMail_SmtpServiceStart(int port);
int RelvoMail_SmtpServiceStop(void);
int RelvoMail_SmtpServiceSetWnd(RelvoMailWindow* window, unsigned int message);
int RelvoMail_SendServiceStart(int threadCount);
int RelvoMail_SendServiceStop(void);
int RelvoMail_SendServiceSetWnd(RelvoMailWindow* window, unsigned int message);

/* Mail builder. CreateMail returns the new mail's id, 0 when it failed. */
int RelvoMail_CreateMail(const char* reserved);
int RelvoMail_SetFrom(int mailId, const char* sender, const char* reserved);
int RelvoMail_AddRecipients(int mailId, const char* recipients, int reserved);
int RelvoMail_SetSubject(int mailId, const char* subject);
int RelvoMail_SetMailBody(int mailId, const char* body);
int RelvoMail_AttachFile(int mailId, const char* filePath);
int RelvoMail_SaveMailAs(int mailId, const char* filePath);

/* Diagnose sending: send a stored mail now, reporting to the window given by RelvoMail_SetWnd. */
int RelvoMail_SendMailNow(const char* companionFilePath, const char* recipient);
int RelvoMail_SetWnd(RelvoMailWindow* window, unsigned int message);

/* DNS: the TXT records published at name, asked of dnsServer ("address", "address:port" or
 * "[IPv6 address]:port"; empty or NULL: the servers of /etc/resolv.conf). Waits at most
 * RELVOMAIL_DNS_DEADLINE_MS. Success returns the number of records (1 or more) and writes each
 * into buffer as its text (a record's strings joined) followed by one NUL, so that the count
 * tells where the list ends even when a record is empty. A record holding a NUL byte cannot be
 * told apart that way and is left out. A buffer of RELVOMAIL_TXT_BUFFER_SIZE bytes holds any
 * answer. Failures are negative and leave buffer undefined. */
#define RELVOMAIL_DNS_DEADLINE_MS 5000
#define RELVOMAIL_TXT_BUFFER_SIZE 65600
/* The name does not exist or has no TXT record. */
#define RELVOMAIL_DNS_NO_RECORD (-1)
/* No answer in time, a failure of the server, or a server setting that names none. */
#define RELVOMAIL_DNS_LOOKUP_FAILED (-2)
#define RELVOMAIL_DNS_BUFFER_TOO_SMALL (-3)
/* name NULL or not a domain name, buffer NULL or bufferSize below 1. */
#define RELVOMAIL_DNS_BAD_ARGUMENT (-4)
int RelvoMail_LookupTxt(const char* name, const char* dnsServer, char* buffer, int bufferSize);

#ifdef __cplusplus
}
#endif

#endif /* RELVOMAIL_H */
