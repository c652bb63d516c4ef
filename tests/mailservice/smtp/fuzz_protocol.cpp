// libFuzzer target: the command parser and the DATA reader on arbitrary bytes. The first byte
// picks where the DATA input is split, so the reader is also fuzzed across piece boundaries.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/mail_address.h"
#include "smtp/command_parser.h"
#include "smtp/data_reader.h"
#include "smtp/sasl.h"

using namespace relvo::mail::smtp;

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
    return 0;
}
