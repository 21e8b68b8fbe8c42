#include "platform/wire/Sha1.h"

#include <cstring>

namespace quorvelle::platform::wire
{
namespace
{
uint32_t rotateLeft (uint32_t value, int bits)
{
    return (value << bits) | (value >> (32 - bits));
}

void compressBlock (std::array<uint32_t, 5>& state, const uint8_t* block)
{
    uint32_t words[80];
    for (int i = 0; i < 16; ++i)
        words[i] = (uint32_t) block[i * 4] << 24 | (uint32_t) block[i * 4 + 1] << 16 | (uint32_t) block[i * 4 + 2] << 8 | (uint32_t) block[i * 4 + 3];
    for (int i = 16; i < 80; ++i)
        words[i] = rotateLeft (words[i - 3] ^ words[i - 8] ^ words[i - 14] ^ words[i - 16], 1);

    auto [a, b, c, d, e] = state;
    for (int i = 0; i < 80; ++i)
    {
        uint32_t mixed, constant;
        if (i < 20)
            mixed = (b & c) | (~b & d), constant = 0x5a827999;
        else if (i < 40)
            mixed = b ^ c ^ d, constant = 0x6ed9eba1;
        else if (i < 60)
            mixed = (b & c) | (b & d) | (c & d), constant = 0x8f1bbcdc;
        else
            mixed = b ^ c ^ d, constant = 0xca62c1d6;

        const auto next = rotateLeft (a, 5) + mixed + e + constant + words[i];
        e = d;
        d = c;
        c = rotateLeft (b, 30);
        b = a;
        a = next;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
}
} // namespace

std::array<uint8_t, 20> sha1 (const void* data, size_t size)
{
    std::array<uint32_t, 5> state { 0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476, 0xc3d2e1f0 };
    const auto* bytes = static_cast<const uint8_t*> (data);

    size_t offset = 0;
    for (; offset + 64 <= size; offset += 64)
        compressBlock (state, bytes + offset);

    // The tail, the 0x80 marker and the bit length fill one or two final blocks.
    uint8_t tail[128] = {};
    const auto remaining = size - offset;
    if (remaining > 0)
        std::memcpy (tail, bytes + offset, remaining);
    tail[remaining] = 0x80;
    const size_t tailSize = remaining + 1 + 8 <= 64 ? 64 : 128;
    const auto bitLength = (uint64_t) size * 8;
    for (int i = 0; i < 8; ++i)
        tail[tailSize - 1 - (size_t) i] = (uint8_t) (bitLength >> (8 * i));
    for (size_t block = 0; block < tailSize; block += 64)
        compressBlock (state, tail + block);

    std::array<uint8_t, 20> digest {};
    for (size_t i = 0; i < 5; ++i)
        for (size_t j = 0; j < 4; ++j)
            digest[i * 4 + j] = (uint8_t) (state[i] >> (24 - 8 * j));
    return digest;
}
} // namespace quorvelle::platform::wire
