#include "tests/support/AllocationCounter.h"
#include "SpokenAndClickFixtures.h"

#include "audio/graph/AudioThreadLog.h"
#include "audio/graph/CountInAudioSource.h"
#include "core/CountIn.h"

#include <gtest/gtest.h>

#include <thread>

using namespace quorvelle;
using namespace quorvelle::test;

namespace
{
constexpr int voiceLength = 2000;

// Each spoken key has a tone of its own amplitude, so an onset's first sample tells the key.
const std::pair<const char*, float> spokenKeys[] = {
    { "1", 0.11f }, { "2", 0.12f }, { "3", 0.13f }, { "4", 0.14f }, { "5", 0.15f }, { "6", 0.16f },
    { "coro", 0.30f }, { "puente", 0.35f }, { "cuenta_inicial", 0.40f },
};

struct CountIn
{
    CueSampleBank bank;
    CountInState state;
    CountInAudioSource source;
    juce::StringArray lines;
    const double rate;

    explicit CountIn (double rateToUse, bool withCuentaInicial = true) : rate (rateToUse)
    {
        auto cues = std::make_shared<CueSampleMap>();
        for (const auto& [key, amplitude] : spokenKeys)
            if (withCuentaInicial || juce::String (key) != "cuenta_inicial")
                (*cues)[key] = std::make_shared<const juce::AudioBuffer<float>> (makeKeyTone (1, voiceLength, rate, 700.0, amplitude));
        bank.exchange (cues);

        source.cueSamplesRef = &bank;
        source.countInState = &state;
        source.clickHighRef = std::make_shared<const juce::AudioBuffer<float>> (makeKeyTone (1, 40, rate, 997.0, 0.9f));
        source.clickLowRef = std::make_shared<const juce::AudioBuffer<float>> (makeKeyTone (1, 40, rate, 997.0, 0.5f));
        source.logCallback = [this] (const juce::String& line) { lines.add (line); };
        source.voiceSampleRate = rate;
        source.prepareToPlay (512, rate);
    }

    void setting (double bpm, int numerator, int denominator)
    {
        source.bpm = bpm;
        source.numerator = numerator;
        source.denominator = denominator;
    }

    // Renders blocks until the count ends (or `maxBlocks`), into one capture.
    juce::AudioBuffer<float> renderCount (int block, int maxBlocks, int* endBlock = nullptr, int* completedAt = nullptr)
    {
        juce::AudioBuffer<float> out (2, block * maxBlocks);
        out.clear();
        for (int b = 0; b < maxBlocks; ++b)
        {
            source.getNextAudioBlock (juce::AudioSourceChannelInfo (&out, b * block, block));
            const auto c = state.completedAtSample.exchange (-1);
            if (c >= 0)
            {
                if (endBlock != nullptr)
                    *endBlock = b;
                if (completedAt != nullptr)
                    *completedAt = c;
                break;
            }
        }
        return out;
    }

    int countLines (const juce::String& part)
    {
        AudioThreadLog::shared().drain();
        int count = 0;
        for (const auto& line : lines)
            count += line.contains (part) ? 1 : 0;
        return count;
    }
};

struct Meter
{
    int numerator, denominator;
};
const Meter meters[] = { { 4, 4 }, { 3, 4 }, { 6, 8 }, { 12, 8 } };
} // namespace

TEST (CountIn, EveryEventSitsAtItsExactSampleForEachMeterRateAndPreRoll)
{
    for (const double rate : { 44100.0, 48000.0 })
        for (const auto& meter : meters)
            for (const double bpm : { 120.0, 97.0 })
            {
                SCOPED_TRACE (std::to_string (meter.numerator) + "/" + std::to_string (meter.denominator) + " at " + std::to_string (bpm)
                              + " bpm, " + std::to_string (rate));
                CountIn c (rate);
                c.setting (bpm, meter.numerator, meter.denominator);
                c.source.startCountIn ("Coro", true);
                const auto pattern = core::buildCountInPattern (bpm, meter.numerator, meter.denominator, "Coro");
                const auto events = c.source.getEvents();
                ASSERT_EQ (events.size(), pattern.beats.size()); // subdivision levels are 0: no clicks built
                for (size_t i = 0; i < events.size(); ++i)
                {
                    EXPECT_EQ (events[i].samplePos, (int64_t) (pattern.beats[i].time * rate + 0.5));
                    EXPECT_EQ (events[i].key.toStdString(), pattern.beats[i].label);
                    EXPECT_EQ (events[i].downbeat, pattern.beats[i].accent);
                }
                EXPECT_EQ (c.source.getLength(), (int64_t) (pattern.totalDuration * rate + 0.5));
                EXPECT_TRUE (c.state.counting.load());
                EXPECT_TRUE (c.source.isActive());
            }

    // Pre-rolls at 120 bpm and 48 kHz: the section key, then the numbers.
    const struct { Meter meter; std::vector<int64_t> positions; int64_t length; } preRolls[] = {
        { { 12, 8 }, { 0, 36000, 72000, 108000 }, 144000 },
        { { 6, 8 }, { 0, 12000, 24000, 36000, 48000, 60000 }, 72000 },
        { { 4, 4 }, { 0, 24000, 48000, 72000 }, 96000 },
        { { 3, 8 }, { 0, 12000, 24000 }, 36000 },
    };
    for (const auto& p : preRolls)
    {
        SCOPED_TRACE ("pre-roll " + std::to_string (p.meter.numerator) + "/" + std::to_string (p.meter.denominator));
        CountIn c (48000.0);
        c.setting (120.0, p.meter.numerator, p.meter.denominator);
        c.source.startCountInPreRoll ("coro");
        const auto events = c.source.getEvents();
        ASSERT_EQ (events.size(), p.positions.size());
        for (size_t i = 0; i < events.size(); ++i)
        {
            EXPECT_EQ (events[i].samplePos, p.positions[i]);
            EXPECT_EQ (events[i].key, i == 0 ? juce::String ("coro") : juce::String ((int) i + 1));
        }
        EXPECT_EQ (c.source.getLength(), p.length);
    }
}

TEST (CountIn, SoundsStartAtTheFirstSampleOfTheBlockHoldingTheirEvent)
{
    const struct { const char* what; bool voices; } layers[] = { { "voices", true }, { "clicks", false } };
    for (const auto& layer : layers)
        for (const int block : { 441, 512 })
        {
            SCOPED_TRACE (std::string (layer.what) + " in blocks of " + std::to_string (block));
            CountIn c (48000.0);
            c.setting (120.0, 4, 4);
            for (size_t k = 0; k < 4; ++k)
                c.source.clickLevels[k] = layer.voices ? 0.0f : 1.0f;
            if (! layer.voices)
                c.bank.exchange (std::make_shared<CueSampleMap>()); // clicks only: no spoken samples
            c.source.startCountIn ("coro", true);
            const auto events = c.source.getEvents();

            int endBlock = -1;
            const auto out = c.renderCount (block, 2000, &endBlock);
            ASSERT_GE (endBlock, 0);
            const auto onsets = findOnsets (out);

            std::vector<const CountInAudioSource::CountInEvent*> sounding;
            for (const auto& event : events)
                if (! layer.voices || event.key.isNotEmpty())
                    sounding.push_back (&event);
            ASSERT_EQ (onsets.size(), sounding.size());
            for (size_t i = 0; i < onsets.size(); ++i)
            {
                const auto& event = *sounding[i];
                EXPECT_EQ (onsets[i].sample, event.samplePos / block * block) << "event at " << event.samplePos;
                if (layer.voices)
                {
                    EXPECT_EQ (keyOfAmplitude (spokenKeys, onsets[i].value), event.key);
                }
                else if (event.clickKind < 0)
                {
                    EXPECT_NEAR (onsets[i].value, event.downbeat ? 0.9f : 0.5f, 0.002f);
                }
            }
        }
}

TEST (CountIn, TheEndIsReportedAtItsExactOffsetAndItsSoundsStopThere)
{
    CountIn c (48000.0);
    c.setting (120.0, 4, 4);
    c.source.startCountIn ("coro", true);
    // Shorten the count to end 300 samples into a block while the voice of "coro" still sounds.
    const auto announcement = c.source.getEvents()[4];
    ASSERT_EQ (announcement.key, "coro");
    const int64_t target = (announcement.samplePos / 512 + 2) * 512 + 300;
    c.source.trimLength (c.source.getLength() - target);
    ASSERT_EQ (c.source.getLength(), target);

    int endBlock = -1, completedAt = -1;
    const auto out = c.renderCount (512, 2000, &endBlock, &completedAt);
    EXPECT_EQ (completedAt, 300);
    EXPECT_EQ ((int64_t) endBlock * 512 + 300, target);
    EXPECT_FALSE (c.source.isActive());
    EXPECT_FALSE (c.state.counting.load());
    const int last = endBlock * 512;
    EXPECT_GT (out.getMagnitude (0, last, 300), 0.0f);
    EXPECT_EQ (out.getMagnitude (0, last + 300, 212), 0.0f);
    EXPECT_EQ (out.getMagnitude (1, last + 300, 212), 0.0f);

    // Length edits never raise the length.
    CountIn d (48000.0);
    d.setting (120.0, 4, 4);
    d.source.startCountIn ("coro", false);
    d.source.truncateAt (1.0);
    EXPECT_EQ (d.source.getLength(), 48000);
    d.source.trimLength (1 << 30);
    EXPECT_EQ (d.source.getLength(), 0);
    EXPECT_FALSE (d.source.isActive()); // prepared, waiting
}

TEST (CountIn, LoopedPassesSayCuentaInicialAndTheLastSpeaksTheArmedSwap)
{
    CountIn c (48000.0);
    c.setting (120.0, 4, 4);
    c.source.loopsRemaining = 2;
    for (auto& level : c.source.clickLevels)
        level = 0.0f;
    c.source.startCountIn ("coro", true);
    EXPECT_TRUE (c.source.armVoiceSwap ("puente"));
    EXPECT_FALSE (c.source.armVoiceSwap ("nope"));
    const auto events = c.source.getEvents();
    const auto countLength = c.source.getLength();

    int endBlock = -1, completedAt = -1;
    const auto out = c.renderCount (512, 4000, &endBlock, &completedAt);
    ASSERT_GE (endBlock, 0);
    EXPECT_EQ ((int64_t) endBlock * 512 + completedAt, 3 * countLength);

    const auto onsets = findOnsets (out);
    std::vector<juce::String> announcements;
    for (const auto& onset : onsets)
        for (int pass = 0; pass < 3; ++pass)
            if (onset.sample == (pass * countLength + events[4].samplePos) / 512 * 512)
                announcements.push_back (keyOfAmplitude (spokenKeys, onset.value));
    EXPECT_EQ (announcements, (std::vector<juce::String> { "cuenta_inicial", "cuenta_inicial", "puente" }));
    EXPECT_EQ (c.countLines ("[LOOP->\"cuenta_inicial\"]"), 2);
    EXPECT_EQ (c.countLines ("[OVERRIDE->salto]"), 1);

    // Once the announcement has passed, a swap is refused.
    CountIn d (48000.0);
    d.setting (120.0, 4, 4);
    d.source.startCountIn ("coro", true);
    d.renderCount (512, (int) (events[4].samplePos / 512 + 1));
    EXPECT_FALSE (d.source.armVoiceSwap ("puente"));
}

TEST (CountIn, ARegionOverlayArmedToFollowTheCountStartsInTheBlockAfterIt)
{
    CountIn c (48000.0);
    c.setting (120.0, 3, 4);
    c.source.startCountIn ("coro", true);
    bool overlayDone = false;
    c.source.onRegionOverlayComplete = [&] { overlayDone = true; };
    c.source.setRegionVoiceOverlay ({ { "coro", 0 }, { "missing", 1000 }, { "2", 6000 } }, 12000, false);

    int endBlock = -1;
    c.renderCount (512, 2000, &endBlock);
    ASSERT_GE (endBlock, 0);
    EXPECT_TRUE (c.source.isRegionOverlayActive());

    juce::AudioBuffer<float> out (2, 512 * 30);
    out.clear();
    for (int b = 0; b < 30; ++b)
        c.source.getNextAudioBlock (juce::AudioSourceChannelInfo (&out, b * 512, 512));
    const auto onsets = findOnsets (out);
    ASSERT_EQ (onsets.size(), 2u);
    EXPECT_EQ (onsets[0].sample, 0);
    EXPECT_EQ (keyOfAmplitude (spokenKeys, onsets[0].value), "coro");
    EXPECT_EQ (onsets[1].sample, 6000 / 512 * 512);
    EXPECT_EQ (keyOfAmplitude (spokenKeys, onsets[1].value), "2");
    EXPECT_TRUE (overlayDone);
    EXPECT_FALSE (c.source.isRegionOverlayActive());
}

TEST (CountIn, InvalidSettingsAreRefusedAndChangeNothing)
{
    CountIn c (48000.0);
    c.setting (0.0, 4, 4);
    c.source.startCountIn ("coro", true);
    EXPECT_FALSE (c.source.isActive());
    EXPECT_EQ (c.countLines ("[COUNT-IN] ABORTED: outputSR=48000 bpm=0 cueSamplesRef=yes"), 1);
    c.source.cueSamplesRef = nullptr;
    c.setting (120.0, 4, 4);
    c.source.startCountInPreRoll ("coro");
    EXPECT_FALSE (c.source.isActive());
    EXPECT_EQ (c.countLines ("[PRE-ROLL] ABORTED: invalid state"), 1);
}

TEST (CountIn, RenderingCountsAndOverlaysAllocatesAndFreesNothing)
{
    CountIn c (44100.0);
    c.setting (140.0, 7, 8);
    c.source.clickLevels[2] = 0.5f;
    c.source.clickLevels[3] = 0.25f;
    c.source.loopsRemaining = 1;
    c.source.startCountIn ("coro", true);
    c.source.setRegionVoiceOverlay ({ { "coro", 100 }, { "3", 3000 } }, 9000, false);
    juce::AudioBuffer<float> out (2, 441);
    long long counted = -1;
    std::thread audio ([&]
    {
        AllocationCounter counter;
        for (int b = 0; b < 2000; ++b)
        {
            c.source.getNextAudioBlock (juce::AudioSourceChannelInfo (&out, 0, 441));
            c.state.completedAtSample.exchange (-1);
        }
        counted = counter.allocations() + counter.frees();
    });
    audio.join();
    EXPECT_EQ (counted, 0);
    EXPECT_GT (c.countLines ("[COUNT-VOICE] beatIdx="), 0);
    EXPECT_GT (c.source.takeVoicePeak(), 0.0f);
}
