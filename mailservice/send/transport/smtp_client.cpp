#include "send/transport/smtp_client.h"

#include <asio/this_coro.hpp>
#include <memory>

#include "send/transport/smtp_conversation.h"

namespace relvo::mail::send {

asio::awaitable<ClientResult> RunSmtpClient(const ClientTarget& target,
                                            const ClientMessage& message,
                                            const StepTimeouts& timeouts,
                                            const Transcript& transcript, SessionCache* cache) {
    auto executor = co_await asio::this_coro::executor;
    std::string key = SessionKey(target);
    std::shared_ptr<SmtpConversation> kept;
    if (cache != nullptr) {
        kept = std::static_pointer_cast<SmtpConversation>(TakeIdle(*cache, key));
    }
    ClientResult result;
    if (kept) {
        kept->Reuse(message, timeouts, transcript);
        result = co_await kept->Run(true);
        // A kept connection the server let go is no answer: the mail goes on a new one.
        if (!kept->Stale()) {
            if (kept->Reusable()) {
                KeepIdle(*cache, key, kept, true);
            }
            co_return result;
        }
    }
    auto conversation =
        std::make_shared<SmtpConversation>(executor, target, message, timeouts, transcript);
    result = co_await conversation->Run(cache != nullptr);
    if (cache != nullptr && conversation->Reusable()) {
        KeepIdle(*cache, key, conversation, false);
    }
    co_return result;
}

}  // namespace relvo::mail::send
