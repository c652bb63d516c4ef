#include "smtp/smtp_transaction.h"

#include <algorithm>
#include <utility>

namespace relvo::mail::smtp {
namespace {

// DATA may start slowly (a client composing, a slow first hop); the minimum rate counts after it.
constexpr auto kDataRateGrace = std::chrono::seconds(30);
constexpr std::string_view kHeaderTooBig =
    "552 5.3.4 Message refused: the header section is too big";
constexpr std::string_view kFieldTooLong = "552 5.3.4 Message refused: a header field is too long";

}  // namespace

SmtpTransaction::SmtpTransaction(QueueStore& queue, std::string_view sender, bool smtpUtf8,
                                 const SmtpLimits& limits)
    : queue_(queue),
      sender_(sender),
      smtpUtf8_(smtpUtf8),
      reader_(limits.maxMessageSize),
      header_(limits.maxHeaderSize) {}

SmtpTransaction::~SmtpTransaction() {
    DropText();
}

void SmtpTransaction::StartText(std::chrono::steady_clock::time_point now,
                                MessageObserverPtr observer) {
    textStartedAt_ = now;
    received_ = 0;
    reader_.SetPauseAt(kSpillSize);
    if (observer) {
        observed_ = std::make_unique<ObservedText>(std::move(observer));
    }
}

std::chrono::steady_clock::time_point SmtpTransaction::TextDeadline(
    std::chrono::steady_clock::time_point now, const SmtpLimits& limits) const {
    auto earned = std::chrono::milliseconds(received_ * 1000 /
                                            static_cast<uint64_t>(std::max(1, limits.minDataRate)));
    auto byRate =
        textStartedAt_ + std::max<std::chrono::steady_clock::duration>(kDataRateGrace, earned);
    return std::min(now + std::chrono::seconds(limits.dataTimeoutSeconds), byRate);
}

size_t SmtpTransaction::Feed(std::string_view input) {
    // The reader only appends to the text (or empties it on an error).
    const size_t before = reader_.Body().size();
    const size_t used = reader_.Feed(input);
    const HeaderBounds::Verdict header =
        header_.Done() || reader_.error() != DataReader::Error::kNone
            ? HeaderBounds::Verdict::kWithin
            : header_.Scan(std::string_view(reader_.Body()).substr(before));
    if (reader_.error() != DataReader::Error::kNone) {
        DropText();  // refused: nothing more is stored or shown
    } else if (header == HeaderBounds::Verdict::kSectionTooBig) {
        Refuse(kHeaderTooBig);
    } else if (header == HeaderBounds::Verdict::kFieldTooLong) {
        Refuse(kFieldTooLong);
    } else if (observed_ && !observed_->Scan(reader_.Body())) {
        Refuse(kFieldTooLong);
    }
    return used;
}

void SmtpTransaction::Refuse(std::string_view reply) {
    reader_.Stop();
    refusal_ = reply;
    DropText();
}

SpoolPtr SmtpTransaction::SpillSpool() {
    if (!spool_) {
        spool_ = std::make_shared<Spool>();
    }
    return spool_;
}

void SmtpTransaction::Spilled(size_t length) {
    reader_.Body().erase(0, length);
    if (observed_) {
        observed_->Removed(length);
    }
}

SmtpTransaction::Message SmtpTransaction::TakeMessage() {
    Message message;
    message.sender = std::move(sender_);
    message.recipients = std::move(recipients_);
    message.spool = std::move(spool_);
    message.size = reader_.StoredBytes();
    message.text = std::move(reader_.Body());
    if (observed_) {
        message.spfResult = observed_->SpfResult();
        message.quarantine = observed_->Quarantine();
    }
    return message;
}

void SmtpTransaction::DropText() {
    observed_.reset();
    if (spool_) {
        queue_.Drop(std::move(spool_));
    }
}

}  // namespace relvo::mail::smtp
