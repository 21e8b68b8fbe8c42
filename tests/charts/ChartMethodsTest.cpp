#include "charts/ChartMethods.h"

#include <gtest/gtest.h>

namespace quorvelle::charts
{
namespace
{
using json = nlohmann::json;

TEST (ChartMethods, TransposeChord)
{
    const std::pair<json, json> cases[] {
        { { { "chord", "Amor" }, { "semitones", 2 } }, "Bmor" },
        { { { "chord", "C/E/G" }, { "semitones", 2 } }, "D/E/A" },
        { { { "chord", "C\xE2\x99\xAF" } }, "C\xE2\x99\xAF" },               // defaults: 0 semitones, sharps
        { { { "chord", "C\xE2\x99\xAF" }, { "preferFlats", true } }, "Db" },
        { { { "chord", "Am7/G" }, { "semitones", -3 }, { "preferFlats", true } }, "Gbm7/E" },
        { { { "chord", "G" }, { "semitones", 2.9 } }, "A" },                 // a float is truncated
        { { { "chord", "G" }, { "semitones", -2.9 } }, "F" },
        { { { "chord", "G" }, { "semitones", 4294967298LL } }, "A" },        // low 32 bits: 2
        { { { "chord", "G" }, { "semitones", "2" } }, "G" },                 // a string is no number
        { { { "chord", "G" }, { "semitones", 2 }, { "preferFlats", 1 } }, "A" }, // a number is no boolean
        { { { "chord", 7 }, { "semitones", 2 } }, "" },
        { json::object(), "" },
        { json::array(), "" },
        { "G", "" },
    };
    for (const auto& [payload, expected] : cases)
        EXPECT_EQ (chartMethodTransposeChord (payload), expected) << payload.dump();
}

TEST (ChartMethods, TransformChordLine)
{
    const std::string flat = "\xE2\x99\xAD";
    const std::pair<json, json> cases[] {
        { { { "line", "  Am    F  C/E  " }, { "semitones", 2 } }, "  Bm    G  D/F#  " },
        { { { "line", "G  D/F#  Em" }, { "notation", "nashville" }, { "songKeyIdx", 7 } }, "1  5/7  6m" },
        { { { "line", "G  D/F#  Em" }, { "notation", "roman" }, { "songKeyIdx", 7 } }, "I  V/VII  vi" },
        { { { "line", "C" }, { "semitones", 2 }, { "notation", "roman" } }, flat + "VII" },
        { { { "line", "Am F C G" }, { "notation", "latin" } }, "Lam Fa Do Sol" },
        { { { "line", "Am F" }, { "notation", "Latin" } }, "Am F" },     // names are compared exactly
        { { { "line", "Am F" }, { "notation", "american" }, { "semitones", 1 }, { "preferFlats", true } }, "Bbm Gb" },
        { { { "line", "Dios es amor" } }, "Dios es amor" },
        { json::object(), "" },
    };
    for (const auto& [payload, expected] : cases)
        EXPECT_EQ (chartMethodTransformChordLine (payload), expected) << payload.dump();
}

TEST (ChartMethods, GetSongKeyIndex)
{
    const std::pair<json, json> cases[] {
        { { { "songKey", "La menor" } }, 9 }, { { { "songKey", "Sib" } }, 10 }, { { { "songKey", "F# minor" } }, 6 },
        { { { "songKey", "H" } }, 0 },        { { { "songKey", 5 } }, 0 },      { json::object(), 0 },
        { json::array(), 0 },                 { { { "songKey", nullptr } }, 0 },
    };
    for (const auto& [payload, expected] : cases)
    {
        const auto result = chartMethodGetSongKeyIndex (payload);
        EXPECT_EQ (result, expected) << payload.dump();
        EXPECT_TRUE (result.is_number_integer());
    }
}

TEST (ChartMethods, ParseChordChartWritesTheWholeRecord)
{
    const auto result = chartMethodParseChordChart ({ { "rawText", "Key: G\n[Coro]\nG   D\nDios es amor\n" } });
    const json expected = json::parse (R"({
        "appliedRules": [],
        "blocks": [{
            "confidence": "high",
            "content": [{"chords": [{"chord": "G", "column": 0}, {"chord": "D", "column": 4}], "lyric": "Dios es amor"}],
            "detectedName": "[Coro]",
            "detectedNumber": null,
            "detectedType": "chorus",
            "id": "blk_1",
            "performanceNote": null
        }],
        "detectedFamily": "A_brackets_chord_over_lyric",
        "detectedNotation": "american",
        "familyConfidence": "high",
        "metadata": {"artist": null, "bpm": null, "capo": null, "sourceKey": "G", "timeSignature": null, "title": null},
        "notationConfidence": "high",
        "warnings": ["[format] detected bracket section markers", "[format] detected chord-over-lyric pattern"]
    })");
    EXPECT_EQ (result, expected);
    // Keys serialise in byte order.
    EXPECT_EQ (result.dump().substr (0, 17), R"({"appliedRules":[)");
}

TEST (ChartMethods, ParseChordChartOptionsAndDefaults)
{
    // No options: healing on, no song key.
    const auto healed = chartMethodParseChordChart ({ { "rawText", "Gglory Cto Dyou" } });
    EXPECT_EQ (healed.at ("appliedRules"), json::array ({ "heal_chord_stuck_to_lyric" }));
    // Options of the wrong type read as defaults.
    EXPECT_EQ (chartMethodParseChordChart ({ { "rawText", "Gglory Cto Dyou" }, { "options", 3 } }), healed);
    EXPECT_EQ (chartMethodParseChordChart ({ { "rawText", "Gglory Cto Dyou" }, { "options", { { "enableHealing", "no" } } } }),
               healed);
    const auto unhealed = chartMethodParseChordChart (
        { { "rawText", "Gglory Cto Dyou" }, { "options", { { "enableHealing", false } } } });
    EXPECT_EQ (unhealed.at ("appliedRules"), json::array());

    // A display notation in another letter case reads as undecided, and changes nothing.
    EXPECT_EQ (readChordChartOptions ({ { "displayNotation", "Latin" } }).displayNotation, ChartNotation::undecided);
    EXPECT_EQ (readChordChartOptions ({ { "displayNotation", "nashville" } }).displayNotation, ChartNotation::nashville);
    EXPECT_EQ (readChordChartOptions (json::object()).displayNotation, ChartNotation::american);
    EXPECT_EQ (chartMethodParseChordChart ({ { "rawText", "G D\nDios" }, { "options", { { "displayNotation", "Latin" } } } }),
               chartMethodParseChordChart ({ { "rawText", "G D\nDios" } }));

    // Missing text: a full result object for the empty text.
    const auto empty = chartMethodParseChordChart (json::object());
    EXPECT_EQ (empty.at ("detectedFamily"), "unknown");
    EXPECT_EQ (empty.at ("detectedNotation"), "unknown");
    EXPECT_EQ (empty.at ("familyConfidence"), "medium");
    EXPECT_EQ (empty.at ("notationConfidence"), "medium");
    EXPECT_EQ (empty.at ("warnings"), json::array ({ "Texto vacío." }));
    EXPECT_EQ (empty.at ("blocks"), json::array());
    EXPECT_EQ (empty.at ("metadata").size(), 6u);
}

TEST (ChartMethods, EnumerationNames)
{
    EXPECT_EQ (chartFamilyName ((ChartFamily) 42), "unknown");
    EXPECT_EQ (chartNotationName ((ChartNotation) 7), "unknown");
    EXPECT_EQ (chartConfidenceName ((ChartConfidence) 5), "medium");
    EXPECT_EQ (sectionTypeName ((SectionType) 10), "custom");
    EXPECT_EQ (sectionTypeName (SectionType::preChorus), "pre-chorus");
    EXPECT_EQ (chartFamilyName (ChartFamily::chordProInline), "H_chordpro_inline");
}
} // namespace
} // namespace quorvelle::charts
