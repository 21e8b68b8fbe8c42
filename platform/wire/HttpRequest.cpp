#include "platform/wire/HttpRequest.h"

namespace quorvelle::platform::wire
{
namespace
{
char lowerAscii (char c)
{
    return (c >= 'A' && c <= 'Z') ? (char) (c - 'A' + 'a') : c;
}

std::string_view trimmed (std::string_view text)
{
    const auto isSpace = [] (char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (! text.empty() && isSpace (text.front()))
        text.remove_prefix (1);
    while (! text.empty() && isSpace (text.back()))
        text.remove_suffix (1);
    return text;
}

int hexValue (char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}
} // namespace

std::optional<std::string> readRequestHead (juce::StreamingSocket& socket, const RequestReadLimits& limits, const ShouldStop& shouldStop)
{
    std::string text;
    std::vector<char> chunk ((size_t) limits.chunkBytes);

    for (int pass = 0; pass < limits.passes; ++pass)
    {
        if (shouldStop != nullptr && shouldStop())
            return std::nullopt;
        if (! socket.isConnected())
            break;

        const auto ready = socket.waitUntilReady (true, limits.passMs);
        if (ready < 0)
            return std::nullopt;
        if (ready == 0)
            continue;

        const auto got = socket.read (chunk.data(), limits.chunkBytes, false);
        if (got < 0)
            return std::nullopt;
        if (got == 0) // readable with nothing to read: the peer closed
            break;
        text.append (chunk.data(), (size_t) got);
        if (text.find ("\r\n\r\n") != std::string::npos || text.size() > limits.maxBytes)
            break;
    }
    return text;
}

std::optional<std::string> HttpRequest::header (std::string_view name) const
{
    for (auto it = headers.rbegin(); it != headers.rend(); ++it)
        if (equalsIgnoringAsciiCase (it->first, name))
            return it->second;
    return std::nullopt;
}

bool HttpRequest::headerHasToken (std::string_view name, std::string_view token) const
{
    const auto value = header (name);
    if (! value)
        return false;
    std::string_view rest (*value);
    while (! rest.empty())
    {
        const auto comma = rest.find (',');
        if (equalsIgnoringAsciiCase (trimmed (rest.substr (0, comma)), token))
            return true;
        if (comma == std::string_view::npos)
            break;
        rest.remove_prefix (comma + 1);
    }
    return false;
}

HttpRequest parseRequestHead (std::string_view text)
{
    HttpRequest request;
    const auto lineEnd = text.find ("\r\n");
    const auto requestLine = text.substr (0, lineEnd);

    const auto firstSpace = requestLine.find (' ');
    request.method = std::string (requestLine.substr (0, firstSpace));
    if (firstSpace != std::string_view::npos)
    {
        const auto afterMethod = requestLine.substr (firstSpace + 1);
        const auto secondSpace = afterMethod.find (' ');
        request.target = std::string (afterMethod.substr (0, secondSpace));
        if (secondSpace != std::string_view::npos)
            request.version = std::string (trimmed (afterMethod.substr (secondSpace + 1)));
    }

    const auto question = request.target.find ('?');
    request.path = request.target.substr (0, question);
    if (question != std::string::npos)
        request.query = request.target.substr (question + 1);

    if (lineEnd == std::string_view::npos)
        return request;

    auto rest = text.substr (lineEnd + 2);
    while (! rest.empty())
    {
        const auto end = rest.find ('\n');
        auto line = rest.substr (0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr (end + 1);
        if (! line.empty() && line.back() == '\r')
            line.remove_suffix (1);
        if (line.empty())
            break;
        const auto colon = line.find (':');
        if (colon == std::string_view::npos)
            continue;
        request.headers.emplace_back (std::string (line.substr (0, colon)), std::string (trimmed (line.substr (colon + 1))));
    }
    return request;
}

std::optional<std::string> queryParameter (std::string_view query, std::string_view name)
{
    std::optional<std::string> found;
    while (! query.empty())
    {
        const auto amp = query.find ('&');
        const auto part = query.substr (0, amp);
        const auto equals = part.find ('=');
        if (equals != std::string_view::npos && part.substr (0, equals) == name)
            found = std::string (part.substr (equals + 1));
        if (amp == std::string_view::npos)
            break;
        query.remove_prefix (amp + 1);
    }
    return found;
}

std::string urlDecode (std::string_view text, bool plusAsSpace)
{
    std::string decoded;
    decoded.reserve (text.size());
    for (size_t i = 0; i < text.size(); ++i)
    {
        const auto c = text[i];
        if (c == '+' && plusAsSpace)
            decoded += ' ';
        else if (c == '%' && i + 2 < text.size() && hexValue (text[i + 1]) >= 0 && hexValue (text[i + 2]) >= 0)
        {
            decoded += (char) (hexValue (text[i + 1]) * 16 + hexValue (text[i + 2]));
            i += 2;
        }
        else
            decoded += c;
    }
    return decoded;
}

bool equalsIgnoringAsciiCase (std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lowerAscii (a[i]) != lowerAscii (b[i]))
            return false;
    return true;
}

bool constantTimeEquals (std::string_view presented, std::string_view expected)
{
    if (presented.empty() || expected.empty() || presented.size() != expected.size())
        return false;
    unsigned char difference = 0;
    for (size_t i = 0; i < expected.size(); ++i)
        difference |= (unsigned char) (presented[i] ^ expected[i]);
    return difference == 0;
}
} // namespace quorvelle::platform::wire
