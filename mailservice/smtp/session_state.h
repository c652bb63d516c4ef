// Where an SMTP conversation stands, and sets of those states for the session's verb table.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string_view>

namespace relvo::mail::smtp {

// Commands are read in the dialogue states (greeting to recipients). In the others a line is
// message text or an AUTH response, or the input waits for the step under way.
enum class SessionState : uint8_t {
    kGreeting,      // no HELO or EHLO yet (again after STARTTLS)
    kHelo,          // greeted, no mail transaction
    kMail,          // MAIL accepted, no recipient yet
    kRcpt,          // one recipient or more accepted
    kVerifying,     // an RCPT waits for the local domain's server to judge its recipient
    kData,          // reading the message text
    kQueueing,      // the message is being stored; its 250 is due
    kStartTls,      // 220 sent: the TLS handshake is next
    kAuthPlain,     // AUTH PLAIN: the client's response is due
    kAuthUser,      // AUTH LOGIN: the user name is due
    kAuthPassword,  // AUTH LOGIN: the password is due
    kAuthFailed,    // a failed AUTH waits out its delay before the 535
    kClosing,       // final: the replies so far go out, then the connection closes
};

// The state's name in debug lines.
constexpr std::string_view StateName(SessionState state) {
    switch (state) {
        case SessionState::kGreeting:
            return "GREETING";
        case SessionState::kHelo:
            return "HELO";
        case SessionState::kMail:
            return "MAIL";
        case SessionState::kRcpt:
            return "RCPT";
        case SessionState::kVerifying:
            return "VERIFYING";
        case SessionState::kData:
            return "DATA";
        case SessionState::kQueueing:
            return "QUEUEING";
        case SessionState::kStartTls:
            return "STARTTLS";
        case SessionState::kAuthPlain:
            return "AUTH-PLAIN";
        case SessionState::kAuthUser:
            return "AUTH-USER";
        case SessionState::kAuthPassword:
            return "AUTH-PASSWORD";
        case SessionState::kAuthFailed:
            return "AUTH-FAILED";
        case SessionState::kClosing:
            return "CLOSING";
    }
    return "?";
}

class StateSet {
  public:
    constexpr StateSet() = default;
    constexpr StateSet(std::initializer_list<SessionState> states) {
        for (SessionState state : states) {
            bits_ |= Bit(state);
        }
    }
    constexpr bool Has(SessionState state) const { return (bits_ & Bit(state)) != 0; }
    constexpr bool Covers(StateSet other) const { return (bits_ & other.bits_) == other.bits_; }
    constexpr StateSet operator|(StateSet other) const { return FromBits(bits_ | other.bits_); }

  private:
    static constexpr uint32_t Bit(SessionState state) {
        return uint32_t{1} << static_cast<unsigned>(state);
    }
    static constexpr StateSet FromBits(uint32_t bits) {
        StateSet set;
        set.bits_ = bits;
        return set;
    }
    uint32_t bits_ = 0;
};

inline constexpr StateSet kDialogue = {SessionState::kGreeting, SessionState::kHelo,
                                       SessionState::kMail, SessionState::kRcpt};
// From an accepted MAIL to the end of its message text.
inline constexpr StateSet kTransaction = {SessionState::kMail, SessionState::kRcpt,
                                          SessionState::kVerifying, SessionState::kData};
inline constexpr StateSet kAuthExchange = {SessionState::kAuthPlain, SessionState::kAuthUser,
                                           SessionState::kAuthPassword};
// The others wait for a step that the session's loop runs between reads.
inline constexpr StateSet kReadingInput = kDialogue | kAuthExchange | StateSet{SessionState::kData};

}  // namespace relvo::mail::smtp
