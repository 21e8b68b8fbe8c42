#include "core/CoreService.h"
#include "core/SongOptions.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace quorvelle::core;

namespace
{
// Applied and edited options that match; each case changes a few members.
const char* const appliedBase = R"({"activeVersionId": "v1", "bpm": 120, "pitch": 0, "songKey": "C", "clickSource": "c",
                                     "guideSource": "g", "startTime": 0, "endTime": 200, "fadeOutEnabled": false,
                                     "excludedTrackIds": ["a", "b"]})";
const char* const editedBase = R"({"versionId": "v1", "bpm": 120, "pitch": 0, "songKey": "C", "clickSource": "c",
                                    "guideSource": "g", "startTime": 0, "endTime": 200, "fadeEnabled": false,
                                    "excludedTrackIds": ["b", "a"]})";

Json merged (const char* base, const char* patch)
{
    auto out = Json::parse (base);
    const auto changes = Json::parse (patch);
    for (const auto& [key, value] : changes.items())
    {
        if (value.is_string() && value.get<std::string>() == "<absent>")
            out.erase (key);
        else
            out[key] = value;
    }
    return out;
}

struct Case
{
    const char* name;
    const char* applied; // patch over appliedBase; "<absent>" removes a member
    const char* edited;  // patch over editedBase
    const char* ctx;
    std::vector<std::string> changed; // the flags that are true
    std::vector<std::string> decisions;
};
} // namespace

TEST (CoreSongOptions, ChangesAndPlan)
{
    const Case cases[] = {
        { "nothing changed", "{}", "{}", R"({"isCurrentSong": true, "isNextSong": true})", {}, {} },
        { "bpm within tolerance", "{}", R"({"bpm": 120.0009})", R"({"isCurrentSong": true})", {}, {} },
        { "bpm beyond tolerance on the current song", "{}", R"({"bpm": 120.0011})", R"({"isCurrentSong": true})",
          { "bpmChanged", "stretchChanged", "anyChange" }, { "willReprocessAudio" } },
        { "pitch only on the current song", "{}", R"({"pitch": -2})", R"({"isCurrentSong": true})",
          { "pitchChanged", "stretchChanged", "anyChange" }, { "willReprocessAudio" } },
        { "tempo change on the next song asks for no preload", "{}", R"({"bpm": 90})", R"({"isNextSong": true})",
          { "bpmChanged", "stretchChanged", "anyChange" }, {} },
        { "applied end absent uses maxDuration", R"({"endTime": "<absent>"})", "{}", R"({"maxDuration": 200, "isNextSong": true})", {}, {} },
        { "applied end null behaves as absent", R"({"endTime": null})", R"({"endTime": 199.9999})",
          R"({"maxDuration": 200, "isNextSong": true})", { "timeChanged", "anyChange" }, { "shouldRePreloadNextSong" } },
        { "edited end missing reads as 0", "{}", R"({"endTime": "<absent>"})", "{}", { "timeChanged", "anyChange" }, {} },
        { "fade flag compared across names", "{}", R"({"fadeEnabled": true})", R"({"isCurrentSong": true})",
          { "timeChanged", "anyChange" }, {} },
        { "start time exact", "{}", R"({"startTime": 1e-9})", R"({"isNextSong": true, "isCurrentSong": true})",
          { "timeChanged", "anyChange" }, {} },
        { "key absent against empty text", R"({"songKey": "<absent>"})", R"({"songKey": ""})", "{}", { "keyChanged", "anyChange" }, {} },
        { "key both absent", R"({"songKey": "<absent>"})", R"({"songKey": "<absent>"})", "{}", {}, {} },
        { "key both null", R"({"songKey": null})", R"({"songKey": null})", "{}", {}, {} },
        { "key differs, current song", "{}", R"({"songKey": "D"})", R"({"isCurrentSong": true})", { "keyChanged", "anyChange" }, {} },
        { "tracks [a] against []", R"({"excludedTrackIds": []})", R"({"excludedTrackIds": ["a"]})", R"({"isCurrentSong": true})",
          { "tracksChanged", "anyChange" }, { "willReprocessAudio", "willReloadCurrentSong" } },
        { "tracks [a, a] against [a, b] count as the same set", "{}", R"({"excludedTrackIds": ["a", "a"]})", "{}", {}, {} },
        { "tracks not an array read as empty", R"({"excludedTrackIds": "a"})", R"({"excludedTrackIds": [1, null]})", "{}", {}, {} },
        { "click source on the next song", "{}", R"({"clickSource": "x"})", R"({"isNextSong": true})",
          { "clickChanged", "anyChange" }, { "shouldRePreloadNextSong" } },
        { "guide source on the current song", "{}", R"({"guideSource": "x"})", R"({"isCurrentSong": true})",
          { "guideChanged", "anyChange" }, { "willReprocessAudio", "willReloadCurrentSong" } },
        { "version on a song that is current and next", "{}", R"({"versionId": "v2"})", R"({"isCurrentSong": true, "isNextSong": true})",
          { "versionChanged", "anyChange" }, {} },
        { "version on the next song", "{}", R"({"versionId": "v2"})", R"({"isNextSong": true})",
          { "versionChanged", "anyChange" }, { "shouldRePreloadNextSong" } },
        { "entries override alone", "{}", R"({"entriesOverridePresent": true})", R"({"isCurrentSong": true, "isNextSong": true})",
          { "entriesChanged", "anyChange" }, {} },
        { "mix restore alone", "{}", R"({"restoreMix": true})", R"({"isCurrentSong": true})", { "mixChanged", "anyChange" }, {} },
        { "wrong types take defaults", R"({"bpm": "120"})", R"({"bpm": "120", "restoreMix": 1})", R"({"isCurrentSong": "yes"})", {}, {} },
    };

    const char* flagNames[] = { "versionChanged", "bpmChanged", "pitchChanged", "stretchChanged", "keyChanged", "clickChanged",
                                "guideChanged", "timeChanged", "tracksChanged", "entriesChanged", "mixChanged", "anyChange" };
    const char* decisionNames[] = { "willReprocessAudio", "willReloadCurrentSong", "shouldRePreloadNextSong" };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        const Json payload = { { "snapshot", merged (appliedBase, c.applied) }, { "local", merged (editedBase, c.edited) },
                               { "ctx", Json::parse (c.ctx) } };

        Json expectedChanges = Json::object();
        for (const auto* f : flagNames)
            expectedChanges[f] = std::find (c.changed.begin(), c.changed.end(), f) != c.changed.end();
        Json expectedPlan = { { "changes", expectedChanges } };
        for (const auto* d : decisionNames)
            expectedPlan[d] = std::find (c.decisions.begin(), c.decisions.end(), d) != c.decisions.end();

        EXPECT_EQ (invokeCoreMethod ("detectSongOptionsChanges", payload), Json ({ { "ok", true }, { "result", expectedChanges } }));
        EXPECT_EQ (invokeCoreMethod ("buildSongOptionsApplyPlan", payload), Json ({ { "ok", true }, { "result", expectedPlan } }));
    }
}

TEST (CoreSongOptions, NonStringKeyFailsTheMethod)
{
    for (const char* method : { "detectSongOptionsChanges", "buildSongOptionsApplyPlan" })
    {
        const auto edited = invokeCoreMethod (method, Json::parse (R"({"snapshot": {}, "local": {"songKey": []}})"));
        EXPECT_EQ (edited, Json::parse (R"({"ok": false, "error": "core threw: [json.exception.type_error.302] type must be string, but is array"})"));
        // The applied key is read first.
        const auto both = invokeCoreMethod (method, Json::parse (R"({"snapshot": {"songKey": true}, "local": {"songKey": 1}})"));
        EXPECT_EQ (both["error"], "core threw: [json.exception.type_error.302] type must be string, but is boolean");
    }
}

TEST (CoreSongOptions, SameStringSet)
{
    using L = std::vector<std::string>;
    struct Case { L edited; L applied; bool same; };
    const Case cases[] = { { {}, {}, true }, { { "a", "b" }, { "b", "a" }, true }, { { "a" }, {}, false }, { {}, { "a" }, false },
                           { { "a", "a" }, { "a", "b" }, true }, { { "a", "b" }, { "a", "a" }, false }, { { "A" }, { "a" }, false } };
    for (const auto& c : cases)
        EXPECT_EQ (sameStringSet (c.edited, c.applied), c.same);
}
