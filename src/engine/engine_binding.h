// The console's binding to the engine library librelvomailservice.so in the application
// directory: one wrapper per entry point. The library is loaded on first use and, while loading
// fails, tried again at every call; each entry point is looked up at first use and kept. A missing
// library or entry point makes a wrapper return 0 without calling anything. Text is passed as
// UTF-8. Meant for the UI thread (LookupTxt excepted: it blocks); internally locked all the same.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "relvomail.h"

namespace engine {

inline constexpr const char* kLibraryFileName = "librelvomailservice.so";

// The full path the library is loaded from.
std::string LibraryPath();
// Whether the library has been loaded (it stays loaded until the process ends).
bool IsLoaded();
// Why a call of entryPoint cannot reach the engine now: the library's path with the loader's
// reason, or the missing entry point named. Empty when the call reaches the engine, so that a
// failure is then the engine's own. Tries to load the library as a wrapper call does.
std::string CallProblem(const char* entryPoint);

int SmtpServiceStart(int port);
int SmtpServiceStop();
int SmtpServiceSetWnd(RelvoMailWindow* window, unsigned int message);
int SendServiceStart(int threadCount);
int SendServiceStop();
int SendServiceSetWnd(RelvoMailWindow* window, unsigned int message);
int CreateMail(std::string_view reserved);
int SetFrom(int mailId, std::string_view sender, std::string_view reserved);
int AddRecipients(int mailId, std::string_view recipients, int reserved);
int SetSubject(int mailId, std::string_view subject);
int SetMailBody(int mailId, std::string_view body);
int AttachFile(int mailId, std::string_view filePath);
int SaveMailAs(int mailId, std::string_view filePath);
int SendMailNow(std::string_view companionFilePath, std::string_view recipient);
int SetWnd(RelvoMailWindow* window, unsigned int message);

// The TXT records published at name, asked of dnsServer by the engine's DNS client.
struct TxtAnswer {
    enum class Status { kFound, kNoRecord, kLookupFailed, kNoEngine };
    Status status = Status::kNoEngine;
    std::vector<std::string> records;  // kFound: each record's strings joined
    std::string problem;               // kLookupFailed, kNoEngine: why
};
// Blocks for up to RELVOMAIL_DNS_DEADLINE_MS: call it off the UI thread.
TxtAnswer LookupTxt(std::string_view name, std::string_view dnsServer);

}  // namespace engine
