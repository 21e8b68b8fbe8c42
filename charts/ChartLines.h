#pragma once

// Line and UTF-8 helpers shared by the chart importer's steps.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quorvelle::charts
{
// Lines cut at line feeds, each without a final carriage return; the piece after the last line
// feed is kept only when it is not empty.
std::vector<std::string_view> splitChartLines (std::string_view text);

// Lines cut at line feeds, keeping empty lines and a final empty line after a final line feed;
// the empty text gives no lines.
std::vector<std::string_view> splitLinesKeepEmpty (std::string_view text);

// The lines with a line feed between each two.
template <typename Lines>
std::string joinLines (const Lines& lines)
{
    std::size_t total = 0;
    for (const auto& line : lines)
        total += std::string_view (line).size() + 1;
    std::string out;
    out.reserve (total);
    bool first = true;
    for (const auto& line : lines)
    {
        if (! first)
            out += '\n';
        out += std::string_view (line);
        first = false;
    }
    return out;
}

// Whether a byte continues a UTF-8 sequence (10xxxxxx) rather than starting a character.
constexpr bool isUtf8ContinuationByte (char c) noexcept { return ((unsigned char) c & 0xC0) == 0x80; }

// One character read at `pos`: its value and the position after it. A byte that does not start
// a complete sequence is read as the character with its own value, one byte long.
struct DecodedChar
{
    std::uint32_t codePoint = 0;
    std::size_t next = 0;
};
DecodedChar decodeUtf8At (std::string_view text, std::size_t pos) noexcept;

// Appends the shortest UTF-8 form of a code point.
void appendUtf8 (std::string& text, std::uint32_t codePoint);
} // namespace quorvelle::charts
