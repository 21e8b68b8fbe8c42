// The analysis job bodies on generated files, with readers and output streams that fail on purpose.
#include "bridge/AnalysisJobs.h"

#include "platform/CheckedWrite.h"

#include "tests/support/AudioFixtures.h"
#include "tests/support/PeakMemory.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fcntl.h>
#include <future>
#include <sys/stat.h>
#include <unistd.h>

using namespace quorvelle;
using namespace quorvelle::test;

namespace
{
// Wraps a real reader; the read that touches sample `failAt` fails.
class FailingReader final : public juce::AudioFormatReader
{
public:
    FailingReader (std::unique_ptr<juce::AudioFormatReader> innerIn, juce::int64 failAtIn, const juce::String& formatName = {})
        : juce::AudioFormatReader (nullptr, formatName.isEmpty() ? innerIn->getFormatName() : formatName),
          inner (std::move (innerIn)), failAt (failAtIn)
    {
        sampleRate = inner->sampleRate;
        bitsPerSample = inner->bitsPerSample;
        lengthInSamples = inner->lengthInSamples;
        numChannels = inner->numChannels;
        usesFloatingPointData = inner->usesFloatingPointData;
    }
    bool readSamples (int* const* dest, int numDest, int offset, juce::int64 start, int num) override
    {
        if (start <= failAt && failAt < start + num)
            return false;
        return inner->readSamples (dest, numDest, offset, start, num);
    }

private:
    std::unique_ptr<juce::AudioFormatReader> inner;
    juce::int64 failAt;
};

// Readers of the basic formats, except that `file` fails at `failAt` (and, given a format name,
// claims to be of that format).
AudioReaderFactory failingFor (const juce::File& file, juce::int64 failAt, const juce::String& formatName = {})
{
    return [file, failAt, formatName] (const juce::File& f) -> std::unique_ptr<juce::AudioFormatReader> {
        auto reader = basicFormatReaders() (f);
        if (reader != nullptr && f == file)
            return std::make_unique<FailingReader> (std::move (reader), failAt, formatName);
        return reader;
    };
}

// Makes every checked write of its scope fail once `limit` bytes of a file are written.
struct WritesFailAfter
{
    explicit WritesFailAfter (juce::int64 limit) { platform::setWriteFailureAtByteForTesting (limit); }
    ~WritesFailAfter() { platform::setWriteFailureAtByteForTesting (-1); }
};

juce::MemoryBlock bytesOf (const juce::File& f)
{
    juce::MemoryBlock block;
    f.loadFileAsData (block);
    return block;
}

juce::File writeFixture (const juce::File& file, const juce::AudioBuffer<float>& buffer, double rate)
{
    EXPECT_TRUE (writeAudioFile (file, buffer, rate, FixtureFormat::wav16)) << file.getFullPathName();
    return file;
}

SubtractJobRequest subtractRequest (const juce::File& original, juce::StringArray stems)
{
    SubtractJobRequest r;
    r.id = "s1";
    r.originalPath = original.getFullPathName();
    r.stemPaths = std::move (stems);
    r.trackId = "t1";
    r.subfolder = "Songs/abc";
    r.filename = "song.final.wav";
    r.computeRms = true;
    return r;
}

juce::String prop (const juce::var& v, const char* key)
{
    return v.getProperty (key, {}).toString();
}
} // namespace

TEST (SubtractStemsJob, ReadFailuresOfTheFullMixFailTheJob)
{
    for (const double rate : { 44100.0, 48000.0 })
    {
        TempFolder dir;
        const auto mix = writeFixture (dir / "mix.wav", makeNoise (2, static_cast<int> (rate * 3), 0.5f), rate);
        const auto stem = writeFixture (dir / "stem.wav", makeNoise (2, static_cast<int> (rate * 3), 0.1f, 2), rate);
        const auto root = dir / "root";
        for (const juce::int64 failAt : { juce::int64 { 10 }, juce::int64 { 70000 } }) // first and second block
        {
            const auto result = subtractStemsJob (subtractRequest (mix, { stem.getFullPathName() }), root, failingFor (mix, failAt));
            EXPECT_FALSE (static_cast<bool> (result.getProperty ("ok", true))) << rate << " " << failAt;
            EXPECT_EQ (prop (result, "error"), "no se pudo leer el original");
            EXPECT_FALSE (root.getChildFile ("Songs/abc/song.final_t1.flac").exists());
        }
    }
}

// An MP3 reader's length is only an estimate: a read that fails where the estimate says the file
// ends means the file was shorter, and the rest reads as silence. A failure before that still
// fails the job.
TEST (SubtractStemsJob, AnEstimatedLengthMayEndEarlyButNotFailEarly)
{
    for (const double rate : { 44100.0, 48000.0 })
    {
        TempFolder dir;
        const int length = static_cast<int> (rate * 3);
        const auto mix = writeFixture (dir / "mix.wav", makeNoise (2, length, 0.5f), rate);
        const auto quiet = writeFixture (dir / "quiet.wav", makeSilence (2, length), rate);
        const auto root = dir / "root";
        const juce::String mp3 = "MP3 file";

        const auto early = subtractStemsJob (subtractRequest (mix, { quiet.getFullPathName() }), root, failingFor (mix, 70000, mp3));
        EXPECT_FALSE (static_cast<bool> (early.getProperty ("ok", true))) << rate;
        EXPECT_EQ (prop (early, "error"), "no se pudo leer el original");

        const auto wavEnd = subtractStemsJob (subtractRequest (mix, { quiet.getFullPathName() }), root, failingFor (mix, length - 1));
        EXPECT_FALSE (static_cast<bool> (wavEnd.getProperty ("ok", true))) << "a WAV length is exact, " << rate;

        const auto atEnd = subtractStemsJob (subtractRequest (mix, { quiet.getFullPathName() }), root, failingFor (mix, length - 1, mp3));
        ASSERT_TRUE (static_cast<bool> (atEnd.getProperty ("ok", false))) << rate << " " << prop (atEnd, "error");

        juce::AudioFormatManager formats;
        formats.registerBasicFormats();
        std::unique_ptr<juce::AudioFormatReader> out (formats.createReaderFor (juce::File (prop (atEnd, "path"))));
        ASSERT_NE (out, nullptr);
        const int n = static_cast<int> (out->lengthInSamples);
        EXPECT_EQ (n, static_cast<int> (length * 44100.0 / rate + 0.5));
        juce::AudioBuffer<float> written (2, n);
        ASSERT_TRUE (out->read (&written, 0, n, 0, true, true));
        EXPECT_GT (written.getMagnitude (0, 44100), 0.3f) << "the mix before the failed read is kept";
        EXPECT_EQ (written.getMagnitude (n - 256, 256), 0.0f) << "what the failed read held is silence";
    }
}

TEST (SubtractStemsJob, AnUnreadableStemIsSkippedWithoutATrace)
{
    for (const double rate : { 44100.0, 48000.0 })
    {
        TempFolder dir;
        const auto mix = writeFixture (dir / "mix.wav", makeNoise (2, static_cast<int> (rate * 3), 0.5f), rate);
        const auto good = writeFixture (dir / "good.wav", makeNoise (2, static_cast<int> (rate * 3), 0.2f, 2), rate);
        const auto bad = writeFixture (dir / "bad.wav", makeNoise (2, static_cast<int> (rate * 3), 0.2f, 3), rate);

        const auto without = subtractStemsJob (subtractRequest (mix, { good.getFullPathName() }), dir / "a", basicFormatReaders());
        ASSERT_TRUE (static_cast<bool> (without.getProperty ("ok", false))) << prop (without, "error");
        // The bad stem fails in its second block, after its first block could have been subtracted.
        const auto with = subtractStemsJob (subtractRequest (mix, { bad.getFullPathName(), good.getFullPathName() }), dir / "b",
                                            failingFor (bad, 70000));
        ASSERT_TRUE (static_cast<bool> (with.getProperty ("ok", false))) << prop (with, "error");
        EXPECT_EQ (prop (with, "contentHash"), prop (without, "contentHash")) << rate;
        EXPECT_EQ (prop (with, "rmsDbFs"), prop (without, "rmsDbFs"));
    }
}

TEST (SubtractStemsJob, OutputStaysBelowTheStorageRoot)
{
    TempFolder dir;
    const auto mix = writeFixture (dir / "mix.wav", makeSine (1, 44100, 44100.0, 440.0, 0.5f), 44100.0);
    const auto root = dir / "root";

    auto request = subtractRequest (mix, { mix.getFullPathName() });
    request.subfolder = "Songs/../../escape";
    const auto refused = subtractStemsJob (request, root, basicFormatReaders());
    EXPECT_FALSE (static_cast<bool> (refused.getProperty ("ok", true)));
    EXPECT_EQ (prop (refused, "error"), juce::String (juce::CharPointer_UTF8 ("subcarpeta inv\xc3\xa1lida")));
    EXPECT_DOUBLE_EQ (static_cast<double> (refused.getProperty ("rmsDbFs", 0.0)), -300.0) << "subtracting the mix from itself";
    EXPECT_FALSE ((dir / "escape").exists());

    request.subfolder = "./Songs//./abc/";
    request.trackId = "../../t1";
    const auto ok = subtractStemsJob (request, root, basicFormatReaders());
    ASSERT_TRUE (static_cast<bool> (ok.getProperty ("ok", false))) << prop (ok, "error");
    const juce::File out (prop (ok, "path"));
    EXPECT_TRUE (out.isAChildOf (root.getChildFile ("Songs/abc"))) << out.getFullPathName();
    EXPECT_TRUE (out.existsAsFile());
}

TEST (AnalysisJobOutputs, FailedWritesKeepTheOldFileAndLeaveNoTemporary)
{
    TempFolder dir;
    const auto mix = writeFixture (dir / "mix.wav", makeNoise (2, 44100 * 2, 0.5f), 44100.0);
    const auto stem = writeFixture (dir / "stem.wav", makeNoise (2, 44100 * 2, 0.1f, 4), 44100.0);

    // Subtraction: a first run writes the track, a second one fails half-way.
    const auto root = dir / "root";
    const auto first = subtractStemsJob (subtractRequest (mix, { stem.getFullPathName() }), root, basicFormatReaders());
    ASSERT_TRUE (static_cast<bool> (first.getProperty ("ok", false)));
    const juce::File track (prop (first, "path"));
    const auto before = bytesOf (track);
    // Only a missing stem: the new track would be the full mix itself, so its bytes differ.
    const auto failed = [&] {
        WritesFailAfter limit (before.getSize() / 2);
        return subtractStemsJob (subtractRequest (mix, { (dir / "none.wav").getFullPathName() }), root, basicFormatReaders());
    }();
    EXPECT_EQ (prop (failed, "error"), "fallo al escribir el FLAC");
    EXPECT_EQ (bytesOf (track), before);
    EXPECT_EQ (track.getParentDirectory().getNumberOfChildFiles (juce::File::findFilesAndDirectories | juce::File::ignoreHiddenFiles, "*"), 1);
    EXPECT_EQ (track.getParentDirectory().getNumberOfChildFiles (juce::File::findFilesAndDirectories, "*"), 1) << "no hidden temporary";

    // Mix for tempo analysis: same.
    const auto out = dir / "mix-out.wav";
    MixForBpmJobRequest mixRequest { "m1", out.getFullPathName(), { mix.getFullPathName() } };
    ASSERT_TRUE (static_cast<bool> (mixStemsForBpmJob (mixRequest, basicFormatReaders()).getProperty ("ok", false)));
    const auto oldMix = bytesOf (out);
    mixRequest.paths = { stem.getFullPathName() };
    const auto mixFailed = [&] {
        WritesFailAfter limit (1000);
        return mixStemsForBpmJob (mixRequest, basicFormatReaders());
    }();
    EXPECT_EQ (prop (mixFailed, "error"), "fallo al escribir el WAV");
    EXPECT_EQ (bytesOf (out), oldMix);
    EXPECT_EQ (dir.folder().getNumberOfChildFiles (juce::File::findFiles, "*"), 3) << "mix, stem, mix-out";
}

TEST (MixStemsForBpmJob, PeakGuardAndFailures)
{
    TempFolder dir;
    const auto a = writeFixture (dir / "a.wav", makeSine (1, 44100, 44100.0, 100.0, 0.95f), 44100.0);
    const auto b = writeFixture (dir / "b.wav", makeSine (2, 44100, 44100.0, 100.0, 0.95f), 44100.0);
    const auto out = dir / "out.wav";
    const auto result = mixStemsForBpmJob ({ "m", out.getFullPathName(), { a.getFullPathName(), b.getFullPathName() } }, basicFormatReaders());
    ASSERT_TRUE (static_cast<bool> (result.getProperty ("ok", false))) << prop (result, "error");
    double rate = 0;
    const auto written = readAudioFile (out, &rate);
    EXPECT_EQ (rate, 44100.0);
    EXPECT_EQ (written.getNumChannels(), 1);
    EXPECT_NEAR (written.getMagnitude (0, 0, written.getNumSamples()), 0.95f, 1e-3f) << "peak 1.9 scaled to 0.95";
    EXPECT_EQ (static_cast<juce::int64> (result.getProperty ("sizeBytes", 0)), out.getSize());
    EXPECT_DOUBLE_EQ (static_cast<double> (result.getProperty ("durationSeconds", 0.0)), 1.0);

    const auto none = mixStemsForBpmJob ({ "m", out.getFullPathName(), {} }, basicFormatReaders());
    EXPECT_EQ (prop (none, "error"), "sin stems decodificados");
    EXPECT_EQ (prop (none, "outPathB64"), juce::Base64::toBase64 (out.getFullPathName()));
    const auto noFolder = mixStemsForBpmJob ({ "m", (dir / "missing/out.wav").getFullPathName(), { a.getFullPathName() } }, basicFormatReaders());
    EXPECT_EQ (prop (noFolder, "error"), "no se pudo crear el archivo de salida");
}

TEST (GroupLoudnessJob, ChannelsAndFilesAdd)
{
    TempFolder dir;
    const auto mono = writeFixture (dir / "mono.wav", makeSine (1, 44100 * 3, 44100.0, 997.0, 0.1f), 44100.0);
    const auto stereo = writeFixture (dir / "stereo.wav", makeSine (2, 44100 * 3, 44100.0, 997.0, 0.1f), 44100.0);
    const auto loudness = [&] (juce::StringArray paths) { return measureGroupLoudnessJob ({ "l", "g", std::move (paths) }, basicFormatReaders()); };

    const auto one = loudness ({ mono.getFullPathName(), (dir / "missing.wav").getFullPathName() });
    EXPECT_EQ (static_cast<int> (one.getProperty ("decoded", -1)), 1);
    const auto two = loudness ({ stereo.getFullPathName() });
    const auto twice = loudness ({ mono.getFullPathName(), mono.getFullPathName() });
    const double base = one.getProperty ("loudnessLufs", 0.0);
    EXPECT_NEAR (static_cast<double> (two.getProperty ("loudnessLufs", 0.0)) - base, 6.02, 0.01);
    EXPECT_NEAR (static_cast<double> (twice.getProperty ("loudnessLufs", 0.0)) - base, 6.02, 0.01);

    const auto empty = loudness ({});
    EXPECT_TRUE (static_cast<bool> (empty.getProperty ("ok", false)));
    EXPECT_FALSE (static_cast<bool> (empty.getProperty ("valid", true)));
    EXPECT_EQ (static_cast<int> (empty.getProperty ("decoded", -1)), 0);
}

TEST (FingerprintJob, FoldsChannelsAndReportsFailures)
{
    TempFolder dir;
    const auto noise = makeNoise (1, 44100 * 4, 0.5f);
    juce::AudioBuffer<float> stereo (2, noise.getNumSamples());
    stereo.copyFrom (0, 0, noise, 0, 0, noise.getNumSamples());
    stereo.copyFrom (1, 0, noise, 0, 0, noise.getNumSamples());
    const auto monoFile = writeFixture (dir / "mono.wav", noise, 44100.0);
    const auto stereoFile = writeFixture (dir / "stereo.wav", stereo, 44100.0);

    const auto a = fingerprintAudioFileJob ({ "1", monoFile.getFullPathName(), false }, basicFormatReaders());
    const auto b = fingerprintAudioFileJob ({ "2", stereoFile.getFullPathName(), false }, basicFormatReaders());
    ASSERT_TRUE (static_cast<bool> (a.getProperty ("ok", false)));
    EXPECT_GT (a.getProperty ("hashes", {}).size(), 0);
    EXPECT_EQ (juce::JSON::toString (a.getProperty ("hashes", {})), juce::JSON::toString (b.getProperty ("hashes", {})));
    EXPECT_EQ (a.getProperty ("hashes", {}).size(), a.getProperty ("offsets", {}).size());
    EXPECT_DOUBLE_EQ (static_cast<double> (a.getProperty ("durationSeconds", 0.0)), 4.0);

    const auto text = dir / "text.wav";
    text.replaceWithText ("not audio");
    EXPECT_EQ (prop (fingerprintAudioFileJob ({ "3", text.getFullPathName(), true }, basicFormatReaders()), "error"), "unsupported_format");
    EXPECT_FALSE (text.exists()) << "deleted after reading, also on failure";
    EXPECT_EQ (prop (fingerprintAudioFileJob ({ "4", dir.folder().getFullPathName(), false }, basicFormatReaders()), "error"), "file_not_found");
    EXPECT_EQ (prop (fingerprintAudioFileJob ({ "5", "file://" + monoFile.getFullPathName(), false }, basicFormatReaders()), "error"),
               "file_not_found");
    EXPECT_EQ (prop (fingerprintAudioFileJob ({ "6", monoFile.getFullPathName(), false }, failingFor (monoFile, 70000)), "error"), "read_failed");
    const auto emptyFile = writeFixture (dir / "empty.wav", makeSilence (1, 0), 44100.0);
    EXPECT_EQ (prop (fingerprintAudioFileJob ({ "7", emptyFile.getFullPathName(), false }, basicFormatReaders()), "error"), "empty_audio");
}

TEST (AnalysisJobPaths, RequestFieldsAndPathRule)
{
    const auto message = juce::JSON::parse (R"({"id":7,"paths":"a.wav","stemPaths":[1,"b"],"computeRms":"true","deleteSourceAfterRead":true})");
    EXPECT_EQ (readLoudnessJobRequest (message).id, "7");
    EXPECT_TRUE (readLoudnessJobRequest (message).paths.isEmpty());
    EXPECT_EQ (readSubtractJobRequest (message).stemPaths, juce::StringArray ({ "1", "b" }));
    EXPECT_FALSE (readSubtractJobRequest (message).computeRms);
    EXPECT_TRUE (readFingerprintJobRequest (message).deleteSourceAfterRead);

    EXPECT_EQ (resolveAudioPath ("/tmp/a.wav"), juce::File ("/tmp/a.wav"));
    EXPECT_EQ (resolveAudioPath ("file:///tmp/a.wav"), juce::File ("/tmp/a.wav"));
    EXPECT_EQ (resolveAudioPath ("a.wav"), juce::File::getCurrentWorkingDirectory().getChildFile ("a.wav"));
    EXPECT_EQ (resolveAudioPath (""), juce::File());
}

TEST (AnalysisJobPaths, PcmLengthIsCappedToTheFileSize)
{
    TempFolder dir;
    const auto file = writeFixture (dir / "a.wav", makeSine (2, 1000, 44100.0, 440.0, 0.5f), 44100.0);
    auto reader = basicFormatReaders() (file);
    ASSERT_NE (reader, nullptr);
    EXPECT_EQ (capPcmLengthToFileSize (*reader, file.getSize()), 1000);
    EXPECT_EQ (capPcmLengthToFileSize (*reader, 2000), 500) << "2000 bytes hold 500 frames of 16-bit stereo";
    EXPECT_EQ (capPcmLengthToFileSize (*reader, 0), 1000);
}

//==============================================================================
namespace
{
// A 16-bit PCM WAV header declaring `channels`, `rate` and `dataBytes`, then `payloadBytes` of silence.
juce::File writeWavHeader (const juce::File& file, int channels, juce::uint32 rate, juce::uint32 dataBytes, size_t payloadBytes)
{
    juce::MemoryOutputStream out;
    const auto blockAlign = static_cast<juce::uint16> (2 * channels);
    out.write ("RIFF", 4);
    out.writeInt (static_cast<int> (36 + payloadBytes));
    out.write ("WAVEfmt ", 8);
    out.writeInt (16);
    out.writeShort (1);
    out.writeShort (static_cast<short> (channels));
    out.writeInt (static_cast<int> (rate));
    out.writeInt (static_cast<int> (rate * blockAlign));
    out.writeShort (static_cast<short> (blockAlign));
    out.writeShort (16);
    out.write ("data", 4);
    out.writeInt (static_cast<int> (dataBytes));
    out.writeRepeatedByte (0, payloadBytes);
    EXPECT_TRUE (file.replaceWithData (out.getData(), out.getDataSize()));
    return file;
}

// Runs a job on its own thread and waits (generously) for its answer. A job that never answers
// is released by opening its FIFO for writing, so the test ends either way.
juce::var answerOf (const std::function<juce::var()>& job, const juce::File& fifo)
{
    auto answer = std::async (std::launch::async, job);
    if (answer.wait_for (std::chrono::seconds (60)) != std::future_status::ready)
    {
        ADD_FAILURE() << "the job did not answer";
        const int fd = ::open (fifo.getFullPathName().toRawUTF8(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0)
            ::close (fd);
    }
    return answer.get();
}
} // namespace

// Files from outside that used to hang a job or make it allocate gigabytes: each job answers, and
// the process's peak memory stays near what the small files justify.
TEST (AnalysisJobs, HostileFilesGetAnAnswerWithinBoundedMemory)
{
    TempFolder dir;
    const auto fifo = dir / "fifo.wav";
    ASSERT_EQ (::mkfifo (fifo.getFullPathName().toRawUTF8(), 0600), 0);
    const auto mix = writeFixture (dir / "mix.wav", makeNoise (2, 44100, 0.5f), 44100.0);

    const struct
    {
        const char* name;
        juce::File file;
        bool readable;                // the jobs read it (a little), or refuse it
        const char* fingerprintError; // nullptr: fingerprinted
    } rows[] = {
        { "a FIFO", fifo, false, "file_not_found" },
        { "144 bytes declaring 2,147,483,647 Hz and 4 GB of data", writeWavHeader (dir / "rate.wav", 1, 0x7FFFFFFF, 0xFFFFFFFF, 100), false,
          "unsupported_format" },
        { "96 KB declaring 32,767 channels", writeWavHeader (dir / "channels.wav", 32767, 44100, 0xFFFFFFFF, 96 * 1024), false,
          "unsupported_format" },
        { "144 bytes at 768 kHz declaring 4 GB of data", writeWavHeader (dir / "long.wav", 1, 768000, 0xFFFFFFFF, 100), true, nullptr },
    };

    const auto peakBefore = peakResidentMiB();
    for (const auto& row : rows)
    {
        SCOPED_TRACE (row.name);
        const AddressSpaceHeadroom headroom (2048);
        const auto path = row.file.getFullPathName();

        const auto loudness = answerOf ([&] { return measureGroupLoudnessJob ({ "l", "g", { path } }, basicFormatReaders()); }, row.file);
        EXPECT_TRUE (static_cast<bool> (loudness.getProperty ("ok", false))) << prop (loudness, "error");
        EXPECT_EQ (static_cast<int> (loudness.getProperty ("decoded", -1)), row.readable ? 1 : 0);

        const auto mixed = answerOf ([&] { return mixStemsForBpmJob ({ "m", (dir / "bpm.wav").getFullPathName(), { path } }, basicFormatReaders()); },
                                     row.file);
        EXPECT_EQ (static_cast<bool> (mixed.getProperty ("ok", false)), row.readable) << prop (mixed, "error");
        if (! row.readable)
        {
            EXPECT_EQ (prop (mixed, "error"), "sin stems decodificados");
        }

        const auto original = answerOf ([&] { return subtractStemsJob (subtractRequest (row.file, { mix.getFullPathName() }), dir / "root", basicFormatReaders()); },
                                        row.file);
        EXPECT_EQ (static_cast<bool> (original.getProperty ("ok", false)), row.readable) << prop (original, "error");
        if (! row.readable)
        {
            EXPECT_EQ (prop (original, "error"), "no se pudo leer el original");
        }
        const auto stem = answerOf ([&] { return subtractStemsJob (subtractRequest (mix, { path }), dir / "root", basicFormatReaders()); }, row.file);
        EXPECT_TRUE (static_cast<bool> (stem.getProperty ("ok", false))) << "the stem is skipped: " << prop (stem, "error");

        const auto print = answerOf ([&] { return fingerprintAudioFileJob ({ "f", path, true }, basicFormatReaders()); }, row.file);
        if (row.fingerprintError != nullptr)
        {
            EXPECT_EQ (prop (print, "error"), row.fingerprintError);
        }
        else
        {
            EXPECT_LE (static_cast<double> (print.getProperty ("durationSeconds", 1.0)), 144.0 / 2 / 768000) << prop (print, "error");
        }
        EXPECT_EQ (row.file.exists(), row.file == fifo) << "only a regular file is deleted after reading";
    }
    EXPECT_LT (peakResidentMiB() - peakBefore, 200) << "MiB of peak memory for files of at most 96 KB";
}
