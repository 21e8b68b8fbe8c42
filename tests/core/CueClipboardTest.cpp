#include "core/CoreService.h"
#include "core/CueClipboard.h"

#include <gtest/gtest.h>

#include <array>

using namespace quorvelle::core;

namespace
{
const Json beats120 = Json::parse (R"([{"time":0.0},{"time":0.5},{"time":1.0},{"time":1.5}])");

Json cue (const std::string& id, double time, const std::string& bus = "A")
{
    return { { "id", id }, { "time", time }, { "busId", bus }, { "messageType", "NOTE_ON" }, { "value", 60 }, { "velocity", 100 } };
}

Json sectionJson (double start, double duration, const std::string& name = "Verse")
{
    return { { "id", "s" }, { "name", name }, { "startTime", start }, { "duration", duration } };
}

Json snapshot (const Json& cues, const Json& section, const Json& beatmap)
{
    return buildClipboardSnapshot ({ { "cues", cues }, { "section", section }, { "beatmap", beatmap } });
}

Json paste (const Json& clipboard, const Json& dest, const Json& beatmap, const Json& extra = Json::object())
{
    Json payload = extra;
    payload["clipboard"] = clipboard;
    payload["destSection"] = dest;
    payload["beatmap"] = beatmap;
    return computePasteForSection (payload);
}

std::vector<double> times (const Json& cues)
{
    std::vector<double> out;
    for (const auto& c : cues)
        out.push_back (c.at ("time").get<double>());
    return out;
}
} // namespace

TEST (CueClipboard, CopyKeepsTheMusicalPosition)
{
    const auto clip = snapshot (Json::array ({ cue ("c1", 1.25) }), sectionJson (1.0, 1.0), beats120);
    EXPECT_EQ (clip, Json::parse (R"({"copiedAt":"","count":1,"entries":[{"beatOffset":0.5,"busId":"A","messageType":"NOTE_ON","value":60,"velocity":100}],
                                      "sourceBusFilter":null,"sourceSectionName":"Verse"})"));
    const auto plan = paste (clip, sectionJson (0.5, 1.0), beats120, { { "generatedIds", { "n1" } } });
    EXPECT_EQ (plan, Json::parse (R"({"outOfRange":0,"skipped":0,"toDelete":[],
                                      "toInsert":[{"busId":"A","id":"n1","messageType":"NOTE_ON","time":0.75,"value":60,"velocity":100}]})"));

    // Without a beat map the offset is in seconds and lands in the same place.
    const auto plain = snapshot (Json::array ({ cue ("c1", 1.25) }), sectionJson (1.0, 1.0), Json::array());
    EXPECT_DOUBLE_EQ (plain.at ("entries")[0].at ("beatOffset").get<double>(), 0.25);
    EXPECT_EQ (times (paste (plain, sectionJson (0.5, 1.0), Json::array()).at ("toInsert")), std::vector<double> { 0.75 });

    // One beat: every offset is 0 and every paste lands on that beat.
    const Json single = Json::parse (R"([{"time":2.0}])");
    const auto one = snapshot (Json::array ({ cue ("c1", 1.25), cue ("c2", 3.0) }), sectionJson (1.0, 1.0), single);
    EXPECT_EQ (one.at ("entries")[0].at ("beatOffset").get<double>(), 0.0);
    EXPECT_EQ (one.at ("entries")[1].at ("beatOffset").get<double>(), 0.0);
    EXPECT_EQ (times (paste (one, sectionJson (0.0, 5.0), single).at ("toInsert")), (std::vector<double> { 2.0 }))
        << "the second lands on the same time and bus, so it is skipped";
}

TEST (CueClipboard, ExtrapolatedPositionsRoundTrip)
{
    for (const double t : { -0.4, 1.9, 3.3 })
    {
        const auto clip = snapshot (Json::array ({ cue ("c", t) }), sectionJson (-1.0, 10.0), beats120);
        EXPECT_NEAR (times (paste (clip, sectionJson (-1.0, 10.0), beats120).at ("toInsert"))[0], t, 1e-12) << t;
    }
    EXPECT_EQ (timeToBeatIndex (0.3, {}), std::nullopt);
    EXPECT_EQ (beatIndexToTime (1.0, {}), std::nullopt);
    EXPECT_DOUBLE_EQ (*timeToBeatIndex (0.7, { 0.0, 0.5, 0.5 }), 2.0) << "a zero interval never divides";
    EXPECT_DOUBLE_EQ (*timeToBeatIndex (-1.0, { 0.5, 0.5, 1.0 }), 0.0);
    EXPECT_DOUBLE_EQ (*beatIndexToTime (1e300, { 0.0, 0.5 }), 0.5e300);
    EXPECT_DOUBLE_EQ (*beatIndexToTime (-1e300, { 0.0, 0.5 }), -0.5e300);
}

TEST (CueClipboard, PasteRangeDuplicatesAndReplace)
{
    // Entries at beat offsets 0, 1 and 2 of bus A, and 1 of bus B, pasted into [0.5, 1.5).
    Json entries = Json::array();
    for (const auto& [offset, bus] : std::vector<std::pair<double, std::string>> { { 0, "A" }, { 1, "A" }, { 2, "A" }, { 1, "B" }, { 3.0, "A" } })
        entries.push_back ({ { "beatOffset", offset }, { "busId", bus }, { "messageType", "PC" }, { "value", 1 } });
    const Json clip { { "entries", entries } };
    const Json existing = Json::array ({ cue ("old-a", 1.0004, "A"), cue ("old-c", 1.0, "C"), cue ("out-a", 2.0, "A") });

    // Append: 0.5 (A) goes in; 1.0 (A) clashes with old-a; 1.5 lands exactly on the end, which the
    // paste allows; 1.0 (B) goes in; 2.0 is out of range.
    const auto append = paste (clip, sectionJson (0.5, 1.0), beats120, { { "existingCues", existing }, { "generatedIds", { "a", "b", "c" } } });
    EXPECT_EQ (times (append.at ("toInsert")), (std::vector<double> { 0.5, 1.5, 1.0 }));
    EXPECT_EQ (append.at ("toInsert")[1].at ("id"), "c");
    EXPECT_EQ (append.at ("toInsert")[2].at ("id"), "") << "ids follow the entry index";
    EXPECT_EQ (append.at ("skipped"), 1);
    EXPECT_EQ (append.at ("outOfRange"), 1);
    EXPECT_EQ (append.at ("toDelete"), Json::array());

    // Replace: bus A cues inside the destination are deleted and no longer clash; bus C stays.
    const auto replace = paste (clip, sectionJson (0.5, 1.0), beats120, { { "existingCues", existing }, { "mode", "replace" } });
    EXPECT_EQ (replace.at ("toDelete"), Json::array ({ "old-a" }));
    EXPECT_EQ (times (replace.at ("toInsert")), (std::vector<double> { 0.5, 1.0, 1.5, 1.0 }));
    EXPECT_EQ (paste (clip, sectionJson (0.5, 1.0), beats120, { { "existingCues", existing }, { "mode", "Replace" } }).at ("toDelete"),
               Json::array());

    // Two entries whose pasted times differ by less than 1 ms: the second is skipped.
    const Json close { { "entries", Json::array ({ { { "beatOffset", 0.0 } }, { { "beatOffset", 0.0015 } } }) } };
    EXPECT_EQ (paste (close, sectionJson (0.0, 1.0), beats120).at ("skipped"), 1);

    EXPECT_TRUE (destinationHasExistingCues ({ { "clipboard", clip }, { "destSection", sectionJson (0.5, 1.0) }, { "existingCues", existing } }));
    EXPECT_FALSE (destinationHasExistingCues ({ { "clipboard", Json::object() }, { "destSection", sectionJson (0.5, 1.0) }, { "existingCues", existing } }));
}

TEST (CueClipboard, SectionFiltersAndDeletes)
{
    const Json cues = Json::array ({ cue ("a", 0.9, "A"), cue ("b", 1.0, "A"), cue ("c", 1.5, ""), cue ("d", 1.99, "B"), cue ("e", 2.0, "A") });
    const auto ids = [&] (const Json* busFilter) {
        Json payload { { "cues", cues }, { "section", sectionJson (1.0, 1.0) } };
        if (busFilter != nullptr)
            payload["busFilter"] = *busFilter;
        return computeDeleteForSection (payload);
    };
    const Json null, busA = "A", empty = "", busZ = "Z";
    EXPECT_EQ (ids (nullptr), Json::array ({ "b", "c", "d" }));
    EXPECT_EQ (ids (&null), Json::array ({ "b", "c", "d" }));
    EXPECT_EQ (ids (&busA), Json::array ({ "b" }));
    EXPECT_EQ (ids (&empty), Json::array ({ "c" }));
    EXPECT_EQ (ids (&busZ), Json::array());

    const auto extracted = extractCuesInSection ({ { "cues", cues }, { "section", sectionJson (1.0, 1.0) }, { "busFilter", "B" } });
    EXPECT_EQ (extracted, Json::array ({ cue ("d", 1.99, "B") }));
}

TEST (CueClipboard, RecordReadingRules)
{
    // Lower-case type reads as PC; optional fields appear only when present; non-objects default.
    const auto cues = readMidiCueList (Json::parse (R"([{"id":"x","messageType":"note_on","velocity":null,"name":"n"},
                                                       {"velocity":true,"value":4294967297},{"velocity":-2.7},7])"));
    ASSERT_EQ (cues.size(), 4u);
    EXPECT_EQ (writeMidiCue (cues[0]), Json::parse (R"({"busId":"","id":"x","messageType":"PC","name":"n","time":0.0,"value":0})"));
    EXPECT_EQ (cues[1].velocity, 1);
    EXPECT_EQ (cues[1].value, 1);
    EXPECT_EQ (cues[2].velocity, -2);
    EXPECT_EQ (writeMidiCue (cues[3]), Json::parse (R"({"busId":"","id":"","messageType":"PC","time":0.0,"value":0})"));

    // Wrong types of the optional texts and of the velocity fail the method.
    const std::array<CoreMethod, 2> table { { { "extractCuesInSection", &extractCuesInSection },
                                              { "computePasteForSection", &computePasteForSection } } };
    for (const auto& bad : { Json { { "velocity", "loud" } }, Json { { "name", 3 } }, Json { { "description", false } } })
    {
        const auto answer = invokeCoreMethodFrom (table, "extractCuesInSection", { { "cues", Json::array ({ bad }) } });
        EXPECT_FALSE (answer.at ("ok").get<bool>()) << bad;
        EXPECT_EQ (answer.at ("error").get<std::string>().rfind ("core threw: ", 0), 0u) << answer;
    }
    EXPECT_FALSE (invokeCoreMethodFrom (table, "extractCuesInSection", { { "busFilter", 5 } }).at ("ok").get<bool>());
    EXPECT_FALSE (invokeCoreMethodFrom (table, "computePasteForSection", { { "clipboard", { { "sourceBusFilter", 1 } } } }).at ("ok").get<bool>());

    // Missing required records read as empty ones; non-string generated ids are dropped first.
    const auto plan = invokeCoreMethodFrom (table, "computePasteForSection",
                                            { { "clipboard", { { "entries", Json::array ({ Json::object(), { { "beatOffset", 0.5 } } }) } } },
                                              { "destSection", sectionJson (0.0, 1.0) },
                                              { "generatedIds", Json::array ({ 1, "second" }) } });
    ASSERT_TRUE (plan.at ("ok").get<bool>()) << plan;
    EXPECT_EQ (plan.at ("result").at ("toInsert")[0].at ("id"), "second");
    EXPECT_EQ (invokeCoreMethodFrom (table, "extractCuesInSection", Json::object()),
               (Json { { "ok", true }, { "result", Json::array() } }));
}
