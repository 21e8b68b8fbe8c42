#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// The one UTF-8 reader of the song logic and the audio graph: plain functions over bytes, no
// allocation, no JUCE. (The charts library sits below the core and keeps its own.)
namespace quorvelle::core
{
// Whether a byte continues a UTF-8 sequence (10xxxxxx) rather than starting a character.
constexpr bool isUtf8ContinuationByte (char c) noexcept { return ((unsigned char) c & 0xC0) == 0x80; }

// One character read at `pos` (below text.size()): its value and the position after it. A byte
// that does not start a complete sequence is read as the character with its own value, one byte long.
struct Utf8Char
{
    uint32_t codePoint = 0;
    std::size_t next = 0;
};

constexpr Utf8Char decodeUtf8At (std::string_view text, std::size_t pos) noexcept
{
    const auto byteAt = [&] (std::size_t i) { return (uint32_t) (unsigned char) text[i]; };
    const auto continues = [&] (std::size_t i) { return i < text.size() && isUtf8ContinuationByte (text[i]); };
    const auto lead = byteAt (pos);
    if (lead >= 0xC0 && lead <= 0xDF && continues (pos + 1))
        return { ((lead & 0x1F) << 6) | (byteAt (pos + 1) & 0x3F), pos + 2 };
    if (lead >= 0xE0 && lead <= 0xEF && continues (pos + 1) && continues (pos + 2))
        return { ((lead & 0x0F) << 12) | ((byteAt (pos + 1) & 0x3F) << 6) | (byteAt (pos + 2) & 0x3F), pos + 3 };
    if (lead >= 0xF0 && lead <= 0xF7 && continues (pos + 1) && continues (pos + 2) && continues (pos + 3))
        return { ((lead & 0x07) << 18) | ((byteAt (pos + 1) & 0x3F) << 12) | ((byteAt (pos + 2) & 0x3F) << 6)
                     | (byteAt (pos + 3) & 0x3F),
                 pos + 4 };
    return { lead, pos + 1 };
}

// Writes the shortest UTF-8 form of a code point into `bytes`; returns its length (1 to 4).
constexpr int encodeUtf8 (uint32_t cp, char (&bytes)[4]) noexcept
{
    if (cp < 0x80)
    {
        bytes[0] = (char) cp;
        return 1;
    }
    if (cp < 0x800)
    {
        bytes[0] = (char) (0xC0 | (cp >> 6));
        bytes[1] = (char) (0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000)
    {
        bytes[0] = (char) (0xE0 | (cp >> 12));
        bytes[1] = (char) (0x80 | ((cp >> 6) & 0x3F));
        bytes[2] = (char) (0x80 | (cp & 0x3F));
        return 3;
    }
    bytes[0] = (char) (0xF0 | ((cp >> 18) & 0x07));
    bytes[1] = (char) (0x80 | ((cp >> 12) & 0x3F));
    bytes[2] = (char) (0x80 | ((cp >> 6) & 0x3F));
    bytes[3] = (char) (0x80 | (cp & 0x3F));
    return 4;
}

// The longest prefix of `length` bytes that is at most `limit` long and does not end inside a
// character (a cut never leaves a lead byte without its continuation bytes).
constexpr std::size_t utf8PrefixLength (const char* text, std::size_t length, std::size_t limit) noexcept
{
    if (length <= limit)
        return length;
    auto cut = limit;
    while (cut > 0 && isUtf8ContinuationByte (text[cut]))
        --cut;
    return cut;
}

// Calls visit (codePoint, byteCount) for each character of the text, in order, with the reading
// rule of decodeUtf8At: the accent folding of each caller is its visitor's own table.
template <typename Visit>
constexpr void forEachUtf8Char (std::string_view text, Visit&& visit)
{
    for (std::size_t pos = 0; pos < text.size();)
    {
        const auto c = decodeUtf8At (text, pos);
        visit (c.codePoint, (int) (c.next - pos));
        pos = c.next;
    }
}
} // namespace quorvelle::core
