// Rebuilds and bank replacements racing the render on the Virtual device's real-time clock. The
// assertions check that rendering carried on and the sources still work afterwards; the races
// themselves are judged by ThreadSanitizer (scripts/tsan-audio-graph.sh builds and runs these
// cases with it). Without it they still run as ordinary tests.

#include "RealTimeDevice.h"
#include "SpokenAndClickFixtures.h"

#include "audio/graph/CountInAudioSource.h"
#include "audio/graph/CueAudioSource.h"
#include "audio/graph/MetronomeAudioSource.h"
#include "platform/VirtualAudioDevice.h"
#include "tests/support/MessageLoop.h"

#include <gtest/gtest.h>

using namespace quorvelle;
using namespace quorvelle::test;
using quorvelle::platform::VirtualAudioDevices;

namespace
{
// The three sources mixed into the device, as the router's direct sources would be.
class GraphSource : public juce::AudioSource
{
public:
    GraphSource (MetronomeAudioSource& m, CountInAudioSource& c, CueAudioSource& q) : sources { &m, &c, &q } {}

    void prepareToPlay (int block, double rate) override
    {
        scratch.setSize (2, juce::jmax (block, 4096));
        for (auto* source : sources)
            source->prepareToPlay (block, rate);
    }
    void releaseResources() override {}
    void getNextAudioBlock (const juce::AudioSourceChannelInfo& info) override
    {
        info.clearActiveBufferRegion();
        const int n = juce::jmin (info.numSamples, scratch.getNumSamples());
        for (auto* source : sources)
        {
            source->getNextAudioBlock (juce::AudioSourceChannelInfo (&scratch, 0, n));
            for (int c = 0; c < juce::jmin (2, info.buffer->getNumChannels()); ++c)
                info.buffer->addFrom (c, info.startSample, scratch, c, 0, n);
        }
        blocks.fetch_add (1);
    }

    std::atomic<int64_t> blocks { 0 };

private:
    juce::AudioSource* sources[3];
    juce::AudioBuffer<float> scratch;
};

class AudioRace : public ::testing::Test
{
protected:
    void SetUp() override
    {
        devices().reset();
        formats.registerBasicFormats();
        for (const auto* key : { "clic_high", "clic_low", "clic_madera_high", "clic_madera_low" })
            AssetFolders::writeTone (assets.clicks, juce::String (key) + ".wav", 44100.0, 300, 0.5f);
        for (const auto* key : { "1", "2", "3", "4", "coro", "puente", "cuenta_inicial" })
            AssetFolders::writeTone (assets.cues, juce::String (key) + ".wav", 44100.0, 3000, 0.3f);

        metronome.transportPlayingFlag = &playing;
        metronome.countInRunningFlag = &counting;
        cues.transportPlayingFlag = &playing;
        cues.countInRunningFlag = &counting;
        countIn.countInState = &state;
        countIn.cueSamplesRef = &cues.getCueSampleBank();
        metronome.logCallback = [] (const juce::String&) {};
        cues.logCallback = [] (const juce::String&) {};
        countIn.logCallback = [] (const juce::String&) {};
        metronome.loadClickSamples (assets.clicks, formats, assets.root);
        cues.loadCueSamples (assets.cues, formats, assets.root);

        device.start (graph, 48000.0, 128);
    }

    void TearDown() override
    {
        device.stop();
        AudioThreadLog::shared().drain();
    }

    static VirtualAudioDevices& devices() { return VirtualAudioDevices::instance(); }

    void open (double rate) { device.open (rate); }

    // Runs `step` on the message thread for `ms`, letting the device render between steps.
    template <typename Step>
    void churn (int ms, Step&& step)
    {
        const auto end = juce::Time::getMillisecondCounter() + (juce::uint32) ms;
        for (int i = 0; juce::Time::getMillisecondCounter() < end; ++i)
        {
            step (i);
            runMessageLoopFor (1);
        }
    }

    // The device keeps delivering blocks to the graph.
    void expectRendering()
    {
        const auto before = graph.blocks.load();
        EXPECT_TRUE (runMessageLoopUntil ([&] { return graph.blocks.load() > before + 20; }, 20000));
    }

    void startCount (double bpm)
    {
        const auto clicks = metronome.getSelectedClicks();
        countIn.clickHighRef = clicks.high;
        countIn.clickLowRef = clicks.low;
        countIn.bpm = bpm;
        countIn.voiceSampleRate = 48000.0;
        countIn.startCountIn ("coro", true);
    }

    AssetFolders assets;
    juce::AudioFormatManager formats;
    std::atomic<bool> playing { true }, counting { false };
    CountInState state;
    MetronomeAudioSource metronome;
    CountInAudioSource countIn;
    CueAudioSource cues;
    GraphSource graph { metronome, countIn, cues };
    RealTimeDevice device;
};
} // namespace

TEST_F (AudioRace, CountRestartsStopsAndOverlayRebuildsLandBetweenBlocks)
{
    churn (1200, [&] (int i)
    {
        countIn.clickLevels[2] = (i % 3 == 0) ? 0.5f : 0.0f;
        countIn.loopsRemaining = i % 4 == 0 ? -1 : 0;
        switch (i % 6)
        {
            case 0: startCount (400.0 + i % 50); break;
            case 1: countIn.armVoiceSwap ("puente"); break;
            case 2: countIn.setRegionVoiceOverlay ({ { "coro", 0 }, { "2", 3000 } }, 20000, i % 2 == 0); break;
            case 3: countIn.trimLength (500); countIn.truncateAt (0.5); break;
            case 4: countIn.startCountInPreRoll ("puente"); break;
            default: countIn.stop(); countIn.clearRegionOverlay(); break;
        }
        countIn.takeVoicePeak();
        countIn.getPositionSeconds();
    });
    expectRendering();

    // Afterwards a count still runs to its end on the audio thread.
    countIn.stop();
    countIn.clearRegionOverlay();
    startCount (600.0);
    countIn.truncateAt (0.2);
    EXPECT_TRUE (runMessageLoopUntil ([&] { return ! countIn.isActive(); }, 20000));
    EXPECT_FALSE (state.counting.load());
    EXPECT_GE (state.completedAtSample.load(), 0);
}

TEST_F (AudioRace, ClickBankReplacementAndRateChangesWhileCountsHoldTheClicks)
{
    metronome.sixteenthLevel = 1.0f;
    metronome.setBpm (180.0);
    churn (1500, [&] (int i)
    {
        if (i % 5 == 0)
            metronome.loadClickSamples (assets.clicks, formats, assets.root);
        metronome.setSound (i % 2 == 0 ? "Madera" : "estandar");
        if (i % 3 == 0)
            startCount (500.0);
        if (i % 40 == 39)
            open (i % 80 == 79 ? 48000.0 : 44100.0); // the device restarts: the bank is converted again
    });
    expectRendering();

    // The clicks a count took before the last rebuild are still whole.
    const auto held = countIn.clickHighRef;
    ASSERT_NE (held, nullptr);
    open (96000.0);
    expectRendering();
    EXPECT_GT (held->getMagnitude (0, 0, held->getNumSamples()), 0.4f);
    EXPECT_NE (metronome.getSelectedClicks().high, held);
}

TEST_F (AudioRace, CueBankReplacementAndIndicationUnloadsWhileTheyPlay)
{
    const auto recording = assets.cues.getChildFile ("puente.wav");
    cues.setSectionAnnounceFullBar (true);
    cues.setOriginalBpm (600.0);
    cues.setBpm (600.0);
    cues.setSections (R"([{"name":"Coro","startTime":0.5},{"name":"Puente","startTime":1.0},{"name":"Coro","startTime":1.5}])");
    cues.setIndicationSchedule (juce::JSON::parse (
        R"([{"markerId":"a","indicationId":"warn","playbackPositionSec":0.2,"truncateAtSec":0.25},{"markerId":"b","indicationId":"warn","playbackPositionSec":0.6}])"));
    churn (1500, [&] (int i)
    {
        switch (i % 8)
        {
            case 0: cues.loadCueSamples (assets.cues, formats, assets.root); break;
            case 1: cues.loadIndication ("warn", recording, formats); break;
            case 2: cues.triggerIndication ("warn", "x"); break;
            case 3: cues.unloadIndication ("warn"); break;
            case 4: cues.pendingSeekSeconds = 0.0; break;
            case 5: startCount (700.0); break;
            case 6: cues.updateGuideState (i % 3 == 0, false, i % 2 == 0 ? "Puente" : ""); break;
            default: cues.clearIndications(); cues.getMemoryUsage(); break;
        }
        cues.getFilenameForSection ("Verso 2");
    });
    expectRendering();

    // The bank is whole afterwards and the buffers let go of on the audio thread are released here.
    runMessageLoopFor (50);
    cues.releaseParkedBuffers();
    EXPECT_EQ (cues.getFilenameForSection ("Coro"), "coro");
    EXPECT_TRUE (cues.loadIndication ("warn", recording, formats));
    EXPECT_TRUE (cues.triggerIndication ("warn", ""));
}
