// libFuzzer target: the command parser, the DATA reader, the PROXY header reader and the observed
// message text on arbitrary bytes. The first byte picks where the input is split, so the readers
// are also fuzzed across piece boundaries: in pieces they must give what they give whole.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include <arpa/inet.h>
#include "common/mail_address.h"
#include "smtp/command_parser.h"

#include "smtp/data_reader.h"
#include "smtp/observed_text.h"
#include "smtp/proxy_header.h"
#include "smtp/sasl.h"

using namespace relvo::mail::smtp;

namespace {

// Reads a PROXY header the way the server does, asking for exactly the bytes still lacking.
void ReadProxyHeader(std::string_view input) {
    size_t have = 0;
    while (auto needed = ProxyHeaderBytesNeeded(input.substr(0, have))) {
        if (*needed == 0) {
            auto header = ParseProxyHeader(input.substr(0, have));
            char address[16];
            if (header && header->namesClient &&
                inet_pton(AF_INET, header->clientIp.c_str(), address) != 1 &&
                inet_pton(AF_INET6, header->clientIp.c_str(), address) != 1) {
                std::abort();  // a client named by something that is no address
            }
            return;
        }
        have += *needed;
        if (have > kMaxProxyBinaryHeader) {
            std::abort();  // read past the longest header: a byte of the conversation taken
        }
        if (have > input.size()) {
            return;
        }
    }
}

// Records what it is shown and refuses one kind of field, as the inbound checks refuse forged
// results.
class RecordingObserver : public MessageObserver {
  public:
    explicit RecordingObserver(std::string* seen) : seen_(seen) {}
    bool HeaderField(std::string_view field) override {
        seen_->append("F:").append(field);
        return !field.starts_with("X-Drop:");
    }
    void EndOfHeaders() override { seen_->append("E:"); }
    void Body(std::string_view piece) override { seen_->append(piece); }
    std::string Finish() override { return "X-Top: 1"; }

  private:
    std::string* seen_;
};

// The text as the DATA path keeps it: appended piece by piece, scanned, and its settled front
// written out; returns what was written, with what the observer saw in *seen.
std::string ObserveInPieces(std::string_view input, size_t piece, std::string* seen) {
    ObservedText observed(std::make_unique<RecordingObserver>(seen));
    std::string text, written;
    for (size_t at = 0; at < input.size(); at += piece) {
        text.append(input.substr(at, piece));
        if (!observed.Scan(text)) {
            return "refused";
        }
        size_t settled = observed.Settled();
        if (settled > text.size()) {
            std::abort();
        }
        written.append(text, 0, settled);
        text.erase(0, settled);
        observed.Removed(settled);
    }
    bool ready = false;
    observed.Complete(text, [&ready] { ready = true; });
    if (!ready) {
        std::abort();  // this observer has nothing to wait for
    }
    return observed.Finish() + written + text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
    size_t split = data[0] % (input.size() + 1);

    // Every line of the input as a command, the way a session cuts them.
    std::string_view rest = input;
    size_t endLength = 0;
    for (size_t lineEnd; (lineEnd = FindLineEnd(rest, &endLength)) != std::string_view::npos;) {
        Command command = ParseCommand(rest.substr(0, lineEnd));
        if (command.error == CommandError::kNone && !command.address.empty() &&
            !IsValidMailbox(command.address)) {
            std::abort();
        }
        if (command.hasInitialResponse) {
            if (auto decoded = DecodeBase64(command.initialResponse)) {
                ParsePlainMessage(*decoded);
            }
        }
        rest.remove_prefix(lineEnd + endLength);
    }

    // The whole input as DATA, in one piece and in two: the verdicts must agree.
    DataReader whole(1 << 16);
    size_t usedWhole = whole.Feed(input);
    DataReader pieces(1 << 16);
    size_t used = pieces.Feed(input.substr(0, split));
    if (!pieces.Done()) {
        used += pieces.Feed(input.substr(used));
    }
    if (usedWhole != used || whole.Done() != pieces.Done() || whole.error() != pieces.error() ||
        whole.Body() != pieces.Body()) {
        std::abort();
    }

    ReadProxyHeader(input);

    // The observed text, whole and in pieces of split + 1 bytes.
    std::string seenWhole, seenPieces;
    std::string storedWhole = ObserveInPieces(input, input.size() + 1, &seenWhole);
    std::string storedPieces = ObserveInPieces(input, split + 1, &seenPieces);
    if (storedWhole != "refused" && storedPieces != "refused" &&
        (storedWhole != storedPieces || seenWhole != seenPieces)) {
        std::abort();
    }
    return 0;
}
