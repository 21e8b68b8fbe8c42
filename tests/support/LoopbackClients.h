// Test clients for servers on 127.0.0.1: one raw HTTP exchange, and a WebSocket client that
// speaks through the wire library (masked frames out, any frames in).
#pragma once

#include "platform/wire/HttpRequest.h"
#include "platform/wire/WebSocket.h"

#include <juce_core/juce_core.h>

#include <memory>
#include <optional>
#include <string>

namespace quorvelle::test
{
// Sends `request` as it is and collects everything until the server closes (or `timeoutMs`).
inline std::string httpExchange (int port, const std::string& request, int timeoutMs = 10000)
{
    juce::StreamingSocket socket;
    if (! socket.connect ("127.0.0.1", port, 2000))
        return {};
    if (! platform::wire::writeAll (socket, request, nullptr))
        return {};
    std::string answer;
    const auto deadline = juce::Time::getMillisecondCounterHiRes() + timeoutMs;
    char buffer[65536];
    while (juce::Time::getMillisecondCounterHiRes() < deadline)
    {
        const auto ready = socket.waitUntilReady (true, 50);
        if (ready < 0)
            break;
        if (ready == 0)
            continue;
        const auto got = socket.read (buffer, (int) sizeof (buffer), false);
        if (got <= 0)
            break;
        answer.append (buffer, (size_t) got);
    }
    return answer;
}

inline std::string getRequest (const std::string& target, const std::string& extraHeaders = {})
{
    return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extraHeaders + "\r\n";
}

class WsTestClient
{
public:
    struct Received
    {
        platform::wire::WebSocketReader::Outcome outcome;
        std::string payload;
    };

    static std::string defaultHeaders (const std::string& version = "13")
    {
        return "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
               + (version.empty() ? std::string() : "Sec-WebSocket-Version: " + version + "\r\n");
    }

    // Opens the connection and sends the upgrade request; returns the answer's status code (0 when
    // no answer came).
    int open (int port, const std::string& target, const std::string& headers = defaultHeaders())
    {
        socket = std::make_unique<juce::StreamingSocket>();
        if (! socket->connect ("127.0.0.1", port, 2000))
            return 0;
        if (! platform::wire::writeAll (*socket, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers + "\r\n", nullptr))
            return 0;
        responseHead.clear();
        while (responseHead.find ("\r\n\r\n") == std::string::npos)
        {
            char c;
            if (platform::wire::readExactly (*socket, &c, 1, nullptr, 10000) != platform::wire::ReadResult::complete)
                break;
            responseHead += c;
        }
        reader = std::make_unique<platform::wire::WebSocketReader> (*socket, (size_t) 1 << 30, 10000);
        return responseHead.size() > 12 ? std::atoi (responseHead.substr (9, 3).c_str()) : 0;
    }

    bool sendRaw (const std::string& bytes) { return platform::wire::writeAll (*socket, bytes, nullptr); }

    bool send (const std::string& text, int opcode = platform::wire::opcode::text)
    {
        static const uint8_t mask[4] = { 0x12, 0x34, 0x56, 0x78 };
        return sendRaw (platform::wire::encodeFrame (opcode, text, mask));
    }

    // The next frame within `timeoutMs`; `ended` when nothing came or the server closed.
    Received next (int timeoutMs = 10000)
    {
        const auto ready = socket->waitUntilReady (true, timeoutMs);
        if (ready <= 0)
            return { platform::wire::WebSocketReader::Outcome::ended, {} };
        Received received { {}, {} };
        received.outcome = reader->readNext (received.payload, nullptr);
        return received;
    }

    // The next text message, skipping heartbeats; empty when the link ended first.
    std::optional<std::string> nextText (int timeoutMs = 10000, bool skipHeartbeats = true)
    {
        for (;;)
        {
            auto received = next (timeoutMs);
            if (received.outcome != platform::wire::WebSocketReader::Outcome::message)
                return std::nullopt;
            if (skipHeartbeats && received.payload == "{\"type\":\"HEARTBEAT\"}")
                continue;
            return received.payload;
        }
    }

    // True once the server has closed the TCP connection (frames still waiting are read and dropped).
    bool waitUntilClosed (int timeoutMs = 10000)
    {
        const auto deadline = juce::Time::getMillisecondCounterHiRes() + timeoutMs;
        char buffer[4096];
        while (juce::Time::getMillisecondCounterHiRes() < deadline)
        {
            const auto ready = socket->waitUntilReady (true, 50);
            if (ready < 0)
                return true;
            if (ready > 0 && socket->read (buffer, (int) sizeof (buffer), false) <= 0)
                return true;
        }
        return false;
    }

    void close() { socket->close(); }

    std::string responseHead;
    std::unique_ptr<juce::StreamingSocket> socket;

private:
    std::unique_ptr<platform::wire::WebSocketReader> reader;
};
} // namespace quorvelle::test
