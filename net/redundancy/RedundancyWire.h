#pragma once

#include <juce_core/juce_core.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// The redundancy link's wire formats and rules, free of threads and sockets: the authentication
// value, the role election, the three datagrams (little-endian, written byte by byte), the control
// link's frames (big-endian length, then JSON text) and the reading of control messages.
namespace quorvelle::redundancy
{
enum Role : int
{
    solo = 0,
    primary = 1,
    standby = 2
};

constexpr int discoveryPort = 8770;
constexpr int controlPort = 8771;
constexpr int positionPort = 8772;
constexpr int heartbeatPort = 8773;

constexpr uint32_t heartbeatMagic = 0x51564842;
// Stands in for a PIN whose hash is 0, so that no PIN ever shares the value of "no PIN".
constexpr uint32_t zeroHashAuth = 0x51564842;

using HashFunction = uint32_t (*) (const void* data, size_t size);
uint32_t fnv1a32 (const void* data, size_t size) noexcept;
// 0 for an empty PIN; otherwise `hash` over the PIN's UTF-8 bytes, with 0 replaced by zeroHashAuth.
uint32_t authFromPin (const juce::String& pin, HashFunction hash = fnv1a32);

// The new role when a peer announcing `peerRole` is found while this side holds `currentRole`.
int electRole (const juce::String& preference, int currentRole, int peerRole, const juce::String& ownId, const juce::String& peerId);

//==============================================================================
constexpr size_t discoverySize = 52, heartbeatSize = 16, positionSize = 32;
// Large enough that a datagram longer than any of ours reads back longer than expected.
constexpr size_t datagramReadSize = 128;

using DiscoveryPacket = std::array<uint8_t, discoverySize>;
using HeartbeatPacket = std::array<uint8_t, heartbeatSize>;
using PositionPacket = std::array<uint8_t, positionSize>;

DiscoveryPacket encodeDiscovery (const juce::String& instanceId, int role, uint32_t auth);
struct DiscoveryInfo
{
    std::string peerId;
    int role = 0;
};
// Only a 52-byte datagram with the magic "QVRD" and the given auth is accepted.
std::optional<DiscoveryInfo> decodeDiscovery (const uint8_t* data, size_t size, uint32_t auth);

HeartbeatPacket encodeHeartbeat (uint32_t auth, uint32_t sequence, uint32_t milliseconds);
bool isValidHeartbeat (const uint8_t* data, size_t size, uint32_t auth);

// The tempo travels as BPM x 100 truncated toward zero (0 when that does not fit).
PositionPacket encodePosition (uint32_t auth, uint32_t sequence, double positionSeconds, double bpm, bool playing);
struct PositionInfo
{
    double positionSeconds = 0.0;
    bool playing = false;
};
std::optional<PositionInfo> decodePosition (const uint8_t* data, size_t size, uint32_t auth);

//==============================================================================
constexpr uint32_t maxFrameLength = 0x400000;

// The frame for a message: its UTF-8 length, big-endian, then the text.
std::string encodeFrame (const juce::String& json);

// Collects received bytes and hands out whole frames in order.
class FrameDecoder
{
public:
    enum class Result
    {
        frame,     // `text` holds the next message
        needMore,  // no whole frame buffered
        invalid    // a length of 0 or above maxFrameLength; `invalidLength` holds it
    };

    void append (const void* data, size_t size) { buffer.append (static_cast<const char*> (data), size); }
    Result next (juce::String& text);
    void clear() { buffer.clear(); consumed = 0; }
    uint32_t invalidLength = 0;

private:
    std::string buffer;
    size_t consumed = 0;
};

//==============================================================================
// A received control message, read against the own auth.
struct ControlMessage
{
    enum class Kind
    {
        ignored,   // not an object, or a type we do not know: no log
        badToken,
        shutdown,
        songSync,
        manifest,
        songNack
    } kind = Kind::ignored;
    juce::var message;
};
ControlMessage readControlMessage (const juce::String& text, uint32_t auth);

// The messages as JSON text in JUCE's multi-line layout, keys in the order the peer expects.
juce::String shutdownMessage (uint32_t auth);
juce::String songSyncMessage (uint32_t auth, const juce::String& songId, double bpm, double positionSeconds, bool playing);
juce::String manifestMessage (uint32_t auth, const juce::String& manifest);
juce::String songNackMessage (uint32_t auth, const juce::String& songId, const juce::String& title);
} // namespace quorvelle::redundancy
