// The recording fake engine: librelvomailservice.so for tests. Every entry point appends one line
// naming itself and its arguments to a call list (and to the file named by RELVO_FAKE_ENGINE_LOG,
// if set) and returns its configured result. Defaults: CreateMail hands out ids 1, 2, 3, ...;
// LookupTxt writes the records set by FakeEngine_SetTxtRecords as the engine does (none: no
// record); every other entry point returns 1. An entry point marked missing is absent for dlsym:
// each one is an indirect function whose resolver, run by glibc at every dlsym, answers null while
// missing. FakeEngine_SendLines/SendText deliver progress lines from threads of the fake's own.
// Everything here is thread-safe.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "relvomail.h"

#define FAKE_EXPORT __attribute__((visibility("default")))

// clang-format off
#define FAKE_ENGINE_ENTRY_POINTS(X)                                                        \
    X(SmtpServiceStart) X(SmtpServiceStop) X(SmtpServiceSetWnd)                           \
    X(SendServiceStart) X(SendServiceStop) X(SendServiceSetWnd)                           \
    X(CreateMail) X(SetFrom) X(AddRecipients) X(SetSubject) X(SetMailBody) X(AttachFile)  \
    X(SaveMailAs) X(SendMailNow) X(SetWnd) X(LookupTxt)
// clang-format on

namespace {

enum Entry {
#define FAKE_ENUM(name) k##name,
    FAKE_ENGINE_ENTRY_POINTS(FAKE_ENUM)
#undef FAKE_ENUM
        kEntryCount
};

constexpr const char* kEntryNames[kEntryCount] = {
#define FAKE_NAME(name) "RelvoMail_" #name,
    FAKE_ENGINE_ENTRY_POINTS(FAKE_NAME)
#undef FAKE_NAME
};

// Read by the resolvers, which run inside dlsym: plain atomics, no locks.
std::atomic<bool> missing[kEntryCount];

// The windows the console registered, one per progress target.
enum Target { kSmtpTarget, kSendTarget, kMailTarget, kTargetCount };

struct Registration {
    RelvoMailWindow* window = nullptr;
    unsigned int message = 0;
};

struct State {
    std::mutex mutex;
    std::vector<std::string> calls;
    std::optional<int> results[kEntryCount];
    int nextMailId = 1;
    Registration targets[kTargetCount];
    // The "mail" window of each RelvoMail_SendMailNow call, in call order: like the engine, a
    // send reports to the window registered when it started.
    std::vector<Registration> sends;
    // What RelvoMail_SaveMailAs leaves on disk: nothing (the default), the mail file, or no mail
    // but its companion file with `MailInfo`/`BuildError` = buildError.
    int mailStore = 0;
    std::string buildError;
    // What RelvoMail_LookupTxt answers when no result is configured.
    std::vector<std::string> txtRecords;
    std::vector<std::thread> threads;

    ~State() {
        for (auto& thread : threads) {
            thread.join();
        }
    }
};

State& TheState() {
    static State state;
    return state;
}

int FindEntry(const char* name) {
    if (name == nullptr) {
        return -1;
    }
    std::string_view wanted(name);
    constexpr std::string_view prefix = "RelvoMail_";
    for (int entry = 0; entry < kEntryCount; ++entry) {
        std::string_view full(kEntryNames[entry]);
        if (wanted == full || wanted == full.substr(prefix.size())) {
            return entry;
        }
    }
    return -1;
}

int FindTarget(const char* name) {
    constexpr const char* kTargetNames[kTargetCount] = {"smtp", "send", "mail"};
    for (int target = 0; target < kTargetCount; ++target) {
        if (name != nullptr && std::strcmp(name, kTargetNames[target]) == 0) {
            return target;
        }
    }
    return -1;
}

// Arguments as the call list shows them: numbers in decimal, texts quoted with \ " and control
// characters escaped (other bytes, UTF-8 included, as they are), null pointers as NULL.
std::string Format(int value) {
    return std::to_string(value);
}
std::string Format(unsigned int value) {
    return std::to_string(value);
}
// An output buffer: its contents are the callee's to write, so only its presence is shown.
struct OutBuffer {
    const char* buffer;
};
std::string Format(OutBuffer out) {
    return out.buffer != nullptr ? "buffer" : "NULL";
}
std::string Format(RelvoMailWindow* window) {
    return window != nullptr ? "window" : "NULL";
}
std::string Format(const char* text) {
    if (text == nullptr) {
        return "NULL";
    }
    std::string out = "\"";
    for (const char* p = text; *p != '\0'; ++p) {
        auto byte = static_cast<unsigned char>(*p);
        if (byte == '"' || byte == '\\') {
            out += '\\';
            out += *p;
        } else if (byte < 0x20 || byte == 0x7f) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            out += escaped;
        } else {
            out += *p;
        }
    }
    return out + "\"";
}

void AppendToLog(const std::string& line) {
    const char* path = std::getenv("RELVO_FAKE_ENGINE_LOG");
    if (path == nullptr || *path == '\0') {
        return;
    }
    if (FILE* file = std::fopen(path, "ab")) {
        std::fputs((line + "\n").c_str(), file);
        std::fclose(file);
    }
}

// Records one call and returns the entry point's result.
template <typename... Args>
int Record(Entry entry, Args... args) {
    std::string line = std::string(kEntryNames[entry]) + "(";
    const std::string parts[] = {std::string(), Format(args)...};
    for (size_t index = 1; index < std::size(parts); ++index) {
        line += (index > 1 ? "," : "") + parts[index];
    }
    line += ")";

    State& state = TheState();
    std::lock_guard lock(state.mutex);
    state.calls.push_back(line);
    AppendToLog(line);
    if (state.results[entry]) {
        return *state.results[entry];
    }
    return entry == kCreateMail ? state.nextMailId++ : 1;
}

int RecordSetWnd(Entry entry, Target target, RelvoMailWindow* window, unsigned int message) {
    {
        std::lock_guard lock(TheState().mutex);
        TheState().targets[target] = Registration{window, message};
    }
    return Record(entry, window, message);
}

int FakeSmtpServiceStart(int port) {
    return Record(kSmtpServiceStart, port);
}
int FakeSmtpServiceStop() {
    return Record(kSmtpServiceStop);
}
int FakeSmtpServiceSetWnd(RelvoMailWindow* window, unsigned int message) {
    return RecordSetWnd(kSmtpServiceSetWnd, kSmtpTarget, window, message);
}
int FakeSendServiceStart(int threadCount) {
    return Record(kSendServiceStart, threadCount);
}
int FakeSendServiceStop() {
    return Record(kSendServiceStop);
}
int FakeSendServiceSetWnd(RelvoMailWindow* window, unsigned int message) {
    return RecordSetWnd(kSendServiceSetWnd, kSendTarget, window, message);
}
int FakeCreateMail(const char* reserved) {
    return Record(kCreateMail, reserved);
}
int FakeSetFrom(int mailId, const char* sender, const char* reserved) {
    return Record(kSetFrom, mailId, sender, reserved);
}
int FakeAddRecipients(int mailId, const char* recipients, int reserved) {
    return Record(kAddRecipients, mailId, recipients, reserved);
}
int FakeSetSubject(int mailId, const char* subject) {
    return Record(kSetSubject, mailId, subject);
}
int FakeSetMailBody(int mailId, const char* body) {
    return Record(kSetMailBody, mailId, body);
}
int FakeAttachFile(int mailId, const char* filePath) {
    return Record(kAttachFile, mailId, filePath);
}
void WriteFile(const std::string& path, const std::string& bytes) {
    if (FILE* file = std::fopen(path.c_str(), "wb")) {
        std::fwrite(bytes.data(), 1, bytes.size(), file);
        std::fclose(file);
    }
}

int FakeSaveMailAs(int mailId, const char* filePath) {
    int mailStore = 0;
    std::string buildError;
    {
        std::lock_guard lock(TheState().mutex);
        mailStore = TheState().mailStore;
        buildError = TheState().buildError;
    }
    std::string path = filePath != nullptr ? filePath : "";
    if (mailStore == 1 && path.size() > 4) {
        WriteFile(path, "Subject: fake mail " + std::to_string(mailId) + "\r\n\r\n");
        WriteFile(path.substr(0, path.size() - 4) + ".cfg",
                  "[MailInfo]\r\nMailId=" + std::to_string(mailId) + "\r\n");
    } else if (mailStore == 2 && path.size() > 4) {
        WriteFile(path.substr(0, path.size() - 4) + ".cfg",
                  "[MailInfo]\r\nMailId=" + std::to_string(mailId) +
                      "\r\nBuildError=" + buildError + "\r\n");
    }
    return Record(kSaveMailAs, mailId, filePath);
}
int FakeSendMailNow(const char* companionFilePath, const char* recipient) {
    {
        std::lock_guard lock(TheState().mutex);
        TheState().sends.push_back(TheState().targets[kMailTarget]);
    }
    return Record(kSendMailNow, companionFilePath, recipient);
}
int FakeSetWnd(RelvoMailWindow* window, unsigned int message) {
    return RecordSetWnd(kSetWnd, kMailTarget, window, message);
}
int FakeLookupTxt(const char* name, const char* dnsServer, char* buffer, int bufferSize) {
    const int configured = Record(kLookupTxt, name, dnsServer, OutBuffer{buffer}, bufferSize);
    std::lock_guard lock(TheState().mutex);
    if (TheState().results[kLookupTxt]) {
        return configured;
    }
    const std::vector<std::string>& records = TheState().txtRecords;
    if (records.empty()) {
        return RELVOMAIL_DNS_NO_RECORD;
    }
    if (buffer == nullptr || bufferSize < 1) {
        return RELVOMAIL_DNS_BAD_ARGUMENT;
    }
    size_t used = 0;
    for (const std::string& record : records) {
        if (record.size() + 1 > static_cast<size_t>(bufferSize) - used) {
            return RELVOMAIL_DNS_BUFFER_TOO_SMALL;
        }
        std::memcpy(buffer + used, record.c_str(), record.size() + 1);
        used += record.size() + 1;
    }
    return static_cast<int>(records.size());
}

// The window a target name stands for: a target's last registration, or for "sendmail:<k>" the
// window of the k-th send (from 0). Requires the state's mutex.
Registration FindRegistration(const char* targetName) {
    State& state = TheState();
    constexpr std::string_view kSendPrefix = "sendmail:";
    if (targetName != nullptr && std::string_view(targetName).starts_with(kSendPrefix)) {
        const char* digits = targetName + kSendPrefix.size();
        char* end = nullptr;
        const long index = std::strtol(digits, &end, 10);
        if (end == digits || *end != '\0' || index < 0 ||
            static_cast<size_t>(index) >= state.sends.size()) {
            return {};
        }
        return state.sends[static_cast<size_t>(index)];
    }
    int target = FindTarget(targetName);
    return target < 0 ? Registration{} : state.targets[target];
}

// Starts a thread that delivers lines to the window a target names; false when there is none.
template <typename Lines>
bool StartDelivery(const char* targetName, Lines lines) {
    State& state = TheState();
    std::lock_guard lock(state.mutex);
    Registration registration = FindRegistration(targetName);
    if (registration.window == nullptr) {
        return false;
    }
    state.threads.emplace_back([registration, lines = std::move(lines)] {
        lines([&](uintptr_t wparam, const char* text) {
            registration.window->deliver(registration.window, registration.message, wparam, text);
        });
    });
    return true;
}

}  // namespace

// The exported entry points: indirect functions, resolved at every dlsym.
#define FAKE_ENTRY_POINT(name)                                                           \
    extern "C" __attribute__((                                                           \
        visibility("hidden"))) decltype(&RelvoMail_##name) FakeEngineResolve_##name() {  \
        return missing[k##name].load(std::memory_order_relaxed) ? nullptr : &Fake##name; \
    }                                                                                    \
    extern "C" FAKE_EXPORT decltype(RelvoMail_##name) RelvoMail_##name                   \
        __attribute__((ifunc("FakeEngineResolve_" #name)));
FAKE_ENGINE_ENTRY_POINTS(FAKE_ENTRY_POINT)
#undef FAKE_ENTRY_POINT

extern "C" {

// Waits for every delivery thread started so far.
FAKE_EXPORT void FakeEngine_JoinThreads(void) {
    State& state = TheState();
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(state.mutex);
        threads.swap(state.threads);
    }
    for (auto& thread : threads) {
        thread.join();
    }
}

// Joins the delivery threads, then forgets calls, results, missing marks and windows.
FAKE_EXPORT void FakeEngine_Reset(void) {
    FakeEngine_JoinThreads();
    State& state = TheState();
    std::lock_guard lock(state.mutex);
    state.calls.clear();
    for (int entry = 0; entry < kEntryCount; ++entry) {
        state.results[entry].reset();
        missing[entry].store(false);
    }
    state.nextMailId = 1;
    for (auto& registration : state.targets) {
        registration = Registration{};
    }
    state.sends.clear();
    state.mailStore = 0;
    state.buildError.clear();
    state.txtRecords.clear();
}

// What RelvoMail_LookupTxt answers from now on: the count records of list, each ended by a NUL.
FAKE_EXPORT void FakeEngine_SetTxtRecords(const char* list, int count) {
    std::vector<std::string> records;
    for (int index = 0; list != nullptr && index < count; ++index) {
        records.emplace_back(list);
        list += records.back().size() + 1;
    }
    std::lock_guard lock(TheState().mutex);
    TheState().txtRecords = std::move(records);
}

// What RelvoMail_SaveMailAs leaves on disk from now on: 0 nothing, 1 the mail file at the path
// given and its companion (the path's last four characters replaced by ".cfg") with
// `MailInfo`/`MailId`, 2 no mail but its companion with `MailInfo`/`BuildError` = buildError.
FAKE_EXPORT void FakeEngine_SetMailStore(int mode, const char* buildError) {
    std::lock_guard lock(TheState().mutex);
    TheState().mailStore = mode;
    TheState().buildError = buildError != nullptr ? buildError : "";
}

// entryPoint: "RelvoMail_SetFrom" or "SetFrom". Returns 0 for an unknown name.
FAKE_EXPORT int FakeEngine_SetResult(const char* entryPoint, int value) {
    int entry = FindEntry(entryPoint);
    if (entry < 0) {
        return 0;
    }
    std::lock_guard lock(TheState().mutex);
    TheState().results[entry] = value;
    return 1;
}

FAKE_EXPORT int FakeEngine_SetMissing(const char* entryPoint, int isMissing) {
    int entry = FindEntry(entryPoint);
    if (entry < 0) {
        return 0;
    }
    missing[entry].store(isMissing != 0);
    return 1;
}

FAKE_EXPORT int FakeEngine_CallCount(void) {
    std::lock_guard lock(TheState().mutex);
    return static_cast<int>(TheState().calls.size());
}

// Copies call number index (from 0) into buffer, cut to fit and zero-terminated; returns the
// call's full length, or -1 when there is no such call.
FAKE_EXPORT int FakeEngine_CopyCall(int index, char* buffer, size_t size) {
    State& state = TheState();
    std::lock_guard lock(state.mutex);
    if (index < 0 || static_cast<size_t>(index) >= state.calls.size()) {
        return -1;
    }
    const std::string& call = state.calls[static_cast<size_t>(index)];
    if (buffer != nullptr && size > 0) {
        size_t length = std::min(call.size(), size - 1);
        std::memcpy(buffer, call.data(), length);
        buffer[length] = '\0';
    }
    return static_cast<int>(call.size());
}

// Delivers count lines "<prefix><index>" (index from 0, also passed as wparam) from a new thread
// to the window last registered for target ("smtp", "send" or "mail"), or to the window of the
// k-th RelvoMail_SendMailNow call (target "sendmail:<k>", k from 0), waiting
// intervalMicroseconds after each. Returns 0 when no window is registered there.
FAKE_EXPORT int FakeEngine_SendLines(const char* target, int count, const char* prefix,
                                     int intervalMicroseconds) {
    std::string start = prefix != nullptr ? prefix : "";
    auto lines = [count, start, intervalMicroseconds](auto deliver) {
        for (int index = 0; index < count; ++index) {
            deliver(static_cast<uintptr_t>(index), (start + std::to_string(index)).c_str());
            if (intervalMicroseconds > 0) {
                std::this_thread::sleep_for(std::chrono::microseconds(intervalMicroseconds));
            }
        }
    };
    return StartDelivery(target, std::move(lines)) ? 1 : 0;
}

// Delivers one line, exactly text (NULL passes a null pointer), from a new thread.
FAKE_EXPORT int FakeEngine_SendText(const char* target, const char* text) {
    std::optional<std::string> copy;
    if (text != nullptr) {
        copy = text;
    }
    auto lines = [copy](auto deliver) { deliver(0, copy ? copy->c_str() : nullptr); };
    return StartDelivery(target, std::move(lines)) ? 1 : 0;
}

}  // extern "C"
