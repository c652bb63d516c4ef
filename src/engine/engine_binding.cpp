#include "engine/engine_binding.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <optional>
#include <vector>

#include <dlfcn.h>

#include "common/install_layout.h"

namespace {

// Guards loading and lookups; calls themselves run unlocked once an address is known, so the
// usual call costs two atomic loads.
std::mutex bindingMutex;
std::atomic<void*> library{nullptr};
// The loader's reason for the last failed load. Guarded by bindingMutex.
std::string loadFailure;

// The loader's message without the path it starts with, which the caller names already.
std::string LoaderReason(const std::string& path) {
    const char* error = dlerror();
    std::string reason = error != nullptr ? error : "unknown reason";
    if (reason.starts_with(path + ": ")) {
        reason.erase(0, path.size() + 2);
    }
    return reason;
}

// Loads the library unless it is loaded; returns it, or null while it cannot be loaded (then
// loadFailure says why). Requires bindingMutex.
void* LoadLibraryLocked() {
    void* handle = library.load(std::memory_order_acquire);
    if (handle == nullptr) {
        const std::string path = engine::LibraryPath();
        handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            loadFailure = LoaderReason(path);
        }
        library.store(handle, std::memory_order_release);
    }
    return handle;
}

// One entry point of the library: looked up at first use and kept; while missing, looked up
// again at every call.
template <typename Function>
class EntryPoint {
  public:
    explicit constexpr EntryPoint(const char* name) : name_(name) {}

    Function* Get() {
        void* address = address_.load(std::memory_order_acquire);
        if (address == nullptr) {
            std::lock_guard lock(bindingMutex);
            address = address_.load(std::memory_order_relaxed);
            if (address == nullptr) {
                void* handle = LoadLibraryLocked();
                address = handle != nullptr ? dlsym(handle, name_) : nullptr;
                address_.store(address, std::memory_order_release);
            }
        }
        return reinterpret_cast<Function*>(address);
    }

    template <typename... Args>
    int operator()(Args... args) {
        Function* function = Get();
        return function != nullptr ? function(args...) : 0;
    }

  private:
    const char* name_;
    std::atomic<void*> address_{nullptr};
};

// A zero-terminated copy of a text argument. A text with a NUL inside cannot be passed whole
// through the C interface; it is refused rather than silently cut short.
std::optional<std::string> CText(std::string_view text) {
    if (text.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    return std::string(text);
}

EntryPoint<decltype(RelvoMail_SmtpServiceStart)> smtpServiceStart{"RelvoMail_SmtpServiceStart"};
EntryPoint<decltype(RelvoMail_SmtpServiceStop)> smtpServiceStop{"RelvoMail_SmtpServiceStop"};
EntryPoint<decltype(RelvoMail_SmtpServiceSetWnd)> smtpServiceSetWnd{"RelvoMail_SmtpServiceSetWnd"};
EntryPoint<decltype(RelvoMail_SendServiceStart)> sendServiceStart{"RelvoMail_SendServiceStart"};
EntryPoint<decltype(RelvoMail_SendServiceStop)> sendServiceStop{"RelvoMail_SendServiceStop"};
EntryPoint<decltype(RelvoMail_SendServiceSetWnd)> sendServiceSetWnd{"RelvoMail_SendServiceSetWnd"};
EntryPoint<decltype(RelvoMail_CreateMail)> createMail{"RelvoMail_CreateMail"};
EntryPoint<decltype(RelvoMail_SetFrom)> setFrom{"RelvoMail_SetFrom"};
EntryPoint<decltype(RelvoMail_AddRecipients)> addRecipients{"RelvoMail_AddRecipients"};
EntryPoint<decltype(RelvoMail_SetSubject)> setSubject{"RelvoMail_SetSubject"};
EntryPoint<decltype(RelvoMail_SetMailBody)> setMailBody{"RelvoMail_SetMailBody"};
EntryPoint<decltype(RelvoMail_AttachFile)> attachFile{"RelvoMail_AttachFile"};
EntryPoint<decltype(RelvoMail_SaveMailAs)> saveMailAs{"RelvoMail_SaveMailAs"};
EntryPoint<decltype(RelvoMail_SendMailNow)> sendMailNow{"RelvoMail_SendMailNow"};
EntryPoint<decltype(RelvoMail_SetWnd)> setWnd{"RelvoMail_SetWnd"};
EntryPoint<decltype(RelvoMail_LookupTxt)> lookupTxt{"RelvoMail_LookupTxt"};

// Calls entry with a mail id and one text.
template <typename Function>
int WithText(EntryPoint<Function>& entry, int mailId, std::string_view text) {
    auto copy = CText(text);
    return copy ? entry(mailId, copy->c_str()) : 0;
}

}  // namespace

namespace engine {

std::string LibraryPath() {
    return ProgramDirectory() + "/" + kLibraryFileName;
}

bool IsLoaded() {
    return library.load(std::memory_order_acquire) != nullptr;
}

std::string CallProblem(const char* entryPoint) {
    std::lock_guard lock(bindingMutex);
    void* handle = LoadLibraryLocked();
    if (handle == nullptr) {
        return "the engine library " + LibraryPath() + " cannot be loaded: " + loadFailure;
    }
    if (dlsym(handle, entryPoint) == nullptr) {
        return "the engine library " + LibraryPath() + " has no entry point " + entryPoint;
    }
    return {};
}

int SmtpServiceStart(int port) {
    return smtpServiceStart(port);
}
int SmtpServiceStop() {
    return smtpServiceStop();
}
int SmtpServiceSetWnd(RelvoMailWindow* window, unsigned int message) {
    return smtpServiceSetWnd(window, message);
}

int SendServiceStart(int threadCount) {
    return sendServiceStart(threadCount);
}
int SendServiceStop() {
    return sendServiceStop();
}
int SendServiceSetWnd(RelvoMailWindow* window, unsigned int message) {
    return sendServiceSetWnd(window, message);
}

int CreateMail(std::string_view reserved) {
    auto copy = CText(reserved);
    return copy ? createMail(copy->c_str()) : 0;
}

int SetFrom(int mailId, std::string_view sender, std::string_view reserved) {
    auto senderCopy = CText(sender);
    auto reservedCopy = CText(reserved);
    if (!senderCopy || !reservedCopy) {
        return 0;
    }
    return setFrom(mailId, senderCopy->c_str(), reservedCopy->c_str());
}

int AddRecipients(int mailId, std::string_view recipients, int reserved) {
    auto copy = CText(recipients);
    return copy ? addRecipients(mailId, copy->c_str(), reserved) : 0;
}

int SetSubject(int mailId, std::string_view subject) {
    return WithText(setSubject, mailId, subject);
}
int SetMailBody(int mailId, std::string_view body) {
    return WithText(setMailBody, mailId, body);
}
int AttachFile(int mailId, std::string_view filePath) {
    return WithText(attachFile, mailId, filePath);
}
int SaveMailAs(int mailId, std::string_view filePath) {
    return WithText(saveMailAs, mailId, filePath);
}

int SendMailNow(std::string_view companionFilePath, std::string_view recipient) {
    auto pathCopy = CText(companionFilePath);
    auto recipientCopy = CText(recipient);
    if (!pathCopy || !recipientCopy) {
        return 0;
    }
    return sendMailNow(pathCopy->c_str(), recipientCopy->c_str());
}

int SetWnd(RelvoMailWindow* window, unsigned int message) {
    return setWnd(window, message);
}

TxtAnswer LookupTxt(std::string_view name, std::string_view dnsServer) {
    TxtAnswer answer;
    auto* function = lookupTxt.Get();
    if (function == nullptr) {
        answer.problem = CallProblem("RelvoMail_LookupTxt");
        return answer;
    }
    auto nameCopy = CText(name);
    auto serverCopy = CText(dnsServer);
    if (!nameCopy || !serverCopy) {
        answer.status = TxtAnswer::Status::kLookupFailed;
        answer.problem = "a name or server with a NUL inside cannot be looked up";
        return answer;
    }
    std::vector<char> buffer(RELVOMAIL_TXT_BUFFER_SIZE);
    const int result = function(nameCopy->c_str(), serverCopy->c_str(), buffer.data(),
                                static_cast<int>(buffer.size()));
    if (result == RELVOMAIL_DNS_NO_RECORD) {
        answer.status = TxtAnswer::Status::kNoRecord;
        return answer;
    }
    answer.status = TxtAnswer::Status::kLookupFailed;
    if (result == RELVOMAIL_DNS_BAD_ARGUMENT) {
        answer.problem = "not a domain name";
        return answer;
    }
    if (result <= 0) {
        answer.problem = result == RELVOMAIL_DNS_LOOKUP_FAILED
                             ? "no answer from the DNS server"
                             : "the engine answered " + std::to_string(result);
        return answer;
    }
    // result records, each ended by a NUL; an engine writing fewer is not read past the buffer.
    size_t at = 0;
    for (int index = 0; index < result; ++index) {
        const auto end =
            std::find(buffer.begin() + static_cast<std::ptrdiff_t>(at), buffer.end(), '\0');
        if (end == buffer.end()) {
            answer.records.clear();
            answer.problem = "the engine's answer is cut short";
            return answer;
        }
        const size_t stop = static_cast<size_t>(end - buffer.begin());
        answer.records.emplace_back(buffer.data() + at, stop - at);
        at = stop + 1;
    }
    answer.status = TxtAnswer::Status::kFound;
    return answer;
}

}  // namespace engine
