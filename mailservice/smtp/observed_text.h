// Shows a message's text to its observer while it is received: cuts the header section into
// fields (leaving out of the text those the observer refuses) and passes the body on. Works on
// the buffer the DATA reader fills, so the text is neither copied nor held longer than a field.
#pragma once

#include <cstddef>
#include <string>

#include "smtp/message_observer.h"

namespace relvo::mail::smtp {

class ObservedText {
  public:
    // A longer header field is refused: the observer must see fields whole, and a session must
    // not hold an unbounded one to show it.
    static constexpr size_t kMaxHeaderField = 32 * 1024;

    explicit ObservedText(MessageObserverPtr observer) : observer_(std::move(observer)) {}

    // Looks at what was added to text since the last call; may take refused fields out of it.
    // False when a header field grew beyond kMaxHeaderField (nothing more is shown then).
    bool Scan(std::string& text);
    // Bytes at the front of text that are final and may be written out.
    size_t Settled() const { return inHeader_ ? fieldStart_ : settledEnd_; }
    // The first length bytes of text (at most Settled()) were taken out of it.
    void Removed(size_t length);
    // The message is complete in text: the last field and the end of the header section are
    // shown. Then ready runs when the observer's results are in (see MessageObserver).
    void Complete(std::string& text, std::function<void()> ready);
    // After Complete's ready: the fields the observer puts on top, each line CRLF-ended.
    std::string Finish();
    // After Finish: the observer's SPF result ("" when it ran no check).
    std::string SpfResult() const { return observer_->SpfResult(); }
    std::string Refusal() const { return observer_->Refusal(); }
    std::string Quarantine() const { return observer_->Quarantine(); }

  private:
    // Handles the complete line at scanned_; false when the text has no complete line there.
    bool TakeHeaderLine(std::string& text);
    // The field under way (if any) is complete at the scan position.
    void EndField(std::string& text);
    void EndHeader();

    MessageObserverPtr observer_;
    bool inHeader_ = true;
    bool inField_ = false;
    size_t fieldStart_ = 0;  // start of the field under way, or of the next line
    size_t scanned_ = 0;     // where the next header line starts
    size_t settledEnd_ = 0;  // in the body: how far the observer has seen
};

}  // namespace relvo::mail::smtp
