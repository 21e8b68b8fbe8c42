#pragma once

#include "platform/wire/HttpRequest.h"
#include "platform/wire/SocketIo.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace quorvelle::platform::wire
{
namespace opcode
{
constexpr int continuation = 0, text = 1, binary = 2, close = 8, ping = 9, pong = 10;
}

namespace closeCode
{
constexpr uint16_t normal = 1000, protocolError = 1002, policyViolation = 1008, tooBig = 1009;
}

// The handshake's Sec-WebSocket-Accept value: Base64 of the SHA-1 of the key and the fixed GUID.
std::string computeWebSocketAccept (std::string_view key);

// Checks an upgrade request: GET, Upgrade "websocket", Connection holding "upgrade" and a key, then
// version 13. The answer to send when it fails ("400 Bad Request", or "426 Upgrade Required" with
// the version we speak), or nothing when the upgrade may go ahead.
std::optional<std::string> refuseHandshake (const HttpRequest& request, const std::vector<std::string>& extraHeaderLines = {});

// The 101 answer for an accepted upgrade request.
std::string acceptHandshake (const HttpRequest& request);

// A header-only answer: the status line, the extra lines, "Content-Length: 0", "Connection: close".
std::string emptyAnswer (std::string_view statusLine, const std::vector<std::string>& extraHeaderLines = {});

// One whole frame (FIN set) with the shortest length form. Unmasked unless a masking key is given
// (clients mask, servers do not).
std::string encodeFrame (int frameOpcode, std::string_view payload, const uint8_t* maskKey = nullptr);
std::string encodeCloseFrame (uint16_t code);

// Reads frames from one socket and joins fragmented messages. The owner of the socket's I/O calls
// `readNext` once data is waiting; the rest of a frame must then arrive within `frameTimeoutMs`,
// or the link counts as ended and nothing partial is delivered. Masked and unmasked frames are
// both accepted; reserved bits are ignored; binary messages are delivered like text.
class WebSocketReader
{
public:
    enum class Outcome
    {
        message,       // a whole data message (possibly empty) is in `payload`
        fragment,      // part of a message was stored; nothing to deliver yet
        ping,          // `payload` holds the ping's data: answer with a pong
        pong,
        close,         // the peer's close frame; `payload` holds its body
        ended,         // the peer closed, a read failed, the frame did not complete in time, or a stop
        tooLarge,      // a frame or a joined message over the cap; its payload was not read (close 1009)
        protocolError  // a control frame over 125 bytes or fragmented, or a stray continuation (close 1002)
    };

    WebSocketReader (juce::StreamingSocket& socket, size_t maxMessageBytes, int frameTimeoutMs);

    Outcome readNext (std::string& payload, const ShouldStop& shouldStop);

private:
    juce::StreamingSocket& socket;
    const size_t maxMessageBytes;
    const int frameTimeoutMs;
    std::string partial;
    bool inMessage = false;
};
// True for the outcomes after which a server ends the link (close, ended, tooLarge, protocolError).
bool endsLink (WebSocketReader::Outcome outcome);

// The close frame a server sends before ending the link: the peer's own status code echoed after
// its close, 1009 or 1002 for a refused frame, nothing when the connection is already gone.
std::optional<std::string> closeFrameAnswering (WebSocketReader::Outcome outcome, std::string_view payload);
} // namespace quorvelle::platform::wire
