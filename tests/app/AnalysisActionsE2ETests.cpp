// The analysis jobs and the automation switch of the whole program, driven through
// `--bridge-stdio` on generated audio files. Jobs answer when they finish, so every result is
// found by its action and id, never by its place among the lines; stdin stays open until the
// last result has arrived (the program does not wait for running jobs when it quits).
#include "EndedProgram.h"

#include "tests/support/AudioFixtures.h"
#include "tests/support/TempFolder.h"
#include "TypedDebugLog.h"

#include <juce_cryptography/juce_cryptography.h>

#include <gtest/gtest.h>

namespace quorvelle::test
{
namespace
{
constexpr int startupMs = 15000;
constexpr int jobMs = 60000;

juce::String actionOf (const juce::var& v) { return v.getProperty ("action", {}).toString(); }

std::optional<juce::var> resultFor (ProgramProcess& program, const juce::String& action, const juce::String& id)
{
    const auto index = program.waitForEvent ([&] (const juce::var& v)
    { return actionOf (v) == action && v.getProperty ("id", {}).isString() && v.getProperty ("id", {}).toString() == id; }, jobMs);
    if (! index.has_value())
        return std::nullopt;
    return program.events()[*index];
}

juce::String fromBase64 (const juce::String& text)
{
    juce::MemoryOutputStream decoded;
    if (! juce::Base64::convertFromBase64 (decoded, text))
        return "<not base64>";
    return decoded.toUTF8();
}

juce::String sha256Of (const juce::File& file)
{
    juce::FileInputStream in (file);
    return in.openedOk() ? juce::SHA256 (in).toHexString() : juce::String();
}

TEST (StdioAnalysisJobs, EachJobAnswersItsOwnRequest)
{
    TempFolder dir;
    const auto toFingerprint = dir / "print.wav";
    const auto loud = dir / "loud.wav";
    const auto stemA = dir / "stemA.wav";
    const auto stemB = dir / "stemB.flac";
    const auto mixOut = (dir / "out").getChildFile ("mix.wav");
    const auto full = dir / "full.wav";
    const auto part = dir / "part.wav";
    ASSERT_TRUE (writeAudioFile (toFingerprint, makeNoise (2, 44100 * 5, 0.5f, 3), 44100.0, FixtureFormat::wav16));
    ASSERT_TRUE (writeAudioFile (loud, makeSine (1, 48000 * 4, 48000.0, 997.0, 0.5f), 48000.0, FixtureFormat::wav24));
    ASSERT_TRUE (writeAudioFile (stemA, makeSine (1, 48000 * 2, 48000.0, 220.0, 0.25f), 48000.0, FixtureFormat::wav16));
    ASSERT_TRUE (writeAudioFile (stemB, makeNoise (2, 48000 * 2, 0.2f, 5), 48000.0, FixtureFormat::flac16));
    ASSERT_TRUE (mixOut.getParentDirectory().createDirectory());
    ASSERT_TRUE (writeAudioFile (full, makeNoise (2, 44100 * 2, 0.4f, 9), 44100.0, FixtureFormat::wav16));
    ASSERT_TRUE (writeAudioFile (part, makeSine (2, 44100 * 2, 44100.0, 440.0, 0.3f), 44100.0, FixtureFormat::wav16));

    EndedProgram program;
    ASSERT_TRUE (program.started());
    const auto readyIndex = program.waitForAction ("BACKEND_READY", startupMs);
    ASSERT_TRUE (readyIndex.has_value()) << program.stderrText();
    const auto storageRoot = juce::File (program.events()[*readyIndex].getProperty ("storageRoot", {}).toString());

    const auto paths = [] (std::initializer_list<juce::String> list)
    {
        juce::Array<juce::var> array;
        for (const auto& p : list)
            array.add (p);
        return juce::var (array);
    };

    // All four at once, plus a fingerprint of a missing file that finishes first.
    program.send (makeObject ({ { "action", "FINGERPRINT_AUDIO_FILE" }, { "id", "fp" }, { "path", toFingerprint.getFullPathName() },
                                { "deleteSourceAfterRead", true } }));
    program.send (makeObject ({ { "action", "MEASURE_GROUP_LOUDNESS" }, { "id", 7 }, { "groupId", "drums" },
                                { "paths", paths ({ loud.getFullPathName(), (dir / "absent.wav").getFullPathName() }) } }));
    program.send (makeObject ({ { "action", "MIX_STEMS_FOR_BPM" }, { "id", "mix" }, { "outPath", mixOut.getFullPathName() },
                                { "paths", paths ({ stemA.getFullPathName(), "file://" + stemB.getFullPathName() }) } }));
    program.send (makeObject ({ { "action", "SUBTRACT_STEMS" }, { "id", "sub" }, { "originalPath", full.getFullPathName() },
                                { "stemPaths", paths ({ part.getFullPathName() }) }, { "trackId", "t1" }, { "subfolder", "Songs/abc" },
                                { "filename", "song.wav" }, { "computeRms", true } }));
    program.send (makeObject ({ { "action", "FINGERPRINT_AUDIO_FILE" }, { "id", "fp-none" }, { "path", (dir / "none.wav").getFullPathName() } }));

    // Fingerprint: hashes and their times, and the source deleted once read.
    const auto fingerprint = resultFor (program, "FINGERPRINT_AUDIO_RESULT", "fp");
    ASSERT_TRUE (fingerprint.has_value()) << program.stderrText();
    ASSERT_TRUE ((bool) fingerprint->getProperty ("ok", false)) << fingerprint->getProperty ("error", {}).toString();
    const auto* hashes = fingerprint->getProperty ("hashes", {}).getArray();
    const auto* offsets = fingerprint->getProperty ("offsets", {}).getArray();
    ASSERT_NE (hashes, nullptr);
    ASSERT_NE (offsets, nullptr);
    EXPECT_GT (hashes->size(), 0);
    EXPECT_EQ (hashes->size(), offsets->size());
    for (const auto& t : *offsets)
    {
        EXPECT_GE ((double) t, 0.0);
        EXPECT_LE ((double) t, 5.0);
    }
    EXPECT_NEAR ((double) fingerprint->getProperty ("durationSeconds", {}), 5.0, 1e-9);
    EXPECT_FALSE (toFingerprint.exists());

    const auto missing = resultFor (program, "FINGERPRINT_AUDIO_RESULT", "fp-none");
    ASSERT_TRUE (missing.has_value());
    EXPECT_FALSE ((bool) missing->getProperty ("ok", true));
    EXPECT_EQ (missing->getProperty ("error", {}).toString(), "file_not_found");

    // Loudness: a mono 997 Hz sine at half scale reads -3.01 - 6.02 LUFS; the absent path adds nothing.
    const auto loudness = resultFor (program, "LOUDNESS_RESULT", "7");
    ASSERT_TRUE (loudness.has_value()) << program.stderrText();
    EXPECT_EQ (loudness->getProperty ("groupId", {}).toString(), "drums");
    EXPECT_TRUE ((bool) loudness->getProperty ("ok", false));
    EXPECT_TRUE ((bool) loudness->getProperty ("valid", false));
    EXPECT_NEAR ((double) loudness->getProperty ("loudnessLufs", {}), -9.03, 0.1);
    EXPECT_EQ ((int) loudness->getProperty ("decoded", {}), 1);

    // Mix: one mono 16-bit WAV at the first stem's rate, as long as the longest stem.
    const auto mix = resultFor (program, "MIX_FOR_BPM_COMPLETE", "mix");
    ASSERT_TRUE (mix.has_value()) << program.stderrText();
    ASSERT_TRUE ((bool) mix->getProperty ("ok", false)) << mix->getProperty ("error", {}).toString();
    EXPECT_EQ (mix->getProperty ("outPath", {}).toString(), mixOut.getFullPathName());
    EXPECT_EQ (fromBase64 (mix->getProperty ("outPathB64", {}).toString()), mixOut.getFullPathName());
    EXPECT_EQ ((juce::int64) mix->getProperty ("sizeBytes", {}), mixOut.getSize());
    EXPECT_NEAR ((double) mix->getProperty ("durationSeconds", {}), 2.0, 1e-9);
    double mixRate = 0.0;
    const auto mixed = readAudioFile (mixOut, &mixRate);
    EXPECT_EQ (mixed.getNumChannels(), 1);
    EXPECT_EQ (mixed.getNumSamples(), 96000);
    EXPECT_EQ (mixRate, 48000.0);

    // Subtraction: a stereo 16-bit FLAC at 44.1 kHz below the storage root, with its hash.
    const auto sub = resultFor (program, "SUBTRACT_COMPLETE", "sub");
    ASSERT_TRUE (sub.has_value()) << program.stderrText();
    ASSERT_TRUE ((bool) sub->getProperty ("ok", false)) << sub->getProperty ("error", {}).toString();
    const auto written = juce::File (sub->getProperty ("path", {}).toString());
    EXPECT_EQ (written, storageRoot.getChildFile ("Songs/abc/song_t1.flac"));
    EXPECT_TRUE (written.existsAsFile());
    EXPECT_EQ (sub->getProperty ("url", {}).toString(), "file://" + written.getFullPathName());
    EXPECT_EQ (fromBase64 (sub->getProperty ("pathB64", {}).toString()), written.getFullPathName());
    EXPECT_EQ (sub->getProperty ("contentHash", {}).toString(), sha256Of (written));
    EXPECT_EQ ((juce::int64) sub->getProperty ("sizeBytes", {}), written.getSize());
    EXPECT_EQ ((double) sub->getProperty ("sampleRate", {}), 44100.0);
    EXPECT_EQ ((int) sub->getProperty ("channels", {}), 2);
    EXPECT_EQ ((int) sub->getProperty ("bitDepth", {}), 16);
    EXPECT_NEAR ((double) sub->getProperty ("durationSeconds", {}), 2.0, 1e-9);
    EXPECT_TRUE (sub->getDynamicObject()->hasProperty ("rmsDbFs"));

    // Every job answered once, and only as JSON.
    int answers = 0;
    for (const auto& e : program.events())
        for (const auto* name : { "FINGERPRINT_AUDIO_RESULT", "LOUDNESS_RESULT", "MIX_FOR_BPM_COMPLETE", "SUBTRACT_COMPLETE" })
            answers += actionOf (e) == name ? 1 : 0;
    EXPECT_EQ (answers, 5);
    EXPECT_TRUE (program.waitForStderr ("FINGERPRINT_AUDIO_FILE: ", 20000));
}

TEST (StdioAutomation, SwitchAndParseErrorReachTheFrontEndAsDebugLog)
{
    EndedProgram program;
    ASSERT_TRUE (program.waitForAction ("BACKEND_READY", startupMs).has_value()) << program.stderrText();

    program.send (makeObject ({ { "action", "SET_USE_CORE_AUTOMATION" }, { "enabled", true } }));
    program.send (makeObject ({ { "action", "SET_AUTOMATION_CUES" }, { "payloadJson", "" } }));
    program.send (makeObject ({ { "action", "SET_USE_CORE_AUTOMATION" } }));
    program.send (makeObject ({ { "action", "TEST_CONNECTION" } }));
    ASSERT_TRUE (program.waitForEvent ([] (const juce::var& v) { return v.getProperty ("status", {}).toString() == "CONNECTED"; }, 30000)
                     .has_value());

    std::vector<std::string> autoLines;
    for (const auto& e : program.events())
        if (const auto text = typedDebugLog (e); text.has_value() && text->rfind ("[AUTO-CORE]", 0) == 0)
            autoLines.push_back (*text);

    ASSERT_EQ (autoLines.size(), 3u);
    EXPECT_EQ (autoLines[0], "[AUTO-CORE] useCoreAutomation=ON");
    EXPECT_EQ (autoLines[1].rfind ("[AUTO-CORE] payloadJson parse error: [json.exception.parse_error.101]", 0), 0u) << autoLines[1];
    EXPECT_EQ (autoLines[2], "[AUTO-CORE] useCoreAutomation=OFF");
    for (const auto& e : program.events())
        EXPECT_NE (actionOf (e), "DEBUG_LOG") << "DEBUG_LOG travels typed only";
}
} // namespace
} // namespace quorvelle::test
