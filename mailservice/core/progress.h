// Progress lines to the console's window: the handle's deliver function copies the text, so the
// engine never waits for the user interface. Lines go nowhere while no window is set.
#pragma once

#include <mutex>
#include <string_view>

#include "relvomail.h"

namespace relvo::mail {

class ProgressChannel {
  public:
    void SetWindow(RelvoMailWindow* window, unsigned int message);  // thread-safe
    void Post(std::string_view line) const;                         // thread-safe
    bool HasWindow() const;

  private:
    mutable std::mutex mutex_;
    RelvoMailWindow* window_ = nullptr;
    unsigned int message_ = RELVOMAIL_PROGRESS_MESSAGE;
};

}  // namespace relvo::mail
