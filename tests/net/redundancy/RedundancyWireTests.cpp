#include "net/redundancy/RedundancyWire.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace quorvelle::redundancy
{
namespace
{
uint32_t zeroHash (const void*, size_t) { return 0; }

uint32_t u32At (const uint8_t* p) { return (uint32_t) p[0] | ((uint32_t) p[1] << 8) | ((uint32_t) p[2] << 16) | ((uint32_t) p[3] << 24); }

const juce::String longId = "0123456789abcdef0123456789abcdef0123"; // 36 characters
} // namespace

TEST (RedundancyAuth, HashesThePinAndKeepsZeroForNoPin)
{
    // Published FNV-1a 32-bit vectors.
    const struct { const char* text; uint32_t hash; } vectors[] = {
        { "", 0x811C9DC5u }, { "a", 0xE40C292Cu }, { "foobar", 0xBF9CF968u },
    };
    for (const auto& v : vectors)
    {
        SCOPED_TRACE (v.text);
        EXPECT_EQ (fnv1a32 (v.text, std::strlen (v.text)), v.hash);
    }
    EXPECT_EQ (authFromPin ({}), 0u);
    EXPECT_EQ (authFromPin ("foobar"), 0xBF9CF968u);
    // UTF-8 bytes, not UTF-16 units.
    const auto pin = juce::String::fromUTF8 ("\xc3\xb1");
    EXPECT_EQ (authFromPin (pin), fnv1a32 ("\xc3\xb1", 2));
    EXPECT_EQ (authFromPin ("1234", zeroHash), 0x51564842u);
    EXPECT_EQ (authFromPin ({}, zeroHash), 0u);
}

TEST (RedundancyElection, FirstMatchingRuleDecides)
{
    const juce::String low = "aaaa", high = "bbbb";
    const struct { const char* rule; const char* preference; int current, peer; juce::String own, other; int expected; } cases[] = {
        { "a", "primary", standby, primary, high, low, primary },
        { "b", "standby", primary, standby, low, high, standby },
        { "case counts", "Primary", solo, solo, high, low, standby },
        { "c lower", "auto", primary, primary, low, high, primary },
        { "c higher", "auto", primary, primary, high, low, standby },
        { "c equal ids", "auto", primary, primary, low, low, standby },
        { "d", "auto", solo, primary, low, high, standby },
        { "d from standby", "auto", standby, primary, low, high, standby },
        { "e", "auto", primary, solo, high, low, primary },
        { "e over a standby peer", "auto", primary, standby, high, low, primary },
        { "f", "auto", solo, standby, high, low, primary },
        { "g lower", "auto", solo, solo, low, high, primary },
        { "g higher", "auto", solo, solo, high, low, standby },
        { "g equal", "auto", solo, solo, low, low, standby },
        { "g own id empty", "", solo, solo, "", low, primary },
        { "g peer id empty", "", solo, solo, low, "", standby },
        { "g own id a prefix", "auto", solo, solo, "abc", "abcd", primary },
        { "g peer id a prefix", "auto", solo, solo, "abcd", "abc", standby },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.rule);
        EXPECT_EQ (electRole (c.preference, c.current, c.peer, c.own, c.other), c.expected);
    }
}

TEST (RedundancyDatagrams, DiscoveryIsByteExactAndChecked)
{
    const auto packet = encodeDiscovery (longId, primary, 0xA1B2C3D4u);
    EXPECT_EQ (std::memcmp (packet.data(), "QVRD", 4), 0);
    EXPECT_EQ (packet[4], 1);
    EXPECT_EQ (std::memcmp (packet.data() + 5, longId.toRawUTF8(), 36), 0);
    EXPECT_EQ (packet[41], 0);
    EXPECT_EQ (packet[42], 1);
    EXPECT_EQ (packet[44] | (packet[45] << 8), 8771);
    EXPECT_EQ (u32At (packet.data() + 48), 0xA1B2C3D4u);

    const auto shortOne = encodeDiscovery ("abc", solo, 0);
    EXPECT_EQ (std::string ((const char*) shortOne.data() + 5, 4), std::string ("abc\0", 4));
    EXPECT_EQ (encodeDiscovery (longId + "xyz", solo, 0)[41], 0) << "longer ids are cut to 36";

    const auto decoded = decodeDiscovery (packet.data(), packet.size(), 0xA1B2C3D4u);
    ASSERT_TRUE (decoded.has_value());
    EXPECT_EQ (decoded->peerId, longId.toStdString());
    EXPECT_EQ (decoded->role, primary);

    std::vector<uint8_t> bytes (packet.begin(), packet.end());
    bytes.resize (53, 0);
    auto versionTwo = packet;
    versionTwo[4] = 2;
    auto otherMagic = packet;
    otherMagic[3] = 'X';
    auto emptyId = encodeDiscovery ({}, standby, 7);
    const struct { const char* name; const uint8_t* data; size_t size; uint32_t auth; bool accepted; } cases[] = {
        { "52 bytes", packet.data(), 52, 0xA1B2C3D4u, true },
        { "51 bytes", bytes.data(), 51, 0xA1B2C3D4u, false },
        { "53 bytes", bytes.data(), 53, 0xA1B2C3D4u, false },
        { "another magic", otherMagic.data(), 52, 0xA1B2C3D4u, false },
        { "another auth", packet.data(), 52, 0xA1B2C3D5u, false },
        { "version 2", versionTwo.data(), 52, 0xA1B2C3D4u, true },
        { "empty id", emptyId.data(), 52, 7, true },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        EXPECT_EQ (decodeDiscovery (c.data, c.size, c.auth).has_value(), c.accepted);
    }
    EXPECT_EQ (decodeDiscovery (emptyId.data(), 52, 7)->peerId, "");
}

TEST (RedundancyDatagrams, HeartbeatAndPositionAreByteExact)
{
    const auto beat = encodeHeartbeat (0x01020304u, 5, 0xFFFFFFF0u);
    const uint8_t expectedBeat[16] = { 0x42, 0x48, 0x56, 0x51, 4, 3, 2, 1, 5, 0, 0, 0, 0xF0, 0xFF, 0xFF, 0xFF };
    EXPECT_EQ (std::memcmp (beat.data(), expectedBeat, 16), 0);
    EXPECT_TRUE (isValidHeartbeat (beat.data(), 16, 0x01020304u));
    EXPECT_FALSE (isValidHeartbeat (beat.data(), 16, 0x01020305u));
    EXPECT_FALSE (isValidHeartbeat (beat.data(), 15, 0x01020304u));

    const struct { double bpm; int32_t travels; } tempos[] = { { 120.0, 12000 }, { 99.999, 9999 }, { -0.015, -1 }, { 1e300, 0 } };
    for (const auto& t : tempos)
    {
        SCOPED_TRACE (t.bpm);
        const auto packet = encodePosition (9, 3, 1.5, t.bpm, true);
        EXPECT_EQ ((int32_t) u32At (packet.data() + 20), t.travels);
    }

    const auto packet = encodePosition (0xCAFEBABEu, 7, 12.25, 120.0, true);
    uint8_t expected[32] = {};
    const uint8_t head[8] = { 0xBE, 0xBA, 0xFE, 0xCA, 7, 0, 0, 0 };
    std::memcpy (expected, head, 8);
    const double position = 12.25; // 0x4028800000000000
    const uint8_t positionBytes[8] = { 0, 0, 0, 0, 0, 0x80, 0x28, 0x40 };
    std::memcpy (expected + 8, positionBytes, 8);
    expected[20] = 0xE0;
    expected[21] = 0x2E; // 12000
    expected[28] = 1;
    EXPECT_EQ (std::memcmp (packet.data(), expected, 32), 0);

    const auto decoded = decodePosition (packet.data(), 32, 0xCAFEBABEu);
    ASSERT_TRUE (decoded.has_value());
    EXPECT_EQ (decoded->positionSeconds, position);
    EXPECT_TRUE (decoded->playing);
    EXPECT_FALSE (decodePosition (packet.data(), 32, 1).has_value());
    EXPECT_FALSE (decodePosition (packet.data(), 31, 0xCAFEBABEu).has_value());
    auto otherBits = packet;
    otherBits[28] = 2; // only bit 0 counts
    EXPECT_FALSE (decodePosition (otherBits.data(), 32, 0xCAFEBABEu)->playing);
}

TEST (RedundancyFrames, LengthLimitsAndSplitting)
{
    const struct { const char* name; uint32_t length; bool valid; } limits[] = {
        { "zero", 0, false }, { "one", 1, true }, { "largest", 0x400000, true }, { "one over", 0x400001, false }, { "all bits", 0xFFFFFFFF, false },
    };
    for (const auto& c : limits)
    {
        SCOPED_TRACE (c.name);
        FrameDecoder decoder;
        const uint8_t head[4] = { (uint8_t) (c.length >> 24), (uint8_t) (c.length >> 16), (uint8_t) (c.length >> 8), (uint8_t) c.length };
        decoder.append (head, 4);
        if (c.length > 0 && c.length <= 0x400000)
            decoder.append (std::string (c.length, 'x').data(), c.length);
        juce::String text;
        const auto result = decoder.next (text);
        EXPECT_EQ (result, c.valid ? FrameDecoder::Result::frame : FrameDecoder::Result::invalid);
        if (c.valid)
            EXPECT_EQ (text.length(), (int) c.length);
        else
            EXPECT_EQ (decoder.invalidLength, c.length);
    }

    const auto two = encodeFrame ("{\"a\":1}") + encodeFrame (juce::String::fromUTF8 ("\"\xc3\xb1\""));
    EXPECT_EQ (two.substr (0, 4), std::string ("\0\0\0\x07", 4));
    EXPECT_EQ (two.substr (11, 4), std::string ("\0\0\0\x04", 4)) << "the length counts UTF-8 bytes";

    FrameDecoder together;
    together.append (two.data(), two.size());
    std::vector<juce::String> texts;
    juce::String text;
    while (together.next (text) == FrameDecoder::Result::frame)
        texts.push_back (text);
    EXPECT_EQ (texts, (std::vector<juce::String> { "{\"a\":1}", juce::String::fromUTF8 ("\"\xc3\xb1\"") }));

    FrameDecoder byteByByte;
    std::vector<juce::String> pieces;
    for (char c : two)
    {
        byteByByte.append (&c, 1);
        while (byteByByte.next (text) == FrameDecoder::Result::frame)
            pieces.push_back (text);
    }
    EXPECT_EQ (pieces, texts);
}

TEST (RedundancyControlMessages, TokenAndTypeDecide)
{
    using Kind = ControlMessage::Kind;
    const struct { const char* name; const char* text; uint32_t auth; Kind kind; } cases[] = {
        { "shutdown", R"({"type":"SHUTDOWN","token":5})", 5, Kind::shutdown },
        { "song sync", R"({"type":"SONG_SYNC","token":5,"songId":"s"})", 5, Kind::songSync },
        { "manifest", R"({"type":"MANIFEST","token":5})", 5, Kind::manifest },
        { "song nack", R"({"type":"SONG_NACK","token":5})", 5, Kind::songNack },
        { "wrong token", R"({"type":"SHUTDOWN","token":6})", 5, Kind::badToken },
        { "negative token, same bits", R"({"type":"SHUTDOWN","token":-1})", 0xFFFFFFFFu, Kind::shutdown },
        { "token above 32 bits, same low bits", R"({"type":"SHUTDOWN","token":4294967301})", 5, Kind::shutdown },
        { "no token, no PIN", R"({"type":"SHUTDOWN"})", 0, Kind::shutdown },
        { "no token, PIN", R"({"type":"SHUTDOWN"})", 5, Kind::badToken },
        { "other case", R"({"type":"song_sync","token":5})", 5, Kind::ignored },
        { "unknown type", R"({"type":"HELLO","token":5})", 5, Kind::ignored },
        { "array", R"([1,2])", 5, Kind::ignored },
        { "number", "42", 5, Kind::ignored },
        { "not JSON", "{{", 5, Kind::ignored },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        EXPECT_EQ (readControlMessage (c.text, c.auth).kind, c.kind);
    }
}

TEST (RedundancyControlMessages, OutgoingMessagesReadBack)
{
    const auto token = 0xFFFFFFFEu;
    const auto sync = juce::JSON::parse (songSyncMessage (token, "song-1", 99.5, 12.5, true));
    EXPECT_EQ (sync.getDynamicObject()->getProperties().getName (0).toString(), "type");
    EXPECT_EQ (sync.getDynamicObject()->getProperties().getName (1).toString(), "token");
    EXPECT_EQ ((juce::int64) sync["token"], (juce::int64) token) << "the token travels as a non-negative number";
    EXPECT_EQ (sync["songId"].toString(), "song-1");
    EXPECT_EQ ((double) sync["bpm"], 99.5);
    EXPECT_EQ ((double) sync["position"], 12.5);
    EXPECT_TRUE ((bool) sync["isPlaying"]);
    EXPECT_TRUE (shutdownMessage (1).contains ("\r\n")) << "JUCE's multi-line layout";

    const struct { juce::String text; ControlMessage::Kind kind; } roundTrips[] = {
        { shutdownMessage (token), ControlMessage::Kind::shutdown },
        { manifestMessage (token, juce::String::fromUTF8 ("m\xc3\xa1s")), ControlMessage::Kind::manifest },
        { songNackMessage (token, "id", "t"), ControlMessage::Kind::songNack },
    };
    for (const auto& c : roundTrips)
    {
        SCOPED_TRACE (c.text);
        EXPECT_EQ (readControlMessage (c.text, token).kind, c.kind);
    }
    EXPECT_EQ (readControlMessage (manifestMessage (token, juce::String::fromUTF8 ("m\xc3\xa1s")), token).message["manifest"].toString(),
               juce::String::fromUTF8 ("m\xc3\xa1s"));
}
} // namespace quorvelle::redundancy
