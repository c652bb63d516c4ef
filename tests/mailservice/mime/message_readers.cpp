#include "message_readers.h"

#include <gmime/gmime.h>
#include <stdio.h>

#include <map>
#include <memory>
#include <sstream>

namespace {

std::string FromHex(const std::string& hex) {
    if (hex == "-") {
        return {};
    }
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    return bytes;
}

std::string Quoted(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

void Apply(ReadMessage& message, const std::string& name, const std::vector<std::string>& v) {
    auto at = [&](size_t i) { return i < v.size() ? v[i] : std::string(); };
    if (name == "longest_header_line") {
        message.longestHeaderLine = std::stoul(at(0));
    } else if (name == "longest_line") {
        message.longestLine = std::stoul(at(0));
    } else if (name == "bare_lf") {
        message.bareLineFeeds = std::stoul(at(0));
    } else if (name == "defect") {
        message.defects.push_back(at(0));
    } else if (name == "header_name") {
        message.headerNames.push_back(at(0));
    } else if (name == "mime_version") {
        message.mimeVersion = at(0);
    } else if (name == "has_date") {
        message.hasDate = at(0) == "True";
    } else if (name == "message_id") {
        message.messageId = at(0);
    } else if (name == "subject") {
        message.subject = at(0);
    } else if (name == "from") {
        message.from = {at(0), at(1)};
    } else if (name == "to") {
        message.to.emplace_back(at(0), at(1));
    } else if (name == "body_charset") {
        message.bodyCharset = at(0);
    } else if (name == "body_encoding") {
        message.bodyEncoding = at(0);
    } else if (name == "body") {
        message.body = at(0);
    } else if (name == "attachment") {
        message.attachments.push_back({at(0), at(1), at(3)});
    }
}

template <typename T>
struct Unref {
    void operator()(T* object) const {
        if (object) {
            g_object_unref(object);
        }
    }
};
template <typename T>
using Owned = std::unique_ptr<T, Unref<T>>;

std::string DecodedContent(GMimePart* part) {
    Owned<GMimeStream> memory(g_mime_stream_mem_new());
    g_mime_data_wrapper_write_to_stream(g_mime_part_get_content(part), memory.get());
    GByteArray* array = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(memory.get()));
    return std::string(reinterpret_cast<const char*>(array->data), array->len);
}

std::pair<std::string, std::string> MailboxOf(InternetAddress* address) {
    const char* name = internet_address_get_name(address);
    const char* addr = INTERNET_ADDRESS_IS_MAILBOX(address)
                           ? internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(address))
                           : "";
    return {name ? name : "", addr ? addr : ""};
}

void ReadPart(GMimeObject* object, ReadMessage& message) {
    if (GMIME_IS_MULTIPART(object)) {
        GMimeMultipart* multipart = GMIME_MULTIPART(object);
        for (int i = 0; i < g_mime_multipart_get_count(multipart); ++i) {
            ReadPart(g_mime_multipart_get_part(multipart, i), message);
        }
        return;
    }
    if (!GMIME_IS_PART(object)) {
        return;
    }
    GMimePart* part = GMIME_PART(object);
    if (GMIME_IS_TEXT_PART(object) && !g_mime_part_is_attachment(part)) {
        char* text = g_mime_text_part_get_text(GMIME_TEXT_PART(object));
        message.body = text ? text : "";
        g_free(text);
        const char* charset = g_mime_text_part_get_charset(GMIME_TEXT_PART(object));
        message.bodyCharset = charset ? charset : "";
        return;
    }
    const char* fileName = g_mime_part_get_filename(part);
    char* mediaType = g_mime_content_type_get_mime_type(g_mime_object_get_content_type(object));
    message.attachments.push_back({fileName ? fileName : "", mediaType, DecodedContent(part)});
    g_free(mediaType);
}

}  // namespace

std::vector<ReadMessage> ReadWithPython(const std::vector<std::string>& paths) {
    std::string command = "/usr/bin/python3 " + Quoted(RELVO_MIME_TEST_DIR "/read_messages.py");
    for (const std::string& path : paths) {
        command += " " + Quoted(path);
    }
    std::vector<ReadMessage> messages;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return messages;
    }
    std::string output;
    char buffer[65536];
    for (size_t got; (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        output.append(buffer, got);
    }
    if (pclose(pipe) != 0) {
        return {};
    }
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string name;
        words >> name;
        std::vector<std::string> values;
        for (std::string word; words >> word;) {
            values.push_back(FromHex(word));
        }
        if (name == "file") {
            messages.emplace_back();
        } else if (!messages.empty()) {
            Apply(messages.back(), name, values);
        }
    }
    return messages;
}

ReadMessage ReadWithGMime(const std::string& path) {
    static const bool initialised = (g_mime_init(), true);
    (void)initialised;
    ReadMessage message;
    Owned<GMimeStream> stream(g_mime_stream_file_open(path.c_str(), "rb", nullptr));
    if (!stream) {
        return message;
    }
    Owned<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
    Owned<GMimeMessage> parsed(g_mime_parser_construct_message(parser.get(), nullptr));
    if (!parsed) {
        return message;
    }
    const char* subject = g_mime_message_get_subject(parsed.get());
    message.subject = subject ? subject : "";
    InternetAddressList* from = g_mime_message_get_from(parsed.get());
    if (internet_address_list_length(from) > 0) {
        message.from = MailboxOf(internet_address_list_get_address(from, 0));
    }
    InternetAddressList* to = g_mime_message_get_addresses(parsed.get(), GMIME_ADDRESS_TYPE_TO);
    for (int i = 0; i < internet_address_list_length(to); ++i) {
        message.to.push_back(MailboxOf(internet_address_list_get_address(to, i)));
    }
    ReadPart(g_mime_message_get_mime_part(parsed.get()), message);
    return message;
}
