// Test access to the recording fake engine (tests/fake_engine): puts the library into an
// application directory, where the binding finds it, and drives the very instance the binding
// loads (both open the same file, so the loader hands out one copy). Construction fails with
// std::runtime_error when the library cannot be placed or loaded. Use from one thread at a time.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

class FakeEngine {
  public:
    // Links the fake into directory (the current application directory by default), loads it
    // and resets it. The destructor waits for the fake's delivery threads and resets it again.
    FakeEngine();
    explicit FakeEngine(const std::string& directory);
    ~FakeEngine();
    FakeEngine(const FakeEngine&) = delete;
    FakeEngine& operator=(const FakeEngine&) = delete;

    // Where the build put the fake library.
    static std::string BuildPath();
    // Links the fake into directory without loading it (for consoles started as processes).
    static void PlaceInto(const std::string& directory);

    // The loader's handle of the fake, to compare with what the binding loaded.
    void* Handle() const { return handle_; }

    // Every call so far, one line each, e.g. RelvoMail_SetFrom(7,"a@b.c","").
    std::vector<std::string> Calls() const;
    // Forgets calls, results, missing marks and registered windows (after joining threads).
    void Reset();
    // entryPoint: "RelvoMail_SetFrom" or "SetFrom".
    void SetResult(std::string_view entryPoint, int value);
    void SetMissing(std::string_view entryPoint, bool missing = true);
    // From now on RelvoMail_SaveMailAs stores the mail file at the path it is given and a
    // companion file beside it with `MailInfo`/`MailId`, as the engine does; or, after
    // FailSavedMails, stores no mail but the companion file beside it with the reason as
    // `MailInfo`/`BuildError`. Reset stores nothing.
    void StoreSavedMails();
    void FailSavedMails(std::string_view reason);
    // The TXT records RelvoMail_LookupTxt answers with from now on, whatever the name (none: no
    // record). Reset forgets them.
    void SetTxtRecords(const std::vector<std::string>& records);

    // Deliver lines from a new thread of the fake to the window registered for target ("smtp",
    // "send" or "mail"), or to the window registered for "mail" when the k-th SendMailNow call
    // (from 0) was made (target "sendmail:<k>", see SendTarget): count lines "<prefix><index>",
    // or one exact text. Return false when no window is registered there.
    bool SendLines(std::string_view target, int count, std::string_view prefix,
                   std::chrono::microseconds interval = {});
    bool SendText(std::string_view target, std::string_view text);
    static std::string SendTarget(int sendIndex) { return "sendmail:" + std::to_string(sendIndex); }
    // Waits until every delivery thread has finished.
    void JoinThreads();

  private:
    template <typename Function>
    Function* Control(const char* name) const;

    void* handle_ = nullptr;
};
