#include "support/fake_engine.h"

#include <algorithm>
#include <cstddef>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include <dlfcn.h>

#include "common/app_paths.h"

namespace {

constexpr const char* kLibraryFileName = "librelvomailservice.so";

std::string LastDlError() {
    const char* error = dlerror();
    return error != nullptr ? error : "unknown error";
}

}  // namespace

std::string FakeEngine::BuildPath() {
    return RELVO_FAKE_ENGINE_PATH;
}

// A symbolic link, not a copy: every directory then leads to one file, and the loader, which
// recognises a file it has loaded, keeps a single instance however many directories tests use.
void FakeEngine::PlaceInto(const std::string& directory) {
    std::filesystem::path link = std::filesystem::path(directory) / kLibraryFileName;
    std::error_code error;
    std::filesystem::remove(link, error);
    std::filesystem::create_symlink(BuildPath(), link, error);
    if (error) {
        throw std::runtime_error("cannot link the fake engine into " + directory + ": " +
                                 error.message());
    }
}

FakeEngine::FakeEngine() : FakeEngine(ApplicationDirectory()) {}

FakeEngine::FakeEngine(const std::string& directory) {
    PlaceInto(directory);
    std::string path = directory + "/" + kLibraryFileName;
    // Never closed, like the binding's handle: the fake's threads and state live on.
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        throw std::runtime_error("cannot load the fake engine: " + LastDlError());
    }
    Reset();
}

FakeEngine::~FakeEngine() {
    Reset();
}

template <typename Function>
Function* FakeEngine::Control(const char* name) const {
    void* address = dlsym(handle_, name);
    if (address == nullptr) {
        throw std::runtime_error(std::string("the fake engine lacks ") + name);
    }
    return reinterpret_cast<Function*>(address);
}

std::vector<std::string> FakeEngine::Calls() const {
    auto count = Control<int()>("FakeEngine_CallCount")();
    auto copyCall = Control<int(int, char*, size_t)>("FakeEngine_CopyCall");
    std::vector<std::string> calls;
    for (int index = 0; index < count; ++index) {
        std::string call(static_cast<size_t>(std::max(copyCall(index, nullptr, 0), 0)), '\0');
        copyCall(index, call.data(), call.size() + 1);
        calls.push_back(std::move(call));
    }
    return calls;
}

void FakeEngine::Reset() {
    Control<void()>("FakeEngine_Reset")();
}

void FakeEngine::SetResult(std::string_view entryPoint, int value) {
    if (Control<int(const char*, int)>("FakeEngine_SetResult")(std::string(entryPoint).c_str(),
                                                               value) == 0) {
        throw std::invalid_argument("no entry point " + std::string(entryPoint));
    }
}

void FakeEngine::SetMissing(std::string_view entryPoint, bool missing) {
    if (Control<int(const char*, int)>("FakeEngine_SetMissing")(std::string(entryPoint).c_str(),
                                                                missing ? 1 : 0) == 0) {
        throw std::invalid_argument("no entry point " + std::string(entryPoint));
    }
}

void FakeEngine::StoreSavedMails() {
    Control<void(int, const char*)>("FakeEngine_SetMailStore")(1, "");
}

void FakeEngine::FailSavedMails(std::string_view reason) {
    Control<void(int, const char*)>("FakeEngine_SetMailStore")(2, std::string(reason).c_str());
}

void FakeEngine::SetTxtRecords(const std::vector<std::string>& records) {
    std::string list;
    for (const std::string& record : records) {
        list += record;
        list += '\0';
    }
    Control<void(const char*, int)>("FakeEngine_SetTxtRecords")(list.c_str(),
                                                                static_cast<int>(records.size()));
}

bool FakeEngine::SendLines(std::string_view target, int count, std::string_view prefix,
                           std::chrono::microseconds interval) {
    auto sendLines = Control<int(const char*, int, const char*, int)>("FakeEngine_SendLines");
    return sendLines(std::string(target).c_str(), count, std::string(prefix).c_str(),
                     static_cast<int>(interval.count())) != 0;
}

bool FakeEngine::SendText(std::string_view target, std::string_view text) {
    auto sendText = Control<int(const char*, const char*)>("FakeEngine_SendText");
    return sendText(std::string(target).c_str(), std::string(text).c_str()) != 0;
}

void FakeEngine::JoinThreads() {
    Control<void()>("FakeEngine_JoinThreads")();
}
