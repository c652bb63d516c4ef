// What a session needs of the server that runs it: the settings, the queue, the log, and a way to
// say that it has ended. The server implements it; a session knows nothing else of the server.
#pragma once

#include <asio/ssl/context.hpp>
#include <asio/thread_pool.hpp>
#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include "core/event_log.h"
#include "core/queue_store.h"
#include "smtp/message_observer.h"

namespace relvo::mail::smtp {

class SmtpSession;

struct ServerSettings {
    std::string hostName;                     // in the greeting, EHLO and Received
    std::shared_ptr<asio::ssl::context> tls;  // null: STARTTLS not offered
    std::chrono::milliseconds authFailureDelay{1000};
    std::chrono::milliseconds stopGrace{1500};  // then the remaining sessions are cut
    int threads = 2;
};

// The server's answer to a new connection; anything but kAdmitted is answered 421 and closed.
enum class Admission { kAdmitted, kTooManySessions, kTooManyFromClient };

class SessionHost {
  public:
    virtual const ServerSettings& Settings() const = 0;
    virtual QueueStore& Queue() = 0;
    virtual EventLog& Log() = 0;
    // An admitted session calls this once, when its connection is closed.
    virtual void Unregister(SmtpSession* session) = 0;
    // A session that has answered QUIT no longer counts against its client's limit, so that the
    // client's next connection, opened at once, is not refused. Idempotent.
    virtual void ReleaseClientSlot(SmtpSession* session) = 0;
    // Failed AUTH per client, across the sessions and listeners of the server.
    virtual bool AuthBlocked(const std::string& clientIp) = 0;
    // Counts a failure; true when it starts the client's block.
    virtual bool RecordAuthFailure(const std::string& clientIp, int limit) = 0;
    // Failed AUTH per account name (any letter case, existing or not) over all clients.
    virtual bool AccountAuthBlocked(std::string_view account) = 0;
    // Counts a failure; true when it starts the name's block.
    virtual bool RecordAccountAuthFailure(std::string_view account, int limit) = 0;
    // More than 80% of SmtpMaxSessions are in use: sessions get shorter command timeouts and
    // fewer junk commands, so that idle ones make room sooner.
    virtual bool UnderStress() const = 0;
    // Called when DATA starts; the session feeds the message to what it returns, if anything.
    virtual MessageObserverPtr ObserveMessage(const MessageContext& /*context*/) { return nullptr; }
    // Where an observer's Finish runs: it may wait for its lookups, which no I/O thread may do.
    virtual asio::thread_pool& ObserverPool() = 0;

  protected:
    ~SessionHost() = default;
};

}  // namespace relvo::mail::smtp
