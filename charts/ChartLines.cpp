#include "charts/ChartLines.h"

namespace quorvelle::charts
{
std::vector<std::string_view> splitChartLines (std::string_view text)
{
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    while (start < text.size())
    {
        const auto lf = text.find ('\n', start);
        const auto end = lf == std::string_view::npos ? text.size() : lf;
        auto piece = text.substr (start, end - start);
        if (! piece.empty() && piece.back() == '\r')
            piece.remove_suffix (1);
        if (lf == std::string_view::npos)
        {
            // The last piece counts only when it is not empty.
            if (end > start)
                lines.push_back (piece);
            break;
        }
        lines.push_back (piece);
        start = lf + 1;
    }
    return lines;
}

std::vector<std::string_view> splitLinesKeepEmpty (std::string_view text)
{
    std::vector<std::string_view> lines;
    if (text.empty())
        return lines;
    std::size_t start = 0;
    for (;;)
    {
        const auto lf = text.find ('\n', start);
        if (lf == std::string_view::npos)
        {
            lines.push_back (text.substr (start));
            return lines;
        }
        lines.push_back (text.substr (start, lf - start));
        start = lf + 1;
    }
}

DecodedChar decodeUtf8At (std::string_view text, std::size_t pos) noexcept
{
    const auto byteAt = [&] (std::size_t i) { return (unsigned char) text[i]; };
    const auto isContinuation = [&] (std::size_t i) { return i < text.size() && isUtf8ContinuationByte (text[i]); };
    const unsigned char lead = byteAt (pos);
    if (lead < 0x80)
        return { lead, pos + 1 };
    if (lead >= 0xC0 && lead <= 0xDF && isContinuation (pos + 1))
        return { (std::uint32_t (lead & 0x1F) << 6) | (byteAt (pos + 1) & 0x3F), pos + 2 };
    if (lead >= 0xE0 && lead <= 0xEF && isContinuation (pos + 1) && isContinuation (pos + 2))
        return { (std::uint32_t (lead & 0x0F) << 12) | (std::uint32_t (byteAt (pos + 1) & 0x3F) << 6)
                     | (byteAt (pos + 2) & 0x3F),
                 pos + 3 };
    if (lead >= 0xF0 && lead <= 0xF7 && isContinuation (pos + 1) && isContinuation (pos + 2) && isContinuation (pos + 3))
        return { (std::uint32_t (lead & 0x07) << 18) | (std::uint32_t (byteAt (pos + 1) & 0x3F) << 12)
                     | (std::uint32_t (byteAt (pos + 2) & 0x3F) << 6) | (byteAt (pos + 3) & 0x3F),
                 pos + 4 };
    return { lead, pos + 1 };
}

void appendUtf8 (std::string& text, std::uint32_t cp)
{
    if (cp < 0x80)
    {
        text += char (cp);
    }
    else if (cp < 0x800)
    {
        text += char (0xC0 | (cp >> 6));
        text += char (0x80 | (cp & 0x3F));
    }
    else if (cp <= 0xFFFF)
    {
        text += char (0xE0 | (cp >> 12));
        text += char (0x80 | ((cp >> 6) & 0x3F));
        text += char (0x80 | (cp & 0x3F));
    }
    else
    {
        text += char (0xF0 | ((cp >> 18) & 0x07));
        text += char (0x80 | ((cp >> 12) & 0x3F));
        text += char (0x80 | ((cp >> 6) & 0x3F));
        text += char (0x80 | (cp & 0x3F));
    }
}
} // namespace quorvelle::charts
