#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quorvelle::test
{
// Standard Base64 with "=" padding, written independently of the program's decoder so tests and
// benchmarks can build payloads with it.
inline std::string encodeBase64 (const std::vector<uint8_t>& bytes)
{
    static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve ((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3)
    {
        uint32_t v = static_cast<uint32_t> (bytes[i]) << 16;
        if (i + 1 < bytes.size())
            v |= static_cast<uint32_t> (bytes[i + 1]) << 8;
        if (i + 2 < bytes.size())
            v |= bytes[i + 2];
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? alphabet[(v >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? alphabet[v & 63] : '=';
    }
    return out;
}
} // namespace quorvelle::test
