#include "platform/wire/WebSocket.h"

#include "platform/wire/Sha1.h"

namespace quorvelle::platform::wire
{
std::string computeWebSocketAccept (std::string_view key)
{
    std::string text (key);
    text += "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    const auto digest = sha1 (text.data(), text.size());
    return juce::Base64::toBase64 (digest.data(), digest.size()).toStdString();
}

std::string emptyAnswer (std::string_view statusLine, const std::vector<std::string>& extraHeaderLines)
{
    std::string answer (statusLine);
    answer += "\r\n";
    for (const auto& line : extraHeaderLines)
        answer += line + "\r\n";
    return answer + "Content-Length: 0\r\nConnection: close\r\n\r\n";
}

std::optional<std::string> refuseHandshake (const HttpRequest& request, const std::vector<std::string>& extraHeaderLines)
{
    const auto key = request.header ("Sec-WebSocket-Key");
    const auto version = request.header ("Sec-WebSocket-Version");
    if (request.method != "GET" || ! request.headerHasToken ("Upgrade", "websocket") || ! request.headerHasToken ("Connection", "upgrade")
        || ! key.has_value() || key->empty() || ! version.has_value())
        return emptyAnswer ("HTTP/1.1 400 Bad Request", extraHeaderLines);
    if (*version != "13")
    {
        auto lines = extraHeaderLines;
        lines.insert (lines.begin(), "Sec-WebSocket-Version: 13");
        return emptyAnswer ("HTTP/1.1 426 Upgrade Required", lines);
    }
    return std::nullopt;
}

std::string acceptHandshake (const HttpRequest& request)
{
    return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Accept: "
           + computeWebSocketAccept (request.header ("Sec-WebSocket-Key").value_or ("")) + "\r\n\r\n";
}

std::string encodeFrame (int frameOpcode, std::string_view payload, const uint8_t* maskKey)
{
    std::string frame;
    frame.reserve (payload.size() + 14);
    frame += (char) (0x80 | (frameOpcode & 0x0f));
    const auto maskBit = maskKey != nullptr ? 0x80 : 0;
    const auto size = (uint64_t) payload.size();
    if (size <= 125)
        frame += (char) (maskBit | (int) size);
    else if (size <= 65535)
    {
        frame += (char) (maskBit | 126);
        frame += (char) (size >> 8);
        frame += (char) size;
    }
    else
    {
        frame += (char) (maskBit | 127);
        for (int shift = 56; shift >= 0; shift -= 8)
            frame += (char) (size >> shift);
    }

    if (maskKey == nullptr)
    {
        frame.append (payload);
        return frame;
    }
    frame.append ((const char*) maskKey, 4);
    const auto start = frame.size();
    frame.append (payload);
    for (size_t i = 0; i < payload.size(); ++i)
        frame[start + i] = (char) (frame[start + i] ^ (char) maskKey[i % 4]);
    return frame;
}

std::string encodeCloseFrame (uint16_t code)
{
    const char body[2] = { (char) (code >> 8), (char) (code & 0xff) };
    return encodeFrame (opcode::close, std::string_view (body, 2));
}

WebSocketReader::WebSocketReader (juce::StreamingSocket& s, size_t maxBytes, int timeoutMs)
    : socket (s), maxMessageBytes (maxBytes), frameTimeoutMs (timeoutMs)
{
}

WebSocketReader::Outcome WebSocketReader::readNext (std::string& payload, const ShouldStop& shouldStop)
{
    // Once the first byte is here, the whole frame must follow within one time limit.
    const auto deadlineMs = juce::Time::getMillisecondCounterHiRes() + frameTimeoutMs;
    const auto read = [&] (void* destination, size_t size)
    {
        const auto leftMs = (int) std::max (1.0, deadlineMs - juce::Time::getMillisecondCounterHiRes());
        return readExactly (socket, destination, size, shouldStop, leftMs) == ReadResult::complete;
    };

    uint8_t header[2];
    if (! read (header, 2))
        return Outcome::ended;

    const bool fin = (header[0] & 0x80) != 0;
    const int frameOpcode = header[0] & 0x0f;
    const bool masked = (header[1] & 0x80) != 0;
    uint64_t length = header[1] & 0x7f;
    if (length >= 126)
    {
        uint8_t extended[8];
        const size_t count = length == 126 ? 2 : 8;
        if (! read (extended, count))
            return Outcome::ended;
        length = 0;
        for (size_t i = 0; i < count; ++i)
            length = (length << 8) | extended[i];
    }

    const bool isControl = (frameOpcode & 0x08) != 0;
    if (isControl && (length > 125 || ! fin))
        return Outcome::protocolError;
    if (! isControl)
    {
        if ((frameOpcode == opcode::continuation) != inMessage)
            return Outcome::protocolError;
        if (length > maxMessageBytes || partial.size() + length > maxMessageBytes)
            return Outcome::tooLarge;
    }

    uint8_t maskKey[4] = {};
    if (masked && ! read (maskKey, 4))
        return Outcome::ended;

    std::string body ((size_t) length, '\0');
    if (length > 0 && ! read (body.data(), body.size()))
        return Outcome::ended;
    if (masked)
        for (size_t i = 0; i < body.size(); ++i)
            body[i] = (char) (body[i] ^ (char) maskKey[i % 4]);

    if (isControl)
    {
        payload = std::move (body);
        if (frameOpcode == opcode::close)
            return Outcome::close;
        if (frameOpcode == opcode::ping)
            return Outcome::ping;
        return Outcome::pong;
    }

    partial += body;
    inMessage = ! fin;
    if (! fin)
        return Outcome::fragment;
    payload = std::move (partial);
    partial.clear();
    return Outcome::message;
}
bool endsLink (WebSocketReader::Outcome outcome)
{
    using Outcome = WebSocketReader::Outcome;
    return outcome == Outcome::close || outcome == Outcome::ended || outcome == Outcome::tooLarge || outcome == Outcome::protocolError;
}

std::optional<std::string> closeFrameAnswering (WebSocketReader::Outcome outcome, std::string_view payload)
{
    using Outcome = WebSocketReader::Outcome;
    if (outcome == Outcome::close)
        return encodeFrame (opcode::close, payload.substr (0, 2));
    if (outcome == Outcome::tooLarge)
        return encodeCloseFrame (closeCode::tooBig);
    if (outcome == Outcome::protocolError)
        return encodeCloseFrame (closeCode::protocolError);
    return std::nullopt;
}
} // namespace quorvelle::platform::wire
