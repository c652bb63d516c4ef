#include "core/progress.h"

#include <string>

namespace relvo::mail {

void ProgressChannel::SetWindow(RelvoMailWindow* window, unsigned int message) {
    std::lock_guard lock(mutex_);
    window_ = window;
    message_ = message;
}

bool ProgressChannel::HasWindow() const {
    std::lock_guard lock(mutex_);
    return window_ != nullptr && window_->deliver != nullptr;
}

void ProgressChannel::Post(std::string_view line) const {
    RelvoMailWindow* window;
    unsigned int message;
    {
        std::lock_guard lock(mutex_);
        window = window_;
        message = message_;
    }
    // Handles live for the whole process, so the call needs no lock.
    if (window == nullptr || window->deliver == nullptr) {
        return;
    }
    const std::string text(line);
    window->deliver(window, message, 0, text.c_str());
}

}  // namespace relvo::mail
