#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace quorvelle::platform::wire
{
// SHA-1 (FIPS 180-4) of a byte block. Used only where a protocol demands it (the WebSocket
// handshake); never for anything secret.
std::array<uint8_t, 20> sha1 (const void* data, size_t size);
} // namespace quorvelle::platform::wire
