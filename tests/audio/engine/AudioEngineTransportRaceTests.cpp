// Stop, pause and reset from the message thread while the device renders on its real-time clock
// (run under ThreadSanitizer as race cases): the chain is taken apart only after the transport has
// let go of it, and every flag the audio thread reads is an atomic.
#include "EngineTransportFixture.h"
#include "ScriptedFormat.h"
#include "tests/support/AudioFixtures.h"
#include "tests/support/MessageLoop.h"
#include "tests/support/TempFolder.h"

#include <chrono>
#include <random>

namespace quorvelle::test
{
namespace
{
// Waits until `condition` holds, for at most 20 s; true when it held.
bool waitFor (const std::function<bool()>& condition)
{
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds (20);
    while (! condition())
    {
        if (std::chrono::steady_clock::now() > limit)
            return false;
        std::this_thread::yield();
    }
    return true;
}
} // namespace

class EngineTransportRace : public EngineTransportTest
{
protected:
    void startRealTime()
    {
        openDevice ("Virtual 2", 256, 2);
        devices().setClock (platform::VirtualAudioDevices::Clock::realTime);
    }

    // A song with one stem, playing, and a few blocks rendered by the device's own thread.
    void playSong()
    {
        addStem ("d", "drums", constant (5.0, 0.1f));
        activate();
        engine.play (false, false, -1.0, {}, false, -1, -1, -1, -1);
        const auto from = devices().getBlocksRendered (deviceName);
        ASSERT_TRUE (waitFor ([&] { return devices().getBlocksRendered (deviceName) > from + 4; }));
    }
};

TEST_F (EngineTransportRace, ResetWhilePlaying)
{
    startRealTime();
    for (int round = 0; round < 5; ++round)
    {
        SCOPED_TRACE (round);
        playSong();
        engine.timerCallback();
        engine.reset();
        EXPECT_FALSE (engine.getMasterTransport().isPlaying());
        EXPECT_EQ (engine.getGroupBus ("drums")->mixer.numInputs(), 0);
        EXPECT_EQ (engine.getActiveSongId(), "");
        const auto from = devices().getBlocksRendered (deviceName);
        ASSERT_TRUE (waitFor ([&] { return devices().getBlocksRendered (deviceName) > from + 2; })) << "the device renders on";
    }
}

TEST_F (EngineTransportRace, StopPauseAndResumeWhilePlaying)
{
    startRealTime();
    playSong();
    for (int round = 0; round < 10; ++round)
    {
        SCOPED_TRACE (round);
        engine.pause();
        EXPECT_FALSE (engine.getMasterTransport().isPlaying());
        engine.timerCallback();
        engine.resume();
        EXPECT_TRUE (engine.getMasterTransport().isPlaying());
        engine.seek (0.5 * round);
        engine.emitFadeDiag (round % 2 == 0, 0.1f);
        engine.timerCallback();
        engine.stop();
        EXPECT_EQ (engine.getMasterTransport().getCurrentPosition(), 0.0);
        engine.play (false, false, -1.0, {}, false, -1, -1, -1, -1);
    }
    engine.resetFast();
    EXPECT_EQ (engine.getActiveSongId(), "song-1");
}
// STOP_COUNT_IN on the message thread while the audio thread starts a count jump, speaks its count
// or ends it: in every order the jump ends once, the music is given back and the count flags clear.
TEST_F (EngineTransportRace, CountStopDuringACountJump)
{
    loadCountSamples();
    startRealTime();
    playSong();
    for (int round = 0; round < 12; ++round)
    {
        SCOPED_TRACE (round);
        engine.setCountJumpTempo (480.0, 4, 4, 0.25 * (1 + round % 4)); // counts of 0.25 s to 1 s
        ASSERT_TRUE (engine.getCountRowsProbeForTesting().countJumpPrimed);
        engine.setBoundaryCountJump (true);
        const auto position = engine.getTransportSnapshot().positionSamples;
        engine.getLoopRegion().setJump (position + 256 * (round % 3), 48000, true);

        // Stop as the count starts, during it, or around its end.
        ASSERT_TRUE (waitFor ([&] { return ! engine.getCountRowsProbeForTesting().boundaryCountJump; })) << "the jump fired";
        const auto from = devices().getBlocksRendered (deviceName);
        ASSERT_TRUE (waitFor ([&] { return devices().getBlocksRendered (deviceName) >= from + (juce::int64) (round % 4) * 15; }));
        engine.cancelStandaloneCountIn();
        // A jump still starting on the audio thread ends itself there: wait for that side too.
        EXPECT_TRUE (waitFor ([&]
        {
            engine.timerCallback();
            const auto probe = engine.getCountRowsProbeForTesting();
            return ! probe.countJumpActive && ! probe.countJumpFallbackRequested && ! probe.countInRunning && ! probe.standaloneCountInActive
                   && engine.getCountInPhase() == 2;
        })) << "the jump ended and the count flags cleared";
        EXPECT_FALSE (engine.getCountRowsProbeForTesting().countJumpPrimed) << "the stopped count is gone";
        EXPECT_FALSE (engine.getCountIn().isActive()) << "no count left speaking";
        EXPECT_TRUE (waitFor ([&] { return engine.getMusicGain()->getPublishedGain() > 0.999f; })) << "the music is back";
    }
}
// START_CLICK_SECTION over a running section while the audio thread advances it: each start takes
// over at once (its entry, a counter from 0 that moves on, the clock on its grid), the replaced
// section ends without an event, and the engine and its state machine never disagree.
TEST_F (EngineTransportRace, ClickSectionStartedOverARunningOne)
{
    startRealTime();
    playSong();
    const auto update = [this]
    {
        engine.timerCallback();
        return lastUpdate();
    };
    for (int round = 0; round < 20; ++round)
    {
        SCOPED_TRACE (round);
        const auto id = "e" + juce::String (round);
        engine.startClickSection (id, round % 2 == 0 ? "fixed" : "loop", 120.0 + round, 4, 4, 4, 1.0, {}, {}, {}, {}, {}, false, false);
        EXPECT_EQ (update()["clickSectionEntryId"].toString(), id);
        // Restart at once, after one block, or after a few.
        const auto from = devices().getBlocksRendered (deviceName);
        ASSERT_TRUE (waitFor ([&] { return devices().getBlocksRendered (deviceName) >= from + round % 4; }));
        const auto sample = (juce::int64) update()["clickSectionSample"];
        EXPECT_LE (sample, (round % 4 + 1) * 256 + 256 * 8) << "the counter restarted with this section";
        EXPECT_TRUE (engine.getMetronome().isFixedClockActive());
    }
    ASSERT_TRUE (waitFor ([&] { return (juce::int64) update()["clickSectionSample"] > 4096; })) << "the last section advances";
    EXPECT_EQ (countAction ("CLICK_SECTION_COMPLETE"), 0);
    EXPECT_EQ (countDebugLines ("[CLICK-SM-DRIFT]"), 0);
    engine.stop();
    EXPECT_FALSE (engine.getMetronome().isFixedClockActive());
}

// SET_CLICK_SECTION_NEXT_SEEK_TARGET while the audio thread advances short sections to their end:
// each section completes once, from the audio thread, seeking to a target that was set for it.
TEST_F (EngineTransportRace, NextSeekTargetChangedWhileTheSectionEnds)
{
    startRealTime();
    playSong();
    for (int round = 0; round < 6; ++round)
    {
        SCOPED_TRACE (round);
        events.clear();
        engine.startClickSection ("s", "fixed", 480.0, 4, 4, 1, 0.5, {}, {}, {}, {}, {}, false, false); // 0.5 s
        juce::StringArray targets { "0.500" };
        ASSERT_TRUE (waitFor ([&]
        {
            const double target = 0.25 * (1 + targets.size() % 8);
            engine.setNextSeekTarget ("s", target, "w", "Coro");
            targets.add (juce::String (target, 3));
            engine.timerCallback();
            return ! engine.getClickSectionMachine().peekSnapshot().active;
        })) << "the section ends";
        ASSERT_EQ (countAction ("CLICK_SECTION_COMPLETE"), 1);
        const auto line = events[*findDebugLine ("[CLICK-SECTION] COMPLETE entryId=s")]["message"].toString();
        EXPECT_TRUE (line.endsWith (" [audio-thread-fired]")) << line;
        const auto used = line.fromFirstOccurrenceOf (juce::String::fromUTF8 ("seek\xe2\x86\x92"), false, false).upToFirstOccurrenceOf (" ", false, false);
        EXPECT_TRUE (targets.contains (used)) << line;
        EXPECT_TRUE (waitFor ([&] { return engine.getMusicGain()->getPublishedGain() > 0.999f; })) << "the music is back";
    }
}

// SET_BPM and SET_PITCH between pause and resume while the device renders and a short loop wraps:
// the live stretchers flip in and out, the loop is re-armed in samples of each tempo, and the wraps
// go on at the new tempo.
TEST_F (EngineTransportRace, TempoAndPitchChangesWhileTheLoopWraps)
{
    startRealTime();
    playSong();
    engine.setLoopRegion (0.2, 0.5, true);
    const double tempos[] = { 132.0, 120.0, 96.0, 180.0, 120.0 };
    const float pitches[] = { 0.0f, 2.0f, -3.0f, 0.0f, 0.0f };
    for (int round = 0; round < 10; ++round)
    {
        SCOPED_TRACE (round);
        engine.pause();
        engine.setBpm (tempos[round % 5]);
        engine.setPitch (pitches[round % 5]);
        EXPECT_EQ (engine.getCurrentBpm(), tempos[round % 5]);
        EXPECT_EQ (engine.isStretchBypassed(), tempos[round % 5] == 120.0 && pitches[round % 5] == 0.0f);
        engine.resume();

        events.clear();
        auto& loop = engine.getLoopRegion();
        ASSERT_TRUE (waitFor ([&]
        {
            engine.timerCallback();
            return findAction ("LOOP_TRIGGERED").has_value();
        })) << "the loop wraps at this tempo";
        EXPECT_EQ (loop.lastLoopAt.load(), (int64_t) (0.5 / (tempos[round % 5] / 120.0) * rate));
    }
}

// The sample-accurate jump re-armed from the message thread while the audio thread advances towards
// it: the second arming either replaces the first or, when the first has already fired, fires after
// it (its trigger then lies behind the song, which jumped past it). Never lost, never doubled: the
// last report is the second target, and nothing fires once both are done.
TEST_F (EngineTransportRace, SampleAccurateJumpReArmedWhileTheAudioThreadAdvances)
{
    startRealTime();
    playSong();
    for (int round = 0; round < 20; ++round)
    {
        SCOPED_TRACE (round);
        events.clear();
        const auto now = (double) engine.getTransportSnapshot().positionSamples / rate;
        // A trigger just ahead, replaced at once by one a little further (the audio thread may take either).
        engine.setBoundarySeekSA (now + 0.005, 1.0, true);
        engine.setBoundarySeekSA (now + 0.002 + 0.01 * (round % 3), 1.0 + 0.1 * round, true);
        const auto second = 1.0 + 0.1 * round;
        std::vector<double> landings;
        const auto collect = [&]
        {
            landings.clear();
            for (const auto& e : events)
                if (actionOf (e) == "BOUNDARY_SEEK_TRIGGERED")
                    landings.push_back ((double) e.getProperty ("newPosition", -1.0));
        };
        ASSERT_TRUE (waitFor ([&]
        {
            engine.timerCallback();
            collect();
            return ! landings.empty() && std::abs (landings.back() - second) < 1.0e-3;
        })) << "the second arming fires";
        // Done: nothing fires again.
        const auto from = devices().getBlocksRendered (deviceName);
        ASSERT_TRUE (waitFor ([&] { return devices().getBlocksRendered (deviceName) > from + 8; }));
        engine.timerCallback();
        collect();
        ASSERT_LE (landings.size(), 2u);
        if (landings.size() == 2)
        {
            EXPECT_NEAR (landings[0], 1.0, 1.0e-3) << "the first fired before it was replaced";
        }
        EXPECT_NEAR (landings.back(), second, 1.0e-3);
        EXPECT_FALSE (engine.getLoopRegion().isJumpArmed());
        for (const auto& [name, bus] : engine.getGroupBuses())
            EXPECT_FALSE (bus->stretch->keepStateOnSeek.load()) << name << ": nothing armed any more";
        engine.seek (0.0);
    }
}

// CANCEL_OVERLAP_TRANSITION while the audio thread hands off to B (the overlay's end drives it, a
// standalone count defers B's click setup to the hand-off): in every order the hand-off happens at
// most once, never after the block in flight when the cancel returns, and no third phase follows.
TEST_F (EngineTransportRace, OverlapHandOffWhileTheTransitionIsCancelled)
{
    loadCountSamples();
    startRealTime();
    playSong();
    for (int round = 0; round < 16; ++round)
    {
        SCOPED_TRACE (round);
        if (! engine.getTransportSnapshot().playing)
        {
            engine.play (false, false, -1.0, {}, false, -1, -1, -1, -1);
            const auto from = devices().getBlocksRendered (deviceName);
            ASSERT_TRUE (waitFor ([&] { return devices().getBlocksRendered (deviceName) > from + 2; }));
        }
        events.clear();
        const auto songId = "song-B" + juce::String (round);
        preloadRampSong (songId, 2.0, 0.6);
        engine.startStandaloneCountIn (240.0, 4, 4, "", true, true, -1.0f, -1.0f);
        engine.scheduleOverlapTransition (songId, 0.0, 0.0, false, 5.0, false);
        engine.startCountOverlay (0.0, 0.01 + 0.005 * (round % 6), true); // 10 to 35 ms of overlay
        engine.timerCallback(); // the first phase: B activated, the hand-off armed
        ASSERT_EQ (engine.getActiveSongId(), songId);

        // The cancel lands before, during or after the overlay's end, as the round varies the wait.
        const auto armedAt = devices().getBlocksRendered (deviceName);
        ASSERT_TRUE (waitFor ([&] { return devices().getBlocksRendered (deviceName) >= armedAt + round % 8; }));
        engine.cancelOverlapTransition();

        const auto cancelledAt = devices().getBlocksRendered (deviceName);
        ASSERT_TRUE (waitFor ([&] { return devices().getBlocksRendered (deviceName) > cancelledAt + 2; }));
        const bool started = engine.getTransportSnapshot().playing;
        ASSERT_TRUE (waitFor ([&] { return devices().getBlocksRendered (deviceName) > cancelledAt + 12; }));
        EXPECT_EQ (engine.getTransportSnapshot().playing, started) << "nothing stays armed after the cancel";
        engine.timerCallback();
        EXPECT_EQ (countDebugLines ("overlap auto-start DONE"), 0);
        engine.cancelStandaloneCountIn();
    }
    engine.stop();
}

// A reset while the complement fill of an activated head-only stem writes into the samples that
// play: the fill ends, the samples go with the last of their holders, and the device renders on.
TEST_F (EngineTransportRace, ResetDuringAComplementFill)
{
    // Ten minutes of a generated mono stem: its fill takes a while.
    TempFolder temp;
    const auto file = temp / "stem.scripted";
    constexpr int64_t length = (int64_t) (600.0 * rate);
    ASSERT_TRUE (file.replaceWithText ("48000 16 " + juce::String (length) + " -1"));
    engine.getFormatManager().registerFormat (new ScriptedFormat(), false);
    startRealTime();

    int resetsDuringAFill = 0;
    for (int round = 0; round < 4; ++round)
    {
        SCOPED_TRACE (round);
        // Only the first chunk decoded, the rest left to the fill.
        auto session = std::make_shared<AudioEngine::PreloadedSession>();
        session->songId = "head-only";
        session->sampleRate = rate;
        AudioEngine::PreloadedTrack track;
        track.trackId = "s";
        track.busOverride = "drums";
        track.samples->int16Channels = std::make_unique<std::vector<Int16ChannelData>> (1);
        track.samples->int16Channels->front().allocate (length);
        track.samples->loadMap.reset (length);
        track.samples->loadMap.markLoaded (0);
        track.isHeadOnly = true;
        track.headEndSample = ChunkLoadMap::defaultChunkSize;
        track.totalSamples = length;
        track.complementSource = file.getFullPathName();
        const std::weak_ptr<StemSamples> samples = track.samples;
        session->tracks.push_back (std::move (track));
        engine.setPreloadedSessionForTesting (std::move (session));

        AudioEngine::PreloadActivation request;
        request.songId = "head-only";
        request.autoPlay = true;
        ASSERT_TRUE (engine.activatePreloadedSong (request));
        resetsDuringAFill += engine.getTrackLoader().isBusy() ? 1 : 0;
        engine.reset();

        EXPECT_TRUE (waitFor ([&] { return ! engine.getTrackLoader().isBusy(); }));
        EXPECT_TRUE (engine.getLoadedTracks().empty());
        // A fill that ended first still has its completion mark queued on the message thread.
        EXPECT_TRUE (runMessageLoopUntil ([&] { return samples.expired(); }, 20000)) << "the samples are freed once the fill has let go";
        const auto from = devices().getBlocksRendered (deviceName);
        ASSERT_TRUE (waitFor ([&] { return devices().getBlocksRendered (deviceName) > from + 2; })) << "the device renders on";
    }
    EXPECT_GT (resetsDuringAFill, 0) << "no reset met a running fill";
}

// UPDATE_PAD and UPDATE_PAD2 with the continue flag, changing files faster than they decode and
// crossfade, while both slots play on the device's own thread: memory (16-bit and float), streaming
// and resampled chains come and go through the pad mixer. Once the changes stop, each slot plays
// its last file, every old chain has left, and the cache holds only what the slots hold.
TEST_F (EngineTransportRace, PadFilesChangedRapidlyWithTheContinueFlag)
{
    startRealTime();
    playSong();
    TempFolder temp;
    // Under 1,000,000 bytes a pad stays in memory (while the resident total allows); above, it streams.
    engine.setPadRamThresholdForTesting (1000000);
    const auto write = [&] (const char* name, double seconds, double fileRate, FixtureFormat format, double hz)
    {
        const auto file = temp / name;
        EXPECT_TRUE (writeAudioFile (file, makeSine (2, (int) (seconds * fileRate), fileRate, hz, 0.3f), fileRate, format));
        return file.getFullPathName();
    };
    const juce::String files[] = { write ("int16.wav", 4.0, rate, FixtureFormat::wav16, 220.0),             // 768,000 bytes
                                   write ("float.wav", 2.0, rate, FixtureFormat::wav24, 220.0),             // 768,000
                                   write ("streamed.wav", 8.0, rate, FixtureFormat::wav16, 220.0),          // 1,536,000
                                   write ("resampled.wav", 5.0, 44100.0, FixtureFormat::wav16, 330.0),      // 882,000
                                   write ("resampledStreamed.wav", 4.0, 44100.0, FixtureFormat::wav24, 330.0) }; // 1,411,200
    const float fades[] = { 0.0f, 0.03f, 0.1f, 0.25f };
    const auto update = [&] (int slot, bool enabled, const juce::String& file, float volumeDb, float fade)
    {
        if (slot == 1)
            engine.updatePad (enabled, file, volumeDb, fade);
        else
            engine.updatePad2 (enabled, file, volumeDb, fade);
    };
    const auto waitBlocks = [&] (int blocks)
    {
        const auto from = devices().getBlocksRendered (deviceName);
        return runMessageLoopUntil ([&] { return devices().getBlocksRendered (deviceName) >= from + blocks; });
    };

    std::mt19937 random (15);
    for (int round = 0; round < 60; ++round)
    {
        SCOPED_TRACE (round);
        const int slot = 1 + (int) (random() % 2);
        engine.setContinuePad (true, true);
        // Mostly file changes; now and then a switch-off, which the next file brings back.
        update (slot, random() % 8 != 0, files[random() % std::size (files)], -6.0f + (float) (round % 4), fades[random() % std::size (fades)]);
        // The next change comes at once, after a block, or after a few (answers and fades in between).
        ASSERT_TRUE (waitBlocks ((int) (random() % 6)));
    }

    EXPECT_GT (log.count ("cleanup queued after crossfade."), 0) << "the changes crossfaded";
    EXPECT_GT (log.count ("AudioEngine: Pad STREAMING"), 0) << "streaming chains came and went";
    // The last files: a streamed one on slot 1 and a resampled one in memory on slot 2.
    engine.setContinuePad (true, true);
    update (1, true, files[2], 0.0f, 0.05f);
    update (2, true, files[3], 0.0f, 0.05f);
    const auto playing = [&] (int slot, const juce::String& file)
    {
        const auto chain = engine.getPadStreamForTesting (slot, false);
        return chain != nullptr && chain->file == file;
    };
    ASSERT_TRUE (runMessageLoopUntil ([&] { return playing (1, files[2]) && playing (2, files[3]); }));
    ASSERT_TRUE (runMessageLoopUntil ([&]
    {
        return engine.getPadGainForTesting (1, true) == nullptr && engine.getPadGainForTesting (2, true) == nullptr
               && engine.getPadCacheSize() == 2;
    })) << "the crossfades end and only the slots' pads stay cached (" << engine.getPadCacheSize() << " entries)";
    for (int slot : { 1, 2 })
    {
        const auto pad = engine.findCachedPad (files[slot == 1 ? 2 : 3]);
        ASSERT_NE (pad, nullptr) << "slot " << slot;
        EXPECT_EQ (pad->useCount.load(), 1) << "slot " << slot;
    }

    // Both pads sound at full level once their fades are in: two sines of 0.3 at 220 and 330 Hz
    // peak above either alone.
    const auto padPeak = [&]
    {
        engine.timerCallback();
        const std::scoped_lock sl (eventsLock);
        return (double) lastUpdate()["padPeak"];
    };
    EXPECT_TRUE (runMessageLoopUntil ([&] { return padPeak() > 0.35; })) << padPeak();

    // Removed pads leave the cache once their chains are gone.
    update (1, true, {}, 0.0f, 0.0f);
    update (2, true, {}, 0.0f, 0.0f);
    engine.releaseAllPads();
    EXPECT_EQ (engine.getPadCacheSize(), 0);
    ASSERT_TRUE (waitBlocks (4)) << "the device renders on";
}
} // namespace quorvelle::test
