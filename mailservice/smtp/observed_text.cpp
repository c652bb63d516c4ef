#include "smtp/observed_text.h"

#include <algorithm>
#include <string_view>

namespace relvo::mail::smtp {
namespace {

// "name:" with a name of printable ASCII other than the colon (RFC 5322 2.2).
bool StartsField(std::string_view line) {
    size_t colon = line.find(':');
    if (colon == 0 || colon == std::string_view::npos) {
        return false;
    }
    for (size_t i = 0; i < colon; ++i) {
        if (line[i] <= ' ' || line[i] > '~') {
            return false;
        }
    }
    return true;
}

}  // namespace

bool ObservedText::Scan(std::string& text) {
    while (inHeader_ && TakeHeaderLine(text)) {
    }
    if (inHeader_) {
        return text.size() - fieldStart_ <= kMaxHeaderField;
    }
    if (settledEnd_ < text.size()) {
        observer_->Body(std::string_view(text).substr(settledEnd_));
        settledEnd_ = text.size();
    }
    return true;
}

bool ObservedText::TakeHeaderLine(std::string& text) {
    size_t end = text.find("\r\n", scanned_);
    if (end == std::string::npos) {
        return false;
    }
    std::string_view line = std::string_view(text).substr(scanned_, end - scanned_);
    const bool continuation = !line.empty() && (line[0] == ' ' || line[0] == '\t');
    if (inField_ && continuation) {
        scanned_ = end + 2;
        return true;
    }
    EndField(text);
    line = std::string_view(text).substr(scanned_, line.size());  // a refused field moved it
    if (line.empty()) {
        // The empty line stays in the message but belongs to neither part.
        scanned_ += 2;
        fieldStart_ = scanned_;
        EndHeader();
    } else if (StartsField(line)) {
        inField_ = true;
        scanned_ += line.size() + 2;
    } else {
        EndHeader();  // no header section, or a line that cannot be one: the body starts here
    }
    return true;
}

void ObservedText::EndField(std::string& text) {
    if (!inField_) {
        return;
    }
    inField_ = false;
    std::string_view field = std::string_view(text).substr(fieldStart_, scanned_ - fieldStart_);
    if (observer_->HeaderField(field)) {
        fieldStart_ = scanned_;
    } else {
        text.erase(fieldStart_, field.size());
        scanned_ = fieldStart_;
    }
}

void ObservedText::EndHeader() {
    inHeader_ = false;
    settledEnd_ = scanned_;
    observer_->EndOfHeaders();
}

void ObservedText::Removed(size_t length) {
    fieldStart_ -= length;
    scanned_ -= length;
    settledEnd_ -= std::min(length, settledEnd_);
}

void ObservedText::Complete(std::string& text, std::function<void()> ready) {
    Scan(text);
    if (inHeader_) {
        EndField(text);
        EndHeader();
    }
    observer_->WhenReady(std::move(ready));
}

std::string ObservedText::Finish() {
    std::string top = observer_->Finish();
    if (!top.empty() && !top.ends_with("\r\n")) {
        top += "\r\n";
    }
    return top;
}

}  // namespace relvo::mail::smtp
