// A per-message look at the text a client sends in DATA, for checks that need the whole message
// but must not hold it (inbound DKIM and SPF results). The DATA path calls it as text arrives and
// asks it at the end for header fields to put at the top of the stored message.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace relvo::mail::smtp {

// What is known of a message when its DATA starts.
struct MessageContext {
    std::string clientAddress;    // the client's address, without port
    std::string heloName;         // as given in HELO/EHLO
    std::string mailFrom;         // the envelope sender, "" for the null sender
    std::string authUser;         // "" when the client did not authenticate
    bool forLocalDomain = false;  // at least one recipient is in a local domain
    bool trustedClient = false;   // loopback, authenticated or in SmtpRelayNetworks: our own mail
};

class MessageObserver {
  public:
    virtual ~MessageObserver() = default;
    // One complete header field as received: name, colon, value and continuation lines, each line
    // CRLF-ended. Returning false leaves the field out of the stored message.
    virtual bool HeaderField(std::string_view field) = 0;
    // The empty line that ends the header section was reached (also called when the message has
    // no body, or no header section at all, before any Body call).
    virtual void EndOfHeaders() = 0;
    // Body text as received (dot-unstuffed, CRLF lines), in pieces of any size.
    virtual void Body(std::string_view piece) = 0;
    // The message is complete (the end of its header section was shown): ready runs, once, when
    // Finish has what it needs, on any thread and possibly within this call. Finish must not
    // be called before.
    virtual void WhenReady(std::function<void()> ready) { ready(); }
    // The message is complete and ready: header fields (CRLF-ended, possibly none) to store above
    // the Received header.
    virtual std::string Finish() = 0;
    // After Finish: the SPF result the checks came to, for the queue's companion; "" when no
    // check ran.
    virtual std::string SpfResult() const { return ""; }
    // After Finish: the reply that refuses the message (a sender's DMARC policy), "" to store it.
    virtual std::string Refusal() const { return ""; }
    // After Finish: why the message belongs in the recipient's junk folder, "" when it does not.
    virtual std::string Quarantine() const { return ""; }
};

// Made by the server for each message; null when nothing needs to look at it.
using MessageObserverPtr = std::unique_ptr<MessageObserver>;

}  // namespace relvo::mail::smtp
