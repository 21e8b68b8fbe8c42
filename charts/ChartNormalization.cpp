#include "charts/ChartNormalization.h"

#include "charts/ChartLines.h"
#include "charts/ChartPatterns.h"
#include "charts/ChordSymbols.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <unordered_map>

namespace quorvelle::charts
{
namespace
{
// A character pass: for each decoded character, nothing (keep its bytes), a replacement, or removal.
enum class CharAction
{
    keep,
    replace,
    remove,
};

template <typename Decide>
PassResult mapCharacters (std::string_view text, Decide&& decide)
{
    PassResult result;
    result.text.reserve (text.size());
    for (std::size_t i = 0; i < text.size();)
    {
        const auto ch = decodeUtf8At (text, i);
        std::uint32_t replacement = 0;
        switch (decide (ch.codePoint, replacement))
        {
            case CharAction::keep: result.text.append (text.substr (i, ch.next - i)); break;
            case CharAction::replace:
                appendUtf8 (result.text, replacement);
                result.changed = true;
                break;
            case CharAction::remove: result.changed = true; break;
        }
        i = ch.next;
    }
    return result;
}

template <typename Fn>
PassResult mapLines (std::string_view text, Fn&& fn)
{
    PassResult result;
    std::vector<std::string> lines;
    for (auto line : splitLinesKeepEmpty (text))
    {
        std::optional<std::string> replaced = fn (line);
        if (replaced)
        {
            result.changed = true;
            lines.push_back (std::move (*replaced));
        }
        else
        {
            lines.emplace_back (line);
        }
    }
    result.text = joinLines (lines);
    return result;
}

// Base letter and combining mark (keyed as base << 32 | mark) to the composed letter.
const std::unordered_map<std::uint64_t, std::uint32_t>& nfcLitePairs()
{
    static const std::unordered_map<std::uint64_t, std::uint32_t> table = [] {
        struct Row
        {
            std::uint32_t base, mark, composed;
        };
        const Row rows[] {
            { 'A', 0x301, 0xC1 }, { 'A', 0x303, 0xC3 }, { 'A', 0x302, 0xC2 }, { 'A', 0x300, 0xC0 },
            { 'E', 0x301, 0xC9 }, { 'E', 0x302, 0xCA }, { 'E', 0x300, 0xC8 }, { 'I', 0x301, 0xCD },
            { 'O', 0x301, 0xD3 }, { 'O', 0x303, 0xD5 }, { 'O', 0x302, 0xD4 }, { 'O', 0x300, 0xD2 },
            { 'U', 0x301, 0xDA }, { 'U', 0x308, 0xDC }, { 'N', 0x303, 0xD1 }, { 'C', 0x327, 0xC7 },
            { 'a', 0x301, 0xE1 }, { 'a', 0x303, 0xE3 }, { 'a', 0x302, 0xE2 }, { 'a', 0x300, 0xE0 },
            { 'e', 0x301, 0xE9 }, { 'e', 0x302, 0xEA }, { 'e', 0x300, 0xE8 }, { 'i', 0x301, 0xED },
            { 'o', 0x301, 0xF3 }, { 'o', 0x303, 0xF5 }, { 'o', 0x302, 0xF4 }, { 'o', 0x300, 0xF2 },
            { 'u', 0x301, 0xFA }, { 'u', 0x308, 0xFC }, { 'n', 0x303, 0xF1 }, { 'c', 0x327, 0xE7 },
        };
        std::unordered_map<std::uint64_t, std::uint32_t> t;
        for (const auto& row : rows)
            t.emplace ((std::uint64_t (row.base) << 32) | row.mark, row.composed);
        return t;
    }();
    return table;
}

const std::unordered_map<std::uint32_t, char>& homoglyphs()
{
    static const std::unordered_map<std::uint32_t, char> table {
        // Cyrillic capitals
        { 0x0410, 'A' }, { 0x0412, 'B' }, { 0x0415, 'E' }, { 0x041A, 'K' }, { 0x041C, 'M' }, { 0x041D, 'H' },
        { 0x041E, 'O' }, { 0x0420, 'P' }, { 0x0421, 'C' }, { 0x0422, 'T' }, { 0x0425, 'X' },
        // Cyrillic small letters
        { 0x0430, 'a' }, { 0x0435, 'e' }, { 0x043E, 'o' }, { 0x0440, 'p' }, { 0x0441, 'c' }, { 0x0443, 'y' },
        { 0x0445, 'x' },
        // Greek capitals
        { 0x0391, 'A' }, { 0x0392, 'B' }, { 0x0395, 'E' }, { 0x0397, 'H' }, { 0x0399, 'I' }, { 0x039A, 'K' },
        { 0x039C, 'M' }, { 0x039D, 'N' }, { 0x039F, 'O' }, { 0x03A1, 'P' }, { 0x03A4, 'T' }, { 0x03A5, 'Y' },
        { 0x03A6, 'F' }, { 0x03A7, 'X' }, { 0x03A9, 'O' },
    };
    return table;
}

bool isOnlyFillerA (std::string_view line)
{
    std::size_t count = 0;
    for (char c : line)
    {
        if (c == 'a')
            ++count;
        else if (! isSpaceByte (c))
            return false;
    }
    return count >= 3;
}
} // namespace

NormalizedText normalizeChartText (std::string_view text)
{
    NormalizedText state;
    state.text = std::string (text);
    if (text.empty())
        return state;
    runNormalizationPass ("normalize_line_endings", state, normalizeLineEndings);
    runNormalizationPass ("strip_zero_width_chars", state, stripZeroWidthChars);
    runNormalizationPass ("strip_bidi_overrides", state, stripBidiOverrides);
    runNormalizationPass ("strip_soft_hyphens", state, stripSoftHyphens);
    runNormalizationPass ("normalize_unicode_nfc_lite", state, normalizeUnicodeNfcLite);
    runNormalizationPass ("normalize_fullwidth_to_ascii", state, normalizeFullwidthToAscii);
    runNormalizationPass ("normalize_nbsp_to_space", state, normalizeNbspToSpace);
    runNormalizationPass ("normalize_homoglyphs", state, normalizeHomoglyphs);
    runNormalizationPass ("strip_watermarks", state, stripWatermarkLines);
    runNormalizationPass ("strip_invisible_filler", state, stripInvisibleFiller);
    runNormalizationPass ("trim_trailing_whitespace_per_line", state, trimTrailingWhitespacePerLine);
    return state;
}

void runNormalizationPass (std::string_view ruleName, NormalizedText& state, NormalizationPass pass)
{
    auto result = pass (state.text);
    state.text = std::move (result.text);
    if (result.changed && std::find (state.rules.begin(), state.rules.end(), ruleName) == state.rules.end())
        state.rules.emplace_back (ruleName);
}

PassResult normalizeLineEndings (std::string_view text)
{
    PassResult result;
    result.text.reserve (text.size());
    for (std::size_t i = 0; i < text.size(); ++i)
    {
        if (text[i] != '\r')
        {
            result.text += text[i];
            continue;
        }
        result.changed = true;
        result.text += '\n';
        if (i + 1 < text.size() && text[i + 1] == '\n')
            ++i;
    }
    return result;
}

PassResult stripZeroWidthChars (std::string_view text)
{
    return mapCharacters (text, [] (std::uint32_t cp, std::uint32_t&) {
        return (cp == 0x200B || cp == 0x200C || cp == 0x200D || cp == 0xFEFF) ? CharAction::remove : CharAction::keep;
    });
}

PassResult stripBidiOverrides (std::string_view text)
{
    return mapCharacters (text, [] (std::uint32_t cp, std::uint32_t&) {
        return ((cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069)) ? CharAction::remove : CharAction::keep;
    });
}

PassResult stripSoftHyphens (std::string_view text)
{
    return mapCharacters (text, [] (std::uint32_t cp, std::uint32_t&) {
        return cp == 0x00AD ? CharAction::remove : CharAction::keep;
    });
}

PassResult normalizeUnicodeNfcLite (std::string_view text)
{
    std::vector<std::uint32_t> codePoints;
    codePoints.reserve (text.size());
    for (std::size_t i = 0; i < text.size();)
    {
        const auto ch = decodeUtf8At (text, i);
        codePoints.push_back (ch.codePoint);
        i = ch.next;
    }
    const auto& pairs = nfcLitePairs();
    PassResult result;
    result.text.reserve (text.size() + text.size() / 8);
    for (std::size_t i = 0; i < codePoints.size();)
    {
        if (i + 1 < codePoints.size())
        {
            const auto it = pairs.find ((std::uint64_t (codePoints[i]) << 32) | codePoints[i + 1]);
            if (it != pairs.end())
            {
                appendUtf8 (result.text, it->second);
                result.changed = true;
                i += 2;
                continue;
            }
        }
        appendUtf8 (result.text, codePoints[i]);
        ++i;
    }
    return result;
}

PassResult normalizeFullwidthToAscii (std::string_view text)
{
    return mapCharacters (text, [] (std::uint32_t cp, std::uint32_t& replacement) {
        if (cp >= 0xFF01 && cp <= 0xFF5E)
        {
            replacement = cp - 0xFEE0;
            return CharAction::replace;
        }
        if (cp == 0x3000)
        {
            replacement = ' ';
            return CharAction::replace;
        }
        return CharAction::keep;
    });
}

PassResult normalizeNbspToSpace (std::string_view text)
{
    return mapCharacters (text, [] (std::uint32_t cp, std::uint32_t& replacement) {
        if (cp == 0x00A0 || (cp >= 0x2000 && cp <= 0x2007) || cp == 0x202F || cp == 0x205F)
        {
            replacement = ' ';
            return CharAction::replace;
        }
        return CharAction::keep;
    });
}

PassResult normalizeHomoglyphs (std::string_view text)
{
    const auto& table = homoglyphs();
    return mapCharacters (text, [&table] (std::uint32_t cp, std::uint32_t& replacement) {
        if (cp < 0x0391 || cp > 0x0445)
            return CharAction::keep;
        const auto it = table.find (cp);
        if (it == table.end())
            return CharAction::keep;
        replacement = (std::uint32_t) it->second;
        return CharAction::replace;
    });
}

bool isWatermarkLine (std::string_view line)
{
    for (int pattern = 1; pattern <= 6; ++pattern)
        if (patterns::matchWatermark (pattern, line))
            return true;
    return false;
}

PassResult stripWatermarkLines (std::string_view text)
{
    return mapLines (text, [] (std::string_view line) -> std::optional<std::string> {
        if (isWatermarkLine (line))
            return std::string();
        return std::nullopt;
    });
}

std::string replaceFillerA (std::string_view line)
{
    std::string out (line);
    for (std::size_t i = 0; i < out.size();)
    {
        if (out[i] != 'a')
        {
            ++i;
            continue;
        }
        std::size_t end = i;
        while (end < out.size() && out[end] == 'a')
            ++end;
        if (end - i >= 2)
            std::fill (out.begin() + (std::ptrdiff_t) i, out.begin() + (std::ptrdiff_t) end, ' ');
        i = end;
    }
    for (std::size_t i = 0; i + 1 < out.size(); ++i)
        if (out[i] == 'a' && isNoteLetter (out[i + 1]))
            out[i] = ' ';
    return out;
}

bool isFillerChordLine (std::string_view line)
{
    bool hasNoteLetter = false;
    bool hasFillerBeforeNote = false;
    for (std::size_t i = 0; i < line.size(); ++i)
    {
        hasNoteLetter = hasNoteLetter || isNoteLetter (line[i]);
        if (line[i] == 'a' && i + 1 < line.size() && isNoteLetter (line[i + 1]))
            hasFillerBeforeNote = true;
    }
    return hasNoteLetter && hasFillerBeforeNote && isChordLine (replaceFillerA (line));
}

PassResult stripInvisibleFiller (std::string_view text)
{
    return mapLines (text, [] (std::string_view line) -> std::optional<std::string> {
        if (! line.empty() && isOnlyFillerA (line))
            return std::string();
        if (isFillerChordLine (line))
            return replaceFillerA (line);
        return std::nullopt;
    });
}

PassResult trimTrailingWhitespacePerLine (std::string_view text)
{
    return mapLines (text, [] (std::string_view line) -> std::optional<std::string> {
        const auto kept = trimEndView (line);
        if (kept.size() == line.size())
            return std::nullopt;
        return std::string (kept);
    });
}
} // namespace quorvelle::charts
