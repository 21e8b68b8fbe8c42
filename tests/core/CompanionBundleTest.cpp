#include "core/CompanionBundle.h"
#include "core/CoreService.h"

#include <gtest/gtest.h>

using namespace quorvelle::core;

namespace
{
Json bundle (const Json& payload)
{
    const auto response = invokeCoreMethod ("companionBuildBundle", payload);
    EXPECT_TRUE (response.at ("ok").get<bool>()) << response.dump();
    return response.at ("result");
}

const char* const songs = R"([
  {"songId": "s1", "title": "Uno", "songKey": "G", "bpm": 120,
   "sections": [{"id": "A", "name": "Verso", "type": "verse", "color": "#111"},
                {"id": "B", "name": "Coro", "type": "chorus", "color": ""},
                {"id": "X", "name": "Unused", "type": "x", "color": "#222"}],
   "entries": [{"id": "e1", "sectionId": "A"}, {"id": "e2", "isClick": true}, {"id": "e3", "sectionId": "B"},
               {"id": "e4", "sectionId": "missing"}, {"id": "e5", "isClick": true, "clickName": "Pre", "clickChords": "C G", "clickNote": "slow"}],
   "chords": {"A": "C F G", "B": 5, "C": {"x": 1}}, "notes": {"n": "watch"}},
  {"songId": "s2", "title": "Dos", "bpm": "fast", "sections": [{"id": "S", "name": "Intro", "type": "intro"}, {"id": "T"}]},
  {"songId": "s1", "title": "Shadowed"},
  "not an object"
])";
} // namespace

TEST (CoreCompanionBundle, HashOfKnownTexts)
{
    EXPECT_EQ (hashBundleText ("abc"), "3772q3");
    EXPECT_EQ (hashBundleText (""), "45h");
    EXPECT_EQ (hashBundleText (R"({"setlistId":"","setlistName":"","songs":[]})"), "vdtr87");
}

TEST (CoreCompanionBundle, SelectionAndArrangement)
{
    const auto result = bundle ({ { "setlistId", "L" }, { "setlistName", "Domingo" }, { "songIds", Json::parse (R"(["s2", "nope", 7, "s1", "s2", ""])") },
                                  { "songs", Json::parse (songs) } });

    const auto expectedSongs = Json::parse (R"([
      {"songId": "s2", "title": "Dos", "songKey": "", "bpm": 0.0, "chords": {}, "notes": {},
       "arrangement": [{"entryId": "S", "kind": "section", "sectionId": "S", "name": "Intro", "type": "intro", "color": "#666"},
                       {"entryId": "T", "kind": "section", "sectionId": "T", "name": "", "type": "", "color": "#666"}]},
      {"songId": "s1", "title": "Uno", "songKey": "G", "bpm": 120.0, "chords": {"A": "C F G"}, "notes": {"n": "watch"},
       "arrangement": [{"entryId": "e1", "kind": "section", "sectionId": "A", "name": "Verso", "type": "verse", "color": "#111"},
                       {"entryId": "e2", "kind": "click", "sectionId": null, "name": "Click", "type": "CLICK", "color": "#3b82f6", "chords": "", "note": ""},
                       {"entryId": "e3", "kind": "section", "sectionId": "B", "name": "Coro", "type": "chorus", "color": "#666"},
                       {"entryId": "e4", "kind": "section", "sectionId": "missing", "name": "", "type": "", "color": "#666"},
                       {"entryId": "e5", "kind": "click", "sectionId": null, "name": "Pre", "type": "CLICK", "color": "#3b82f6", "chords": "C G", "note": "slow"}]},
      {"songId": "s2", "title": "Dos", "songKey": "", "bpm": 0.0, "chords": {}, "notes": {},
       "arrangement": [{"entryId": "S", "kind": "section", "sectionId": "S", "name": "Intro", "type": "intro", "color": "#666"},
                       {"entryId": "T", "kind": "section", "sectionId": "T", "name": "", "type": "", "color": "#666"}]},
      {"songId": "", "title": "", "songKey": "", "bpm": 0.0, "chords": {}, "notes": {}, "arrangement": []}
    ])");
    EXPECT_EQ (result["songs"], expectedSongs);
    EXPECT_EQ (result["setlistId"], "L");
    EXPECT_EQ (result["setlistName"], "Domingo");

    const Json hashed = { { "setlistId", "L" }, { "setlistName", "Domingo" }, { "songs", expectedSongs } };
    EXPECT_EQ (result["hash"], hashBundleText (hashed.dump()));
    // The hashed text writes every float with a point, e.g. the absent tempo as 0.0.
    EXPECT_NE (hashed.dump().find (R"("bpm":0.0)"), std::string::npos);
}

TEST (CoreCompanionBundle, NoSongsUnlessNamed)
{
    for (const char* ids : { "null", "[]", R"("s1")", R"({"a": "s1"})" })
    {
        const auto result = bundle ({ { "songIds", Json::parse (ids) }, { "songs", Json::parse (songs) } });
        EXPECT_EQ (result, Json::parse (R"({"hash": "vdtr87", "setlistId": "", "setlistName": "", "songs": []})")) << ids;
    }
    EXPECT_EQ (bundle (Json::parse (R"({"songIds": ["s1"], "songs": {"s1": {}}})"))["songs"], Json::array());
}

TEST (CoreCompanionBundle, HashFollowsEveryCharacter)
{
    const Json base = { { "setlistId", "L" }, { "setlistName", "Domingo" }, { "songIds", { "s1" } }, { "songs", Json::parse (songs) } };
    const auto reference = bundle (base)["hash"];
    EXPECT_EQ (bundle (base)["hash"], reference);

    struct Change { Json::json_pointer where; Json value; };
    const Change changes[] = {
        { Json::json_pointer ("/setlistName"), "Domingp" },
        { Json::json_pointer ("/songs/0/chords/A"), "C F G7" },
        { Json::json_pointer ("/songs/0/notes/n"), "watcH" },
        { Json::json_pointer ("/songs/0/entries/4/clickNote"), "slow!" },
        { Json::json_pointer ("/songs/0/bpm"), 120.5 },
    };
    for (const auto& c : changes)
    {
        auto changed = base;
        changed[c.where] = c.value;
        EXPECT_NE (bundle (changed)["hash"], reference) << c.where.to_string();
    }
    // Members that never reach the result leave the hash alone.
    auto unrelated = base;
    unrelated["songs"][1]["title"] = "Otro";
    unrelated["extra"] = 1;
    EXPECT_EQ (bundle (unrelated)["hash"], reference);
}

TEST (CoreCompanionBundle, InvalidUtf8FailsTheStrictHash)
{
    const Json payload = { { "setlistName", std::string ("bad\xFF") } };
    const auto response = invokeCoreMethod ("companionBuildBundle", payload);
    EXPECT_FALSE (response["ok"].get<bool>());
    EXPECT_EQ (response["error"].get<std::string>().rfind ("core threw: [json.exception.type_error.316]", 0), 0u) << response.dump();
    // The answer itself still serialises.
    EXPECT_NO_THROW ((void) serialiseCoreEnvelope (response));
}
