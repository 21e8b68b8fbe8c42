#pragma once

#include "platform/wire/SocketIo.h"

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorvelle::platform::wire
{
// How long and how much a request head may take; each server keeps its own caps.
struct RequestReadLimits
{
    int passes = 10;         // waits for data, at most
    int passMs = 200;        // each wait; a pass counts this long whether or not it waited
    int chunkBytes = 2047;   // bytes taken per read
    size_t maxBytes = 8192;  // reading stops once the text is longer than this
};

// Reads a request head: until CR LF CR LF arrives, the text grows past `maxBytes`, or the passes
// run out. Nothing when `shouldStop` said so or a read failed; the text (possibly empty, possibly
// cut) otherwise.
std::optional<std::string> readRequestHead (juce::StreamingSocket& socket, const RequestReadLimits& limits, const ShouldStop& shouldStop);

// One parsed request head. Byte strings; nothing is decoded.
struct HttpRequest
{
    std::string method;
    std::string target; // the second word of the request line
    std::string path;   // the target before its first "?"
    std::string query;  // the target after its first "?"
    std::string version;
    std::vector<std::pair<std::string, std::string>> headers; // names as sent, values trimmed

    // The value of the last header of that name (ASCII case ignored).
    std::optional<std::string> header (std::string_view name) const;
    // True when the header's value is a comma-separated list holding `token` (ASCII case ignored).
    bool headerHasToken (std::string_view name, std::string_view token) const;
};

// Request line and headers. The target is the text between the first and second space (all of
// the rest when there is no second one; empty when there is no space at all).
HttpRequest parseRequestHead (std::string_view text);

// The raw value of the last query parameter `name` (case-sensitive): the text after its first "=".
std::optional<std::string> queryParameter (std::string_view query, std::string_view name);

// %XX escapes to bytes, and "+" to a space when asked. A "%" not followed by two hex digits stays.
std::string urlDecode (std::string_view text, bool plusAsSpace);

bool equalsIgnoringAsciiCase (std::string_view a, std::string_view b);

// Compares two byte strings in a time that depends only on their lengths. Empty never matches.
bool constantTimeEquals (std::string_view presented, std::string_view expected);
} // namespace quorvelle::platform::wire
