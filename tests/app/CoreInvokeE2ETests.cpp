// "CORE_INVOKE" through the whole program (`--bridge-stdio`): the response text arrives byte for
// byte as the core serialised it, and the chord-chart methods answer through it.
#include "EndedProgram.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <cstdlib>

namespace quorvelle::test
{
namespace
{
constexpr int startupMs = 15000;

// Sends one call and returns the raw "responseJson" text of its answer, decoded from the stdout
// line by a strict JSON parser (so the bytes are the ones the program wrote, not re-encoded).
// Also checks the event's own keys and their order.
std::optional<std::string> invoke (ProgramProcess& program, const std::string& id, const std::string& method, const nlohmann::json& payload)
{
    program.send (makeObject ({ { "action", "CORE_INVOKE" },
                                { "id", juce::String (id) },
                                { "method", juce::String::fromUTF8 (method.c_str()) },
                                { "payloadJson", juce::String::fromUTF8 (payload.dump().c_str()) } }));
    const auto index = program.waitForEvent ([&] (const juce::var& v)
    { return v.getProperty ("action", {}).toString() == "CORE_INVOKE_RESPONSE" && v.getProperty ("id", {}).toString() == juce::String (id); },
                                             startupMs);
    if (! index.has_value())
        return std::nullopt;

    const auto line = program.lines()[*index];
    const auto event = nlohmann::ordered_json::parse (line);
    std::vector<std::string> keys;
    for (const auto& item : event.items())
        keys.push_back (item.key());
    EXPECT_EQ (keys, (std::vector<std::string> { "action", "id", "responseJson" })) << line;
    return event.at ("responseJson").get<std::string>();
}

// True when every object in the text lists its keys in ascending byte order, as written.
bool keysSortedEverywhere (const nlohmann::ordered_json& value)
{
    if (value.is_object())
    {
        std::string previous;
        bool first = true;
        for (const auto& item : value.items())
        {
            if (! first && ! (previous < item.key()))
                return false;
            previous = item.key();
            first = false;
            if (! keysSortedEverywhere (item.value()))
                return false;
        }
    }
    if (value.is_array())
        for (const auto& element : value)
            if (! keysSortedEverywhere (element))
                return false;
    return true;
}

TEST (StdioCoreInvoke, ResponseTextArrivesIntact)
{
    EndedProgram program;
    ASSERT_TRUE (program.started());

    struct Case
    {
        std::string method;
        nlohmann::json payload;
        std::string expected; // the exact bytes of "responseJson"
    };
    // Sorted keys ("error" before "ok"); UTF-8 of two, three and four bytes written as bytes, not
    // escaped; doubles in their shortest exact form, with an exponent only where it is shorter.
    const std::vector<Case> cases {
        { "m\xc3\xa9todo\xe2\x82\xac\xf0\x9f\x8e\xb8", nlohmann::json::object(),
          "{\"error\":\"unknown method: m\xc3\xa9todo\xe2\x82\xac\xf0\x9f\x8e\xb8\",\"ok\":false}" },
        { "calculateCountInDuration", { { "bpm", 7 } }, "{\"ok\":true,\"result\":68.57142857142857}" },
        { "calculateCountInDuration", { { "bpm", 120 }, { "numerator", 3 }, { "denominator", 8 } }, "{\"ok\":true,\"result\":1.75}" },
        { "calculateCountInDuration", { { "bpm", 3e-7 } }, "{\"ok\":true,\"result\":1600000000.0}" },
        { "calculateCountInDuration", { { "bpm", 1e-300 } }, "{\"ok\":true,\"result\":4.8e+302}" },
        { "calculateCountInDuration", { { "bpm", 0 } }, "{\"ok\":true,\"result\":0.0}" },
    };

    for (size_t i = 0; i < cases.size(); ++i)
    {
        const auto& c = cases[i];
        const auto text = invoke (program, "env" + std::to_string (i), c.method, c.payload);
        ASSERT_TRUE (text.has_value()) << c.method << "\n" << program.stderrText();
        EXPECT_EQ (*text, c.expected) << c.method;
    }

    // The long double reads back as the exact value the core computed (eight beats of 60 / 7 s).
    const auto text = invoke (program, "exact", "calculateCountInDuration", { { "bpm", 7 } });
    ASSERT_TRUE (text.has_value());
    const auto number = text->substr (text->find ("\"result\":") + 9);
    EXPECT_EQ (std::strtod (number.c_str(), nullptr), 8.0 * (60.0 / 7.0));
}

TEST (StdioCoreInvoke, NestedResultKeepsKeyOrderAndUtf8)
{
    EndedProgram program;
    const std::string lyric = "Canci\xc3\xb3n \xe2\x99\xaa de amor";
    const auto text = invoke (program, "chart", "parseChordChart", { { "rawText", "[Verso 1]\nC       G\n" + lyric + "\n" } });
    ASSERT_TRUE (text.has_value()) << program.stderrText();

    const auto response = nlohmann::ordered_json::parse (*text);
    EXPECT_TRUE (keysSortedEverywhere (response)) << *text;
    EXPECT_EQ (text->rfind ("{\"ok\":true,\"result\":{\"appliedRules\":", 0), 0u) << *text;
    EXPECT_NE (text->find ("\"lyric\":\"" + lyric + "\""), std::string::npos) << *text;
    EXPECT_EQ (text->find ("\\u"), std::string::npos) << "nothing escaped";
    EXPECT_EQ (response["result"]["blocks"][0]["content"][0]["lyric"].get<std::string>(), lyric);
}

TEST (StdioCoreInvoke, ChordChartMethods)
{
    EndedProgram program;
    struct Case
    {
        std::string method;
        nlohmann::json payload;
        nlohmann::json expected; // the "result"
    };
    const std::vector<Case> cases {
        { "transposeChord", { { "chord", "Amor" }, { "semitones", 2 } }, "Bmor" },
        { "transposeChord", { { "chord", "C/E/G" }, { "semitones", 2 } }, "D/E/A" },
        { "transposeChord", { { "chord", "F#m7" }, { "semitones", -1 } }, "Fm7" },
        { "transposeChord", { { "chord", "Bb" }, { "semitones", 1 }, { "preferFlats", true } }, "B" },
        { "transposeChord", { { "chord", "A" }, { "semitones", 3 }, { "preferFlats", true } }, "C" },
        { "transformChordLine", { { "line", "C   G/B   Am7" }, { "semitones", 2 } }, "D   A/C#   Bm7" },
        { "transformChordLine", { { "line", "C   G/B   Am7" }, { "semitones", 2 }, { "notation", "latin" } }, "Re   La/Do#   Sim7" },
        { "transformChordLine", { { "line", "C   G/B   Am7" }, { "notation", "nashville" } }, "1   5/7   6m7" },
        { "transformChordLine", { { "line", "C   G/B   Am7" }, { "notation", "roman" } }, "I   V/VII   vi7" },
        { "transformChordLine", { { "line", "C   G/B   Am7" }, { "semitones", 1 }, { "preferFlats", true } }, "Db   Ab/C   Bbm7" },
        { "getSongKeyIndex", { { "songKey", "Bb" } }, 10 },
        { "getSongKeyIndex", { { "songKey", "F# minor" } }, 6 },
        { "getSongKeyIndex", { { "songKey", "Sol" } }, 7 },
        { "getSongKeyIndex", { { "songKey", "xyz" } }, 0 },
        { "getSongKeyIndex", { { "songKey", 5 } }, 0 },
        { "getSongKeyIndex", nlohmann::json::object(), 0 },
    };

    for (size_t i = 0; i < cases.size(); ++i)
    {
        const auto& c = cases[i];
        const auto text = invoke (program, "chart" + std::to_string (i), c.method, c.payload);
        ASSERT_TRUE (text.has_value()) << c.method << "\n" << program.stderrText();
        const auto response = nlohmann::json::parse (*text);
        EXPECT_EQ (response, (nlohmann::json { { "ok", true }, { "result", c.expected } })) << c.method << " " << c.payload.dump();
    }

    // A chart with bracket markers over chord-over-lyric lines: family, notation, blocks, columns.
    const auto text = invoke (program, "parse", "parseChordChart",
                              { { "rawText", "[Verso 1]\nC       G\nCanci\xc3\xb3n de amor\n\n[Coro]\nAm  F\nOtra l\xc3\xadnea\n" } });
    ASSERT_TRUE (text.has_value());
    const auto result = nlohmann::json::parse (*text).at ("result");
    EXPECT_EQ (result["detectedFamily"], "A_brackets_chord_over_lyric");
    EXPECT_EQ (result["detectedNotation"], "american");
    ASSERT_EQ (result["blocks"].size(), 2u) << *text;
    EXPECT_EQ (result["blocks"][0]["detectedType"], "verse");
    EXPECT_EQ (result["blocks"][0]["detectedNumber"], 1);
    EXPECT_EQ (result["blocks"][0]["content"][0]["chords"],
               nlohmann::json::parse (R"([{"chord":"C","column":0},{"chord":"G","column":8}])"));
    EXPECT_EQ (result["blocks"][1]["detectedType"], "chorus");
    EXPECT_EQ (result["blocks"][1]["content"][0]["lyric"], "Otra l\xc3\xadnea");
}
} // namespace
} // namespace quorvelle::test
