#include "charts/ChartPatterns.h"

#include "charts/ChordSymbols.h"

#include <array>

namespace quorvelle::charts::patterns
{
namespace
{
constexpr std::size_t npos = std::string_view::npos;

constexpr bool isWordByte (char c) noexcept { return isAlnumByte (c) || c == '_'; }

std::size_t skipSpaces (std::string_view s, std::size_t i) noexcept
{
    while (i < s.size() && isSpaceByte (s[i]))
        ++i;
    return i;
}

bool isLineTerminator (char c) noexcept { return c == '\n' || c == '\r'; }

bool noLineTerminatorFrom (std::string_view s, std::size_t i) noexcept
{
    for (; i < s.size(); ++i)
        if (isLineTerminator (s[i]))
            return false;
    return true;
}

// First position of a byte at or after `from`, for queries whose `from` never decreases:
// a text is searched at most once from left to right, whatever the number of queries.
class ForwardFinder
{
public:
    ForwardFinder (std::string_view text, char wanted) noexcept : s (text), ch (wanted) {}

    std::size_t find (std::size_t from) noexcept
    {
        if (! known || from < lastFrom || (last != npos && last < from))
        {
            last = s.find (ch, from);
            known = true;
        }
        lastFrom = from;
        return last;
    }

private:
    std::string_view s;
    char ch;
    std::size_t last = npos;
    std::size_t lastFrom = 0;
    bool known = false;
};

// Length of the quality word at `i` of the chord pattern, or 0.
std::size_t qualityWordAt (std::string_view s, std::size_t i) noexcept
{
    const auto rest = s.substr (i);
    for (std::string_view w : { std::string_view ("maj"), std::string_view ("min"), std::string_view ("dim"),
                                std::string_view ("aug"), std::string_view ("sus"), std::string_view ("add"),
                                std::string_view ("\xC2\xB0"), std::string_view ("\xC3\xB8") })
        if (rest.substr (0, w.size()) == w)
            return w.size();
    if (! rest.empty() && (rest[0] == 'm' || rest[0] == '+' || rest[0] == 'M'))
        return 1;
    return 0;
}

bool isAccidental (char c) noexcept { return c == '#' || c == 'b'; }

// Whether a whole-line pattern's tail "\s*$" holds from `i`.
bool onlySpacesFrom (std::string_view s, std::size_t i) noexcept { return skipSpaces (s, i) == s.size(); }

// "\s+WORD\s*$"-style removal: the prefix before the whitespace run that precedes the last
// token, when that token equals one of `words` ignoring case; else the whole text.
template <std::size_t N>
std::string_view stripTrailingWord (std::string_view s, const std::array<std::string_view, N>& words) noexcept
{
    const std::size_t end = trimEndView (s).size();
    std::size_t begin = end;
    while (begin > 0 && ! isSpaceByte (s[begin - 1]))
        --begin;
    if (begin == end || begin == 0)
        return s;
    const auto token = s.substr (begin, end - begin);
    bool isWord = false;
    for (auto w : words)
        if (token.size() == w.size() && matchesLowerAt (token, 0, w))
            isWord = true;
    return isWord ? trimEndView (s.substr (0, begin)) : s;
}

bool hasBoundedWord (std::string_view s, std::string_view lowerWord) noexcept
{
    if (s.size() < lowerWord.size())
        return false;
    for (std::size_t i = 0; i + lowerWord.size() <= s.size(); ++i)
    {
        if (! matchesLowerAt (s, i, lowerWord))
            continue;
        const bool leftOk = i == 0 || ! isWordByte (s[i - 1]);
        const std::size_t after = i + lowerWord.size();
        const bool rightOk = after == s.size() || ! isWordByte (s[after]);
        if (leftOk && rightOk)
            return true;
    }
    return false;
}

// Tail of the licence-number pattern after "CCLI": "\s+song\s+#\s*\d+\s*\)?\s*$".
bool licenceTailMatches (std::string_view s, std::size_t i) noexcept
{
    std::size_t j = skipSpaces (s, i);
    if (j == i || ! matchesLowerAt (s, j, "song"))
        return false;
    i = j + 4;
    j = skipSpaces (s, i);
    if (j == i || j >= s.size() || s[j] != '#')
        return false;
    j = skipSpaces (s, j + 1);
    if (j >= s.size() || ! isDigitByte (s[j]))
        return false;
    while (j < s.size() && isDigitByte (s[j]))
        ++j;
    j = skipSpaces (s, j);
    if (j < s.size() && s[j] == ')')
        ++j;
    return onlySpacesFrom (s, j);
}

bool matchLicenceLine (std::string_view s) noexcept
{
    // Before "CCLI": leading whitespace, at most one "(" (only whitespace before it), then
    // anything but parentheses.
    bool inLeadingSpace = true;
    for (std::size_t i = 0; i < s.size(); ++i)
    {
        if (matchesLowerAt (s, i, "ccli") && (i == 0 || ! isWordByte (s[i - 1])) && licenceTailMatches (s, i + 4))
            return true;
        const char c = s[i];
        if (c == ')')
            return false;
        if (c == '(')
        {
            if (! inLeadingSpace)
                return false;
            inLeadingSpace = false;
        }
        else if (! isSpaceByte (c))
        {
            inLeadingSpace = false;
        }
    }
    return false;
}

// "^\s*<prefix>[^\s]+\s*$" where the prefix was matched up to `i`.
bool singleWordToEnd (std::string_view s, std::size_t i) noexcept
{
    const std::size_t start = i;
    while (i < s.size() && ! isSpaceByte (s[i]))
        ++i;
    return i > start && onlySpacesFrom (s, i);
}

constexpr std::string_view kCopyright = "\xC2\xA9";
} // namespace

bool matchChordSymbol (std::string_view s) noexcept
{
    const std::size_t n = s.size();
    if (n == 0 || ! isNoteLetter (s[0]))
        return false;
    std::size_t i = 1;
    if (i < n && isAccidental (s[i]))
        ++i;
    // Quality words and numbers, in any sequence.
    while (i < n)
    {
        if (isDigitByte (s[i]))
        {
            ++i;
            continue;
        }
        const std::size_t len = qualityWordAt (s, i);
        if (len == 0)
            break;
        i += len;
    }
    // Alterations.
    while (i + 1 < n && isAccidental (s[i]) && isDigitByte (s[i + 1]))
    {
        i += 2;
        if (i < n && isDigitByte (s[i]))
            ++i;
    }
    // Parenthesised alterations.
    while (i < n && s[i] == '(')
    {
        std::size_t j = i + 1;
        if (j < n && isAccidental (s[j]))
            ++j;
        if (j >= n || ! isDigitByte (s[j]))
            return false;
        ++j;
        if (j < n && isDigitByte (s[j]))
            ++j;
        if (j >= n || s[j] != ')')
            return false;
        i = j + 1;
    }
    // Slash bass.
    if (i < n && s[i] == '/')
    {
        if (i + 1 >= n || ! isNoteLetter (s[i + 1]))
            return false;
        i += 2;
        if (i < n && isAccidental (s[i]))
            ++i;
    }
    return i == n;
}

bool matchMinorQuality (std::string_view s) noexcept
{
    if (! s.empty() && s[0] == 'm')
        return s.substr (1, 2) != "aj";
    return startsWith (s, "dim") || startsWith (s, "\xC2\xB0") || startsWith (s, "\xC3\xB8");
}

ChordSplitMatch matchChordSplit (std::string_view s) noexcept
{
    ChordSplitMatch m;
    const std::size_t n = s.size();
    if (n == 0 || ! isNoteLetter (s[0]))
        return m;
    std::size_t rootLen = (n > 1 && isAccidental (s[1])) ? 2 : 1;
    for (std::size_t i = rootLen; i < n; ++i)
        if (isLineTerminator (s[i]))
            return m;
    // The lazy quality ends at the first place from which "/X" or "/Xa" (or nothing) reaches the end.
    std::size_t qualityEnd = n;
    std::size_t bassStart = n;
    if (n >= 3 && n - 3 >= rootLen && s[n - 3] == '/' && isNoteLetter (s[n - 2]) && isAccidental (s[n - 1]))
    {
        qualityEnd = n - 3;
        bassStart = n - 2;
    }
    else if (n >= 2 && n - 2 >= rootLen && s[n - 2] == '/' && isNoteLetter (s[n - 1]))
    {
        qualityEnd = n - 2;
        bassStart = n - 1;
    }
    m.matched = true;
    m.root = s.substr (0, rootLen);
    m.quality = s.substr (rootLen, qualityEnd - rootLen);
    m.bass = s.substr (bassStart);
    return m;
}

std::string_view stripSongKeyModeWord (std::string_view s) noexcept
{
    static constexpr std::array<std::string_view, 4> longWords { "mayor", "major", "menor", "minor" };
    static constexpr std::array<std::string_view, 2> shortWords { "maj", "min" };
    std::size_t wordStart = npos;
    if (s.size() >= 5)
        for (auto w : longWords)
            if (matchesLowerAt (s, s.size() - 5, w))
                wordStart = s.size() - 5;
    if (wordStart == npos && s.size() >= 3)
        for (auto w : shortWords)
            if (matchesLowerAt (s, s.size() - 3, w))
                wordStart = s.size() - 3;
    return wordStart == npos ? s : trimEndView (s.substr (0, wordStart));
}

bool matchKeyLetter (std::string_view s) noexcept
{
    if (s.empty() || ! isNoteLetter (s[0]))
        return false;
    std::size_t i = 1;
    if (i < s.size() && (s[i] == '#' || s[i] == 'B'))
        ++i;
    if (i < s.size() && s[i] == 'M')
        ++i;
    return i == s.size();
}

std::optional<std::string_view> findMarkdownLinkText (std::string_view s) noexcept
{
    ForwardFinder closeBracket (s, ']');
    ForwardFinder closeParen (s, ')');
    for (std::size_t p = s.find ('['); p != npos; p = s.find ('[', p + 1))
    {
        const std::size_t c = closeBracket.find (p + 1);
        if (c == npos)
            return std::nullopt; // no "]" after this "[", so none after any later one either
        if (c < p + 2 || c + 1 >= s.size() || s[c + 1] != '(')
            continue;
        if (closeParen.find (c + 2) == npos)
            return std::nullopt;
        return s.substr (p + 1, c - p - 1);
    }
    return std::nullopt;
}

std::string_view stripKeyModeWord (std::string_view s) noexcept
{
    static constexpr std::array<std::string_view, 7> words { "major", "minor", "mayor", "menor", "maj", "min", "m" };
    return stripTrailingWord (s, words);
}

bool hasFlatWord (std::string_view s) noexcept { return hasBoundedWord (s, "flat") || hasBoundedWord (s, "bemol"); }

bool hasSharpWord (std::string_view s) noexcept
{
    return hasBoundedWord (s, "sharp") || hasBoundedWord (s, "sostenido");
}

std::string_view stripAccidentalWord (std::string_view s) noexcept
{
    static constexpr std::array<std::string_view, 4> words { "sharp", "flat", "sostenido", "bemol" };
    return stripTrailingWord (s, words);
}

bool matchWatermark (int pattern, std::string_view s) noexcept
{
    const std::size_t lead = skipSpaces (s, 0);
    switch (pattern)
    {
        case 1:
            return matchLicenceLine (s);
        case 2:
        {
            if (s.substr (lead, 2) != kCopyright)
                return false;
            const std::size_t j = skipSpaces (s, lead + 2);
            return j < s.size() && isDigitByte (s[j]) && noLineTerminatorFrom (s, j);
        }
        case 3:
        {
            if (! matchesLowerAt (s, lead, "copyright"))
                return false;
            const std::size_t i = lead + 9;
            const std::size_t j = skipSpaces (s, i);
            return j > i && s.substr (j, 2) == kCopyright && noLineTerminatorFrom (s, j + 2);
        }
        case 4:
        {
            std::size_t i = lead;
            for (std::string_view word : { std::string_view ("all"), std::string_view ("rights") })
            {
                if (! matchesLowerAt (s, i, word))
                    return false;
                const std::size_t j = skipSpaces (s, i + word.size());
                if (j == i + word.size())
                    return false;
                i = j;
            }
            if (! matchesLowerAt (s, i, "reserved"))
                return false;
            i += 8;
            if (i < s.size() && s[i] == '.')
                ++i;
            return onlySpacesFrom (s, i);
        }
        case 5:
        {
            if (s.substr (lead, 4) != "http")
                return false;
            std::size_t i = lead + 4;
            if (s.substr (i, 4) == "s://")
                i += 4;
            else if (s.substr (i, 3) == "://")
                i += 3;
            else
                return false;
            return singleWordToEnd (s, i);
        }
        case 6:
            return s.substr (lead, 4) == "www." && singleWordToEnd (s, lead + 4);
        default:
            return false;
    }
}

bool searchChordProDirective (std::string_view s) noexcept
{
    static constexpr std::array<std::string_view, 10> words { "c",   "comment", "soc",       "sov",    "sob",
                                                              "eoc", "eov",     "eob", "start_of_", "end_of_" };
    for (std::size_t p = s.find ('{'); p != npos; p = s.find ('{', p + 1))
    {
        const std::size_t j = skipSpaces (s, p + 1);
        for (auto w : words)
        {
            if (! matchesLowerAt (s, j, w))
                continue;
            const std::size_t after = j + w.size();
            if (after == s.size() || ! isWordByte (s[after]))
                return true;
        }
    }
    return false;
}

bool searchKeyLink (std::string_view s) noexcept
{
    static constexpr std::array<std::string_view, 4> labels { "tono", "tonalidad", "tonalidade", "key" };
    ForwardFinder closeBracket (s, ']');
    ForwardFinder closeParen (s, ')');

    const auto matchesAt = [&] (std::size_t start) {
        for (auto label : labels)
        {
            if (! matchesLowerAt (s, start, label))
                continue;
            std::size_t j = skipSpaces (s, start + label.size());
            if (j >= s.size() || (s[j] != ':' && s[j] != '-'))
                continue;
            j = skipSpaces (s, j + 1);
            if (j >= s.size() || s[j] != '[')
                continue;
            const std::size_t c = closeBracket.find (j + 1);
            if (c == npos || c < j + 2 || c + 1 >= s.size() || s[c + 1] != '(')
                continue;
            const std::size_t d = closeParen.find (c + 2);
            if (d != npos && d >= c + 3)
                return true;
        }
        return false;
    };

    // A match starts at the text's start or at a line feed, then skips whitespace (line feeds
    // included); so the candidates are the first non-whitespace bytes reached that way.
    bool eligible = true;
    for (std::size_t i = 0; i < s.size(); ++i)
    {
        const char c = s[i];
        if (c == '\n')
        {
            eligible = true;
            continue;
        }
        if (isSpaceByte (c))
            continue;
        if (eligible && matchesAt (i))
            return true;
        eligible = false;
    }
    return false;
}
} // namespace quorvelle::charts::patterns
