#include "charts/NotationDetection.h"

#include "charts/ChartLines.h"
#include "charts/ChartPatterns.h"
#include "charts/ChordSymbols.h"

#include <array>

namespace quorvelle::charts
{
namespace
{
constexpr std::array<std::string_view, 4> kKeyLabels { "key", "tono", "tonalidad", "tonalidade" };
// Solfege prefixes of a Latin vote, lower case (tokens are compared ignoring ASCII case).
constexpr std::array<std::string_view, 7> kLatinVotePrefixes { "sol", "do", "re", "mi", "fa", "la", "si" };
constexpr std::string_view kRomanFollowers = "0123456789mMsadob+#/(";

bool votesNashville (std::string_view token) noexcept
{
    const auto i = readLeadingAccidental (token).length;
    return i < token.size() && token[i] >= '1' && token[i] <= '7';
}

bool votesRoman (std::string_view token) noexcept
{
    if (token.empty() || token.size() > 12)
        return false;
    std::size_t i = readLeadingAccidental (token).length;
    if (i >= token.size())
        return false;
    const char first = token[i];
    std::string_view numerals;
    if (first == 'I' || first == 'V')
        numerals = "IVX";
    else if (first == 'i' || first == 'v')
        numerals = "ivx";
    else
        return false;
    while (i < token.size() && numerals.find (token[i]) != std::string_view::npos)
        ++i;
    if (i == token.size())
        return true;
    const auto next = (unsigned char) token[i];
    return next >= 0x80 || kRomanFollowers.find (token[i]) != std::string_view::npos;
}
} // namespace

NotationDetection detectChartNotation (std::string_view text)
{
    NotationDetection result;
    if (text.empty())
        return result;
    result.detectedKey = findKeyInText (text);
    const auto v = countNotationVotes (text);
    if (v.total == 0)
        return result;

    ChartNotation winner = ChartNotation::american;
    std::int64_t best = v.american;
    const std::pair<ChartNotation, std::int32_t> others[] { { ChartNotation::latin, v.latin },
                                                            { ChartNotation::nashville, v.nashville },
                                                            { ChartNotation::roman, v.roman } };
    for (const auto& [notation, count] : others)
    {
        if (count > best)
        {
            best = count;
            winner = notation;
        }
    }
    const std::int64_t total = v.total;
    if (best * 10 < total * 3)
        return result;
    result.notation = winner;
    if (best * 5 < total * 4)
        result.confidence = NotationConfidence::low;
    else
        result.confidence = result.detectedKey ? NotationConfidence::high : NotationConfidence::medium;
    return result;
}

NotationVotes countNotationVotes (std::string_view text)
{
    NotationVotes votes;
    for (auto line : splitChartLines (text))
        voteLineTokens (line, votes);
    return votes;
}

void voteLineTokens (std::string_view line, NotationVotes& votes)
{
    const auto t = trimView (line);
    if (t.empty() || t[0] == '[' || t[0] == '(' || t[0] == '{')
        return;
    forEachToken (t, [&] (std::string_view token, std::size_t) {
        if (isChordSymbol (token))
            ++votes.american;
        else if (isLatinChordToken (token))
            ++votes.latin;
        else if (votesNashville (token))
            ++votes.nashville;
        else if (votesRoman (token))
            ++votes.roman;
        else
            return true;
        ++votes.total;
        return true;
    });
}

bool isLatinChordToken (std::string_view token)
{
    for (auto prefix : kLatinVotePrefixes)
    {
        if (matchesLowerAt (token, 0, prefix))
            return isChordInNotation (token, ChartNotation::latin, ChartKey {});
    }
    return false;
}

std::optional<std::string> findKeyInText (std::string_view text)
{
    const auto lines = splitChartLines (text);
    for (std::size_t i = 0; i < lines.size(); ++i)
    {
        if (! isKeyLabelLine (lines[i]))
            continue;
        const auto t = trimView (lines[i]);
        const auto sep = t.find_first_of (":-");
        if (sep != std::string_view::npos)
        {
            const auto rest = trimView (t.substr (sep + 1));
            if (! rest.empty())
            {
                auto q = rest;
                const auto bar = rest.find ('|');
                if (bar != std::string_view::npos)
                    q = trimView (rest.substr (0, bar));
                const auto bullet = rest.find (kBullet);
                if (rest.size() > 2 && bullet != std::string_view::npos && (bar == std::string_view::npos || bullet < bar))
                    q = trimView (rest.substr (0, bullet));
                if (auto key = parseKeyToken (q))
                    return key;
            }
        }
        if (i + 1 < lines.size())
            if (auto key = parseKeyToken (trimView (lines[i + 1])))
                return key;
    }
    return std::nullopt;
}

bool isKeyLabelLine (std::string_view line)
{
    const auto t = trimView (line);
    if (t.empty())
        return false;
    for (auto label : kKeyLabels)
    {
        if (! matchesLowerAt (t, 0, label))
            continue;
        if (t.size() == label.size())
            return true;
        const char next = t[label.size()];
        if (next == ':' || next == '-' || isSpaceByte (next))
            return true;
    }
    return false;
}

std::optional<std::string> parseKeyToken (std::string_view text)
{
    if (text.empty())
        return std::nullopt;
    std::string_view s = trimView (text);
    if (auto link = patterns::findMarkdownLinkText (s))
        s = *link;
    if (s.size() > 1 && s.front() == '`' && s.back() == '`')
        s = s.substr (1, s.size() - 2);
    s = trimView (patterns::stripKeyModeWord (trimView (s)));
    if (s.empty())
        return std::nullopt;
    const bool flat = patterns::hasFlatWord (s);
    const bool sharp = patterns::hasSharpWord (s);
    std::string key (trimView (patterns::stripAccidentalWord (s)));
    if (flat && key.size() == 1)
        key += 'b';
    if (sharp && key.size() == 1)
        key += '#';

    // Length in characters, a ♯ or ♭ sign counting as one.
    std::size_t characters = 0;
    for (std::size_t i = 0; i < key.size();)
    {
        const auto three = std::string_view (key).substr (i, 3);
        i += (three == kSharpSign || three == kFlatSign) ? 3 : 1;
        ++characters;
    }
    if (characters < 1 || characters > 3 || ! isNoteLetter (upperByte (key[0])))
        return std::nullopt;

    std::string out (1, upperByte (key[0]));
    const auto second = std::string_view (key).substr (1);
    if (startsWith (second, "#") || startsWith (second, kSharpSign))
        out += '#';
    else if (startsWith (second, "b") || startsWith (second, kFlatSign))
        out += 'b';
    return out;
}
} // namespace quorvelle::charts
