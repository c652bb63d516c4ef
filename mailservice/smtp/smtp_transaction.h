// One mail transaction of an SMTP session: made by an accepted MAIL, ended by RSET, a new
// greeting, STARTTLS, the final reply to its message or the end of the session. Everything a
// message carries lives here and nowhere else, so that ending the transaction (destroying this
// object) is all it takes for the next MAIL to start clean; a message file begun for it is let go
// with it. Limits that hold per message belong here too.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/engine_config.h"
#include "core/queue_store.h"
#include "smtp/data_reader.h"
#include "smtp/header_bounds.h"
#include "smtp/message_observer.h"
#include "smtp/observed_text.h"

namespace relvo::mail::smtp {

class SmtpTransaction {
  public:
    // Message text goes to the queue's file in pieces of about this size.
    static constexpr size_t kSpillSize = 64 * 1024;

    // The message as it goes to the queue; the transaction holds none of it afterwards.
    struct Message {
        std::string sender;
        std::vector<std::string> recipients;
        SpoolPtr spool;          // the text written so far, if any
        std::string text;        // the rest of it
        size_t size = 0;         // bytes of message text stored, the spooled ones included
        std::string spfResult;   // the observer's SPF result after FinishObserved; "" when none
        std::string quarantine;  // why it goes to the junk folder; "" when it does not
    };

    // limits: those of the configuration that accepted the MAIL.
    SmtpTransaction(QueueStore& queue, std::string_view sender, bool smtpUtf8,
                    const SmtpLimits& limits);
    ~SmtpTransaction();  // lets a begun message file go
    SmtpTransaction(const SmtpTransaction&) = delete;
    SmtpTransaction& operator=(const SmtpTransaction&) = delete;

    const std::string& Sender() const { return sender_; }
    bool SmtpUtf8() const { return smtpUtf8_; }
    const std::vector<std::string>& Recipients() const { return recipients_; }
    void AddRecipient(std::string_view address) { recipients_.emplace_back(address); }

    // DATA was accepted at now. With an observer the text is shown to it as it arrives; without
    // one the caller puts the Received header into Text() at once, so that the message's file
    // starts with it and is never copied.
    void StartText(std::chrono::steady_clock::time_point now, MessageObserverPtr observer);
    bool Observed() const { return observed_ != nullptr; }
    // Bytes of input received since DATA, for the minimum rate.
    void Received(size_t bytes) { received_ += bytes; }
    // When the text's next bytes must have come: a pause of at most the data timeout, and after
    // a grace period the minimum rate on average.
    std::chrono::steady_clock::time_point TextDeadline(std::chrono::steady_clock::time_point now,
                                                       const SmtpLimits& limits) const;

    // Takes message text from input; returns how many bytes it used, up to the text's end. A
    // header section past its bounds is refused here, for every message, and none of it is kept.
    size_t Feed(std::string_view input);
    bool TextEnded() const { return reader_.Done(); }
    DataReader::Error TextError() const { return reader_.error(); }
    size_t BytesSeen() const { return reader_.BytesSeen(); }
    // Why the text was refused when TextError() is kStopped.
    std::string_view Refusal() const { return refusal_; }
    // Stores and shows nothing more of the text; its end is answered with reply.
    void Refuse(std::string_view reply);

    // A buffer's worth of text waits to go to the message's file before more is taken.
    bool MustSpill() const { return reader_.Paused(); }
    // The message's file (made by the first call) and the text received and not yet written.
    SpoolPtr SpillSpool();
    std::string& Text() { return reader_.Body(); }
    // Bytes at the front of Text() that are final and may be written out.
    size_t Settled() { return observed_ ? observed_->Settled() : reader_.Body().size(); }
    // The first length bytes of Text() were written to the file.
    void Spilled(size_t length);

    // The text is complete: shows its end to the observer; ready runs (on any thread) when the
    // observer's results are in.
    void CompleteObserved(std::function<void()> ready) {
        observed_->Complete(reader_.Body(), std::move(ready));
    }
    // Then the observer's header fields for the top of the message. Runs off the session's
    // thread while the session waits for it.
    std::string FinishObserved() { return observed_->Finish(); }
    // After FinishObserved: the observer's refusal of the message, "" when it may be stored.
    std::string ObservedRefusal() const { return observed_->Refusal(); }
    Message TakeMessage();

  private:
    // Lets the observer and the message's file go.
    void DropText();

    QueueStore& queue_;
    std::string sender_;
    bool smtpUtf8_ = false;
    std::vector<std::string> recipients_;
    DataReader reader_;
    HeaderBounds header_;
    SpoolPtr spool_;                          // the message's text written so far
    std::unique_ptr<ObservedText> observed_;  // null when nothing looks at the message
    std::string_view refusal_;                // why the reader was stopped
    std::chrono::steady_clock::time_point textStartedAt_;
    uint64_t received_ = 0;  // input bytes since DATA was accepted
};

}  // namespace relvo::mail::smtp
