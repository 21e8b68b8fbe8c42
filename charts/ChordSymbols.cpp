#include "charts/ChordSymbols.h"

#include "charts/ChartPatterns.h"

#include <unordered_map>

namespace quorvelle::charts
{
const std::array<std::string_view, 12> kSharpNoteNames { "C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B" };
const std::array<std::string_view, 12> kFlatNoteNames { "C", "Db", "D", "Eb", "E", "F", "Gb", "G", "Ab", "A", "Bb", "B" };

namespace
{
const std::unordered_map<std::string_view, int>& noteTable()
{
    static const std::unordered_map<std::string_view, int> table {
        { "C", 0 },  { "C#", 1 }, { "Db", 1 }, { "D", 2 },  { "D#", 3 },  { "Eb", 3 },  { "E", 4 },
        { "Fb", 4 }, { "F", 5 },  { "E#", 5 }, { "F#", 6 }, { "Gb", 6 },  { "G", 7 },   { "G#", 8 },
        { "Ab", 8 }, { "A", 9 },  { "A#", 10 }, { "Bb", 10 }, { "B", 11 }, { "Cb", 11 },
    };
    return table;
}

const std::unordered_map<std::string_view, int>& keyTable()
{
    static const std::unordered_map<std::string_view, int> table = [] {
        std::unordered_map<std::string_view, int> t;
        for (int i = 0; i < 12; ++i)
            t.emplace (kSharpNoteNames[(std::size_t) i], i);
        const std::pair<std::string_view, std::string_view> aliases[] {
            { "Db", "C#" }, { "Eb", "D#" }, { "Fb", "E" }, { "Gb", "F#" }, { "Ab", "G#" },
            { "Bb", "A#" }, { "Cb", "B" },  { "E#", "F" }, { "B#", "C" },
        };
        for (const auto& [alias, sharp] : aliases)
            t.emplace (alias, t.at (sharp));
        return t;
    }();
    return table;
}

// Passes the bytes of `text` to `put` with every complete ♯ read as '#' and ♭ as 'b'.
template <typename Put>
void forEachSignNormalizedByte (std::string_view text, Put&& put)
{
    for (std::size_t i = 0; i < text.size();)
    {
        const auto three = text.substr (i, 3);
        if (three == kSharpSign)
        {
            put ('#');
            i += 3;
        }
        else if (three == kFlatSign)
        {
            put ('b');
            i += 3;
        }
        else
        {
            put (text[i++]);
        }
    }
}

struct SolfegeName
{
    std::string_view name;
    char letter;
};
constexpr SolfegeName kSolfegeKeys[] { { "SOL", 'G' }, { "DO", 'C' }, { "RE", 'D' }, { "MI", 'E' },
                                       { "FA", 'F' },  { "LA", 'A' }, { "SI", 'B' } };
} // namespace

bool startsWith (std::string_view text, std::string_view prefix) noexcept
{
    return text.substr (0, prefix.size()) == prefix;
}

bool matchesLowerAt (std::string_view text, std::size_t pos, std::string_view lowerWord) noexcept
{
    if (pos > text.size() || text.size() - pos < lowerWord.size())
        return false;
    for (std::size_t k = 0; k < lowerWord.size(); ++k)
        if (lowerByte (text[pos + k]) != lowerWord[k])
            return false;
    return true;
}

std::string normalizeAccidentalSigns (std::string_view text)
{
    std::string out;
    out.reserve (text.size());
    forEachSignNormalizedByte (text, [&out] (char c) { out += c; });
    return out;
}

bool isChordSymbol (std::string_view token)
{
    if (token.empty() || token.size() > 20)
        return false;
    // The signs only shorten the token, so it fits a buffer of its own size.
    char buffer[20];
    std::size_t len = 0;
    forEachSignNormalizedByte (token, [&] (char c) { buffer[len++] = c; });
    return patterns::matchChordSymbol (std::string_view (buffer, len));
}

bool isMinorQuality (std::string_view quality) { return patterns::matchMinorQuality (quality); }

ChordParts splitChordSymbol (std::string_view chord)
{
    const std::string normalized = normalizeAccidentalSigns (chord);
    const auto m = patterns::matchChordSplit (normalized);
    ChordParts parts;
    if (! m.matched || notePitchClass (m.root) < 0)
        return parts;
    parts.root = std::string (m.root);
    parts.quality = std::string (m.quality);
    if (! m.bass.empty() && notePitchClass (m.bass) >= 0)
        parts.bass = std::string (m.bass);
    parts.ok = true;
    return parts;
}

int notePitchClass (std::string_view name)
{
    const auto& table = noteTable();
    const auto it = table.find (name);
    return it == table.end() ? -1 : it->second;
}

std::optional<int> keyNamePitchClass (std::string_view name)
{
    const auto& table = keyTable();
    const auto it = table.find (name);
    if (it == table.end())
        return std::nullopt;
    return it->second;
}

std::optional<int> parseSongKeyIndex (std::string_view text)
{
    std::string_view t = trimView (text);
    if (t.empty())
        return std::nullopt;
    t = trimView (patterns::stripSongKeyModeWord (t));
    const std::string upper = toUpperAscii (t);
    if (upper.empty())
        return std::nullopt;

    for (const auto& solfege : kSolfegeKeys)
    {
        if (! startsWith (upper, solfege.name))
            continue;
        std::string_view rest = trimView (t.substr (solfege.name.size()));
        std::string accidental;
        if (! rest.empty() && rest[0] == '#')
        {
            accidental = "#";
            rest.remove_prefix (1);
        }
        else if (! rest.empty() && (rest[0] == 'b' || rest[0] == 'B'))
        {
            accidental = "b";
            rest.remove_prefix (1);
        }
        if (toLowerAscii (trimView (rest)) == "m")
            rest = {};
        if (! rest.empty())
            continue;
        return keyNamePitchClass (std::string (1, solfege.letter) + accidental);
    }

    if (patterns::matchKeyLetter (upper))
    {
        const char letter = upper[0];
        std::string_view rest = trimView (t.substr (1));
        std::string accidental;
        if (! rest.empty() && rest[0] == '#')
        {
            accidental = "#";
            rest.remove_prefix (1);
        }
        else if (! rest.empty() && rest[0] == 'b')
        {
            accidental = "b";
            rest.remove_prefix (1);
        }
        else if (! rest.empty() && rest[0] == 'B')
        {
            const std::string follow = toLowerAscii (trimView (rest.substr (1)));
            if (follow.empty() || follow == "m")
            {
                accidental = "b";
                rest.remove_prefix (1);
            }
        }
        if (toLowerAscii (trimView (rest)) == "m")
            rest = {};
        if (trimView (rest).empty())
            return keyNamePitchClass (std::string (1, letter) + accidental);
    }

    if (auto fromUpper = keyNamePitchClass (upper))
        return fromUpper;
    return keyNamePitchClass (t);
}

std::string_view trimEndView (std::string_view text) noexcept
{
    std::size_t end = text.size();
    while (end > 0 && isSpaceByte (text[end - 1]))
        --end;
    return text.substr (0, end);
}

std::string_view trimView (std::string_view text) noexcept
{
    text = trimEndView (text);
    std::size_t begin = 0;
    while (begin < text.size() && isSpaceByte (text[begin]))
        ++begin;
    return text.substr (begin);
}

std::string trimSpaces (std::string_view text) { return std::string (trimView (text)); }

std::string toLowerAscii (std::string_view text)
{
    std::string out (text);
    for (auto& c : out)
        c = lowerByte (c);
    return out;
}

std::string toUpperAscii (std::string_view text)
{
    std::string out (text);
    for (auto& c : out)
        c = upperByte (c);
    return out;
}

std::vector<std::string> splitWhitespaceTokens (std::string_view text)
{
    std::vector<std::string> tokens;
    forEachToken (text, [&] (std::string_view token, std::size_t) {
        tokens.emplace_back (token);
        return true;
    });
    return tokens;
}

LetterCaseCounts countLetterCase (std::string_view text) noexcept
{
    LetterCaseCounts counts;
    for (char c : text)
    {
        counts.upper += isUpperByte (c) ? 1 : 0;
        counts.lower += isLowerByte (c) ? 1 : 0;
    }
    return counts;
}

bool isSeparatorToken (std::string_view token)
{
    if (token.empty())
        return false;
    for (std::size_t i = 0; i < token.size();)
    {
        const char c = token[i];
        if (c == '-' || c == '>' || c == '|')
        {
            ++i;
            continue;
        }
        const auto three = token.substr (i, 3);
        if (three == "\xE2\x80\x93" || three == "\xE2\x80\x94" || three == "\xE2\x86\x92")
        {
            i += 3;
            continue;
        }
        return false;
    }
    return true;
}

bool isChordLine (std::string_view line)
{
    return isChordLineBy (line, [] (std::string_view token) { return isChordSymbol (token); });
}

bool hasChordToken (std::string_view line)
{
    const auto t = trimView (line);
    if (t.empty())
        return false;
    return ! forEachToken (t, [] (std::string_view token, std::size_t) { return ! isChordSymbol (token); });
}
} // namespace quorvelle::charts
