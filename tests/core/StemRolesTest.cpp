#include "core/StemRoles.h"

#include <gtest/gtest.h>

using namespace quorvelle::core;

TEST (CoreStemRoles, BusGroups)
{
    const char* unpitched[] = { "click", "guide", "drums", "percussion", "loops", "fx" };
    const char* pitched[] = { "bass", "piano", "keys", "electric_gtr", "acoustic_gtr", "strings", "brass", "pad", "vocals", "aux",
                              "Drums", "FX", "", "loop" };
    for (const auto* name : unpitched)
        EXPECT_TRUE (isUnpitchedBusGroup (name)) << name;
    for (const auto* name : pitched)
        EXPECT_FALSE (isUnpitchedBusGroup (name)) << name;
}

TEST (CoreStemRoles, Tracks)
{
    struct Case { const char* type; const char* name; bool unpitched; };
    const Case cases[] = {
        { "DRUMS", "Anything", true },
        { "FX", "", true },
        { "BEATBOX", "Voz", true },
        { "SLEIGH_BELLS", "", true },
        { "drums", "Bajo", false },                 // type compared case-sensitively; the name decides
        { "BASS", "Gu\xC3\xAD" "a 2", true },        // Guía 2 -> "guia  "
        { "", "Percusi\xC3\xB3n", true },            // Percusión
        { "", "Bater\xC3\xAD" "a", false },          // Batería
        { "", "SFX Riser", true },
        { "", "Effects", false },
        { "", "Cue", true },
        { "", "CUES", true },
        { "", "Cuerdas", false },
        { "", "Drumloop", true },
        { "", "Loops 1", true },
        { "", "Click-track", true },
        { "", "Guitarra 12", false },
        { "", "f", false },
        { "", "  fx", true },
        { "", "f-x", false },
        { "", "Voz \xC3\x91" "drum", false },       // Ñdrum folds to "ndrum"
        { "", "\xC3\xA9" "drum", false },            // édrum folds to "edrum"
        { "", "x\xC3\xA0" "drum", true },            // à folds to a space: "x drum"
    };
    for (const auto& c : cases)
        EXPECT_EQ (isUnpitchedTrack (c.type, c.name), c.unpitched) << c.type << " / " << c.name;
}

TEST (CoreStemRoles, FoldTrackName)
{
    struct Case { std::string in; std::string out; };
    const Case cases[] = {
        { "Gu\xC3\xAD" "a 2", "guia  " },
        { "\xC3\x81\xC3\xA1\xC3\x89\xC3\xA9\xC3\x8D\xC3\xAD\xC3\x91\xC3\xB1\xC3\x93\xC3\xB3\xC3\x9A\xC3\xBA\xC3\x9C\xC3\xBC", "aaeeiinnoouuuu" },
        { "\xC3\xA7x", " x" },            // another C3 letter: one space for the two bytes
        { "x\xC3", "x " },                // a lead byte at the end
        { "\xE2\x82\xAC", "   " },        // other multi-byte characters: a space per byte
        { "AZaz09_", "azaz   " },
    };
    for (const auto& c : cases)
        EXPECT_EQ (foldTrackName (c.in), c.out);
}
