#include "mime/message_composer.h"

#include <gmime/gmime.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <memory>
#include <mutex>
#include <string_view>
#include <utility>

#include "common/ascii.h"
#include "mime/header_text.h"

namespace relvo::mail {
namespace {

std::mutex& GMimeLock() {
    static std::mutex lock;
    return lock;
}

void InitGMimeOnce() {
    static std::once_flag once;
    std::call_once(once, [] { g_mime_init(); });
}

// Owns one GObject reference.
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

GMimeDataWrapper* NewContent(const std::string& bytes) {
    Owned<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(bytes.data(), bytes.size()));
    return g_mime_data_wrapper_new_with_stream(stream.get(), GMIME_CONTENT_ENCODING_DEFAULT);
}

void AddMailbox(InternetAddressList* list, const Mailbox& mailbox) {
    Owned<InternetAddress> address(internet_address_mailbox_new(
        mailbox.displayName.empty() ? nullptr : mailbox.displayName.c_str(),
        mailbox.address.c_str()));
    internet_address_set_charset(address.get(), "utf-8");
    internet_address_list_add(list, address.get());
}

// A domain for the Message-ID: the sender's when it is a plain host name, else this machine's.
std::string MessageIdDomain(const std::string& senderAddress) {
    const std::string domain = senderAddress.substr(senderAddress.rfind('@') + 1);
    const bool plain = !domain.empty() && std::all_of(domain.begin(), domain.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.';
    });
    if (plain) {
        return domain;
    }
    std::array<char, 256> host{};
    if (gethostname(host.data(), host.size() - 1) == 0 && host[0] != '\0') {
        return host.data();
    }
    return "localhost";
}

// Replaces how GMime would write a header with our own written form (see header_text.h). Done
// last: GMime rewrites a header when the object behind it changes.
void WriteHeaderAs(GMimeObject* object, const char* name, const std::string& written) {
    GMimeHeader* header =
        g_mime_header_list_get_header(g_mime_object_get_header_list(object), name);
    if (header != nullptr) {
        g_mime_header_set_raw_value(header, written.c_str());
    }
}

GMimeObject* NewBodyPart(const MessageContent& content) {
    GMimeTextPart* text = g_mime_text_part_new_with_subtype("plain");
    Owned<GMimeDataWrapper> wrapper(NewContent(content.bodyBytes));
    g_mime_part_set_content(GMIME_PART(text), wrapper.get());
    g_mime_text_part_set_charset(text, content.bodyCharset.c_str());
    g_mime_part_set_content_encoding(
        GMIME_PART(text),
        g_mime_part_get_best_content_encoding(GMIME_PART(text), GMIME_ENCODING_CONSTRAINT_7BIT));
    return GMIME_OBJECT(text);
}

GMimeObject* NewAttachmentPart(const AttachmentContent& attachment) {
    const std::string mediaType = MediaTypeForFileName(attachment.fileName);
    const size_t slash = mediaType.find('/');
    GMimePart* part = g_mime_part_new_with_type(mediaType.substr(0, slash).c_str(),
                                                mediaType.substr(slash + 1).c_str());
    Owned<GMimeDataWrapper> wrapper(NewContent(attachment.bytes));
    g_mime_part_set_content(part, wrapper.get());
    g_mime_part_set_filename(part, attachment.fileName.c_str());
    g_mime_part_set_content_encoding(part, GMIME_CONTENT_ENCODING_BASE64);
    WriteHeaderAs(GMIME_OBJECT(part), "Content-Type",
                  FormatWithFileName(mediaType, "name", attachment.fileName));
    WriteHeaderAs(GMIME_OBJECT(part), "Content-Disposition",
                  FormatWithFileName("attachment", "filename", attachment.fileName));
    return GMIME_OBJECT(part);
}

GMimeObject* NewMimeTree(const MessageContent& content) {
    GMimeObject* body = NewBodyPart(content);
    if (content.attachments.empty()) {
        return body;
    }
    GMimeMultipart* mixed = g_mime_multipart_new_with_subtype("mixed");
    g_mime_multipart_add(mixed, body);
    g_object_unref(body);
    for (const AttachmentContent& attachment : content.attachments) {
        Owned<GMimeObject> part(NewAttachmentPart(attachment));
        g_mime_multipart_add(mixed, part.get());
    }
    return GMIME_OBJECT(mixed);
}

}  // namespace

std::string ComposeMessage(const MessageContent& content) {
    InitGMimeOnce();
    std::lock_guard lock(GMimeLock());
    Owned<GMimeMessage> message(g_mime_message_new(TRUE));
    AddMailbox(g_mime_message_get_from(message.get()), content.from);
    InternetAddressList* to = g_mime_message_get_addresses(message.get(), GMIME_ADDRESS_TYPE_TO);
    for (const Mailbox& mailbox : content.to) {
        AddMailbox(to, mailbox);
    }
    g_mime_message_set_subject(message.get(), content.subject.c_str(), "utf-8");
    GDateTime* now = g_date_time_new_now_local();
    g_mime_message_set_date(message.get(), now);
    g_date_time_unref(now);
    char* messageId =
        g_mime_utils_generate_message_id(MessageIdDomain(content.from.address).c_str());
    g_mime_message_set_message_id(message.get(), messageId);
    g_free(messageId);
    Owned<GMimeObject> tree(NewMimeTree(content));
    g_mime_message_set_mime_part(message.get(), tree.get());
    GMimeObject* object = GMIME_OBJECT(message.get());
    WriteHeaderAs(object, "From", FormatMailboxes({content.from}, 4));
    WriteHeaderAs(object, "To", FormatMailboxes(content.to, 2));
    WriteHeaderAs(object, "Subject", FormatUnstructured(content.subject, 7));

    GMimeFormatOptions* options = g_mime_format_options_clone(nullptr);
    g_mime_format_options_set_newline_format(options, GMIME_NEWLINE_FORMAT_DOS);
    char* text = g_mime_object_to_string(GMIME_OBJECT(message.get()), options);
    g_mime_format_options_free(options);
    std::string result(text ? text : "");
    g_free(text);
    return result;
}

std::string MediaTypeForFileName(const std::string& fileName) {
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 32> kTypes{{
        {"txt", "text/plain"},
        {"log", "text/plain"},
        {"csv", "text/csv"},
        {"htm", "text/html"},
        {"html", "text/html"},
        {"xml", "application/xml"},
        {"json", "application/json"},
        {"pdf", "application/pdf"},
        {"zip", "application/zip"},
        {"gz", "application/gzip"},
        {"7z", "application/x-7z-compressed"},
        {"tar", "application/x-tar"},
        {"doc", "application/msword"},
        {"xls", "application/vnd.ms-excel"},
        {"ppt", "application/vnd.ms-powerpoint"},
        {"docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
        {"xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
        {"pptx", "application/vnd.openxmlformats-officedocument.presentationml.presentation"},
        {"odt", "application/vnd.oasis.opendocument.text"},
        {"rtf", "application/rtf"},
        {"ics", "text/calendar"},
        {"png", "image/png"},
        {"jpg", "image/jpeg"},
        {"jpeg", "image/jpeg"},
        {"gif", "image/gif"},
        {"bmp", "image/bmp"},
        {"svg", "image/svg+xml"},
        {"webp", "image/webp"},
        {"mp3", "audio/mpeg"},
        {"wav", "audio/wav"},
        {"mp4", "video/mp4"},
        {"ico", "image/vnd.microsoft.icon"},
    }};
    const size_t dot = fileName.rfind('.');
    if (dot == std::string::npos) {
        return "application/octet-stream";
    }
    const std::string extension = AsciiLowerCopy(std::string_view(fileName).substr(dot + 1));
    for (const auto& [known, type] : kTypes) {
        if (extension == known) {
            return std::string(type);
        }
    }
    return "application/octet-stream";
}

}  // namespace relvo::mail
