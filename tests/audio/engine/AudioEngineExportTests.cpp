// The mix export on the Virtual device: the file against a direct mix of the stems, the render's
// lengths, its events, cancellation, failing outputs that keep an earlier file, and the export
// guard (a command cancels a running export; a completion waits for it).
#include "EngineTransportFixture.h"
#include "RecordedEvents.h"

#include "platform/CheckedWrite.h"
#include "tests/support/TempFolder.h"

#include <chrono>

namespace quorvelle::test
{
namespace
{
const juce::String diskFull = juce::String::fromUTF8 ("Error de escritura al archivo (\xc2\xbf" "disco lleno?)");

// A stem whose samples differ everywhere: a slow ramp plus a tone, scaled per channel.
juce::AudioBuffer<float> varied (double seconds, double rate, float scale)
{
    juce::AudioBuffer<float> audio (2, (int) (seconds * rate));
    for (int c = 0; c < 2; ++c)
        for (int i = 0; i < audio.getNumSamples(); ++i)
            audio.setSample (c, i, scale * (c == 0 ? 1.0f : -0.5f) * (0.3f * (float) std::sin (i * 0.013) + 0.2f * (float) (i % 4800) / 4800.0f));
    return audio;
}

struct WavContent
{
    double rate = 0.0;
    int bits = 0, channels = 0;
    juce::AudioBuffer<float> audio;
};

std::optional<WavContent> readWav (const juce::File& file)
{
    juce::WavAudioFormat wav;
    std::unique_ptr<juce::AudioFormatReader> reader (wav.createReaderFor (file.createInputStream().release(), true));
    if (reader == nullptr)
        return std::nullopt;
    WavContent content { reader->sampleRate, (int) reader->bitsPerSample, (int) reader->numChannels, {} };
    content.audio.setSize ((int) reader->numChannels, (int) reader->lengthInSamples);
    reader->read (&content.audio, 0, (int) reader->lengthInSamples, 0, true, true);
    return content;
}

// Waits on the render thread, without bound on the cancel flag, until the test lets it go.
struct RenderLatch
{
    std::atomic<int> blocks { 0 };
    std::atomic<bool> released { false };

    std::function<void (const std::atomic<bool>&)> hook()
    {
        return [this] (const std::atomic<bool>& cancel)
        {
            blocks.fetch_add (1);
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds (30);
            while (! released.load() && ! cancel.load() && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for (std::chrono::milliseconds (1));
        };
    }
};

class MixExport : public EngineTransportTest
{
protected:
    void SetUp() override
    {
        EngineTransportTest::SetUp();
        openDevice ("Virtual 2", 512, 2);
        engine.setMetronomeMute (true);
        engine.setGuideMute (true);
    }

    void TearDown() override
    {
        platform::setWriteFailureAtByteForTesting (-1);
        engine.exportBlockHookForTesting = nullptr;
        EngineTransportTest::TearDown();
    }

    static AudioEngine::ExportJob range (const juce::File& output, double start, double end, const juce::String& format = "wav")
    {
        AudioEngine::ExportJob job;
        job.songId = "song-1";
        job.outputPath = output.getFullPathName();
        job.format = format;
        job.sourceStartSec = start;
        job.sourceEndSec = end;
        return job;
    }

    void clearEvents()
    {
        const std::scoped_lock sl (eventsLock);
        events.clear();
    }

    juce::var terminalEvent()
    {
        const std::scoped_lock sl (eventsLock);
        for (const auto& e : events)
            if (const auto a = actionOf (e); a == "EXPORT_MIX_COMPLETE" || a == "EXPORT_MIX_CANCELLED" || a == "EXPORT_MIX_ERROR")
                return e;
        return {};
    }

    // Starts the job and runs the message loop until its final event has been sent.
    juce::var runExport (AudioEngine::ExportJob job)
    {
        engine.startExportMix (std::move (job));
        EXPECT_TRUE (runMessageLoopUntil ([this] { return ! terminalEvent().isVoid(); }, 60000));
        return terminalEvent();
    }

    std::vector<double> progress()
    {
        const std::scoped_lock sl (eventsLock);
        std::vector<double> out;
        for (const auto& e : events)
            if (actionOf (e) == "EXPORT_MIX_PROGRESS")
                out.push_back ((double) e.getProperty ("percent", -1.0));
        return out;
    }

    // The files in the output folder besides `keep` (temporary files left behind would show here).
    static juce::StringArray strayFiles (const juce::File& folder, const juce::File& keep)
    {
        juce::StringArray names;
        for (const auto& f : folder.findChildFiles (juce::File::findFiles, false, "*", juce::File::FollowSymlinks::no))
            if (f != keep)
                names.add (f.getFileName());
        return names;
    }

    TempFolder out;
};
} // namespace

TEST_F (MixExport, TheWavFileIsTheStemsMixedWithTheirGains)
{
    const auto a = varied (4.0, rate, 1.0f), b = varied (4.0, rate, 0.7f);
    addStem ("a", "drums", a);
    addStem ("b", "bass", b);
    activate();
    engine.setTrackVolume ("b", -6.0f);
    const auto gainB = juce::Decibels::decibelsToGain (-6.0f);

    const auto file = out / "mix.wav";
    const auto final = runExport (range (file, 1.0, 3.0));
    ASSERT_EQ (actionOf (final), "EXPORT_MIX_COMPLETE");
    EXPECT_EQ (final.getProperty ("filePath", {}).toString(), file.getFullPathName());
    EXPECT_EQ (final.getProperty ("filePathB64", {}).toString(),
               juce::Base64::toBase64 (file.getFullPathName().toRawUTF8(), file.getFullPathName().getNumBytesAsUTF8()));

    const auto content = readWav (file);
    ASSERT_TRUE (content.has_value());
    EXPECT_EQ (content->rate, rate);
    EXPECT_EQ (content->bits, 16);
    EXPECT_EQ (content->channels, 2);
    ASSERT_EQ (content->audio.getNumSamples(), 96000);

    // Past the gain stages' first ramp, every sample is the sum within one 16-bit step.
    const auto lsb = 1.0f / 32768.0f;
    int worst = -1;
    float worstError = 0.0f;
    for (int c = 0; c < 2; ++c)
        for (int i = 4800; i < 96000; ++i)
        {
            const auto expected = a.getSample (c, 48000 + i) + gainB * b.getSample (c, 48000 + i);
            const auto error = std::abs (content->audio.getSample (c, i) - expected);
            if (error > worstError)
                worstError = error, worst = i;
        }
    EXPECT_LE (worstError, 1.5f * lsb) << "at sample " << worst;
    EXPECT_TRUE (strayFiles (out.folder(), file).isEmpty()) << strayFiles (out.folder(), file).joinIntoString (", ");
}

// While live stretch is on, the graph lags by the stretchers' latency: the export renders that
// much more and drops it, so the stretched stem's bursts land on their output times from sample 0
// and the length is exact.
TEST_F (MixExport, LiveStretchLatencyIsRenderedAndDropped)
{
    constexpr double period = 0.5, tempo = 1.1;
    juce::AudioBuffer<float> bursts (2, (int) (8.0 * rate));
    bursts.clear();
    for (int k = 0; k < 16; ++k)
        for (int i = 0; i < 480; ++i)
            for (int c = 0; c < 2; ++c)
                bursts.setSample (c, (int) (k * period * rate) + i,
                                  0.8f * (float) std::sin (2.0 * juce::MathConstants<double>::pi * 1000.0 * i / rate) * (1.0f - (float) i / 480.0f));
    addStem ("click", "drums", bursts);
    activate (120.0);
    engine.setTempoForTesting (120.0 * tempo);
    for (const auto& [name, bus] : engine.getGroupBuses())
        bus->stretch->rate = (float) tempo;
    engine.setStretchBypass (false);
    ASSERT_GT (engine.getLiveStretchLatencySamples(), 0);

    const auto file = out / "live.wav";
    ASSERT_EQ (actionOf (runExport (range (file, 0.0, 4.0))), "EXPORT_MIX_COMPLETE");
    const auto content = readWav (file);
    ASSERT_TRUE (content.has_value());
    ASSERT_EQ (content->audio.getNumSamples(), (int) (4.0 / tempo * rate));

    // The centre of each burst's energy against k * period / tempo; one hop is 30 ms.
    const auto hop = (int) (0.03 * rate);
    const auto* y = content->audio.getReadPointer (0);
    for (int k = 0; k * period / tempo * rate < content->audio.getNumSamples() - hop; ++k)
    {
        const auto expected = (int) (k * period / tempo * rate);
        double weighted = 0.0, energy = 0.0;
        for (int i = std::max (0, expected - 2 * hop); i < std::min (content->audio.getNumSamples(), expected + 2 * hop); ++i)
        {
            weighted += (double) i * y[i] * y[i];
            energy += (double) y[i] * y[i];
        }
        ASSERT_GT (energy, 1.0e-3) << "no burst near " << expected;
        const auto centre = weighted / energy;
        EXPECT_NEAR (centre, expected + 240.0 / tempo, hop) << "burst " << k;
    }
}

TEST_F (MixExport, ProgressStartsAtZeroStepsAQuarterSecondAndEndsAtAHundredBeforeComplete)
{
    addStem ("a", "drums", constant (6.0, 0.1f));
    activate();
    runExport (range (out / "p.wav", 0.0, 5.0));

    const auto percents = progress();
    ASSERT_GE (percents.size(), 3u);
    EXPECT_EQ (percents.front(), 0.0);
    EXPECT_EQ (percents.back(), 100.0);
    const auto quarterSecond = 0.25 / 5.0 * 100.0;
    for (size_t i = 1; i + 1 < percents.size(); ++i)
        EXPECT_GE (percents[i] - percents[i - 1], quarterSecond - 1.0e-3) << "report " << i;
    const auto complete = findAction ("EXPORT_MIX_COMPLETE");
    const auto last = find ([] (const juce::var& e) { return actionOf (e) == "EXPORT_MIX_PROGRESS" && (double) e["percent"] == 100.0; });
    ASSERT_TRUE (complete.has_value() && last.has_value());
    EXPECT_LT (*last, *complete);
}

// The rendered length: song time over the tempo ratio, clamped at the song's end; a plan sums its
// spans; a count-in prelude comes first, cut by its truncation and skipped without a metre.
TEST_F (MixExport, LengthsFollowTheRatioThePlanTheSongsEndAndThePrelude)
{
    loadCountSamples();
    using Job = AudioEngine::ExportJob;
    const struct
    {
        const char* name;
        double bpm, songSeconds;
        std::function<void (Job&)> shape;
        int64_t expected;
    } cases[] = {
        { "ratio 1.25 over 100 s", 150.0, 120.0, [] (Job& j) { j.sourceEndSec = 100.0; }, 3840000 },
        { "a range past the end", 120.0, 10.0, [] (Job& j) { j.sourceStartSec = 5.0; j.sourceEndSec = 20.0; }, 240000 },
        { "a plan of two spans", 120.0, 10.0, [] (Job& j)
          {
              j.renderPlan = { { 1.0, 2.0, 1.0, "A" }, { 4.0, 4.5, 0.5, "B" } };
          },
          72000 },
        { "prelude cut at 1.5 s", 120.0, 10.0, [] (Job& j)
          {
              j.sourceEndSec = 1.0;
              j.prelude = { true, 120.0, 4, 4, "intro", true, true, 1.5 };
          },
          72000 + 48000 },
        { "prelude without a denominator", 120.0, 10.0, [] (Job& j)
          {
              j.sourceEndSec = 1.0;
              j.prelude = { true, 120.0, 4, 0, "intro", true, true, 0.0 };
          },
          48000 },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        activate (120.0, c.songSeconds);
        engine.setTempoForTesting (c.bpm);
        clearEvents();
        const auto file = out / (juce::String (c.name).replaceCharacter (' ', '_') + ".wav");
        auto job = range (file, 0.0, 0.0);
        c.shape (job);
        ASSERT_EQ (actionOf (runExport (job)), "EXPORT_MIX_COMPLETE");
        const auto content = readWav (file);
        ASSERT_TRUE (content.has_value());
        EXPECT_EQ (content->audio.getNumSamples(), c.expected);
        if (job.prelude.enabled && job.prelude.denominator > 0)
        {
            EXPECT_GT (content->audio.getMagnitude (0, 72000), 0.1f) << "the count's clicks and voice are in the prelude";
        }
    }
}

TEST_F (MixExport, ACancelDropsTheRenderKeepsTheEarlierFileAndGivesTheEngineBack)
{
    addStem ("a", "drums", constant (10.0, 0.1f));
    activate();
    engine.setSplitMonitor (true);
    engine.seek (2.5);
    const auto positionBefore = engine.getMasterTransport().getCurrentPosition();
    const bool gateBefore = engine.isPlaybackGateOpen();

    const auto file = out / "keep.wav";
    ASSERT_TRUE (file.replaceWithText ("an earlier export"));

    RenderLatch latch;
    engine.exportBlockHookForTesting = latch.hook();
    engine.startExportMix (range (file, 0.0, 8.0));
    ASSERT_TRUE (runMessageLoopUntil ([&] { return latch.blocks.load() > 0; }));
    EXPECT_TRUE (engine.isExportInFlight());
    EXPECT_EQ (engine.getDeviceManager().getCurrentAudioDevice(), nullptr) << "the device is closed while the export renders";
    EXPECT_FALSE (engine.getRouter().splitMonitor.load());

    engine.cancelExportMix();
    ASSERT_TRUE (runMessageLoopUntil ([this] { return ! terminalEvent().isVoid(); }));
    EXPECT_EQ (actionOf (terminalEvent()), "EXPORT_MIX_CANCELLED");
    drainPostedMessages();
    for (const auto percent : progress())
        EXPECT_LT (percent, 100.0);
    EXPECT_EQ (file.loadFileAsString(), "an earlier export");
    EXPECT_TRUE (strayFiles (out.folder(), file).isEmpty()) << strayFiles (out.folder(), file).joinIntoString (", ");

    EXPECT_FALSE (engine.isExportInFlight());
    EXPECT_EQ (currentDeviceName(), "Virtual 2");
    EXPECT_TRUE (engine.getRouter().splitMonitor.load());
    EXPECT_FALSE (engine.getRouter().offline.load());
    EXPECT_EQ (engine.isPlaybackGateOpen(), gateBefore);
    EXPECT_FALSE (engine.getMasterTransport().isPlaying());
    EXPECT_NEAR (engine.getMasterTransport().getCurrentPosition(), positionBefore, 1.0 / rate);
}

// A failing output never reaches the path: an earlier file there stays as it was, no temporary
// file is left, and the error names the failure.
TEST_F (MixExport, FailingOutputsAnswerTheirErrorAndKeepTheEarlierFile)
{
    addStem ("a", "drums", constant (4.0, 0.2f));
    activate();
    const auto blocker = out / "not-a-folder";
    ASSERT_TRUE (blocker.replaceWithText ("x"));

    const struct
    {
        const char* name;
        juce::String path, format;
        juce::int64 failAtByte;
        juce::String message;
    } cases[] = {
        { "wav below a file", blocker.getChildFile ("a.wav").getFullPathName(), "wav", -1, "No se pudo crear el archivo de destino" },
        { "mp3 below a file", blocker.getChildFile ("a.mp3").getFullPathName(), "MP3", -1, "No se pudo crear el MP3 writer" },
        { "relative path", "exports/a.wav", "wav", -1, "No se pudo crear el archivo de destino" },
        { "wav, disk full", (out / "full.wav").getFullPathName(), "wav", 100000, diskFull },
        { "mp3, disk full", (out / "full.mp3").getFullPathName(), "mp3", 50000, diskFull },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        clearEvents();
        const juce::File target (juce::File::isAbsolutePath (c.path) ? c.path : juce::String());
        const bool hasEarlier = target != juce::File() && target.getParentDirectory().isDirectory();
        if (hasEarlier)
        {
            ASSERT_TRUE (target.replaceWithText ("earlier"));
        }
        platform::setWriteFailureAtByteForTesting (c.failAtByte);

        auto job = range (juce::File(), 0.0, 3.0, c.format);
        job.outputPath = c.path;
        const auto final = runExport (job);
        platform::setWriteFailureAtByteForTesting (-1);

        EXPECT_EQ (actionOf (final), "EXPORT_MIX_ERROR");
        EXPECT_EQ (final.getProperty ("message", {}).toString(), c.message);
        EXPECT_TRUE (findDebugLine ("[EXPORT] ERROR: " + c.message).has_value());
        if (hasEarlier)
        {
            EXPECT_EQ (target.loadFileAsString(), "earlier");
        }
        EXPECT_EQ (currentDeviceName(), "Virtual 2");
    }
    auto left = strayFiles (out.folder(), {});
    left.sort (false);
    EXPECT_EQ (left, juce::StringArray ({ "full.mp3", "full.wav", "not-a-folder" }));
}

TEST_F (MixExport, ASongWithoutStemsRendersSilenceOfThePlannedLength)
{
    activate (120.0, 0.0);
    const auto file = out / "empty.wav";
    ASSERT_EQ (actionOf (runExport (range (file, 0.0, 1.0))), "EXPORT_MIX_COMPLETE");
    const auto content = readWav (file);
    ASSERT_TRUE (content.has_value());
    EXPECT_EQ (content->audio.getNumSamples(), 48000);
    EXPECT_EQ (content->audio.getMagnitude (0, content->audio.getNumSamples()), 0.0f);
}

TEST_F (MixExport, ASecondJobDuringARenderIsDroppedWithItsLogLineOnly)
{
    addStem ("a", "drums", constant (4.0, 0.1f));
    activate();
    RenderLatch latch;
    engine.exportBlockHookForTesting = latch.hook();
    engine.startExportMix (range (out / "first.wav", 0.0, 2.0));
    ASSERT_TRUE (runMessageLoopUntil ([&] { return latch.blocks.load() > 0; }));

    engine.startExportMix (range (out / "second.wav", 0.0, 2.0));
    EXPECT_TRUE (findDebugLine (juce::String::fromUTF8 ("[EXPORT] startJob rejected \xe2\x80\x94 already running")).has_value());
    latch.released = true;
    ASSERT_TRUE (runMessageLoopUntil ([this] { return ! terminalEvent().isVoid(); }));
    EXPECT_EQ (actionOf (terminalEvent()), "EXPORT_MIX_COMPLETE");
    EXPECT_EQ (countAction ("EXPORT_MIX_COMPLETE") + countAction ("EXPORT_MIX_ERROR") + countAction ("EXPORT_MIX_CANCELLED"), 1);
    EXPECT_TRUE ((out / "first.wav").existsAsFile());
    EXPECT_FALSE ((out / "second.wav").existsAsFile());
}

// The guard: a command cancels the held export and returns once the engine is back and
// EXPORT_MIX_CANCELLED is sent; a completion of an earlier request waits for the give-back and
// lets the export complete.
TEST_F (MixExport, TheGuardCancelsAndWaitsACompletionRunsAfterTheGiveBack)
{
    addStem ("a", "drums", constant (4.0, 0.1f));
    activate();
    const auto file = out / "guarded.wav";
    ASSERT_TRUE (file.replaceWithText ("earlier"));

    {
        RenderLatch latch;
        engine.exportBlockHookForTesting = latch.hook();
        engine.startExportMix (range (file, 0.0, 3.0));
        ASSERT_TRUE (runMessageLoopUntil ([&] { return latch.blocks.load() > 0; }));

        engine.cancelExportAndWait();
        EXPECT_FALSE (engine.isExportInFlight());
        EXPECT_EQ (actionOf (terminalEvent()), "EXPORT_MIX_CANCELLED") << "sent before the command goes on";
        EXPECT_EQ (currentDeviceName(), "Virtual 2");
        EXPECT_EQ (file.loadFileAsString(), "earlier");
        engine.cancelExportAndWait(); // nothing runs: returns at once
        EXPECT_EQ (countAction ("EXPORT_MIX_CANCELLED"), 1);
        engine.exportBlockHookForTesting = nullptr;
    }

    clearEvents();
    RenderLatch latch;
    engine.exportBlockHookForTesting = latch.hook();
    engine.startExportMix (range (file, 0.0, 3.0));
    ASSERT_TRUE (runMessageLoopUntil ([&] { return latch.blocks.load() > 0; }));

    bool ran = false;
    engine.runAfterExport ([&]
    {
        ran = true;
        EXPECT_FALSE (engine.isExportInFlight());
        EXPECT_NE (engine.getDeviceManager().getCurrentAudioDevice(), nullptr) << "the engine is back when the work runs";
        engine.sendEvent (makeObject ({ { "action", "WORK_RAN" } }));
    });
    EXPECT_FALSE (ran) << "held until the export ends";

    latch.released = true;
    ASSERT_TRUE (runMessageLoopUntil ([this] { return ! terminalEvent().isVoid(); }));
    EXPECT_TRUE (ran);
    const auto work = findAction ("WORK_RAN"), complete = findAction ("EXPORT_MIX_COMPLETE");
    ASSERT_TRUE (work.has_value() && complete.has_value());
    EXPECT_LT (*work, *complete);
    EXPECT_GT (readWav (file)->audio.getNumSamples(), 0);

    bool direct = false;
    engine.runAfterExport ([&] { direct = true; });
    EXPECT_TRUE (direct) << "no export: the work runs at once";
}
} // namespace quorvelle::test
