#pragma once

// The chord and key model of the chart code: chord-symbol test and split, note and key tables,
// the song-key parser and the small byte-string utilities the importer uses everywhere.
// All text is UTF-8 handled byte by byte; letters, digits and whitespace are ASCII only.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorvelle::charts
{
// Space, tab, line feed, vertical tab, form feed, carriage return.
constexpr bool isSpaceByte (char c) noexcept
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
constexpr bool isDigitByte (char c) noexcept { return c >= '0' && c <= '9'; }
constexpr bool isUpperByte (char c) noexcept { return c >= 'A' && c <= 'Z'; }
constexpr bool isLowerByte (char c) noexcept { return c >= 'a' && c <= 'z'; }
constexpr bool isLetterByte (char c) noexcept { return isUpperByte (c) || isLowerByte (c); }
constexpr bool isAlnumByte (char c) noexcept { return isLetterByte (c) || isDigitByte (c); }
constexpr bool isNoteLetter (char c) noexcept { return c >= 'A' && c <= 'G'; }
constexpr char lowerByte (char c) noexcept { return isUpperByte (c) ? char (c + 32) : c; }
constexpr char upperByte (char c) noexcept { return isLowerByte (c) ? char (c - 32) : c; }

// The UTF-8 forms of the sharp and flat signs (♯, ♭) and of the bullet (•).
inline constexpr std::string_view kSharpSign = "\xE2\x99\xAF";
inline constexpr std::string_view kFlatSign = "\xE2\x99\xAD";
inline constexpr std::string_view kBullet = "\xE2\x80\xA2";

// A chord symbol split into root, quality and bass note.
struct ChordParts
{
    std::string root;
    std::string quality;
    std::string bass;
    bool ok = false;
};

// Note names by pitch class (C = 0).
extern const std::array<std::string_view, 12> kSharpNoteNames;
extern const std::array<std::string_view, 12> kFlatNoteNames;

// Rewrites every complete ♯ to '#' and ♭ to 'b'.
std::string normalizeAccidentalSigns (std::string_view text);

// True for a chord symbol of at most 20 bytes: root, qualities and numbers, alterations,
// parenthesised alterations and an optional slash bass, in that order.
bool isChordSymbol (std::string_view token);

// True when the quality text starts as a minor one (m but not maj, min, dim, °, ø).
bool isMinorQuality (std::string_view quality);

ChordParts splitChordSymbol (std::string_view chord);

// Pitch class of one of the 20 note names, or -1.
int notePitchClass (std::string_view name);

// Pitch class of a key name (the sharp names and nine aliases), case-sensitive.
std::optional<int> keyNamePitchClass (std::string_view name);

// Pitch class of a song key as a person writes it ("Am", "La menor", "Sib", "F# minor").
std::optional<int> parseSongKeyIndex (std::string_view text);

std::string trimSpaces (std::string_view text);
std::string_view trimView (std::string_view text) noexcept;
// The text without its trailing whitespace.
std::string_view trimEndView (std::string_view text) noexcept;
std::string toLowerAscii (std::string_view text);
std::string toUpperAscii (std::string_view text);
std::vector<std::string> splitWhitespaceTokens (std::string_view text);

// How many ASCII upper-case and lower-case letters a text holds.
struct LetterCaseCounts
{
    std::size_t upper = 0;
    std::size_t lower = 0;
};
LetterCaseCounts countLetterCase (std::string_view text) noexcept;

// Calls `fn (run, position)` for every maximal run of bytes for which `inRun` holds, in order;
// stops early when `fn` returns false. Returns false when it was stopped.
template <typename InRun, typename Fn>
bool forEachRun (std::string_view text, InRun&& inRun, Fn&& fn)
{
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n)
    {
        while (i < n && ! inRun (text[i]))
            ++i;
        if (i >= n)
            break;
        const std::size_t start = i;
        while (i < n && inRun (text[i]))
            ++i;
        if (! fn (text.substr (start, i - start), start))
            return false;
    }
    return true;
}

// `forEachRun` over the runs of non-whitespace bytes (the tokens of a line).
template <typename Fn>
bool forEachToken (std::string_view text, Fn&& fn)
{
    return forEachRun (text, [] (char c) { return ! isSpaceByte (c); }, std::forward<Fn> (fn));
}

bool isSeparatorToken (std::string_view token);
bool isChordLine (std::string_view line);

// Whether every token of the line is a separator or a chord by `isChord`, with at least one chord.
template <typename IsChord>
bool isChordLineBy (std::string_view line, IsChord&& isChord)
{
    bool anyChord = false;
    const bool allChords = forEachToken (line, [&] (std::string_view token, std::size_t) {
        if (isSeparatorToken (token))
            return true;
        if (! isChord (token))
            return false;
        anyChord = true;
        return true;
    });
    return allChords && anyChord;
}

bool hasChordToken (std::string_view line);

bool startsWith (std::string_view text, std::string_view prefix) noexcept;
// ASCII case-insensitive comparison of `text` at `pos` with the lower-case `word`.
bool matchesLowerAt (std::string_view text, std::size_t pos, std::string_view lowerWord) noexcept;
} // namespace quorvelle::charts
