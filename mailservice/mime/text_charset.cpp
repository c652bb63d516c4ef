#include "mime/text_charset.h"

#include <iconv.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <utility>

#include "common/ascii.h"
#include "common/utilities.h"

namespace relvo::mail {
namespace {

// The names mail readers know best for the sets the compose dialog offers.
constexpr std::array<std::pair<std::string_view, std::string_view>, 11> kMimeNames{{
    {"iso-8859-1", "iso-8859-1"},
    {"gb2312", "gb2312"},
    {"big5", "big5"},
    {"windows-1251", "windows-1251"},
    {"din_66003", "DIN_66003"},
    {"iso-2022-jp", "iso-2022-jp"},
    {"iso-2022-kr", "iso-2022-kr"},
    {"sen_850200_b", "SEN_850200_B"},
    {"windows-874", "windows-874"},
    {"utf-8", "utf-8"},
    {"us-ascii", "us-ascii"},
}};

constexpr size_t kMaxCharsetName = 40;

bool IsCharsetToken(std::string_view name) {
    return !name.empty() && name.size() <= kMaxCharsetName &&
           std::all_of(name.begin(), name.end(), [](char c) {
               return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' ||
                      c == '.' || c == ':';
           });
}

class Converter {
  public:
    Converter(const std::string& to, const char* from) : handle_(iconv_open(to.c_str(), from)) {}
    ~Converter() {
        if (Valid()) {
            iconv_close(handle_);
        }
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;
    bool Valid() const { return handle_ != reinterpret_cast<iconv_t>(-1); }
    iconv_t Handle() const { return handle_; }

  private:
    iconv_t handle_;
};

}  // namespace

std::optional<std::string> ResolveCharsetName(std::string_view name) {
    const size_t open = name.find('(');
    const size_t close = name.rfind(')');
    if (open != std::string_view::npos && close != std::string_view::npos && open < close) {
        name = name.substr(open + 1, close - open - 1);
    }
    while (!name.empty() && name.front() == ' ') {
        name.remove_prefix(1);
    }
    while (!name.empty() && name.back() == ' ') {
        name.remove_suffix(1);
    }
    if (name.empty()) {
        return std::string("utf-8");
    }
    if (!IsCharsetToken(name)) {
        return std::nullopt;
    }
    const std::string lower = AsciiLowerCopy(name);
    std::string mimeName = lower;
    for (const auto& [known, preferred] : kMimeNames) {
        if (lower == known) {
            mimeName = preferred;
        }
    }
    if (!Converter(mimeName, "UTF-8").Valid()) {
        return std::nullopt;
    }
    return mimeName;
}

std::optional<std::string> ConvertFromUtf8(std::string_view text, const std::string& charset) {
    if (!IsValidUtf8(text)) {
        return std::nullopt;
    }
    Converter converter(charset, "UTF-8");
    if (!converter.Valid()) {
        return std::nullopt;
    }
    std::string out;
    std::array<char, 4096> buffer{};
    char* in = const_cast<char*>(text.data());  // iconv's signature; it does not write input
    size_t inLeft = text.size();
    bool flushing = false;
    for (;;) {
        char* outPointer = buffer.data();
        size_t outLeft = buffer.size();
        // After the input, one call with no input ends a stateful encoding (ISO-2022-JP's
        // return to ASCII).
        const size_t result =
            flushing ? iconv(converter.Handle(), nullptr, nullptr, &outPointer, &outLeft)
                     : iconv(converter.Handle(), &in, &inLeft, &outPointer, &outLeft);
        out.append(buffer.data(), outPointer);
        if (result == static_cast<size_t>(-1)) {
            if (errno == E2BIG) {
                continue;
            }
            return std::nullopt;  // a character the set has no code for
        }
        if (result > 0) {
            return std::nullopt;  // replaced by an approximation: not the text as written
        }
        if (flushing) {
            return out;
        }
        flushing = inLeft == 0;
    }
}

std::string WithCrlfLineBreaks(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 32);
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            out += "\r\n";
            if (i + 1 < text.size() && text[i + 1] == '\n') {
                ++i;
            }
        } else if (text[i] == '\n') {
            out += "\r\n";
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string OneLine(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            c = ' ';
        }
    }
    return out;
}

}  // namespace relvo::mail
