// The transport, song, click-section, count and timing-data rows and their two executors, through
// the dispatcher, over a recording engine.
#include "platform/StorageRoot.h"
#include "tests/bridge/BridgeTestSupport.h"
#include "tests/bridge/RecordingEngineOperations.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace quorvelle::test
{
namespace
{
using Calls = std::vector<std::string>;

class TransportRows : public MainComponentFixture
{
protected:
    void SetUp() override { start (true); }
    void TearDown() override { component.reset(); }

    void start (bool engineReady)
    {
        engineOperations = &engine;
        make (engineReady);
        engine.clear();
    }

    // Delivers the request, then a posted marker, and runs the loop until the marker reached the
    // engine: every closure posted before it has run then. The marker's call is dropped.
    void send (const juce::String& json)
    {
        deliver (parseJson (json));
        settle();
    }
    void settle()
    {
        deliver (parseJson (R"({"action": "CANCEL_OVERLAP_TRANSITION"})"));
        ASSERT_TRUE (runMessageLoopUntil ([this] { return ! engine.calls.empty() && engine.calls.back() == "cancelOverlapTransition"; }));
        engine.calls.pop_back();
    }

    static bool contains (const Calls& calls, const std::string& call) { return std::find (calls.begin(), calls.end(), call) != calls.end(); }
    static size_t indexOf (const Calls& calls, const std::string& prefix)
    {
        for (size_t i = 0; i < calls.size(); ++i)
            if (calls[i].rfind (prefix, 0) == 0)
                return i;
        return calls.size();
    }

    RecordingEngineOperations engine;
};
} // namespace

TEST_F (TransportRows, EachRowReachesItsOperationWithItsFieldsAndDefaults)
{
    const auto fallback = getStorageRoot().getChildFile ("indications/intro.wav").getFullPathName().toStdString();
    const struct
    {
        const char* request;
        Calls expected;
    } cases[] = {
        { R"({"action": "SET_BPM", "bpm": 128.5})", { "cancelExportAndWait", "setBpm|128.5" } },
        { R"({"action": "SET_BPM", "bpm": "96"})", { "cancelExportAndWait", "setBpm|96" } },
        { R"({"action": "SET_PITCH", "pitch": -2})", { "cancelExportAndWait", "setPitch|-2" } },
        { R"({"action": "APPLY_STRETCH"})", { "cancelExportAndWait", "applyStretch|120|0" } },
        { R"({"action": "APPLY_STRETCH", "bpm": 90, "semitones": 1.5})", { "cancelExportAndWait", "applyStretch|90|1.5" } },
        { R"({"action": "EVICT_PRELOADED"})", { "evictPreloadedSession|ts-request" } },
        { R"({"action": "EVICT_PRELOADED", "reason": "memory"})", { "evictPreloadedSession|memory" } },
        { R"({"action": "CANCEL_PRELOAD"})", { "cancelPreload" } },
        { R"({"action": "CANCEL_LOAD"})", { "cancelExportAndWait", "cancelLoad" } },
        { R"({"action": "PRESERVE_SESSION"})", { "cancelExportAndWait", "preserveActiveAsPreload" } },
        { R"({"action": "FULL_RESET"})", { "cancelExportAndWait", "fullReset" } },
        // A text seek target is not a number: -1. Without "mode" the mode is "fixed".
        { R"({"action": "START_CLICK_SECTION", "entryId": "e1", "bpm": 100, "numerator": 3, "denominator": 4, "bars": 8, "nextSeekTarget": "12.5"})",
          { "cancelExportAndWait", "startClickSection|e1|fixed|100|3|4|8|-1||||||false|false" } },
        { R"({"action": "START_CLICK_SECTION", "entryId": "e2", "mode": "loop", "bpm": 90.5, "numerator": 6, "denominator": 8, "bars": 2,
              "nextSeekTarget": 12.5, "indications": [{"id": "a"}], "warningIndicationId": "w", "warningSectionName": "Coro",
              "warningSelfIndicationId": "ws", "warningSelfSectionName": "Verso", "repeatOnce": true, "suppressFirstFire": true})",
          { "cancelExportAndWait", R"(startClickSection|e2|loop|90.5|6|8|2|12.5|[{"id": "a"}]|w|Coro|ws|Verso|true|true)" } },
        { R"({"action": "CANCEL_CLICK_SECTION"})", { "cancelClickSection" } },
        { R"({"action": "CLICK_SECTION_DEACTIVATE_LOOP"})", { "deactivateLoop" } },
        { R"({"action": "CLICK_SECTION_REACTIVATE_LOOP"})", { "reactivateLoop" } },
        { R"({"action": "SET_CLICK_SECTION_REPEAT", "entryId": "e", "repeat": true})", { "setRepeat|e|true" } },
        { R"({"action": "SET_CLICK_SECTION_LOOP", "entryId": "e", "enabled": 1})", { "setLoopFixed|e|true" } },
        { R"({"action": "SET_CLICK_SECTION_NEXT_SEEK_TARGET", "entryId": "e"})", { "setNextSeekTarget|e|-1||" } },
        { R"({"action": "SET_CLICK_SECTION_NEXT_SEEK_TARGET", "entryId": "e", "target": 64, "warningIndicationId": "i", "warningSectionName": "s"})",
          { "setNextSeekTarget|e|64|i|s" } },
        { R"({"action": "SET_COUNT_IN", "enabled": true})", { "setCountInEnabled|true" } },
        { R"({"action": "STOP_COUNT_IN"})", { "cancelStandaloneCountIn" } },
        { R"({"action": "SET_COUNT_IN_LOOP", "remaining": -1})", { "setCountInLoopsRemaining|-1" } },
        { R"({"action": "SET_COUNT_IN_LOOP"})", { "setCountInLoopsRemaining|0" } },
        { R"({"action": "SET_BOUNDARY_COUNT_JUMP"})", { "setBoundaryCountJump|false" } },
        { R"({"action": "SET_BOUNDARY_COUNT_JUMP", "active": true})", { "setBoundaryCountJump|true" } },
        { R"({"action": "UPDATE_COUNT_JUMP_SEEK_TARGET"})", { "updateCountJumpSeekTarget|-1" } },
        { R"({"action": "UPDATE_COUNT_JUMP_SEEK_TARGET", "timeSeconds": 42.25})", { "updateCountJumpSeekTarget|42.25" } },
        { R"({"action": "UPDATE_COUNT_IN_SECTION", "sectionName": "Coro"})", { "updateCountInSection|Coro" } },
        { R"({"action": "SET_COUNT_JUMP_TEMPO"})", { "setCountJumpTempo|0|0|0|0" } },
        { R"({"action": "SET_COUNT_JUMP_TEMPO", "bpm": 140, "numerator": 6, "denominator": 8, "truncateSec": 1.5})",
          { "setCountJumpTempo|140|6|8|1.5" } },
        { R"({"action": "SET_TIME_SIGNATURE", "numerator": 7, "denominator": 8})", { "setTimeSignature|7|8" } },
        { R"({"action": "SET_TIME_SIGNATURE_MAP", "map": [{"time": 0, "numerator": 3, "denominator": 4}]})",
          { R"(setTimeSignatureMap|[{"time": 0, "numerator": 3, "denominator": 4}])" } },
        { R"({"action": "SET_TIME_SIGNATURE_MAP", "map": {"time": 0}})", {} },
        { R"({"action": "SET_TIME_SIGNATURE_MAP"})", {} },
        { R"({"action": "SET_CUE_BEATMAP", "times": [0.5, 1, "1.5"]})", { "setCueBeatmap|[0.5,1,1.5]" } },
        { R"({"action": "SET_CUE_BEATMAP", "times": "0.5"})", { "setCueBeatmap|[]" } },
        { R"({"action": "UPDATE_LIVE_BEATMAP", "beatmap": [{"time": 0.5, "beatNum": 1}, {"time": 1.0, "beatNum": 2}]})",
          { "setLiveBeatmap|[0.5,1]|[1,2]" } },
        { R"({"action": "UPDATE_LIVE_BEATMAP", "beatmap": []})", { "setLiveBeatmap|[]|[]" } },
        { R"({"action": "UPDATE_LIVE_BEATMAP"})", { "setLiveBeatmap|[]|[]" } },
        { R"({"action": "UPDATE_SECTIONS", "sections": [{"name": "A", "start": 1}]})", { R"(updateCueSections|[{"name": "A", "start": 1}])" } },
        { R"({"action": "SET_SECTION_ANNOUNCEMENT_OVERRIDES", "overrides": [1]})",
          { R"(updateSectionAnnouncementOverrides|{"action": "SET_SECTION_ANNOUNCEMENT_OVERRIDES", "overrides": [1]})" } },
        { R"({"action": "SET_CLICK_ACCENT_SUPPRESS_RANGES", "ranges": [{"start": 1, "end": 2}]})",
          { R"(setClickAccentSuppressRanges|{"action": "SET_CLICK_ACCENT_SUPPRESS_RANGES", "ranges": [{"start": 1, "end": 2}]})" } },
        { R"({"action": "SET_SECTION_ANNOUNCE_FULLBAR", "enabled": true})", { "setSectionAnnounceFullBar|true" } },
        { R"({"action": "SET_QUEUED_IS_LINEAR_SONGMAP", "value": true})", { "setQueuedIsLinearSongMap|true" } },
        { R"({"action": "LOAD_INDICATION_TO_RAM", "indicationId": "intro", "filePath": "/x/a.wav"})",
          { "loadIndicationToRam|intro|/x/a.wav|" + fallback } },
        { R"({"action": "UNLOAD_INDICATION_FROM_RAM", "indicationId": "intro"})", { "unloadIndicationFromRam|intro" } },
        { R"({"action": "CLEAR_INDICATIONS"})", { "clearIndications" } },
        { R"({"action": "SET_INDICATION_SCHEDULE", "schedule": [{"t": 1}]})", { R"(setIndicationSchedule|[{"t": 1}])" } },
        { R"({"action": "SET_INDICATION_SCHEDULE"})", {} },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.request);
        engine.clear();
        send (c.request);
        EXPECT_EQ (engine.operations(), c.expected);
    }
}

TEST_F (TransportRows, RowsWriteTheirLogLines)
{
    engine.currentBpm = 119.96;
    const struct
    {
        const char* request;
        Calls expected;
    } cases[] = {
        { R"({"action": "SET_BPM", "bpm": "128.5"})", { "[BPM-INCOMING] frontend SET_BPM=128.5 | engineCurBpm=120.0", "Native: SET_BPM 128.5" } },
        { R"({"action": "SET_PITCH", "pitch": 1.5})", { "Native: SET_PITCH 1.5" } },
        { R"({"action": "APPLY_STRETCH", "bpm": 90.5, "semitones": -2.5})", { "Native: APPLY_STRETCH bpm=90.5 semitones=-2.5" } },
        { R"({"action": "START_CLICK_SECTION", "entryId": "e", "bpm": 100.5, "numerator": 6, "denominator": 8, "bars": 4,
              "indications": [1, 2], "warningIndicationId": "w", "warningSelfSectionName": "Coro", "repeatOnce": true, "nextSeekTarget": 12.5})",
          { R"(Native: START_CLICK_SECTION entryId=e mode=fixed bpm=100.5 ts=6/8 bars=4 indications=2 warnNext=ind="w" sec="" warnSelf=ind="" sec="Coro" repeat=true suppressFirstFire=false seek=12.500)" } },
        { R"({"action": "CANCEL_CLICK_SECTION"})", { "Native: CANCEL_CLICK_SECTION" } },
        { R"({"action": "CLICK_SECTION_DEACTIVATE_LOOP"})", { "Native: CLICK_SECTION_DEACTIVATE_LOOP" } },
        { R"({"action": "CLICK_SECTION_REACTIVATE_LOOP"})", { "Native: CLICK_SECTION_REACTIVATE_LOOP" } },
        { R"({"action": "SET_CLICK_SECTION_REPEAT", "entryId": "e", "repeat": false})", { "Native: SET_CLICK_SECTION_REPEAT entryId=e value=false" } },
        { R"({"action": "SET_CLICK_SECTION_LOOP", "entryId": "e", "enabled": true})", { "Native: SET_CLICK_SECTION_LOOP entryId=e value=true" } },
        { R"({"action": "SET_CLICK_SECTION_NEXT_SEEK_TARGET", "entryId": "e", "target": 7.25, "warningSectionName": "Puente"})",
          { R"(Native: SET_CLICK_SECTION_NEXT_SEEK_TARGET entryId=e target=7.250 warnInd="" warnSec="Puente")" } },
        { R"({"action": "SET_TIME_SIGNATURE", "numerator": 5, "denominator": 4})", { "[CLICK-CPP] SET_TIME_SIGNATURE received: 5/4" } },
        { R"({"action": "TRANSPORT_CONTROL", "command": "STOP"})",
          { "Native: TRANSPORT_CONTROL STOP",
            "[BRIDGE-IN] TRANSPORT_CONTROL STOP arrived (correlates with [INIT-FLOW] timestamps to detect race with initialise())" } },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.request);
        engine.clear();
        send (c.request);
        EXPECT_EQ (engine.logs(), c.expected);
    }

    // The time signature is applied before its line is written.
    engine.clear();
    send (R"({"action": "SET_TIME_SIGNATURE", "numerator": 3, "denominator": 4})");
    EXPECT_EQ (engine.calls, (Calls { "setTimeSignature|3|4", "log|[CLICK-CPP] SET_TIME_SIGNATURE received: 3/4" }));
}

TEST_F (TransportRows, InlineRowsRunAtOncePostedRowsLaterWithTheValuesOfDispatch)
{
    const auto loop = parseJson (R"({"action": "SET_COUNT_IN_LOOP", "remaining": 3})");
    deliver (parseJson (R"({"action": "TRANSPORT_CONTROL", "command": "SEEK", "position": 4})"));
    deliver (loop);
    deliver (parseJson (R"({"action": "SET_BPM", "bpm": 100})"));
    deliver (parseJson (R"({"action": "STOP_COUNT_IN"})"));
    deliver (parseJson (R"({"action": "SET_COUNT_IN", "enabled": false})"));
    // Changed after dispatch: the posted closure keeps what it read.
    loop.getDynamicObject()->setProperty ("remaining", 9);

    EXPECT_EQ (engine.operations(), (Calls { "cancelExportAndWait", "setBpm|100", "setCountInEnabled|false" }));
    settle();
    EXPECT_EQ (engine.operations(), (Calls { "cancelExportAndWait", "setBpm|100", "setCountInEnabled|false", "cancelExportAndWait", "seek|4",
                                             "setCountInLoopsRemaining|3", "cancelStandaloneCountIn" }));
}

TEST_F (TransportRows, GatedRowsWaitForTheEngineOthersRunAtOnce)
{
    component.reset();
    start (false);

    deliver (parseJson (R"({"action": "TRANSPORT_CONTROL", "command": "STOP"})"));
    deliver (parseJson (R"({"action": "SET_BPM", "bpm": 100})"));
    deliver (parseJson (R"({"action": "APPLY_STRETCH"})"));
    deliver (parseJson (R"({"action": "SET_COUNT_IN", "enabled": true})"));
    settle();
    EXPECT_EQ (engine.operations(), (Calls { "cancelExportAndWait", "applyStretch|120|0", "setCountInEnabled|true" }));

    component->getAudioEngine().markInitialiseCompleteForTesting();
    ASSERT_TRUE (runMessageLoopUntil ([this] { return contains (engine.operations(), "stop") && contains (engine.operations(), "setBpm|100"); }));
    // Each held request is re-dispatched on its own timer, so the two may land in either order.
    const auto ops = engine.operations();
    ASSERT_EQ (ops.size(), 7u);
    EXPECT_EQ (Calls (ops.begin(), ops.begin() + 3), (Calls { "cancelExportAndWait", "applyStretch|120|0", "setCountInEnabled|true" }));
    EXPECT_EQ (ops[indexOf (ops, "stop") - 1], "cancelExportAndWait");
    EXPECT_EQ (ops[indexOf (ops, "setBpm|100") - 1], "cancelExportAndWait");
}

TEST_F (TransportRows, TransportCommandsMakeOneEngineCallEach)
{
    const struct
    {
        const char* fields;
        Calls expected; // after the export guard
    } cases[] = {
        { R"("command": "PLAY")", { "play|false|false|-1||false|-1|-1|-1|-1" } },
        { R"("command": "PLAY", "fromStart": true, "forceCountIn": true, "startPosition": 12.5, "sectionKey": "coro", "sectionPreRoll": true,
             "countInBpm": 96, "countInNumerator": 6.9, "countInDenominator": 8, "countInTruncateSec": 1.5)",
          { "play|true|true|12.5|coro|true|96|6|8|1.5" } },
        { R"("command": "STOP")", { "stop" } },
        { R"("command": "PAUSE")", { "pause" } },
        { R"("command": "RESUME")", { "resume" } },
        { R"("command": "SEEK")", { "seek|0" } },
        { R"("command": "SEEK", "position": "30")", { "seek|30" } },
        { R"("command": "LOOP_SEEK", "position": 8.5)", { "loopSeek|8.5" } },
        { R"("command": "SET_LOOP_REGION", "active": false)", { "setLoopRegion|0|0|false" } },
        { R"("command": "SET_LOOP_REGION", "start": 4, "end": 8, "active": true)", { "setLoopRegion|4|8|true" } },
        { R"("command": "SET_BOUNDARY_SEEK", "triggerTime": 60, "targetPosition": 12, "active": true)", { "setBoundarySeek|60|12|true" } },
        { R"("command": "SET_BOUNDARY_SEEK_SA", "triggerTime": 60, "targetPosition": 12, "active": true)", { "setBoundarySeekSA|60|12|true" } },
        { R"("command": "FADE_OUT", "duration": 2.5)", { "emitFadeDiag|true|2.5" } },
        { R"("command": "FADE_IN")", { "emitFadeDiag|false|0" } },
        { R"("command": "play")", {} },
        { R"("command": "")", {} },
        { R"("other": 1)", {} },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.fields);
        engine.clear();
        send (juce::String (R"({"action": "TRANSPORT_CONTROL", )") + c.fields + "}");
        auto expected = c.expected;
        if (! expected.empty())
            expected.insert (expected.begin(), "cancelExportAndWait");
        EXPECT_EQ (engine.operations(), expected);
        EXPECT_EQ (engine.logs().size(), 2u); // the two dispatch lines, also for a command that does nothing
    }
}

TEST_F (TransportRows, LoadSongTakesTheLoaderRoadWithTheRequestsValues)
{
    send (R"({"action": "LOAD_SONG", "name": "Tema", "songId": "s1", "bpm": 96, "numBars": 64, "timeSignature": [6, 8],
              "tracks": [{"id": "bass"}], "sections": [{"name": "A"}], "beatmap": [{"time": 0.5, "beatNum": 1}],
              "peakTracks": ["bass"], "skipPeaks": true, "audioLeadPadSec": 0.25, "startPositionSec": 30,
              "midiCues": [{"note": 60}]})");

    EXPECT_EQ (engine.operations(),
               (Calls { "cancelExportAndWait", "setTimeSignature|6|8", R"(setPendingLoad|96|[{"id": "bass"}])",
                        R"(loadSession|[{"id": "bass"}]|[{"name": "A"}]|[{"time": 0.5, "beatNum": 1}]|[6, 8]|["bass"]|96|64|s1|true|0.25)",
                        R"(updateMidiCues|[{"note": 60}])" }));
    EXPECT_EQ (engine.logs(), (Calls { "Native: LOAD_SONG. Name: Tema BPM: 96 numBars: 64",
                                       "LOAD_SONG cache check: songId=s1 stretchBpm=0 stretchSemi=0 skipPeaks=true peakTracks=1" }));

    // Without fields: 120 bpm, 800 bars, no time signature, no cues (which clears the old ones).
    engine.clear();
    send (R"({"action": "LOAD_SONG"})");
    EXPECT_EQ (engine.operations(), (Calls { "cancelExportAndWait", "setPendingLoad|120|", "loadSession||||||120|800||false|0", "updateMidiCues|[]" }));
}

TEST_F (TransportRows, LoadSongTempoAndTimeSignatureRules)
{
    const struct
    {
        const char* fields;
        const char* loadedBpm;
        bool invalidLine;
        bool signatureApplied;
    } cases[] = {
        { R"("bpm": 0)", "120", true, false },
        { R"("bpm": -5)", "120", true, false },
        { R"("bpm": "abc")", "120", true, false },
        { R"("bpm": "90")", "90", false, false },
        { R"("timeSignature": [6, 8])", "120", false, true },
        { R"("timeSignature": [0, 4])", "120", false, false },
        { R"("timeSignature": [3])", "120", false, false },
        { R"("timeSignature": "6/8")", "120", false, false },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.fields);
        engine.clear();
        send (juce::String (R"({"action": "LOAD_SONG", )") + c.fields + "}");
        const auto ops = engine.operations();
        const auto load = indexOf (ops, "loadSession|");
        ASSERT_LT (load, ops.size());
        EXPECT_NE (ops[load].find (std::string ("|") + c.loadedBpm + "|800|"), std::string::npos) << ops[load];

        const auto logs = engine.logs();
        const bool invalid = std::any_of (logs.begin(), logs.end(), [] (const std::string& l) { return l.rfind ("LOAD_SONG: invalid bpm=", 0) == 0; });
        EXPECT_EQ (invalid, c.invalidLine);
        const auto signature = indexOf (ops, "setTimeSignature|");
        EXPECT_EQ (signature < ops.size(), c.signatureApplied);
        if (c.signatureApplied)
            EXPECT_LT (signature, load);
    }

    engine.clear();
    send (R"({"action": "LOAD_SONG", "bpm": 0})");
    EXPECT_TRUE (contains (engine.logs(), "LOAD_SONG: invalid bpm=0 in payload, using 120"));
}

TEST_F (TransportRows, LoadSongStretchRoadAndKeptPreload)
{
    const struct
    {
        const char* fields;
        bool cacheHit;
        const char* preloaded;
        bool triesCache, loads, arms;
    } cases[] = {
        { R"("stretchSemitones": 0.0005)", false, "", false, true, false },
        { R"("stretchSemitones": -2)", false, "", true, true, false },
        { R"("stretchSemitones": -2)", true, "", true, false, false },
        { R"("stretchBpm": 110)", true, "", true, false, false },
        { R"("keepPreload": true)", false, "next", false, true, true },
        { R"("keepPreload": true)", false, "s1", false, true, false },
        { R"("keepPreload": true)", false, "", false, true, false },
        { R"("keepPreload": false)", false, "next", false, true, false },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (juce::String (c.fields) + " hit=" + (c.cacheHit ? "y" : "n") + " preloaded=" + c.preloaded);
        engine.clear();
        engine.stretchCacheHit = c.cacheHit;
        engine.preloadedSongId = c.preloaded;
        send (juce::String (R"({"action": "LOAD_SONG", "songId": "s1", "tracks": [], )") + c.fields + "}");

        const auto ops = engine.operations();
        const auto tried = indexOf (ops, "activateFromStretchCache|");
        const auto load = indexOf (ops, "loadSession|");
        EXPECT_EQ (tried < ops.size(), c.triesCache);
        EXPECT_EQ (load < ops.size(), c.loads);
        EXPECT_EQ (contains (ops, "armPreserveSession"), c.arms);
        EXPECT_EQ (contains (engine.logs(), "Native: LOAD_SONG cache HIT for s1"), c.triesCache && c.cacheHit);
        // The pending song is stored before the cache road reads it; the cues come last on both roads.
        EXPECT_LT (indexOf (ops, "setPendingLoad|"), std::min (tried, load));
        EXPECT_EQ (ops.back(), "updateMidiCues|[]");
    }
}
// The count and overlap executors: posted with their requests, each calls the engine once with the
// defaults and clamps of its fields; the overlay only when asked for, and after the scheduling.
TEST_F (TransportRows, CountAndOverlapExecutorsApplyTheirDefaultsAndClamps)
{
    const struct
    {
        const char* request;
        Calls expected;
    } cases[] = {
        { R"({"action": "START_COUNT_IN"})", { "startStandaloneCountIn|120|4|4|intro|true|true|-1|-1" } },
        { R"({"action": "START_COUNT_IN", "bpm": -10, "numerator": 0, "denominator": 8})", { "startStandaloneCountIn|120|4|8|intro|true|true|-1|-1" } },
        { R"({"action": "START_COUNT_IN", "bpm": 96.5, "numerator": 7, "denominator": 8, "sectionKey": "Coro", "renderClicks": false,
              "renderVoice": false, "clickGain": 0.25, "voiceGain": 1.5})",
          { "startStandaloneCountIn|96.5|7|8|Coro|false|false|0.25|1.5" } },
        { R"({"action": "START_COUNT_IN", "bpm": "100", "numerator": -3, "denominator": 0, "sectionKey": ""})",
          { "startStandaloneCountIn|100|4|4||true|true|-1|-1" } },
        { R"({"action": "START_COUNT_REGION_VOICE"})", { "startCountRegionVoice|0|4|4|-1|-1|0|-1|false||-1" } },
        { R"({"action": "START_COUNT_REGION_VOICE", "bpm": 140, "numerator": 0, "denominator": -2, "regionStartSec": 12, "regionEndSec": 20.5,
              "voiceDelaySec": -0.25, "voiceSpanSec": 2, "armAfterCountIn": true, "sectionKey": "Puente"})",
          { "startCountRegionVoice|140|0|-2|12|20.5|-0.25|2|true|Puente|-1" } },
        { R"({"action": "SCHEDULE_OVERLAP_TRANSITION"})", { "scheduleOverlapTransition||0|0|false|5|false" } },
        { R"({"action": "SCHEDULE_OVERLAP_TRANSITION", "songId": "b", "startPosition": 3.5, "songEndTime": 181.25, "fadeIn": true,
              "fadeDuration": 2, "startImmediately": true})",
          { "scheduleOverlapTransition|b|3.5|181.25|true|2|true" } },
        { R"({"action": "SCHEDULE_OVERLAP_TRANSITION", "songId": "b", "playCountOverlay": false, "countOverlayStartSec": 170,
              "countOverlayEndSec": 178, "overlayDrivesHandoff": true})",
          { "scheduleOverlapTransition|b|0|0|false|5|false" } },
        { R"({"action": "SCHEDULE_OVERLAP_TRANSITION", "songId": "b", "playCountOverlay": true})",
          { "scheduleOverlapTransition|b|0|0|false|5|false", "startCountOverlay|0|0|false" } },
        { R"({"action": "SCHEDULE_OVERLAP_TRANSITION", "songId": "b", "songEndTime": 180, "playCountOverlay": true, "countOverlayStartSec": 170,
              "countOverlayEndSec": 178.5, "overlayDrivesHandoff": true})",
          { "scheduleOverlapTransition|b|0|180|false|5|false", "startCountOverlay|170|178.5|true" } },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.request);
        engine.clear();
        send (c.request);
        auto expected = c.expected;
        expected.insert (expected.begin(), "cancelExportAndWait"); // every count and overlap start passes the export guard
        EXPECT_EQ (engine.calls, expected) << "no log line, no other call";
    }
}

TEST_F (TransportRows, PreloadAndActivationExecutorsPassTheirFieldsAndLog)
{
    const struct
    {
        const char* request;
        Calls expected;
    } cases[] = {
        // "bpm" passes unchecked; the engine replaces a tempo that is not positive.
        { R"({"action": "PRELOAD_SONG"})",
          { "log|Native: PRELOAD_SONG for  peakTracks=0", "startPreload|||120||800|||0|0|false||-1|-1|0|false|-1|4|0" } },
        { R"({"action": "PRELOAD_SONG", "songId": "b", "bpm": 0, "tracks": [{"id": "t"}], "sections": [1], "beatmap": [2], "numBars": 64,
              "timeSignature": [3, 4], "stretchBpm": 90, "stretchSemitones": -2, "cacheOnly": true, "peakTracks": ["t", "u"],
              "countOverlay": {"startSec": 180.5, "endSec": 184.25}, "durationSec": 200, "headOnly": true, "headStartSec": 10,
              "headLengthSec": 30, "audioLeadPadSec": 0.5})",
          { "log|Native: PRELOAD_SONG for b (stretch bpm=90 semi=-2) [cacheOnly] peakTracks=2 countOverlay=[180.50..184.25]s",
            R"(startPreload|[{"id": "t"}]|[1]|0|[2]|64|b|[3, 4]|90|-2|true|["t", "u"]|180.5|184.25|200|true|10|30|0.5)" } },
        { R"({"action": "PRELOAD_SONG", "songId": "b", "countOverlay": {"startSec": 3, "endSec": 0}})",
          { "log|Native: PRELOAD_SONG for b peakTracks=0", "startPreload|||120||800|b||0|0|false||3|0|0|false|-1|4|0" } },
        { R"({"action": "PRELOAD_SONG", "songId": "b", "countOverlay": [1, 2]})",
          { "log|Native: PRELOAD_SONG for b peakTracks=0", "startPreload|||120||800|b||0|0|false||-1|-1|0|false|-1|4|0" } },
        { R"({"action": "ACTIVATE_PRELOADED", "songId": "b"})",
          { "cancelExportAndWait", "log|Native: ACTIVATE_PRELOADED for b", "activatePreloaded|b|false|-1|false|false||-1|-1|-1|-1|false|-1|-1|false|false|0|false|0|false|0|-1" } },
        { R"({"action": "ACTIVATE_PRELOADED", "songId": "b", "countClickVolumeDb": 0})",
          { "cancelExportAndWait", "log|Native: ACTIVATE_PRELOADED for b [countStrip]",
            "activatePreloaded|b|false|-1|false|false||-1|-1|-1|-1|false|-1|-1|false|true|0|false|0|false|0|-1" } },
        { R"({"action": "ACTIVATE_PRELOADED", "songId": "b", "autoPlay": true, "startPosition": 12, "fastReset": true, "countIn": true,
              "countInStartPosition": 8, "countInSectionKey": "Coro", "countInBpm": 100, "countInNumerator": 3, "countInDenominator": 4,
              "countInRegion": true, "regionStartPos": 8, "regionEndPos": 12, "regionVoiceInt": true, "regionVoiceDelaySec": 0.25,
              "regionVoiceSpanSec": 2, "countClickVolumeDb": -6, "countClickMuted": true, "countGuideVolumeDb": -3, "countGuideMuted": true})",
          { "cancelExportAndWait", "log|Native: ACTIVATE_PRELOADED for b [autoPlay] [fastReset] [countIn] [countInRegion] [countStrip]",
            "activatePreloaded|b|true|12|true|true|Coro|8|100|3|4|true|8|12|true|true|-6|true|-3|true|0.25|2" } },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.request);
        engine.clear();
        send (c.request);
        EXPECT_EQ (engine.calls, c.expected);
    }
}

// The executors read the request when they run (posted), and wait for no engine readiness.
TEST_F (TransportRows, CountExecutorsArePostedAndNotGated)
{
    component.reset();
    start (false);
    deliver (parseJson (R"({"action": "START_COUNT_IN", "bpm": 90})"));
    EXPECT_TRUE (engine.calls.empty()) << "posted, not run inside the dispatcher";
    settle();
    EXPECT_EQ (engine.operations(), (Calls { "cancelExportAndWait", "startStandaloneCountIn|90|4|4|intro|true|true|-1|-1" }));
}
} // namespace quorvelle::test
