#include "platform/wire/HttpRequest.h"
#include "platform/wire/Sha1.h"
#include "platform/wire/WebSocket.h"

#include <gtest/gtest.h>

#include <thread>

using namespace quorvelle::platform::wire;

namespace
{
std::string hex (const std::array<uint8_t, 20>& digest)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (auto byte : digest)
        text += { digits[byte >> 4], digits[byte & 15] };
    return text;
}

// Two connected sockets on 127.0.0.1.
struct SocketPair
{
    SocketPair()
    {
        juce::StreamingSocket listener;
        EXPECT_TRUE (listener.createListener (0, "127.0.0.1"));
        EXPECT_TRUE (client.connect ("127.0.0.1", listener.getBoundPort(), 2000));
        server.reset (listener.waitForNextConnection());
        EXPECT_NE (server, nullptr);
    }

    juce::StreamingSocket client;
    std::unique_ptr<juce::StreamingSocket> server;
};

const uint8_t testMask[4] = { 0xa1, 0x02, 0xf3, 0x44 };
} // namespace

TEST (Sha1, MatchesTheStandardVectorsAcrossBlockBoundaries)
{
    const struct { std::string input, digest; } cases[] = {
        { "", "da39a3ee5e6b4b0d3255bfef95601890afd80709" },
        { "abc", "a9993e364706816aba3e25717850c26c9cd0d89d" },
        { "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "84983e441c3bd26ebaae4aa1f95129e5e54670f1" }, // 56 bytes: a second padding block
        { std::string (64, 'a'), "0098ba824b5c16427bd7a1122a5a442a25ec644d" },
        { std::string (1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f" },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.input.substr (0, 60));
        EXPECT_EQ (hex (sha1 (c.input.data(), c.input.size())), c.digest);
    }
}

TEST (WebSocketHandshake, AcceptValueOfTheRfcExample)
{
    EXPECT_EQ (computeWebSocketAccept ("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

TEST (WebSocketFrames, OutgoingLengthForms)
{
    const struct { size_t size; size_t headerSize; uint8_t lengthByte; } cases[] = {
        { 0, 2, 0 }, { 125, 2, 125 }, { 126, 4, 126 }, { 65535, 4, 126 }, { 65536, 10, 127 },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.size);
        const auto frame = encodeFrame (opcode::text, std::string (c.size, 'x'));
        ASSERT_EQ (frame.size(), c.headerSize + c.size);
        EXPECT_EQ ((uint8_t) frame[0], 0x81);
        EXPECT_EQ ((uint8_t) frame[1], c.lengthByte);
        uint64_t announced = 0;
        for (size_t i = 2; i < c.headerSize; ++i)
            announced = (announced << 8) | (uint8_t) frame[i];
        if (c.headerSize > 2)
        {
            EXPECT_EQ (announced, c.size);
        }
    }
    EXPECT_EQ (encodeCloseFrame (1009), std::string ("\x88\x02\x03\xf1", 4));
}

TEST (WebSocketReader, ReadsMaskedAndUnmaskedFramesOfEveryLengthForm)
{
    SocketPair pair;
    WebSocketReader reader (*pair.server, 1048576, 10000);
    for (size_t size : { (size_t) 1, (size_t) 125, (size_t) 126, (size_t) 65536, (size_t) 1048576 })
        for (bool masked : { true, false })
        {
            SCOPED_TRACE (testing::Message() << size << (masked ? " masked" : " unmasked"));
            std::string text (size, '\0');
            for (size_t i = 0; i < size; ++i)
                text[i] = (char) ('a' + i % 26);
            std::thread writer ([&] { writeAll (pair.client, encodeFrame (opcode::text, text, masked ? testMask : nullptr), nullptr); });
            std::string payload;
            EXPECT_EQ (reader.readNext (payload, nullptr), WebSocketReader::Outcome::message);
            writer.join();
            EXPECT_EQ (payload, text);
        }
}

TEST (WebSocketReader, JoinsFragmentsAroundControlFrames)
{
    SocketPair pair;
    WebSocketReader reader (*pair.server, 1048576, 10000);
    const auto fragment = [] (int op, bool fin, std::string_view text)
    {
        auto frame = encodeFrame (op, text, testMask);
        if (! fin)
            frame[0] = (char) (frame[0] & 0x7f);
        return frame;
    };
    writeAll (pair.client, fragment (opcode::text, false, "{\"type\":") + fragment (opcode::ping, true, "hi") + fragment (opcode::continuation, false, "\"IDEN")
                               + fragment (opcode::continuation, true, "TIFY\"}") + encodeFrame (opcode::text, "", testMask),
              nullptr);

    std::string payload;
    using Outcome = WebSocketReader::Outcome;
    EXPECT_EQ (reader.readNext (payload, nullptr), Outcome::fragment);
    EXPECT_EQ (reader.readNext (payload, nullptr), Outcome::ping);
    EXPECT_EQ (payload, "hi");
    EXPECT_EQ (reader.readNext (payload, nullptr), Outcome::fragment);
    EXPECT_EQ (reader.readNext (payload, nullptr), Outcome::message);
    EXPECT_EQ (payload, "{\"type\":\"IDENTIFY\"}");
    EXPECT_EQ (reader.readNext (payload, nullptr), Outcome::message); // an empty message is a message
    EXPECT_EQ (payload, "");
}

TEST (WebSocketReader, RefusesOversizedAndMalformedFrames)
{
    using Outcome = WebSocketReader::Outcome;
    const auto unfinished = [] (std::string frame)
    {
        frame[0] = (char) (frame[0] & 0x7f);
        return frame;
    };
    const struct { const char* name; std::string bytes; Outcome expected; } cases[] = {
        { "frame over the cap", encodeFrame (opcode::text, std::string (1048577, 'x'), testMask).substr (0, 14), Outcome::tooLarge },
        { "message growing over the cap", unfinished (encodeFrame (opcode::text, std::string (1048000, 'x'))) + encodeFrame (opcode::continuation, std::string (1000, 'x')).substr (0, 4), Outcome::tooLarge },
        { "ping over 125 bytes", encodeFrame (opcode::ping, std::string (126, 'x'), testMask), Outcome::protocolError },
        { "fragmented ping", unfinished (encodeFrame (opcode::ping, "x", testMask)), Outcome::protocolError },
        { "continuation with nothing to continue", encodeFrame (opcode::continuation, "x", testMask), Outcome::protocolError },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        SocketPair pair;
        WebSocketReader reader (*pair.server, 1048576, 10000);
        std::thread writer ([&] { writeAll (pair.client, c.bytes, nullptr); });
        std::string payload;
        auto outcome = reader.readNext (payload, nullptr);
        if (outcome == Outcome::fragment)
            outcome = reader.readNext (payload, nullptr);
        writer.join();
        EXPECT_EQ (outcome, c.expected);
    }
}

TEST (WebSocketReader, AFrameThatStopsHalfWayEndsTheLinkAtItsTimeLimit)
{
    SocketPair pair;
    WebSocketReader reader (*pair.server, 1048576, 300);
    const auto frame = encodeFrame (opcode::text, "hello there", testMask);
    writeAll (pair.client, frame.substr (0, 7), nullptr);
    std::string payload = "untouched";
    EXPECT_EQ (reader.readNext (payload, nullptr), WebSocketReader::Outcome::ended);
    EXPECT_EQ (payload, "untouched");
}

TEST (SocketIo, WriteAllSendsEveryByteToASlowReaderAndGivesUpOnAStalledOne)
{
    SocketPair pair;
    std::string big (9 * 1024 * 1024, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = (char) (i * 7 + i / 4096);

    std::string received;
    std::thread reader ([&]
    {
        std::vector<char> buffer (4096);
        while (received.size() < big.size())
        {
            if (pair.client.waitUntilReady (true, 1000) <= 0)
                break;
            const auto got = pair.client.read (buffer.data(), (int) buffer.size(), false);
            if (got <= 0)
                break;
            received.append (buffer.data(), (size_t) got);
        }
    });
    EXPECT_TRUE (writeAll (*pair.server, big, nullptr));
    reader.join();
    EXPECT_TRUE (received == big);

    // Nobody reads now: the buffers fill, and the write gives up once nothing moves for its limit.
    EXPECT_FALSE (writeAll (*pair.server, big, nullptr, 300));

    bool stopAsked = true;
    EXPECT_FALSE (writeAll (*pair.server, "x", [&] { return stopAsked; }));
}

TEST (HttpRequest, ParsesTheRequestLineHeadersAndQuery)
{
    const auto request = parseRequestHead ("GET /a/b.js?token=AB%43&name=J+P%C3%A9rez&token=Z HTTP/1.1\r\nHost: 127.0.0.1:9\r\n"
                                           "sec-websocket-key:  k1 \r\nSec-WebSocket-Key: k2\r\nConnection: keep-alive, Upgrade\r\nbroken line\r\n\r\n");
    EXPECT_EQ (request.method, "GET");
    EXPECT_EQ (request.target, "/a/b.js?token=AB%43&name=J+P%C3%A9rez&token=Z");
    EXPECT_EQ (request.path, "/a/b.js");
    EXPECT_EQ (request.version, "HTTP/1.1");
    EXPECT_EQ (request.header ("SEC-WEBSOCKET-KEY"), "k2");
    EXPECT_EQ (request.header ("host"), "127.0.0.1:9");
    EXPECT_FALSE (request.header ("Origin").has_value());
    EXPECT_TRUE (request.headerHasToken ("Connection", "upgrade"));
    EXPECT_FALSE (request.headerHasToken ("Connection", "upgra"));
    EXPECT_EQ (queryParameter (request.query, "token"), "Z");
    EXPECT_EQ (urlDecode (*queryParameter (request.query, "name"), true), "J P\xc3\xa9rez");
    EXPECT_FALSE (queryParameter (request.query, "Token").has_value());

    const struct { const char* text; const char* target; } lines[] = {
        { "GET", "" }, { "GET /x", "/x" }, { "GET /y HTTP/1.1", "/y" }, { "GET  /z", "" },
    };
    for (const auto& line : lines)
    {
        SCOPED_TRACE (line.text);
        EXPECT_EQ (parseRequestHead (line.text).target, line.target);
    }
}

TEST (HttpRequest, UrlDecodingAndConstantTimeComparison)
{
    EXPECT_EQ (urlDecode ("a%20b+c", false), "a b+c");
    EXPECT_EQ (urlDecode ("a%20b+c", true), "a b c");
    EXPECT_EQ (urlDecode ("100%", true), "100%");
    EXPECT_EQ (urlDecode ("%4", true), "%4");
    EXPECT_EQ (urlDecode ("%zz%41", true), "%zzA");
    EXPECT_TRUE (constantTimeEquals ("ABC234", "ABC234"));
    EXPECT_FALSE (constantTimeEquals ("abc234", "ABC234"));
    EXPECT_FALSE (constantTimeEquals ("ABC23", "ABC234"));
    EXPECT_FALSE (constantTimeEquals ("", ""));
}

TEST (HttpRequest, ReadsAHeadInPiecesAndStopsAtItsEnd)
{
    SocketPair pair;
    std::thread writer ([&]
    {
        writeAll (pair.client, "GET / HTTP/1.1\r\nHost: x\r\n", nullptr);
        juce::Thread::sleep (100);
        writeAll (pair.client, "\r\n", nullptr);
    });
    const auto head = readRequestHead (*pair.server, {}, nullptr);
    writer.join();
    ASSERT_TRUE (head.has_value());
    EXPECT_EQ (*head, "GET / HTTP/1.1\r\nHost: x\r\n\r\n");

    SocketPair silent;
    const auto nothing = readRequestHead (*silent.server, { 3, 20, 2047, 8192 }, nullptr);
    ASSERT_TRUE (nothing.has_value());
    EXPECT_TRUE (nothing->empty());
}

TEST (SecureRandom, FillsEveryByte)
{
    std::array<uint8_t, 4096> bytes {};
    ASSERT_TRUE (fillSecureRandom (bytes.data(), bytes.size()));
    int zeros = 0;
    for (auto b : bytes)
        zeros += b == 0;
    EXPECT_LT (zeros, 64); // about 16 expected; all zeros would mean nothing was written
}
