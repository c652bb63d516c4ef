// Two independent readings of a stored message for the builder's tests: Python's email package
// (default policy, run as /usr/bin/python3) and GMime's parser.
#pragma once

#include <string>
#include <utility>
#include <vector>

struct ReadAttachment {
    std::string fileName;
    std::string mediaType;
    std::string bytes;
};

// What a reader found in one message.
struct ReadMessage {
    std::string subject;
    std::pair<std::string, std::string> from;             // display name, address
    std::vector<std::pair<std::string, std::string>> to;  // display name, address
    std::string bodyCharset;
    std::string body;  // decoded text, UTF-8
    std::vector<ReadAttachment> attachments;
    // Python only:
    std::vector<std::string> defects;
    std::vector<std::string> headerNames;
    std::string mimeVersion;
    std::string messageId;
    std::string bodyEncoding;
    bool hasDate = false;
    size_t longestHeaderLine = 0;
    size_t longestLine = 0;
    size_t bareLineFeeds = 0;
};

// One reading per path, in order; an empty list when the reader could not run.
std::vector<ReadMessage> ReadWithPython(const std::vector<std::string>& paths);
ReadMessage ReadWithGMime(const std::string& path);
