#include "net/redundancy/RedundancyWire.h"

#include "platform/EventSink.h"
#include "platform/FrontEndHost.h"

#include <cmath>
#include <cstring>

namespace quorvelle::redundancy
{
namespace
{
void putU16 (uint8_t* out, uint16_t value)
{
    out[0] = (uint8_t) (value & 0xff);
    out[1] = (uint8_t) (value >> 8);
}

void putU32 (uint8_t* out, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out[i] = (uint8_t) (value >> (8 * i));
}

void putU64 (uint8_t* out, uint64_t value)
{
    for (int i = 0; i < 8; ++i)
        out[i] = (uint8_t) (value >> (8 * i));
}

uint32_t getU32 (const uint8_t* in)
{
    return (uint32_t) in[0] | ((uint32_t) in[1] << 8) | ((uint32_t) in[2] << 16) | ((uint32_t) in[3] << 24);
}

uint64_t getU64 (const uint8_t* in)
{
    return (uint64_t) getU32 (in) | ((uint64_t) getU32 (in + 4) << 32);
}

int32_t tempoTimes100 (double bpm)
{
    const auto scaled = std::trunc (bpm * 100.0);
    if (! std::isfinite (scaled) || scaled > 2147483647.0 || scaled < -2147483648.0)
        return 0;
    return (int32_t) scaled;
}

juce::var tokenValue (uint32_t auth)
{
    return juce::var ((juce::int64) auth);
}
} // namespace

uint32_t fnv1a32 (const void* data, size_t size) noexcept
{
    uint32_t hash = 0x811C9DC5u;
    const auto* bytes = static_cast<const uint8_t*> (data);
    for (size_t i = 0; i < size; ++i)
    {
        hash ^= bytes[i];
        hash *= 0x01000193u;
    }
    return hash;
}

uint32_t authFromPin (const juce::String& pin, HashFunction hash)
{
    if (pin.isEmpty())
        return 0;
    const auto utf8 = pin.toRawUTF8();
    const auto value = hash (utf8, std::strlen (utf8));
    return value == 0 ? zeroHashAuth : value;
}

int electRole (const juce::String& preference, int currentRole, int peerRole, const juce::String& ownId, const juce::String& peerId)
{
    // Byte order of UTF-8 is code point order, and a proper prefix compares lower.
    const auto ownIsLower = [&] { return ownId.toStdString() < peerId.toStdString(); };
    if (preference == "primary")
        return primary;
    if (preference == "standby")
        return standby;
    if (peerRole == primary && currentRole == primary)
        return ownIsLower() ? primary : standby;
    if (peerRole == primary)
        return standby;
    if (currentRole == primary)
        return primary;
    if (peerRole == standby)
        return primary;
    return ownIsLower() ? primary : standby;
}

//==============================================================================
DiscoveryPacket encodeDiscovery (const juce::String& instanceId, int role, uint32_t auth)
{
    DiscoveryPacket packet {};
    std::memcpy (packet.data(), "QVRD", 4);
    packet[4] = 1;
    const auto id = instanceId.toStdString();
    std::memcpy (packet.data() + 5, id.data(), std::min<size_t> (id.size(), 36));
    packet[41] = 0;
    packet[42] = (uint8_t) role;
    putU16 (packet.data() + 44, (uint16_t) controlPort);
    putU32 (packet.data() + 48, auth);
    return packet;
}

std::optional<DiscoveryInfo> decodeDiscovery (const uint8_t* data, size_t size, uint32_t auth)
{
    if (size != discoverySize || std::memcmp (data, "QVRD", 4) != 0 || getU32 (data + 48) != auth)
        return std::nullopt;
    DiscoveryInfo info;
    const auto* id = reinterpret_cast<const char*> (data + 5);
    info.peerId.assign (id, strnlen (id, 36));
    info.role = data[42];
    return info;
}

HeartbeatPacket encodeHeartbeat (uint32_t auth, uint32_t sequence, uint32_t milliseconds)
{
    HeartbeatPacket packet {};
    putU32 (packet.data(), heartbeatMagic);
    putU32 (packet.data() + 4, auth);
    putU32 (packet.data() + 8, sequence);
    putU32 (packet.data() + 12, milliseconds);
    return packet;
}

bool isValidHeartbeat (const uint8_t* data, size_t size, uint32_t auth)
{
    return size == heartbeatSize && getU32 (data) == heartbeatMagic && getU32 (data + 4) == auth;
}

PositionPacket encodePosition (uint32_t auth, uint32_t sequence, double positionSeconds, double bpm, bool playing)
{
    PositionPacket packet {};
    putU32 (packet.data(), auth);
    putU32 (packet.data() + 4, sequence);
    uint64_t bits = 0;
    std::memcpy (&bits, &positionSeconds, sizeof bits);
    putU64 (packet.data() + 8, bits);
    putU32 (packet.data() + 16, 0);
    putU32 (packet.data() + 20, (uint32_t) tempoTimes100 (bpm));
    putU32 (packet.data() + 24, 0);
    putU32 (packet.data() + 28, playing ? 1u : 0u);
    return packet;
}

std::optional<PositionInfo> decodePosition (const uint8_t* data, size_t size, uint32_t auth)
{
    if (size != positionSize || getU32 (data) != auth)
        return std::nullopt;
    PositionInfo info;
    const auto bits = getU64 (data + 8);
    std::memcpy (&info.positionSeconds, &bits, sizeof bits);
    info.playing = (getU32 (data + 28) & 1u) != 0;
    return info;
}

//==============================================================================
std::string encodeFrame (const juce::String& json)
{
    const auto text = json.toStdString();
    const auto length = (uint32_t) text.size();
    std::string frame;
    frame.reserve (4 + text.size());
    for (int shift = 24; shift >= 0; shift -= 8)
        frame.push_back ((char) (uint8_t) (length >> shift));
    frame += text;
    return frame;
}

FrameDecoder::Result FrameDecoder::next (juce::String& text)
{
    const auto available = buffer.size() - consumed;
    if (available < 4)
        return Result::needMore;
    const auto* head = reinterpret_cast<const uint8_t*> (buffer.data() + consumed);
    const auto length = ((uint32_t) head[0] << 24) | ((uint32_t) head[1] << 16) | ((uint32_t) head[2] << 8) | (uint32_t) head[3];
    if (length == 0 || length > maxFrameLength)
    {
        invalidLength = length;
        return Result::invalid;
    }
    if (available < 4 + (size_t) length)
        return Result::needMore;
    text = juce::String::fromUTF8 (buffer.data() + consumed + 4, (int) length);
    consumed += 4 + (size_t) length;
    // Consumed bytes are dropped once they outweigh what is left, so the buffer stays small.
    if (consumed == buffer.size() || consumed > buffer.size() - consumed)
    {
        buffer.erase (0, consumed);
        consumed = 0;
    }
    return Result::frame;
}

//==============================================================================
ControlMessage readControlMessage (const juce::String& text, uint32_t auth)
{
    ControlMessage result;
    // Parsed strictly: JUCE's own parser overflows on an integer literal of more than 18 digits.
    const auto utf8 = text.toRawUTF8();
    auto parsed = platform::parseJsonLine (utf8, std::strlen (utf8)).value_or (juce::var());
    if (parsed.getDynamicObject() == nullptr) // JUCE counts arrays as objects too
        return result;
    const auto token = parsed.getProperty ("token", juce::var());
    const auto tokenBits = (uint32_t) (uint64_t) (token.isVoid() ? (juce::int64) 0 : (juce::int64) token);
    if (tokenBits != auth)
    {
        result.kind = ControlMessage::Kind::badToken;
        return result;
    }
    const auto type = parsed.getProperty ("type", juce::var()).toString();
    if (type == "SHUTDOWN")
        result.kind = ControlMessage::Kind::shutdown;
    else if (type == "SONG_SYNC")
        result.kind = ControlMessage::Kind::songSync;
    else if (type == "MANIFEST")
        result.kind = ControlMessage::Kind::manifest;
    else if (type == "SONG_NACK")
        result.kind = ControlMessage::Kind::songNack;
    result.message = parsed;
    return result;
}

juce::String shutdownMessage (uint32_t auth)
{
    return juce::JSON::toString (makeObject ({ { "type", "SHUTDOWN" }, { "token", tokenValue (auth) } }));
}

juce::String songSyncMessage (uint32_t auth, const juce::String& songId, double bpm, double positionSeconds, bool playing)
{
    return juce::JSON::toString (makeObject ({ { "type", "SONG_SYNC" }, { "token", tokenValue (auth) }, { "songId", songId },
                                               { "bpm", bpm }, { "position", positionSeconds }, { "isPlaying", playing } }));
}

juce::String manifestMessage (uint32_t auth, const juce::String& manifest)
{
    return juce::JSON::toString (makeObject ({ { "type", "MANIFEST" }, { "token", tokenValue (auth) }, { "manifest", manifest } }));
}

juce::String songNackMessage (uint32_t auth, const juce::String& songId, const juce::String& title)
{
    return juce::JSON::toString (makeObject ({ { "type", "SONG_NACK" }, { "token", tokenValue (auth) }, { "songId", songId }, { "title", title } }));
}
} // namespace quorvelle::redundancy
