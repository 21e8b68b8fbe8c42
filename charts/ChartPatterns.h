#pragma once

// Hand-written matchers for the text patterns of the chart code. Each one accepts exactly the
// texts that the ECMAScript regular expression quoted above it accepts (matched over bytes, with
// \s, \d, \w and \b in their ASCII meanings and case folding of ASCII letters only), but runs in
// time linear in the input and without recursion, so lines of any length are safe. libstdc++'s
// std::regex recurses once per character and overflows the stack on long lines.

#include <cstddef>
#include <optional>
#include <string_view>

namespace quorvelle::charts::patterns
{
// Full match of
// "^[A-G][#b]?(?:maj|min|m|dim|aug|sus|add|\xC2\xB0|\xC3\xB8|\+|M)?(?:\d{0,2})(?:(?:maj|min|m|dim|aug|sus|add|\xC2\xB0|\xC3\xB8|\+|M)?\d{0,2})*(?:[#b]\d{1,2})*(?:\([#b]?\d{1,2}\))*(?:/[A-G][#b]?)?$"
bool matchChordSymbol (std::string_view text) noexcept;

// Search of "^(m(?!aj)|min|dim|\xC2\xB0|\xC3\xB8)".
bool matchMinorQuality (std::string_view text) noexcept;

// Full match of "^([A-G][#b]?)(.*?)(?:/([A-G][#b]?))?$" with its three groups.
struct ChordSplitMatch
{
    bool matched = false;
    std::string_view root, quality, bass;
};
ChordSplitMatch matchChordSplit (std::string_view text) noexcept;

// The text left after replacing every match of "\s*(mayor|major|menor|minor|maj|min)$"
// (ignoring case) by nothing.
std::string_view stripSongKeyModeWord (std::string_view text) noexcept;

// Full match of "^([A-G])([#B]?)([M]?)$".
bool matchKeyLetter (std::string_view text) noexcept;

// First group of the first match of "\[([^\]]+)\]\([^)]*\)" (a markdown link's text).
std::optional<std::string_view> findMarkdownLinkText (std::string_view text) noexcept;

// The text left after replacing every match of "\s+(major|minor|mayor|menor|maj|min|m)\s*$"
// (ignoring case) by nothing.
std::string_view stripKeyModeWord (std::string_view text) noexcept;

// Search of "\bflat\b|\bbemol\b" (ignoring case).
bool hasFlatWord (std::string_view text) noexcept;
// Search of "\bsharp\b|\bsostenido\b" (ignoring case).
bool hasSharpWord (std::string_view text) noexcept;

// The text left after replacing every match of "\s+(sharp|flat|sostenido|bemol)\s*$"
// (ignoring case) by nothing.
std::string_view stripAccidentalWord (std::string_view text) noexcept;

// Full match of one of the six watermark patterns (1 to 6):
// 1 "^\s*\(?[^()]*?\bCCLI\s+song\s+#\s*\d+\s*\)?\s*$" (ignoring case)
// 2 "^\s*©\s*\d+.*$"
// 3 "^\s*Copyright\s+©.*$" (ignoring case)
// 4 "^\s*All\s+rights\s+reserved\.?\s*$" (ignoring case)
// 5 "^\s*https?://[^\s]+\s*$"
// 6 "^\s*www\.[^\s]+\s*$"
bool matchWatermark (int pattern, std::string_view line) noexcept;

// Search of "\{\s*(c|comment|soc|sov|sob|eoc|eov|eob|start_of_|end_of_)\b" (ignoring case).
bool searchChordProDirective (std::string_view text) noexcept;

// Search of
// "(?:^|\n)\s*(?:Tono|Tonalidad|Tonalidade|Key|KEY)\s*[:\-]\s*\[[^\]]+\]\([^)]+\)"
// (ignoring case).
bool searchKeyLink (std::string_view text) noexcept;
} // namespace quorvelle::charts::patterns
