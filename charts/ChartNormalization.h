#pragma once

// Cleaning of pasted chart text: line endings, invisible and look-alike characters, watermark
// lines, filler letters and trailing blanks. Every pass that changed the text is reported by name.

#include <string>
#include <string_view>
#include <vector>

namespace quorvelle::charts
{
struct NormalizedText
{
    std::string text;
    std::vector<std::string> rules;
};

// A pass's output and whether it changed anything.
struct PassResult
{
    std::string text;
    bool changed = false;
};

using NormalizationPass = PassResult (*) (std::string_view);

NormalizedText normalizeChartText (std::string_view text);
void runNormalizationPass (std::string_view ruleName, NormalizedText& state, NormalizationPass pass);

PassResult normalizeLineEndings (std::string_view text);
PassResult stripZeroWidthChars (std::string_view text);
PassResult stripBidiOverrides (std::string_view text);
PassResult stripSoftHyphens (std::string_view text);
PassResult normalizeUnicodeNfcLite (std::string_view text);
PassResult normalizeFullwidthToAscii (std::string_view text);
PassResult normalizeNbspToSpace (std::string_view text);
PassResult normalizeHomoglyphs (std::string_view text);
PassResult stripWatermarkLines (std::string_view text);
PassResult stripInvisibleFiller (std::string_view text);
PassResult trimTrailingWhitespacePerLine (std::string_view text);

bool isWatermarkLine (std::string_view line);
bool isFillerChordLine (std::string_view line);
std::string replaceFillerA (std::string_view line);
} // namespace quorvelle::charts
