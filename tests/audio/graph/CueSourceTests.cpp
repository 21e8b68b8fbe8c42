#include "tests/support/AllocationCounter.h"
#include "SpokenAndClickFixtures.h"

#include "audio/graph/AudioThreadLog.h"
#include "audio/graph/CueAudioSource.h"
#include "tests/support/CapturingLogger.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

using namespace quorvelle;
using namespace quorvelle::test;

namespace
{
constexpr int cueLength = 1000;

const std::pair<const char*, float> cueKeys[] = {
    { "coro", 0.30f }, { "puente", 0.35f }, { "verso", 0.25f }, { "pre_coro", 0.28f }, { "cancion", 0.22f }, { "intro", 0.20f },
    { "2", 0.12f }, { "3", 0.13f }, { "4", 0.14f }, { "5", 0.15f }, { "6", 0.16f },
};

using CueSource = CueAudioSource;

struct Cues
{
    AssetFolders assets;
    juce::AudioFormatManager formats;
    CueSource source;
    std::atomic<bool> playing { true }, counting { false }, clickSection { false };
    juce::StringArray lines;
    const double rate;

    explicit Cues (double rateToUse = 48000.0) : rate (rateToUse)
    {
        formats.registerBasicFormats();
        for (const auto& [key, amplitude] : cueKeys)
            AssetFolders::writeTone (assets.cues, juce::String (key) + ".wav", rate, cueLength, amplitude, 1, 700.0);
        source.transportPlayingFlag = &playing;
        source.countInRunningFlag = &counting;
        source.clickSectionActiveFlag = &clickSection;
        source.logCallback = [this] (const juce::String& line) { lines.add (line); };
        source.prepareToPlay (512, rate);
        source.loadCueSamples (assets.cues, formats, assets.root);
    }

    juce::AudioBuffer<float> render (int total, int block)
    {
        juce::AudioBuffer<float> out (2, total);
        out.clear();
        for (int start = 0; start < total; start += block)
            source.getNextAudioBlock (juce::AudioSourceChannelInfo (&out, start, juce::jmin (block, total - start)));
        return out;
    }

    // Key and sample of every sound that starts.
    std::vector<std::pair<juce::String, int>> spoken (const juce::AudioBuffer<float>& out)
    {
        std::vector<std::pair<juce::String, int>> result;
        for (const auto& onset : findOnsets (out))
            result.push_back ({ keyOfAmplitude (cueKeys, onset.value), onset.sample });
        return result;
    }

    int countLines (const char* utf8)
    {
        AudioThreadLog::shared().drain();
        const auto part = juce::String::fromUTF8 (utf8);
        int count = 0;
        for (const auto& line : lines)
            count += line.contains (part) ? 1 : 0;
        return count;
    }
};

// The first sample of the block (blocks of n from position 0) whose song times hold t.
int blockHolding (double t, double rate, double ratio, int n, int origin = 0)
{
    for (int start = origin;; start += n)
        if (t >= start / rate * ratio && t < (start + n) / rate * ratio)
            return start;
}

using Spoken = std::vector<std::pair<juce::String, int>>;
} // namespace

TEST (CueSource, AnnouncementsStartAtTheBlockHoldingTheirTriggerOneBarEarlyAtTheRecordedTempo)
{
    for (const double rate : { 44100.0, 48000.0 })
        for (const int block : { 441, 512 })
        {
            SCOPED_TRACE (std::to_string ((int) rate) + "/" + std::to_string (block));
            Cues c (rate);
            c.source.setOriginalBpm (120.0);
            c.source.setBpm (150.0);
            c.source.setSections (R"([{"name":"Intro","startTime":0},{"name":"Coro","startTime":10.0,"type":"chorus"}])");
            c.source.setNextReadPosition (0);
            const auto out = c.render ((int) (7.0 * rate), block);
            // 10.0 s - one bar (2.0 s) = 8.0 s of song time = 6.4 s of output at 150 bpm.
            EXPECT_EQ (c.spoken (out), (Spoken { { "coro", blockHolding (8.0, rate, 1.25, block) } }));
            EXPECT_NEAR (blockHolding (8.0, rate, 1.25, block) / rate, 6.4, (double) block / rate);
        }
}

TEST (CueSource, ABlockEndingExactlyAtTheTriggerLeavesItToTheNextBlock)
{
    Cues c;
    c.source.setSections (R"([{"name":"Verso","startTime":1.0,"triggerTime":0.5}])");
    c.source.setNextReadPosition (0);
    const auto first = c.render (24000, 480); // ends exactly at 0.5 s
    EXPECT_TRUE (findOnsets (first).empty());
    const auto next = c.render (480, 480);
    EXPECT_EQ (c.spoken (next), (Spoken { { "verso", 0 } }));
}

TEST (CueSource, GuideStateChoosesTheSpokenSectionAndOverridesApplyToTheNormalPathOnly)
{
    const struct { bool looping; const char* queued; const char* overrides; const char* expected; const char* path; } cases[] = {
        { false, "", "", "puente", "path=NORMAL" },
        { true, "", "", "verso", "path=LOOP" },
        { true, "Puente", "", "puente", "path=JUMP" },
        { false, "", R"({"overrides":[{"sectionStartTime":20.0,"sectionName":"x","skip":true}]})", "", "SKIP cue for" },
        { true, "", R"({"overrides":[{"sectionStartTime":20.0,"skip":true}]})", "verso", "path=LOOP" },
    };
    for (const auto& k : cases)
    {
        SCOPED_TRACE (std::string (k.path) + " " + k.overrides);
        Cues c;
        c.source.setSections (R"([{"name":"Verso","startTime":10.0},{"name":"Puente","startTime":20.0}])");
        c.source.setSectionOverrides (k.overrides);
        c.source.setNextReadPosition ((juce::int64) (12.0 * c.rate));
        c.source.updateGuideState (k.looping, false, k.queued);
        const auto out = c.render ((int) (7.0 * c.rate), 512);
        const auto spoken = c.spoken (out);
        if (juce::String (k.expected).isEmpty())
            EXPECT_TRUE (spoken.empty());
        else
        {
            ASSERT_EQ (spoken.size(), 1u);
            EXPECT_EQ (spoken[0].first, k.expected);
            EXPECT_EQ (spoken[0].second, blockHolding (18.0 - 12.0, c.rate, 1.0, 512));
        }
        EXPECT_EQ (c.countLines (k.path), 1);
    }
}

TEST (CueSource, FullBarCountsQueueTheNumbersOfTheBar)
{
    const struct { int numerator, denominator; bool global, forced; std::vector<double> beats; Spoken expected; } cases[] = {
        { 4, 4, true, false, {}, { { "coro", 0 }, { "2", 24000 }, { "3", 48000 }, { "4", 72000 } } },
        { 6, 8, true, false, {}, { { "coro", 0 }, { "2", 12000 }, { "3", 24000 }, { "4", 36000 }, { "5", 48000 }, { "6", 60000 } } },
        { 12, 8, true, false, {}, { { "coro", 0 }, { "2", 36000 }, { "3", 72000 }, { "4", 108000 } } },
        { 3, 4, false, true, {}, { { "coro", 0 }, { "2", 24000 }, { "3", 48000 } } },
        { 3, 4, false, false, {}, { { "coro", 0 } } },
        // Beat-map timing: the beats after the trigger, at their own times.
        // Each number starts in the block that holds trunc((beat - trigger) x rate) after the announcement.
        { 4, 4, true, false, { 0.0, 0.5, 1.0, 1.375, 1.875, 2.5 }, { { "coro", 0 }, { "2", 17760 }, { "3", 41760 }, { "4", 72000 } } },
        // A beat map that ends before the bar does: constant timing for the whole bar.
        { 4, 4, true, false, { 0.0, 0.5, 1.0, 1.4 }, { { "coro", 0 }, { "2", 24000 }, { "3", 48000 }, { "4", 72000 } } },
    };
    for (const auto& k : cases)
    {
        SCOPED_TRACE (std::to_string (k.numerator) + "/" + std::to_string (k.denominator) + " beats=" + std::to_string (k.beats.size()));
        Cues c;
        c.source.setTimeSignature (k.numerator, k.denominator);
        c.source.setSectionAnnounceFullBar (k.global);
        c.source.setBeatmap (k.beats);
        // The trigger at 1.0 s falls on the first sample of a block of 480 at 48 kHz.
        c.source.setSections (R"([{"name":"Coro","startTime":8.0,"triggerTime":1.0}])");
        if (k.forced)
            c.source.setSectionOverrides (R"([{"sectionStartTime":8.0,"forceFullBar":true}])");
        c.source.setNextReadPosition (0);
        c.render (48000, 480);
        const auto out = c.render (150000, 480);
        EXPECT_EQ (c.spoken (out), k.expected);
    }
}

TEST (CueSource, IndicationsPlayAtTheirMarkAndAreFadedOutOverThe30MsBeforeTheirTruncation)
{
    Cues c;
    auto level = makeSilence (1, (int) (4.0 * c.rate));
    for (int i = 0; i < level.getNumSamples(); ++i)
        level.setSample (0, i, 0.5f);
    const auto file = c.assets.temp / "indications/warn.wav";
    ASSERT_TRUE (writeAudioFile (file, level, c.rate, FixtureFormat::wav24));
    ASSERT_TRUE (c.source.loadIndication ("warn", file, c.formats));
    c.source.setIndicationSchedule (juce::JSON::parse (
        R"([{"markerId":"m1","indicationId":"warn","playbackPositionSec":10.0,"truncateAtSec":12.0}])"));

    const int start = (int) (9.9 * c.rate);
    c.source.setNextReadPosition (start);
    const auto out = c.render ((int) (2.3 * c.rate), 512);
    auto at = [&] (double seconds) { return out.getSample (0, (int) std::llround (seconds * c.rate) - start); };
    const auto onsets = findOnsets (out);
    ASSERT_EQ (onsets.size(), 1u);
    EXPECT_EQ (onsets[0].sample + start, blockHolding (10.0, c.rate, 1.0, 512, start));
    EXPECT_NEAR (at (11.0), 0.5f, 1e-4f);
    EXPECT_NEAR (at (11.969), 0.5f, 1e-4f);
    EXPECT_NEAR (at (11.985), 0.25f, 0.01f);
    EXPECT_NEAR (at (11.995), 0.0833f, 0.01f);
    EXPECT_EQ (out.getMagnitude (0, (int) (12.0 * c.rate) - start + 1, out.getNumSamples() - ((int) (12.0 * c.rate) - start + 1)), 0.0f);
    EXPECT_FALSE (c.source.isIndicationPlaying());
    EXPECT_EQ (c.source.getCurrentIndicationId(), "");

    // Triggered directly it has no truncation point: it plays past 12.0 s.
    c.source.setNextReadPosition ((juce::int64) (11.5 * c.rate));
    EXPECT_TRUE (c.source.triggerIndication ("warn", ""));
    EXPECT_FALSE (c.source.triggerIndication ("nope", ""));
    const auto free = c.render ((int) (1.0 * c.rate), 512);
    EXPECT_NEAR (free.getSample (0, (int) (0.75 * c.rate)), 0.5f, 1e-4f);
}

TEST (CueSource, MarkersNearARepositionFireOrAreSkippedByTheirDistance)
{
    Cues c;
    const auto file = c.assets.cues.getChildFile ("coro.wav");
    ASSERT_TRUE (c.source.loadIndication ("a", file, c.formats));
    const double t = 5.0;
    c.source.setIndicationSchedule (juce::JSON::parse (R"([
        {"indicationId":"a","playbackPositionSec":4.9,"truncateAtSec":null},
        {"markerId":"late","indicationId":"a","playbackPositionSec":4.96},
        {"markerId":"near","indicationId":"a","playbackPositionSec":4.9995}])"));
    c.source.setNextReadPosition ((juce::int64) (t * c.rate));
    EXPECT_EQ (c.source.getMarkerCursor(), 1); // 4.9 lies more than 50 ms back
    const auto out = c.render (512, 512);
    EXPECT_EQ (c.spoken (out), (Spoken { { "coro", 0 } })); // only the marker within 1 ms
    EXPECT_EQ (c.source.getCurrentIndicationId(), "a");
    EXPECT_TRUE (c.source.isIndicationPlaying());
    c.render (2048, 512);
    EXPECT_EQ (c.source.getCurrentIndicationId(), ""); // the recording ended by itself
}

// The key lookup's log lines carry their arrows and dashes as written (they once reached the log
// read as Latin-1: "â\u0086\u0092 trying base without suffix").
TEST (CueSource, KeyLookupLinesKeepTheirNonAsciiText)
{
    Cues c;
    CapturingLogger log;
    EXPECT_EQ (c.source.getFilenameForSection ("Verso 2"), "verso");
    EXPECT_EQ (c.source.getFilenameForSection ("Nada"), "");
    for (const auto* fragment : { "normalized key=\"verso_2\"", "\u2192 trying base without suffix: \"verso\"",
                                  "\u2192 base match: \"verso\"", "\u2192 NO MATCH for \"nada\" \u2014 available keys: " })
        EXPECT_EQ (log.count (juce::String::fromUTF8 (fragment)), 1) << fragment << "\n" << log.text();
    EXPECT_EQ (log.count (juce::String::fromUTF8 ("\xc3\xa2")), 0) << log.text();
}

// Where JUCE's assertions are logged (the ThreadSanitizer tree), an assertion line fails the test
// that caused it, whichever logger is installed.
TEST (CueSource, JuceAssertionLinesFailTheTest)
{
    EXPECT_NONFATAL_FAILURE (juce::Logger::writeToLog ("JUCE Assertion failure in juce_String.cpp:327"), "juce_String.cpp:327");
    EXPECT_NONFATAL_FAILURE (
        {
            CapturingLogger log;
            juce::Logger::writeToLog ("JUCE Assertion failure in juce_String.cpp:327");
        },
        "juce_String.cpp:327");
}

// A line that overflows is cut at a character boundary, never inside one.
TEST (CueSource, LogLineTruncationKeepsWholeCharacters)
{
    for (const int ascii : { 0, 1, 2, 3 })
    {
        SCOPED_TRACE (ascii);
        AudioLogLine line;
        line << std::string ((size_t) (AudioLogLine::capacity - 4 - ascii), 'x').c_str();
        line << "\u2192\u2192"; // three bytes each
        const juce::String text = line.toString();
        EXPECT_TRUE (juce::CharPointer_UTF8::isValidString (line.c_str(), (int) std::strlen (line.c_str())));
        EXPECT_EQ (text.length(), AudioLogLine::capacity - 4 - ascii + 1 + (ascii == 3 ? 1 : 0)) << text.getLastCharacters (4);
    }
}

TEST (CueSource, SectionNamesFindTheirSampleKeys)
{
    Cues c;
    const struct { const char* name; const char* key; } cases[] = {
        { "Coro", "coro" }, { "Pre Coro", "pre_coro" }, { "Verso 2", "verso" }, { "coro_", "coro" }, { " Canción ", "cancion" },
        { "_2", "" }, { "pre_coro", "pre_coro" }, { "Nada", "" },
    };
    for (const auto& k : cases)
        EXPECT_EQ (c.source.getFilenameForSection (juce::String::fromUTF8 (k.name)), juce::String (k.key)) << k.name;

    // The audio-thread trigger uses the same rule.
    EXPECT_TRUE (c.source.triggerCueByName ("Verso 2"));
    EXPECT_FALSE (c.source.triggerCueByName ("Nada"));
    EXPECT_EQ (c.countLines ("fileKey=\"verso\" → FIRED"), 1);
    EXPECT_EQ (c.countLines ("triggerCueByName(\"Nada\") → NO file key"), 1);
}

TEST (CueSource, MemoryCountsSharedBuffersOnceAndRateChangesRebuildFromTheDecodedBank)
{
    Cues c;
    const int64_t perSample = (int64_t) cueLength * 4;
    const auto keys = (int64_t) std::size (cueKeys);
    EXPECT_EQ (c.source.getMemoryUsage(), keys * perSample); // same rate: decoded and converted are one buffer

    c.source.prepareToPlay (512, 44100.0);
    const int64_t converted = (int64_t) ((int) (cueLength * 44100.0 / 48000.0) + 16) * 4;
    EXPECT_EQ (c.source.getMemoryUsage(), keys * (perSample + converted));
    const auto coro = c.source.getCueSampleBank().snapshot()->at ("coro");
    EXPECT_EQ (coro->getNumSamples(), (int) (cueLength * 44100.0 / 48000.0) + 16);
}

TEST (CueSource, UnloadingThePlayingIndicationStopsItAndAnotherDoesNot)
{
    Cues c;
    const auto file = c.assets.cues.getChildFile ("coro.wav");
    ASSERT_TRUE (c.source.loadIndication ("a", file, c.formats));
    ASSERT_TRUE (c.source.loadIndication ("b", file, c.formats));
    EXPECT_TRUE (c.source.triggerIndication ("a", "m"));
    c.source.unloadIndication ("b");
    EXPECT_TRUE (c.source.isIndicationPlaying());
    c.source.unloadIndication ("a");
    EXPECT_FALSE (c.source.isIndicationPlaying());
    EXPECT_FALSE (c.source.triggerIndication ("a", "m"));

}

TEST (CueSource, GatesHoldThePositionAndTheStartOffsetDelaysTheTimeline)
{
    Cues c;
    c.source.setSections (R"([{"name":"Coro","startTime":3.0,"triggerTime":1.0}])");
    c.source.setNextReadPosition (0);
    c.counting = true;
    EXPECT_TRUE (findOnsets (c.render (96000, 512)).empty());
    EXPECT_EQ (c.source.getNextReadPosition(), 0);
    c.counting = false;
    c.source.setStartOffset (300);
    const auto out = c.render (96000, 512);
    EXPECT_EQ (c.spoken (out), (Spoken { { "coro", 300 + blockHolding (1.0, c.rate, 1.0, 512, 512 - 300) } }));
    EXPECT_EQ (c.source.getNextReadPosition(), 96000 - 300);
}

TEST (CueSource, TheAudioThreadNeitherAllocatesNorFreesEvenWhenAnIndicationWasReplaced)
{
    Cues c;
    const auto file = c.assets.cues.getChildFile ("puente.wav");
    ASSERT_TRUE (c.source.loadIndication ("warn", file, c.formats));
    c.source.setSectionAnnounceFullBar (true);
    c.source.setSections (R"([{"name":"Intro","startTime":0},{"name":"Coro","startTime":2.0},{"name":"Verso 2","startTime":4.0}])");
    c.source.setIndicationSchedule (juce::JSON::parse (R"([{"markerId":"m","indicationId":"warn","playbackPositionSec":0.5,"truncateAtSec":0.51}])"));
    c.source.setNextReadPosition (0);
    ASSERT_TRUE (c.source.triggerIndication ("warn", ""));
    c.source.releaseParkedBuffers();
    // The playing recording is replaced: the voice now holds the only reference to the old one.
    ASSERT_TRUE (c.source.loadIndication ("warn", c.assets.cues.getChildFile ("verso.wav"), c.formats));

    SongTimingUpdate next;
    next.beatmap.beatTimes = { 0.0, 0.5, 1.0, 1.5, 2.0 };
    next.sections = { { "Puente", "", 3.0, 0.0 } };
    next.replaceSections = true;
    c.source.stageSongTiming (std::move (next));

    juce::AudioBuffer<float> out (2, 441);
    const juce::String warningSection ("Coro"); // the engine holds its section names
    long long counted = -1;
    std::thread audio ([&]
    {
        AllocationCounter counter;
        for (int b = 0; b < 600; ++b)
        {
            if (b == 300)
            {
                c.source.applyStagedSongTiming();
                c.source.pendingSeekSeconds = 0.0;
            }
            if (b == 450)
                c.source.triggerCueByName (warningSection);
            c.source.getNextAudioBlock (juce::AudioSourceChannelInfo (&out, 0, 441));
        }
        counted = counter.allocations() + counter.frees();
    });
    audio.join();
    EXPECT_EQ (counted, 0);
    EXPECT_GT (c.source.releaseParkedBuffers(), 0); // freed here, on the message thread
    EXPECT_TRUE (c.source.collectSongTiming());
    EXPECT_GE (c.countLines ("[LOOP-AUDIT] CUE-TRIGGER path=NORMAL | target=\"Puente\""), 1);
    EXPECT_GE (c.countLines ("[FULL-BAR] beatmap"), 1);
    EXPECT_EQ (c.countLines ("fileKey=\"coro\" → FIRED"), 1);
}
