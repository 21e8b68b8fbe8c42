// Pads: the decoded form and the memory-or-streaming decision, the cache's use counts, releases,
// failures (unopenable files, a read that fails part-way, a decode cancelled while it runs), and the
// two slots rendered on the virtual device: fades, repeats, cuts, crossfades, solo silence, known-bad
// files, removed pads that stay silent, refused non-finite values and the reset clean-up.
#include "audio/engine/AudioEngine.h"
#include "audio/loading/Mp3FileWriter.h"
#include "platform/StorageRoot.h"
#include "platform/VirtualAudioDevice.h"
#include "tests/support/AllocationCounter.h"
#include "tests/support/AudioFixtures.h"
#include "tests/support/CapturingLogger.h"
#include "tests/support/MessageLoop.h"
#include "tests/audio/engine/RecordedEvents.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <mutex>
#include <random>
#include <thread>

using namespace quorvelle;
using namespace quorvelle::test;

namespace
{
using PadPtr = std::shared_ptr<AudioEngine::LoadedPad>;

// A format for files ending in ".padtest": 2 channels at 48 kHz, 16 bits, a constant 0.25. Its
// reader fails from sample `failFrom` on, and waits for `latch` before its first read when set.
struct TestFormatControl
{
    juce::int64 length = 48000;
    juce::int64 failFrom = -1;
    juce::WaitableEvent* latch = nullptr;
    std::atomic<bool> readStarted { false };

    // The threads the readers were destroyed on, in order.
    std::mutex destroyedLock;
    std::vector<std::thread::id> destroyedOn;
    size_t destroyed()
    {
        const std::scoped_lock sl (destroyedLock);
        return destroyedOn.size();
    }
};

class TestPadReader final : public juce::AudioFormatReader
{
public:
    TestPadReader (juce::InputStream* in, TestFormatControl& c) : juce::AudioFormatReader (in, "padtest"), control (c)
    {
        sampleRate = 48000.0;
        bitsPerSample = 16;
        numChannels = 2;
        lengthInSamples = control.length;
        usesFloatingPointData = false;
    }

    ~TestPadReader() override
    {
        const std::scoped_lock sl (control.destroyedLock);
        control.destroyedOn.push_back (std::this_thread::get_id());
    }

    bool readSamples (int* const* dest, int numDest, int offset, juce::int64 start, int n) override
    {
        control.readStarted = true;
        if (control.latch != nullptr)
            control.latch->wait (-1);
        if (control.failFrom >= 0 && start + n > control.failFrom)
            return false;
        for (int c = 0; c < numDest; ++c)
            if (dest[c] != nullptr)
                std::fill (dest[c] + offset, dest[c] + offset + n, 0x20000000); // 0.25 of full scale
        return true;
    }

private:
    TestFormatControl& control;
};

class TestPadFormat final : public juce::AudioFormat
{
public:
    explicit TestPadFormat (TestFormatControl& c) : juce::AudioFormat ("padtest", ".padtest"), control (c) {}
    juce::Array<int> getPossibleSampleRates() override { return { 48000 }; }
    juce::Array<int> getPossibleBitDepths() override { return { 16 }; }
    bool canDoStereo() override { return true; }
    bool canDoMono() override { return true; }
    juce::AudioFormatReader* createReaderFor (juce::InputStream* in, bool) override { return new TestPadReader (in, control); }
    juce::AudioFormatWriter* createWriterFor (juce::OutputStream*, double, unsigned int, int, const juce::StringPairArray&, int) override
    {
        return nullptr;
    }

private:
    TestFormatControl& control;
};

struct Answer
{
    bool arrived = false;
    int count = 0;
    PadPtr pad;
};

class PadTest : public testing::Test
{
protected:
    using Devices = platform::VirtualAudioDevices;
    static Devices& devices() { return Devices::instance(); }

    PadTest()
    {
        devices().reset();
        engine.getDeviceManager().addAudioDeviceType (platform::createVirtualAudioDeviceType());
        engine.getFormatManager().registerFormat (new TestPadFormat (control), false);
    }
    ~PadTest() override { devices().reset(); }

    // A 2-channel file of `seconds` of a sine at `rate` in `format`.
    juce::String writeFile (const juce::String& name, double seconds, double rate = 48000.0, FixtureFormat format = FixtureFormat::wav16,
                            double hz = 1000.0)
    {
        const auto file = temp / name;
        EXPECT_TRUE (writeAudioFile (file, makeSine (2, (int) (seconds * rate), rate, hz, 0.5f), rate, format));
        return file.getFullPathName();
    }

    // A file written by JUCE's WAV writer with the given bits (8, 16 or 32 as float).
    juce::String writeWav (const juce::String& name, int bits, int samples = 4800)
    {
        const auto file = temp / name;
        auto stream = file.createOutputStream();
        juce::WavAudioFormat wav;
        std::unique_ptr<juce::AudioFormatWriter> writer (wav.createWriterFor (stream.get(), 48000.0, 2, bits, {}, 0));
        EXPECT_NE (writer, nullptr);
        stream.release();
        const auto sine = makeSine (2, samples, 48000.0, 440.0, 0.5f);
        writer->writeFromAudioSampleBuffer (sine, 0, samples);
        return file.getFullPathName();
    }

    // Compressed files, whose readers deliver floats: 0.2 s of a stereo sine at 48 kHz.
    juce::String writeOgg (const juce::String& name)
    {
        const auto file = temp / name;
        auto stream = file.createOutputStream();
        juce::OggVorbisAudioFormat ogg;
        std::unique_ptr<juce::AudioFormatWriter> writer (ogg.createWriterFor (stream.get(), 48000.0, 2, 16, {}, 5));
        EXPECT_NE (writer, nullptr);
        stream.release();
        const auto sine = makeSine (2, 9600, 48000.0, 440.0, 0.5f);
        writer->writeFromAudioSampleBuffer (sine, 0, sine.getNumSamples());
        return file.getFullPathName();
    }

    juce::String writeMp3 (const juce::String& name)
    {
        const auto file = temp / name;
        Mp3FileWriter writer (file, 48000.0, 2, 192);
        EXPECT_TRUE (writer.isOpen());
        const auto sine = makeSine (2, 9600, 48000.0, 440.0, 0.5f);
        EXPECT_TRUE (writer.write (sine.getReadPointer (0), sine.getReadPointer (1), sine.getNumSamples()));
        writer.finish();
        return file.getFullPathName();
    }

    juce::String testFormatFile (const juce::String& name)
    {
        const auto file = temp / (name + ".padtest");
        file.replaceWithText ("x");
        return file.getFullPathName();
    }

    Answer& request (const juce::String& file, bool queued)
    {
        auto& answer = answers.emplace_back();
        engine.requestPadDecode (file, [&answer] (PadPtr pad)
        {
            EXPECT_TRUE (juce::MessageManager::getInstance()->isThisTheMessageThread());
            answer.arrived = true;
            ++answer.count;
            answer.pad = std::move (pad);
        }, queued);
        return answer;
    }

    PadPtr decode (const juce::String& file, bool queued = false)
    {
        auto& answer = request (file, queued);
        EXPECT_TRUE (runMessageLoopUntil ([&] { return answer.arrived; }));
        return answer.pad;
    }



    // Slots: the virtual device with 48 kHz, 1024-sample blocks and a session id published.
    void openDevice()
    {
        engine.setAudioDriver ("Virtual");
        ASSERT_EQ (engine.getDeviceSampleRate(), 48000.0);
        engine.setActiveSongId ("pads");
        devices().clearCaptured();
    }

    std::vector<float> render (int blocks)
    {
        devices().clearCaptured();
        EXPECT_EQ (devices().renderBlocks (blocks), blocks);
        return devices().getCaptured (devices().getRunningDeviceName(), 0);
    }

    static float peak (const std::vector<float>& s, size_t from = 0, size_t to = std::numeric_limits<size_t>::max())
    {
        float p = 0.0f;
        for (size_t i = from; i < std::min (to, s.size()); ++i)
            p = std::max (p, std::abs (s[i]));
        return p;
    }

    // Sends an update to slot 1 and pumps the loop until the pad it asks for is attached.
    void attach (const juce::String& file, float volumeDb = 0.0f, float fade = 0.0f)
    {
        const auto before = log.count ("AudioEngine: Pad attached from cache " + file);
        engine.updatePad (true, file, volumeDb, fade);
        ASSERT_TRUE (runMessageLoopUntil ([&] { return log.count ("AudioEngine: Pad attached from cache " + file) > before; }));
    }

    CapturingLogger log;
    TempFolder temp;
    TestFormatControl control;
    std::deque<Answer> answers;
    RecordedEvents recorded;
    AudioEngine engine { recorded.sink(),
                         [] { return getStorageRoot(); } };
};
} // namespace

//==============================================================================
TEST_F (PadTest, FormOfTheDecodedPadFollowsTheFilesSamples)
{
    struct Row
    {
        const char* name;
        juce::String file;
        bool int16;
        int bytesPerSample;
    };
    const std::vector<Row> rows {
        { "16-bit WAV", writeFile ("a16.wav", 0.1), true, 2 },
        { "8-bit WAV", writeWav ("a8.wav", 8), true, 2 },
        { "24-bit WAV", writeFile ("a24.wav", 0.1, 48000.0, FixtureFormat::wav24), false, 4 },
        { "float WAV", writeWav ("a32.wav", 32), false, 4 },
        { "16-bit FLAC", writeFile ("a16.flac", 0.1, 48000.0, FixtureFormat::flac16), true, 2 },
        { "Ogg Vorbis", writeOgg ("a.ogg"), false, 4 },
        { "MP3", writeMp3 ("a.mp3"), false, 4 },
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE (row.name);
        const auto pad = decode (row.file);
        ASSERT_NE (pad, nullptr);
        EXPECT_FALSE (pad->streaming);
        EXPECT_EQ (pad->int16Channels != nullptr, row.int16);
        EXPECT_EQ (pad->floatBuffer != nullptr, ! row.int16);
        EXPECT_EQ (log.count (juce::String ("fmt=") + (row.int16 ? "int16" : "float32") + juce::String::fromUTF8 (" \xe2\x80\x94 ") + row.file), 1);
        const auto samples = pad->int16Channels != nullptr ? pad->int16Channels->front().numSamples : pad->floatBuffer->getNumSamples();
        EXPECT_EQ (engine.getMemoryUsage().padsBytes, 0 + (juce::int64) samples * 2 * row.bytesPerSample) << "M counts the form's bytes";
        engine.releasePad (row.file);
    }
}

TEST_F (PadTest, MemoryOrStreamingByTheThresholdAndTheResidentTotal)
{
    // 16-bit stereo: 4 bytes per frame. 0.5 s at 48 kHz = 96,000 bytes.
    const auto half = writeFile ("half.wav", 0.5);
    const juce::int64 m = 96000;
    struct Row
    {
        const char* name;
        juce::int64 threshold;
        juce::int64 residentSeconds; // a resident pad decoded first (0: none)
        bool streams, aggregateLine;
    };
    const std::vector<Row> rows {
        { "M below T, nothing resident", m + 1, 0, false, false },
        { "M equal to T streams", m, 0, true, false },
        { "M below T but M + N above 2T", m + 4, 1, true, true },
        { "M below T and M + N at 2T", (m + 192000) / 2, 1, false, false },
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE (row.name);
        engine.releaseAllPads();
        engine.setPadRamThresholdForTesting (10 * m);
        juce::String resident;
        if (row.residentSeconds > 0)
        {
            resident = writeFile ("resident.wav", 1.0); // N = 192,000 bytes
            ASSERT_NE (decode (resident), nullptr);
        }
        engine.setPadRamThresholdForTesting (row.threshold);
        const auto before = log.count ("STREAMING por tope agregado");
        const auto pad = decode (half);
        ASSERT_NE (pad, nullptr);
        EXPECT_EQ (pad->streaming, row.streams);
        EXPECT_EQ (pad->bufferingSource != nullptr, row.streams);
        EXPECT_EQ (log.count ("STREAMING por tope agregado") - before, row.aggregateLine ? 1 : 0);
    }

    // The ring of a 2-channel 48 kHz streaming pad: 30 s of float samples per channel.
    engine.releaseAllPads();
    engine.setPadRamThresholdForTesting (1);
    ASSERT_NE (decode (half), nullptr);
    EXPECT_EQ (engine.getMemoryUsage().padRingBytes, (juce::int64) 2 * 1440000 * 4);
    EXPECT_EQ (engine.getMemoryUsage().padsBytes, 0);
}

TEST_F (PadTest, PerformanceLevelsSetTheThreshold)
{
    const struct
    {
        const char* level;
        juce::int64 mebibytes;
    } rows[] = { { "low", 50 }, { "high", 200 }, { "LOW", 100 }, { "", 100 }, { "medium", 100 } };
    for (const auto& row : rows)
    {
        SCOPED_TRACE (row.level);
        engine.setPerformanceLevel (row.level);
        EXPECT_EQ (engine.getPadRamThresholdBytes(), row.mebibytes * 1048576);
        EXPECT_EQ (log.count ("AudioEngine: Performance level set to " + juce::String (row.level) + " (pad RAM threshold: "
                              + juce::String (row.mebibytes) + " MB)"), 1);
    }
}

TEST_F (PadTest, PreloadsOfOneFileShareOneEntryAndLeaveWithTheirLastHolder)
{
    const auto file = writeFile ("shared.wav", 0.1);
    auto& first = request (file, true);
    auto& second = request (file, true);
    ASSERT_TRUE (runMessageLoopUntil ([&] { return first.arrived && second.arrived; }));
    ASSERT_NE (first.pad, nullptr);
    EXPECT_EQ (first.pad, second.pad);
    EXPECT_EQ (first.pad->useCount.load(), 2);
    EXPECT_EQ (engine.getPadCacheSize(), 1);

    engine.releasePad (file);
    EXPECT_EQ (engine.getPadCacheSize(), 1);
    engine.releasePad (file);
    EXPECT_EQ (engine.getPadCacheSize(), 0);
    EXPECT_EQ (log.count ("AudioEngine: Pad cache evict " + file + " (remaining=0)"), 1);
    engine.releasePad (file); // nothing left: no negative count, no line
    EXPECT_EQ (first.pad->useCount.load(), 0);
}

TEST_F (PadTest, UnopenableFilesAndFailedReadsAnswerEmptyWithOneErrorPerRequest)
{
    const auto missing = (temp / juce::String::fromUTF8 ("ausente \xc3\xb1.wav")).getFullPathName();
    control.failFrom = 20000; // fails in a later block: the header opened
    const auto broken = testFormatFile ("broken");

    for (const auto& file : { missing, broken })
    {
        SCOPED_TRACE (file);
        recorded.clear();
        auto& a = request (file, false);
        auto& b = request (file, true);
        ASSERT_TRUE (runMessageLoopUntil ([&] { return a.arrived && b.arrived; }));
        drainPostedMessages();
        EXPECT_EQ (a.pad, nullptr);
        EXPECT_EQ (b.pad, nullptr);
        EXPECT_EQ (engine.getPadCacheSize(), 0);
        const auto errors = recorded.named ("PAD_LOAD_ERROR");
        ASSERT_EQ (errors.size(), 2u);
        EXPECT_EQ (errors[0]["file"].toString(), file);
        juce::MemoryOutputStream decoded;
        ASSERT_TRUE (juce::Base64::convertFromBase64 (decoded, errors[0]["fileB64"].toString()));
        EXPECT_EQ (juce::String::fromUTF8 ((const char*) decoded.getData(), (int) decoded.getDataSize()), file);
        EXPECT_EQ (errors[0]["reason"].toString(), "No se pudo abrir el archivo del pad");
    }
    EXPECT_EQ (log.count ("AudioEngine: Pad decode failed (reader null) " + missing), 2);
    EXPECT_EQ (log.count ("AudioEngine: Pad decode failed (read error) " + broken), 2);

    // The pending count was given back: a later good decode of another file is unaffected, and a
    // release finds nothing pending.
    engine.releasePad (broken);
    EXPECT_EQ (log.count ("Pad pending decode cancelled"), 0);
}

TEST_F (PadTest, ReleaseDuringALatchedDecodeDiscardsItAndQueuedItemsAnswerEmpty)
{
    juce::WaitableEvent latch;
    control.latch = &latch;
    const auto latched = testFormatFile ("latched");
    const auto queuedFile = writeFile ("queued.wav", 0.1);

    auto& running = request (latched, true);
    auto& queued = request (queuedFile, true);
    ASSERT_TRUE (runMessageLoopUntil ([&] { return control.readStarted.load(); }));

    engine.releasePad (latched);
    EXPECT_EQ (log.count ("AudioEngine: Pad pending decode cancelled " + latched), 1);
    engine.releaseAllPads(); // the queued item is answered empty; failed marks go too
    latch.signal();

    ASSERT_TRUE (runMessageLoopUntil ([&] { return running.arrived && queued.arrived; }));
    EXPECT_EQ (running.pad, nullptr);
    EXPECT_EQ (queued.pad, nullptr);
    EXPECT_EQ (log.count ("AudioEngine: Pad decode discarded (cancelled) " + latched), 1);
    EXPECT_EQ (engine.getPadCacheSize(), 0);
    drainPostedMessages();
    EXPECT_TRUE (recorded.named ("PAD_LOAD_ERROR").empty());
}

TEST_F (PadTest, RandomRequestsAndReleasesAnswerEachRequestOnceAndEmptyTheCache)
{
    std::vector<juce::String> files;
    for (int i = 0; i < 4; ++i)
        files.push_back (writeFile ("r" + juce::String (i) + ".wav", 0.05));
    files.push_back ((temp / "missing.wav").getFullPathName());

    for (unsigned seed : { 1u, 2u, 3u })
    {
        SCOPED_TRACE (seed);
        answers.clear();
        std::mt19937 random (seed);
        std::map<juce::String, int> released;
        for (int step = 0; step < 60; ++step)
        {
            const auto& file = files[random() % files.size()];
            if (random() % 3 == 0)
            {
                engine.releasePad (file);
                ++released[file];
            }
            else
                request (file, random() % 2 == 0);
            if (random() % 4 == 0)
                runMessageLoopFor (1);
        }
        ASSERT_TRUE (runMessageLoopUntil ([&] { return std::all_of (answers.begin(), answers.end(), [] (const Answer& a) { return a.arrived; }); }));
        drainPostedMessages();
        for (const auto& answer : answers)
        {
            EXPECT_EQ (answer.count, 1);
            if (answer.pad != nullptr)
            {
                EXPECT_GE (answer.pad->useCount.load(), 0);
            }
        }
        // Every holder an answer created gives its pad back: the cache ends empty.
        for (const auto& answer : answers)
            if (answer.pad != nullptr)
                engine.releasePad (answer.pad->file);
        for (const auto& answer : answers)
        {
            if (answer.pad != nullptr)
            {
                EXPECT_GE (answer.pad->useCount.load(), 0);
            }
        }
        EXPECT_EQ (engine.getPadCacheSize(), 0);
    }
}

//==============================================================================
// Slots on the virtual device (48 kHz, 1024-sample blocks). ".padtest" files are a constant 0.25.
TEST_F (PadTest, FadeRepeatSwitchOffAndOnWithoutANewDecode)
{
    openDevice();
    control.length = 48000 * 20;
    const auto file = testFormatFile ("steady");
    attach (file, 0.0f, 0.0f);

    // fadeTime 0 fades in linearly over 0.05 s: 2400 samples.
    auto out = render (4);
    EXPECT_NEAR (out[0], 0.0f, 1e-3f);
    EXPECT_NEAR (out[1200], 0.125f, 2e-3f);
    EXPECT_NEAR (out[2399], 0.25f, 2e-3f);
    EXPECT_NEAR (peak (out, 2400), 0.25f, 1e-3f);
    EXPECT_NEAR (out[4000], 0.25f, 1e-3f);

    // Within 0.1 dB and 0.01 s: nothing happens.
    engine.updatePad (true, file, 0.05f, 0.005f);
    EXPECT_EQ (log.count ("AudioEngine: Pad Set Gain Target"), 0);

    engine.updatePad (false, file, 0.0f, 0.0f);
    out = render (3);
    EXPECT_LT (peak (out, 2400), 1e-6f);
    EXPECT_NE (engine.getPadGainForTesting (1, false), nullptr) << "a switched-off slot keeps its chain";

    engine.updatePad (true, file, -6.0f, 0.0f);
    out = render (3);
    EXPECT_NEAR (out.back(), 0.25f * std::pow (10.0f, -6.0f / 20.0f), 1e-3f);
    EXPECT_EQ (log.count ("AudioEngine: Loading Pad " + file), 1) << "the same chain came back";
    EXPECT_EQ (log.count ("AudioEngine: Pad Set Gain Target: "), 1);
}

TEST_F (PadTest, RemovedPadStaysSilentThroughMixerChangesAndSoloSilencesNewPads)
{
    openDevice();
    control.length = 48000 * 20;
    const auto file = testFormatFile ("removed");
    attach (file);
    render (3);

    engine.updatePad (true, {}, 0.0f, 0.0f);
    engine.setGuideVolume (-3.0f); // runs the mixer's gains
    auto out = render (3);
    EXPECT_LT (peak (out, 2400), 1e-6f);

    // A pad attached while something is soloed stays silent; the second slot too.
    engine.setMetronomeSolo (true);
    const auto second = testFormatFile ("second");
    engine.updatePad2 (true, second, 0.0f, 0.0f);
    ASSERT_TRUE (runMessageLoopUntil ([&] { return log.count ("AudioEngine: Pad2 attached from cache " + second) == 1; }));
    out = render (3);
    EXPECT_LT (peak (out), 1e-6f);
    engine.setMetronomeSolo (false);
    out = render (3);
    EXPECT_NEAR (out.back(), 0.25f, 1e-3f);
}

TEST_F (PadTest, NonFiniteValuesChangeNothing)
{
    openDevice();
    control.length = 48000 * 20;
    const auto file = testFormatFile ("finite");
    attach (file, -6.0f, 0.1f);
    const auto target = engine.getPadGainForTesting (1, false)->getRamp().getTargetValue();

    constexpr float inf = std::numeric_limits<float>::infinity();
    const struct
    {
        float volume, fade;
    } rows[] = { { std::nanf (""), 0.1f }, { inf, 0.1f }, { -inf, 0.1f }, { 0.0f, std::nanf ("") }, { 0.0f, inf }, { 0.0f, -inf },
                 { 1e30f, 0.1f } };
    for (const auto& row : rows)
    {
        SCOPED_TRACE (testing::Message() << row.volume << " dB over " << row.fade << " s");
        engine.updatePad (true, file, row.volume, row.fade);
        EXPECT_EQ (engine.getPadGainForTesting (1, false)->getRamp().getTargetValue(), target);
    }
    EXPECT_EQ (log.count ("AudioEngine: Pad update ignored"), (int) std::size (rows));
    // The remembered request is unchanged: repeating the last good one is still a no-op.
    engine.updatePad (true, file, -6.0f, 0.1f);
    EXPECT_EQ (log.count ("AudioEngine: Pad Set Gain Target"), 0);
}

TEST_F (PadTest, FailedFileIsSkippedAsKnownBadWithoutANewDecodeOrEvent)
{
    openDevice();
    const auto missing = (temp / "gone.wav").getFullPathName();
    engine.updatePad (true, missing, 0.0f, 0.0f);
    ASSERT_TRUE (runMessageLoopUntil ([&] { return log.count ("AudioEngine: Pad load failed (no buffer) " + missing) == 1; }));
    drainPostedMessages();
    engine.updatePad (true, missing, 0.0f, 0.0f);
    EXPECT_EQ (log.count ("AudioEngine: Pad load skipped (known-bad) " + missing), 1);
    drainPostedMessages();
    EXPECT_EQ (recorded.named ("PAD_LOAD_ERROR").size(), 1u);
    EXPECT_EQ (log.count ("AudioEngine: Pad decode failed"), 1);
    EXPECT_TRUE (engine.isPadFileFailed (missing));
    engine.clearFailedPadFiles();
    EXPECT_FALSE (engine.isPadFileFailed (missing));

    // Once forgotten the file is tried again, and RELEASE_ALL_PADS forgets it as a song change does.
    engine.updatePad (true, missing, -1.0f, 0.0f);
    ASSERT_TRUE (runMessageLoopUntil ([&] { return log.count ("AudioEngine: Pad load failed (no buffer) " + missing) == 2; }));
    EXPECT_TRUE (engine.isPadFileFailed (missing));
    engine.releaseAllPads();
    EXPECT_FALSE (engine.isPadFileFailed (missing));
}

TEST_F (PadTest, FileChangeCrossfadesWithTheContinueFlagAndCutsWithout)
{
    openDevice();
    control.length = 48000 * 20;
    const auto first = testFormatFile ("first");
    const auto second = testFormatFile ("second");
    const auto third = testFormatFile ("third");
    attach (first);
    render (3);

    // Equal constant pads crossfaded linearly: the sum stays at 0.25 all through the fade.
    engine.setContinuePad (true, false);
    attach (second, 0.0f, 0.2f);
    ASSERT_NE (engine.getPadGainForTesting (1, true), nullptr);
    const auto out = render (12); // 0.256 s
    for (size_t i = 0; i < out.size(); i += 97)
        ASSERT_NEAR (out[i], 0.25f, 2e-3f) << "sample " << i;
    ASSERT_TRUE (runMessageLoopUntil ([&] { return log.count ("AudioEngine: Old pad cleanup queued after crossfade.") == 1; }));
    EXPECT_EQ (engine.getPadGainForTesting (1, true), nullptr);
    EXPECT_EQ (engine.findCachedPad (first), nullptr) << "the fading chain gave its holder back";

    // The flag was used up: the next change cuts at once.
    attach (third);
    EXPECT_EQ (engine.getPadGainForTesting (1, true), nullptr);
    EXPECT_EQ (engine.findCachedPad (second), nullptr);
    EXPECT_NE (engine.findCachedPad (third), nullptr);
}

TEST_F (PadTest, ResetCleanupGivesTheCacheHolderBack)
{
    openDevice();
    control.length = 48000 * 20;
    const auto file = testFormatFile ("reset");
    ASSERT_NE (decode (file, true), nullptr); // a preload holds it too
    attach (file);
    EXPECT_EQ (engine.findCachedPad (file)->useCount.load(), 2);

    engine.updatePad (false, file, 0.0f, 0.1f);
    engine.resetPadSlot (1);
    ASSERT_NE (engine.getPadGainForTesting (1, true), nullptr);
    ASSERT_TRUE (runMessageLoopUntil ([&] { return log.count ("AudioEngine::reset: Fading pad cleaned up after reset.") == 1; }));
    EXPECT_EQ (engine.getPadGainForTesting (1, true), nullptr);
    ASSERT_NE (engine.findCachedPad (file), nullptr);
    EXPECT_EQ (engine.findCachedPad (file)->useCount.load(), 1);
    engine.releasePad (file);
    EXPECT_EQ (engine.getPadCacheSize(), 0);
}

TEST_F (PadTest, PadAtAnotherRateIsResampledToTheDevice)
{
    openDevice();
    const auto file = writeFile ("sine441.wav", 3.0, 44100.0, FixtureFormat::wav16, 1000.0);
    attach (file);
    render (3);
    const auto out = render (47); // about one second
    // Rising zero crossings over whole periods give the frequency.
    std::vector<double> crossings;
    for (size_t i = 1; i < out.size(); ++i)
        if (out[i - 1] < 0.0f && out[i] >= 0.0f)
            crossings.push_back ((double) (i - 1) + out[i - 1] / (out[i - 1] - out[i]));
    ASSERT_GT (crossings.size(), 100u);
    const auto hz = (double) (crossings.size() - 1) * 48000.0 / (crossings.back() - crossings.front());
    EXPECT_NEAR (hz, 1000.0, 1.0);
}

TEST_F (PadTest, StreamingPadRendersTheSamplesOfItsMemoryForm)
{
    openDevice();
    const auto memoryFile = writeFile ("twin1.wav", 2.0, 48000.0, FixtureFormat::wav16, 330.0);
    const auto streamingFile = writeFile ("twin2.wav", 2.0, 48000.0, FixtureFormat::wav16, 330.0);
    constexpr int blocks = 40; // past the first second, well inside the 30 s read-ahead

    const auto renderPad = [&] (bool streaming)
    {
        engine.releaseAllPads();
        engine.setPadRamThresholdForTesting (streaming ? 1 : (juce::int64) 1 << 40);
        const auto& file = streaming ? streamingFile : memoryFile;
        attach (file);
        const auto stream = engine.getPadStreamForTesting (1, false);
        EXPECT_NE (stream, nullptr);
        EXPECT_EQ (stream != nullptr && stream->bufferingSource != nullptr, streaming);
        devices().clearCaptured();
        for (int b = 0; b < blocks; ++b)
        {
            if (stream != nullptr && stream->bufferingSource != nullptr)
            {
                // Two blocks ahead, so the read-ahead never runs dry mid-block.
                juce::AudioBuffer<float> probe (2, 2048);
                EXPECT_TRUE (stream->bufferingSource->waitForNextAudioBlockReady (juce::AudioSourceChannelInfo (probe), 5000)) << "block " << b;
            }
            EXPECT_EQ (devices().renderBlocks (1), 1);
        }
        auto out = devices().getCaptured (devices().getRunningDeviceName(), 0);
        engine.updatePad (false, file, 0.0f, 0.0f);
        return out;
    };

    const auto memory = renderPad (false);
    const auto streamed = renderPad (true);
    ASSERT_EQ (memory.size(), streamed.size());
    EXPECT_GT (peak (memory), 0.3f);
    for (size_t i = 0; i < memory.size(); ++i)
        ASSERT_NEAR (streamed[i], memory[i], 1e-6f) << "sample " << i;
}

TEST_F (PadTest, OldChainsAreDestroyedOffTheMessageAndAudioThreads)
{
    // The test renders on the message thread, so "off the message thread" covers both.
    openDevice();
    control.length = 48000 * 20;
    engine.setPadRamThresholdForTesting (1); // the test format streams: its chain holds a reader
    const auto first = testFormatFile ("chainA");
    const auto second = testFormatFile ("chainB");
    const auto third = testFormatFile ("chainC");
    attach (first);
    render (2);
    const auto before = control.destroyed();

    attach (second); // a cut: the old chain is retired at once
    render (2);
    engine.setContinuePad (true, false);
    attach (third, 0.0f, 0.05f); // a crossfade: the old chain goes after the fade
    render (6);
    ASSERT_TRUE (runMessageLoopUntil ([&] { return log.count ("AudioEngine: Old pad cleanup queued after crossfade.") == 1; }));
    ASSERT_TRUE (runMessageLoopUntil ([&] { return control.destroyed() >= before + 2; })) << "both old chains' readers end";

    const auto messageThread = std::this_thread::get_id();
    const std::scoped_lock sl (control.destroyedLock);
    for (size_t i = before; i < control.destroyedOn.size(); ++i)
        EXPECT_NE (control.destroyedOn[i], messageThread) << "reader " << i;
}

TEST_F (PadTest, CrossfadingSlotsAllocateAndLockNothingOnTheAudioThread)
{
    openDevice();
    engine.setPadRamThresholdForTesting (200000); // 1 s of 16-bit stereo at 48 kHz stays in memory, 3 s streams
    const auto memoryPad = writeFile ("mem.wav", 1.0);
    const auto streamingPad = writeFile ("stream.wav", 3.0);
    const auto resampledPad = writeFile ("res441.wav", 1.0, 44100.0);
    const auto resampledStreamingPad = writeFile ("res441stream.wav", 3.0, 44100.0);

    attach (memoryPad);
    engine.updatePad2 (true, resampledPad, 0.0f, 0.0f);
    ASSERT_TRUE (runMessageLoopUntil ([&] { return log.count ("AudioEngine: Pad2 attached from cache " + resampledPad) == 1; }));
    render (4);

    // Both slots crossfade into streaming chains (one resampled); the test drives the graph itself.
    engine.setContinuePad (true, true);
    attach (streamingPad, 0.0f, 2.0f);
    engine.updatePad2 (true, resampledStreamingPad, 0.0f, 2.0f);
    ASSERT_TRUE (runMessageLoopUntil ([&] { return log.count ("AudioEngine: Pad2 attached from cache " + resampledStreamingPad) == 1; }));
    for (int slot : { 1, 2 })
    {
        ASSERT_NE (engine.getPadStreamForTesting (slot, true), nullptr) << "slot " << slot << " crossfades";
        ASSERT_NE (engine.getPadStreamForTesting (slot, false), nullptr);
        ASSERT_NE (engine.getPadStreamForTesting (slot, false)->bufferingSource, nullptr);
    }
    ASSERT_NE (engine.getPadStreamForTesting (2, false)->resampler, nullptr);
    ASSERT_NE (engine.getPadStreamForTesting (2, true)->resampler, nullptr);

    auto& router = engine.getRouter();
    juce::AudioBuffer<float> block (2, 1024);
    const juce::AudioSourceChannelInfo info (block);
    for (int warm = 0; warm < 4; ++warm)
        router.getNextAudioBlock (info);

    // The framework's buffering and resampling sources, and the song's transport, lock their own
    // state on every block (never contended by a render); nothing else may lock.
    const auto one = engine.getPadStreamForTesting (1, false);
    const auto two = engine.getPadStreamForTesting (2, false);
    const auto twoFading = engine.getPadStreamForTesting (2, true);
    long long allocations = 0, locks = 0;
    float loudest = 0.0f;
    for (int b = 0; b < 40; ++b)
    {
        AllocationCounter counter;
        router.getNextAudioBlock (info);
        allocations += counter.allocations();
        locks += counter.locksOutside ({ AllocationCounter::locksOf (*one->bufferingSource), AllocationCounter::locksOf (*two->bufferingSource),
                                         AllocationCounter::locksOf (*two->resampler), AllocationCounter::locksOf (*twoFading->resampler),
                                         AllocationCounter::locksOf (engine.getMasterTransport()) });
        loudest = std::max (loudest, block.getMagnitude (0, 0, block.getNumSamples()));
    }
    EXPECT_EQ (allocations, 0);
    EXPECT_EQ (locks, 0);
    EXPECT_GT (loudest, 0.1f) << "the pads sounded";
    EXPECT_NE (engine.getPadGainForTesting (1, true), nullptr) << "still crossfading";
}
