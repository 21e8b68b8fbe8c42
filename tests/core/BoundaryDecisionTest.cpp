#include "core/BoundaryDecision.h"
#include "core/CoreService.h"

#include <gtest/gtest.h>

using namespace quorvelle::core;

namespace
{
// Sections A [0, 10), B [10, 18), C [18, 30). Entries: e0 plays A trimmed by 1 s and 0.5 s
// (region 1 .. 9.5), e1 plays B, k is a fixed click entry, e3 plays C, m is a counted click entry.
const char* const baseSnapshot = R"({
  "isPlaying": true, "hasCurrentSong": true,
  "sections": [ {"id": "A", "startTime": 0, "duration": 10},
                {"id": "B", "startTime": 10, "duration": 8},
                {"id": "C", "startTime": 18, "duration": 12} ],
  "entries": [ {"id": "e0", "sectionId": "A", "trimStart": 1, "trimEnd": 0.5},
               {"id": "e1", "sectionId": "B"},
               {"id": "k", "isClick": true, "clickMode": "fixed"},
               {"id": "e3", "sectionId": "C"},
               {"id": "m", "isClick": true, "clickMode": "count"} ]
})";

struct DecisionCase
{
    const char* name;
    const char* snapshotPatch; // merged over baseSnapshot (top-level members)
    const char* dispatch;
    const char* expected; // members of the decision; missing ones take their defaults
};

Json decide (const Json& snapshot, const Json& dispatch)
{
    const auto response = invokeCoreMethod ("decideBoundaryAction", { { "snapshot", snapshot }, { "dispatch", dispatch } });
    EXPECT_TRUE (response.at ("ok").get<bool>()) << response.dump();
    return response.at ("result");
}

// Defaults: empty tag, no commands, newDispatch = the dispatch sent (normalised). "newDispatch"
// in the expectation lists only the members that change.
Json expectedDecision (const Json& dispatch, const Json& expected)
{
    Json full = { { "priorityTag", "" }, { "setClickSectionRepeat", nullptr }, { "setLoopRegion", nullptr },
                  { "setBoundarySeek", Json::array() },
                  { "newDispatch", { { "activeLoopRegion", nullptr }, { "loopRegionIsOneShot", false },
                                     { "activeBoundarySeek", nullptr }, { "pendingSongMapIndex", nullptr },
                                     { "activeClickRepeat", nullptr } } } };
    for (const auto& [key, value] : dispatch.items())
        full["newDispatch"][key] = value;
    for (const auto& [key, value] : expected.items())
    {
        if (key == "newDispatch")
            for (const auto& [k, v] : value.items())
                full["newDispatch"][k] = v;
        else
            full[key] = value;
    }
    return full;
}

const char* const armedSeek = R"({"activeBoundarySeek": {"triggerTime": 5, "targetPosition": 50}, "pendingSongMapIndex": 3})";
const char* const clearedSeek = R"([{"active": false}])";
} // namespace

TEST (CoreBoundaryDecision, PriorityRules)
{
    const DecisionCase cases[] = {
        { "not playing leaves everything armed", R"({"isPlaying": false, "songMapIndex": 0})",
          R"({"activeBoundarySeek": {"triggerTime": 5, "targetPosition": 50}, "activeClickRepeat": {"entryId": "k", "value": true}})",
          R"({})" },
        { "no current song", R"({"hasCurrentSong": false, "songMapIndex": 0, "nextSectionId": "C"})", "{}", R"({})" },

        { "fixed click entry requests its repeat and clears the seek",
          R"({"songMapIndex": 2, "entryLoopRepeat": {"k": {"isRepeating": true}}})", armedSeek,
          R"({"priorityTag": "P0-CLICK", "setClickSectionRepeat": {"entryId": "k", "repeat": true}, "setBoundarySeek": [{"active": false}],
              "newDispatch": {"activeBoundarySeek": null, "pendingSongMapIndex": null, "activeClickRepeat": {"entryId": "k", "value": true}}})" },
        { "fixed click entry with the same repeat already requested",
          R"({"songMapIndex": 2, "entryLoopRepeat": {"k": {"isRepeating": true}}})",
          R"({"activeClickRepeat": {"entryId": "k", "value": true}})", R"({"priorityTag": "P0-CLICK"})" },
        { "fixed click entry whose repeat flag changed",
          R"({"songMapIndex": 2})", R"({"activeClickRepeat": {"entryId": "k", "value": true}})",
          R"({"priorityTag": "P0-CLICK", "setClickSectionRepeat": {"entryId": "k", "repeat": false},
              "newDispatch": {"activeClickRepeat": {"entryId": "k", "value": false}}})" },
        { "counted click entry never requests a repeat, loop left alone",
          R"({"songMapIndex": 4, "entryLoopRepeat": {"m": {"isRepeating": true}}})",
          R"({"activeLoopRegion": {"start": 1, "end": 2}})", R"({"priorityTag": "P0-CLICK"})" },
        { "leaving a click entry drops the click state without a command",
          R"({"songMapIndex": 3})", R"({"activeClickRepeat": {"entryId": "k", "value": true}})",
          R"({"priorityTag": "P3.5-CLICK-ENTRY-TRIGGER", "setBoundarySeek": [{"active": true, "triggerTimeSeconds": 30.0, "targetPositionSeconds": 30.0}],
              "newDispatch": {"activeClickRepeat": null, "pendingSongMapIndex": 4, "activeBoundarySeek": {"triggerTime": 30.0, "targetPosition": 30.0}}})" },
        { "no current section: empty tag, click state cleared, seek kept",
          R"({"currentSectionId": "nope", "nextSectionId": "C"})",
          R"({"activeClickRepeat": {"entryId": "k", "value": true}, "activeBoundarySeek": {"triggerTime": 1, "targetPosition": 2}})",
          R"({"newDispatch": {"activeClickRepeat": null}})" },

        { "looping entry arms its trimmed region and clears the seek",
          R"({"songMapIndex": 0, "entryLoopRepeat": {"e0": {"isLooping": true}}})", armedSeek,
          R"({"priorityTag": "P1-LOOP", "setLoopRegion": {"active": true, "startSeconds": 1.0, "endSeconds": 9.5},
              "setBoundarySeek": [{"active": false}],
              "newDispatch": {"activeLoopRegion": {"start": 1.0, "end": 9.5}, "activeBoundarySeek": null, "pendingSongMapIndex": null}})" },
        { "looping over a region already armed as one-shot keeps it one-shot",
          R"({"songMapIndex": 0, "entryLoopRepeat": {"e0": {"isLooping": true}}})",
          R"({"activeLoopRegion": {"start": 1, "end": 9.5}, "loopRegionIsOneShot": true})", R"({"priorityTag": "P1-LOOP"})" },
        { "infinite loop in section mode",
          R"({"currentSectionId": "B", "isInfiniteLoop": true})", R"({"loopRegionIsOneShot": true})",
          R"({"priorityTag": "P1-LOOP", "setLoopRegion": {"active": true, "startSeconds": 10.0, "endSeconds": 18.0},
              "newDispatch": {"activeLoopRegion": {"start": 10.0, "end": 18.0}, "loopRegionIsOneShot": false}})" },

        { "section mode jump arms the seek at the region end, pending untouched",
          R"({"currentSectionId": "A", "nextSectionId": "C"})", R"({"pendingSongMapIndex": 7, "activeLoopRegion": {"start": 0, "end": 10}})",
          R"({"priorityTag": "P2-JUMP", "setLoopRegion": {"active": false},
              "setBoundarySeek": [{"active": true, "triggerTimeSeconds": 10.0, "targetPositionSeconds": 18.0}],
              "newDispatch": {"activeLoopRegion": null, "activeBoundarySeek": {"triggerTime": 10.0, "targetPosition": 18.0}}})" },
        { "a queued jump wins over the infinite loop",
          R"({"currentSectionId": "A", "nextSectionId": "B", "isInfiniteLoop": true, "currentSectionIsLooping": true})", "{}",
          R"({"priorityTag": "P2-JUMP", "setBoundarySeek": [{"active": true, "triggerTimeSeconds": 10.0, "targetPositionSeconds": 10.0}],
              "newDispatch": {"activeBoundarySeek": {"triggerTime": 10.0, "targetPosition": 10.0}}})" },
        { "repeating with a queued jump keeps the armed region",
          R"({"currentSectionId": "A", "currentSectionIsRepeating": true, "nextSectionId": "B"})",
          R"({"activeLoopRegion": {"start": 0, "end": 10}, "loopRegionIsOneShot": true})",
          R"({"priorityTag": "P2-JUMP", "setBoundarySeek": [{"active": true, "triggerTimeSeconds": 10.0, "targetPositionSeconds": 10.0}],
              "newDispatch": {"activeBoundarySeek": {"triggerTime": 10.0, "targetPosition": 10.0}}})" },
        { "song-map jump by entry index, with trims",
          R"({"songMapIndex": 1, "nextEntryIndex": 0})", "{}",
          R"({"priorityTag": "P2-JUMP", "setBoundarySeek": [{"active": true, "triggerTimeSeconds": 18.0, "targetPositionSeconds": 1.0}],
              "newDispatch": {"pendingSongMapIndex": 0, "activeBoundarySeek": {"triggerTime": 18.0, "targetPosition": 1.0}}})" },
        { "jump to a click entry lands on the entry after it",
          R"({"songMapIndex": 0, "nextEntryIndex": 2})", "{}",
          R"({"priorityTag": "P2-JUMP", "setBoundarySeek": [{"active": true, "triggerTimeSeconds": 9.5, "targetPositionSeconds": 18.0}],
              "newDispatch": {"pendingSongMapIndex": 2, "activeBoundarySeek": {"triggerTime": 9.5, "targetPosition": 18.0}}})" },
        { "jump to a click entry followed by nothing has no target",
          R"({"songMapIndex": 0, "nextEntryIndex": 4})", armedSeek, R"({"priorityTag": "P2-JUMP-NO-TARGET"})" },
        { "jump to an index outside the list has no target, loop cleared",
          R"({"songMapIndex": 0, "nextEntryIndex": 2147483647, "nextSectionId": "C"})", R"({"activeLoopRegion": {"start": 1, "end": 9.5}})",
          R"({"priorityTag": "P2-JUMP-NO-TARGET", "setLoopRegion": {"active": false}, "newDispatch": {"activeLoopRegion": null}})" },
        { "entry index is ignored in section mode; empty next section has no target",
          R"({"currentSectionId": "A", "nextEntryIndex": 1})", "{}", R"({"priorityTag": "P2-JUMP-NO-TARGET"})" },
        { "seek already armed the same way changes nothing",
          R"({"songMapIndex": 0, "nextEntryIndex": 1})",
          R"({"activeBoundarySeek": {"triggerTime": 9.5, "targetPosition": 10}, "pendingSongMapIndex": 1})",
          R"({"priorityTag": "P2-JUMP"})" },
        { "a new pending entry clears the old seek before arming",
          R"({"songMapIndex": 0, "nextEntryIndex": 1})", armedSeek,
          R"({"priorityTag": "P2-JUMP", "setBoundarySeek": [{"active": false}, {"active": true, "triggerTimeSeconds": 9.5, "targetPositionSeconds": 10.0}],
              "newDispatch": {"pendingSongMapIndex": 1, "activeBoundarySeek": {"triggerTime": 9.5, "targetPosition": 10.0}}})" },
        { "song-map jump by section id picks the next entry of that section after the current one",
          R"({"songMapIndex": 1, "nextSectionId": "C",
              "entries": [{"id": "x0", "sectionId": "C"}, {"id": "x1", "sectionId": "B"}, {"id": "x2", "sectionId": "A"}, {"id": "x3", "sectionId": "C"}]})",
          "{}",
          R"({"priorityTag": "P2-JUMP", "setBoundarySeek": [{"active": true, "triggerTimeSeconds": 18.0, "targetPositionSeconds": 18.0}],
              "newDispatch": {"pendingSongMapIndex": 3, "activeBoundarySeek": {"triggerTime": 18.0, "targetPosition": 18.0}}})" },
        { "song-map jump by section id wraps to the first entry of that section",
          R"({"songMapIndex": 1, "nextSectionId": "C",
              "entries": [{"id": "x0", "sectionId": "C"}, {"id": "x1", "sectionId": "B"}, {"id": "x2", "sectionId": "A"}]})",
          "{}",
          R"({"priorityTag": "P2-JUMP", "setBoundarySeek": [{"active": true, "triggerTimeSeconds": 18.0, "targetPositionSeconds": 18.0}],
              "newDispatch": {"pendingSongMapIndex": 0, "activeBoundarySeek": {"triggerTime": 18.0, "targetPosition": 18.0}}})" },
        { "song-map jump to a section no entry plays leaves the pending entry alone",
          R"({"songMapIndex": 0, "nextSectionId": "C", "entries": [{"id": "x0", "sectionId": "A"}]})", R"({"pendingSongMapIndex": 9})",
          R"({"priorityTag": "P2-JUMP", "setBoundarySeek": [{"active": true, "triggerTimeSeconds": 10.0, "targetPositionSeconds": 18.0}],
              "newDispatch": {"activeBoundarySeek": {"triggerTime": 10.0, "targetPosition": 18.0}}})" },

        { "repeating arms the region as one-shot and clears the seek",
          R"({"songMapIndex": 1, "entryLoopRepeat": {"e1": {"isRepeating": true, "isLooping": true}}})", armedSeek,
          R"({"priorityTag": "P3-REPEAT", "setLoopRegion": {"active": true, "startSeconds": 10.0, "endSeconds": 18.0},
              "setBoundarySeek": [{"active": false}],
              "newDispatch": {"activeLoopRegion": {"start": 10.0, "end": 18.0}, "loopRegionIsOneShot": true,
                              "activeBoundarySeek": null, "pendingSongMapIndex": null}})" },
        { "repeating over a region armed as a loop turns it one-shot without a command",
          R"({"currentSectionId": "B", "currentSectionIsRepeating": true})", R"({"activeLoopRegion": {"start": 10, "end": 18}})",
          R"({"priorityTag": "P3-REPEAT", "newDispatch": {"loopRegionIsOneShot": true}})" },

        { "section mode with nothing to do clears loop and seek",
          R"({"currentSectionId": "A"})",
          R"({"activeLoopRegion": {"start": 0, "end": 10}, "loopRegionIsOneShot": true, "activeBoundarySeek": {"triggerTime": 1, "targetPosition": 2}})",
          R"({"priorityTag": "FALL-DEACTIVATE", "setLoopRegion": {"active": false}, "setBoundarySeek": [{"active": false}],
              "newDispatch": {"activeLoopRegion": null, "loopRegionIsOneShot": false, "activeBoundarySeek": null}})" },
        { "song-map index -1 runs in section mode",
          R"({"songMapIndex": -1, "currentSectionId": "C", "transitions": [{"fromEntryIndex": -1, "toEntryIndex": 0, "kind": "jump"}]})", "{}",
          R"({"priorityTag": "FALL-DEACTIVATE"})" },
        { "edit mode sections runs in section mode",
          R"({"songMapIndex": 1, "editModeIsSections": true, "currentSectionId": "C", "currentSectionIsLooping": true})", "{}",
          R"({"priorityTag": "P1-LOOP", "setLoopRegion": {"active": true, "startSeconds": 18.0, "endSeconds": 30.0},
              "newDispatch": {"activeLoopRegion": {"start": 18.0, "end": 30.0}}})" },

        { "next entry is a click entry: seek at the region end onto itself",
          R"({"songMapIndex": 1})", armedSeek,
          R"({"priorityTag": "P3.5-CLICK-ENTRY-TRIGGER", "setBoundarySeek": [{"active": false}, {"active": true, "triggerTimeSeconds": 18.0, "targetPositionSeconds": 18.0}],
              "newDispatch": {"pendingSongMapIndex": 2, "activeBoundarySeek": {"triggerTime": 18.0, "targetPosition": 18.0}}})" },
        { "first jump transition from the current entry",
          R"({"songMapIndex": 0, "transitions": [
                {"fromEntryIndex": 0, "toEntryIndex": 3, "kind": "linear-gap", "triggerTime": 1, "targetPosition": 2},
                {"fromEntryIndex": 1, "toEntryIndex": 3, "kind": "jump", "triggerTime": 1, "targetPosition": 2},
                {"fromEntryIndex": 0, "toEntryIndex": 3, "kind": "jump", "triggerTime": 9.5, "targetPosition": 18},
                {"fromEntryIndex": 0, "toEntryIndex": 1, "kind": "jump", "triggerTime": 7, "targetPosition": 7}]})", "{}",
          R"({"priorityTag": "P4-SONGMAP-JUMP", "setBoundarySeek": [{"active": true, "triggerTimeSeconds": 9.5, "targetPositionSeconds": 18.0}],
              "newDispatch": {"pendingSongMapIndex": 3, "activeBoundarySeek": {"triggerTime": 9.5, "targetPosition": 18.0}}})" },
        { "linear-gap and mis-cased kinds never jump",
          R"({"songMapIndex": 0, "transitions": [{"fromEntryIndex": 0, "toEntryIndex": 3, "kind": "linear-gap"},
                                                {"fromEntryIndex": 0, "toEntryIndex": 3, "kind": "Jump"},
                                                {"fromEntryIndex": 0, "toEntryIndex": 3, "kind": 2}]})",
          armedSeek,
          R"({"priorityTag": "FALL-DEACTIVATE", "setBoundarySeek": [{"active": false}],
              "newDispatch": {"activeBoundarySeek": null, "pendingSongMapIndex": null}})" },
        { "clearing with no seek armed leaves the pending entry",
          R"({"songMapIndex": 0, "entries": [{"id": "x0", "sectionId": "A"}]})", R"({"pendingSongMapIndex": 4})",
          R"({"priorityTag": "FALL-DEACTIVATE"})" },
    };

    const auto base = Json::parse (baseSnapshot);
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        auto snapshot = base;
        snapshot.update (Json::parse (c.snapshotPatch));
        const auto dispatch = Json::parse (c.dispatch);
        const auto actual = decide (snapshot, dispatch);
        EXPECT_EQ (actual, expectedDecision (dispatch, Json::parse (c.expected))) << actual.dump (1);
    }
}

TEST (CoreBoundaryDecision, FixedClickRepeatIsRequestedOnceAcrossCalls)
{
    auto snapshot = Json::parse (baseSnapshot);
    snapshot["songMapIndex"] = 2;
    snapshot["entryLoopRepeat"] = { { "k", { { "isRepeating", true } } } };

    const auto first = decide (snapshot, Json::object());
    EXPECT_FALSE (first["setClickSectionRepeat"].is_null());
    const auto second = decide (snapshot, first["newDispatch"]);
    EXPECT_TRUE (second["setClickSectionRepeat"].is_null());
    EXPECT_EQ (second["newDispatch"], first["newDispatch"]);

    // Leaving for a section entry forgets the request without a command.
    snapshot["songMapIndex"] = 3;
    const auto third = decide (snapshot, second["newDispatch"]);
    EXPECT_TRUE (third["setClickSectionRepeat"].is_null());
    EXPECT_TRUE (third["newDispatch"]["activeClickRepeat"].is_null());
}

TEST (CoreBoundaryDecision, ReadersTakeDefaultsForWrongTypes)
{
    const auto s = readBoundarySnapshot (Json::parse (R"({
        "isPlaying": 1, "entries": ["x", {"id": "a", "sectionId": "S", "trimStart": "1", "isClick": true}],
        "songMapIndex": 1.9, "nextEntryIndex": 2.9, "entryLoopRepeat": {"a": {"isLooping": true}, "b": 3},
        "transitions": [{"kind": "Jump"}, {"kind": 2, "fromEntryIndex": 4294967298}, {"kind": "linear-gap"}, {"kind": "jump"}],
        "sections": {"id": "S"} })"));
    EXPECT_FALSE (s.isPlaying);
    ASSERT_EQ (s.entries.size(), 2u);
    EXPECT_EQ (s.entries[0].id, "");
    EXPECT_EQ (s.entries[1].sectionId, "S");
    EXPECT_EQ (s.entries[1].trimStart, 0.0);
    EXPECT_TRUE (s.entries[1].isClick);
    EXPECT_EQ (s.songMapIndex, 1);
    EXPECT_EQ (s.nextEntryIndex, 2);
    EXPECT_TRUE (s.sections.empty());
    ASSERT_EQ (s.transitions.size(), 4u);
    EXPECT_EQ (s.transitions[0].kind, SongMapTransitionKind::contiguous);
    EXPECT_EQ (s.transitions[1].kind, SongMapTransitionKind::contiguous);
    EXPECT_EQ (s.transitions[1].fromEntryIndex, 2);
    EXPECT_EQ (s.transitions[2].kind, SongMapTransitionKind::linearGap);
    EXPECT_EQ (s.transitions[3].kind, SongMapTransitionKind::jump);
    EXPECT_TRUE (s.entryLoopRepeat.at ("a").isLooping);
    EXPECT_FALSE (s.entryLoopRepeat.at ("b").isRepeating);

    struct IndexCase { const char* json; std::optional<int32_t> expected; };
    const IndexCase indexes[] = { { R"({"nextEntryIndex": "2"})", std::nullopt }, { R"({"nextEntryIndex": null})", std::nullopt },
                                  { R"({"nextEntryIndex": -0.5})", 0 }, { R"({"nextEntryIndex": 1e12})", 2147483647 },
                                  { R"({"nextEntryIndex": 7})", 7 } };
    for (const auto& c : indexes)
        EXPECT_EQ (readBoundarySnapshot (Json::parse (c.json)).nextEntryIndex, c.expected) << c.json;

    EXPECT_FALSE (readBoundarySnapshot (Json::parse ("[1, 2]")).isPlaying);

    const auto d = readBoundaryDispatchState (Json::parse (
        R"({"activeLoopRegion": {}, "activeBoundarySeek": null, "pendingSongMapIndex": 2.9, "activeClickRepeat": [], "loopRegionIsOneShot": "yes"})"));
    ASSERT_TRUE (d.activeLoopRegion.has_value());
    EXPECT_EQ (d.activeLoopRegion->start, 0.0);
    EXPECT_EQ (d.activeLoopRegion->end, 0.0);
    EXPECT_FALSE (d.activeBoundarySeek.has_value());
    EXPECT_EQ (d.pendingSongMapIndex, 2);
    EXPECT_FALSE (d.activeClickRepeat.has_value());
    EXPECT_FALSE (d.loopRegionIsOneShot);
}

TEST (CoreBoundaryDecision, DispatchStateRoundTrips)
{
    const auto written = Json::parse (R"({"activeLoopRegion": {"start": 1.5, "end": 2.5}, "loopRegionIsOneShot": true,
        "activeBoundarySeek": {"triggerTime": 3.0, "targetPosition": 4.0}, "pendingSongMapIndex": 5,
        "activeClickRepeat": {"entryId": "k", "value": true}})");
    EXPECT_EQ (writeBoundaryDispatchState (readBoundaryDispatchState (written)), written);
}
