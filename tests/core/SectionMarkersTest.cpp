#include "core/CoreService.h"
#include "core/SectionMarkers.h"

#include <gtest/gtest.h>

#include <random>
#include <regex>

using namespace quorvelle::core;

TEST (CoreSectionMarkers, MarkerTable)
{
    struct Case { std::string name; std::string label; };
    const Case cases[] = {
        { "Coro 2", "Coro 2" }, { "CHORUS", "Coro" }, { "Pre-Chorus 1", "Pre Coro 1" }, { "Verse 2a", "Verso 2" },
        { "Verse 12b", "Verso 12" }, { "2nd Verse 3", "Verso 2" }, { "Intro", "Intro" }, { "Introducci\xC3\xB3n", "Intro" },
        { "Post Coro", "Post Coro" }, { "postchorus 3", "Post Coro 3" }, { "Verso", "Verso" }, { "Bridge 007", "Puente 007" },
        { "Puente", "Puente" }, { "Instrumental Interlude", "Instrumental" }, { "Guitar Solo 2", "Solo" },
        { "Interlude", "Interludio" }, { "Outro 1", "Outro 1" }, { "Coro final", "Coro" }, { "Ending", "Final" },
        { "Final 2", "Final 2" }, { "Tag", "Tag 1" }, { "Tag 3", "Tag 3" }, { "Stage", "Tag 1" }, { "Vamp 4", "Vamp" },
        { "Refrain 2", "Refrain 2" }, { "Build", "Build" }, { "Breakdown", "Bajar intensidad" }, { "Suave", "Bajar intensidad" },
        { "Bajar", "Bajar intensidad" }, { "Subir", "Subir intensidad" }, { "Acentos", "Acentos" }, { "Accents", "Acentos" },
        { "Count Off 2", "Cuenta Inicial" }, { "count-off", "Cuenta Inicial" }, { "COUNTOFF", "Cuenta Inicial" },
        { "the count off", "Cuenta Inicial" }, { "Cuenta Inicial", "Cuenta Inicial" }, { "cuenta ini", "Cuenta Inicial" },
        { "Count In", "Cuenta" }, { " conteo ", "Cuenta" }, { "Count", "Cuenta" }, { "count-in", "Cuenta" },
        { "countin", "Cuenta" }, { "Cuenta", "Cuenta" },
        { "count_off", "count_off" }, { "recount off", "recount off" }, { "count offbeat", "count offbeat" },
        { " Estribillo ", " Estribillo " }, { "", "" }, { "\xC3\x89XITO", "\xC3\x89XITO" },
        { "Count In 2", "Count In 2" }, // not one of the exact count words, and no row matches
    };
    for (const auto& c : cases)
    {
        const auto label = classifySectionMarker (c.name);
        EXPECT_EQ (label.type, c.label) << "[" << c.name << "]";
        EXPECT_EQ (label.cleanName, c.label) << "[" << c.name << "]";
    }
}

TEST (CoreSectionMarkers, MethodsThroughTheService)
{
    EXPECT_EQ (invokeCoreMethod ("mapMarkerToSectionType", Json::parse (R"({"name": "Pre-Chorus 1"})"))["result"],
               Json::parse (R"({"type": "Pre Coro 1", "cleanName": "Pre Coro 1"})"));
    EXPECT_EQ (invokeCoreMethod ("mapMarkerToSectionType", Json::parse (R"({"name": 5})"))["result"],
               Json::parse (R"({"type": "", "cleanName": ""})"));
    EXPECT_EQ (invokeCoreMethod ("isCountSection", Json::parse (R"({"name": "CUENTA_INICIAL"})"))["result"], Json (true));
    EXPECT_EQ (invokeCoreMethod ("isCountSection", Json::parse (R"({"name": "count-off"})"))["result"], Json (false));
    EXPECT_EQ (invokeCoreMethod ("countSyllables", Json::parse (R"({"text": "Hola, mundo"})"))["result"], Json (4u));
    EXPECT_EQ (invokeCoreMethod ("countSyllables", Json::parse (R"({"text": null})"))["result"], Json (0u));
}

TEST (CoreSectionMarkers, Syllables)
{
    struct Case { std::string text; uint64_t count; };
    const Case cases[] = {
        { "canci\xC3\xB3n", 2 }, { "poeta", 3 }, { "d\xC3\xAD" "a", 2 }, { "ciudad", 2 }, { "guitarra", 3 }, { "y", 1 },
        { "2024", 0 }, { "Hola, mundo", 4 }, { "", 0 }, { "r\xC3\xADo", 2 }, { "buey", 1 }, { "PA\xC3\x8DS", 2 },
        { "ping\xC3\xBC" "ino", 3 }, { "le\xC3\xB3n", 2 }, { "a\xC3\xA9reo", 4 }, { "brr", 1 }, { "l'agua", 3 },
        { "caf\xC3\xA9\xC3\xA7" "a", 3 },        // ç ends a word: "café" + "a"
        { "d\xC3", 1 },                          // a cut-short lead byte is a code point of its own, not a letter
        { "\xC3\xA1\xFF\x80" "a", 2 },           // stray bytes split words
        { "\xE2\x80\x94" "oye\xF0\x9F\x8E\xB5" "ya", 3 },
    };
    for (const auto& c : cases)
        EXPECT_EQ (countSpanishSyllables (c.text), c.count) << c.text;
}

TEST (CoreSectionMarkers, MatchersAgreeWithStdRegex)
{
    // Short inputs only: this is where std::regex is safe to compare against.
    const std::regex digits ("(\\d+)", std::regex::ECMAScript);
    const std::regex countOff ("\\bcount[\\s\\-]?off\\b", std::regex::ECMAScript);

    const std::vector<std::string> pieces { "count", "off", "c", "o", "f", "n", "t", " ", "-", "_", "\t", "\v", "\n", "x", "1", "42",
                                            "\xC3\xA9", "\xFF", "!", "of", "ount", "--", "  " };
    std::mt19937 rng (7);
    std::uniform_int_distribution<std::size_t> pick (0, pieces.size() - 1);
    std::uniform_int_distribution<int> length (0, 7);

    for (int i = 0; i < 20000; ++i)
    {
        std::string text;
        for (int k = length (rng); k > 0; --k)
            text += pieces[pick (rng)];

        std::smatch m;
        const bool regexFound = std::regex_search (text, m, digits);
        const auto run = findFirstDigitRun (text);
        ASSERT_EQ (run.has_value(), regexFound) << "[" << text << "]";
        if (regexFound)
        {
            ASSERT_EQ (std::string (*run), m.str (1)) << "[" << text << "]";
            ASSERT_EQ (run->data() - text.data(), m.position (1)) << "[" << text << "]";
        }
        ASSERT_EQ (containsCountOff (text), std::regex_search (text, countOff)) << "[" << text << "]";
    }
}

TEST (CoreSectionMarkers, MatchersHandleLongTextsWithoutRecursion)
{
    // Runs long enough to exhaust the stack of a recursive matcher.
    std::string digits (8 * 1024 * 1024, '7');
    digits = "x" + digits + "y";
    const auto run = findFirstDigitRun (digits);
    ASSERT_TRUE (run.has_value());
    EXPECT_EQ (run->size(), 8u * 1024 * 1024);

    std::string counts;
    for (int i = 0; i < 1000000; ++i)
        counts += "count";
    EXPECT_FALSE (containsCountOff (counts));
    EXPECT_TRUE (containsCountOff (counts + " count-off"));
    EXPECT_EQ (classifySectionMarker (std::string (4 * 1024 * 1024, ' ') + "Verse " + std::string (1024 * 1024, '9')).type,
               "Verso " + std::string (1024 * 1024, '9'));
}
