// The mix export through the whole program on jackd's dummy backend (48 kHz, 256 frames): a loaded
// song exported to WAV equals sox's mix of its stems, an MP3 export is 320 kbps stereo-mode frames
// that decode to exactly the rendered length, the events reach the front end on the typed road only
// (no Base64 path), and the transport plays again afterwards.
#include "DummyJackServer.h"
#include "EndedProgram.h"
#include "ProgramProcess.h"
#include "TypedSongEvents.h"

#include "tests/support/AudioFixtures.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

namespace quorvelle::test
{
namespace
{
constexpr int startupMs = 45000;
constexpr int eventMs = 30000;
constexpr double rate = 48000.0;
constexpr int stemSamples = 8 * 48000;
constexpr double exportSeconds = 6.0;

juce::String actionOf (const juce::var& v) { return v.getProperty ("action", {}).toString(); }

// The typed EXPORT_MIX events back in their JSON form; void for any other line.
juce::var typedExportEvent (const juce::var& line)
{
    using namespace typed_device_events_detail;
    juce::MemoryOutputStream bytes;
    const auto* message = typedMessageOf (line, bytes);
    if (message == nullptr)
        return {};
    if (const auto* p = message->payload_as_ExportMixProgressEvent())
        return makeObject ({ { "action", "EXPORT_MIX_PROGRESS" }, { "percent", p->percent() } });
    if (const auto* c = message->payload_as_ExportMixCompleteEvent())
        return makeObject ({ { "action", "EXPORT_MIX_COMPLETE" }, { "filePath", text (c->filePath()) } });
    if (message->payload_as_ExportMixCancelledEvent() != nullptr)
        return makeObject ({ { "action", "EXPORT_MIX_CANCELLED" } });
    if (const auto* e = message->payload_as_ExportMixErrorEvent())
        return makeObject ({ { "action", "EXPORT_MIX_ERROR" }, { "message", text (e->message()) } });
    return {};
}

juce::File writeStem (const TempFolder& temp, const juce::String& name, int seed)
{
    juce::AudioBuffer<float> buffer (2, stemSamples);
    for (int c = 0; c < 2; ++c)
        for (int i = 0; i < stemSamples; ++i)
            buffer.setSample (c, i, (float) (((i * (seed + 3 * c)) % 4001) - 2000) / 32768.0f);
    const auto file = temp / name;
    EXPECT_TRUE (writeAudioFile (file, buffer, rate, FixtureFormat::wav16));
    return file;
}

class ExportE2E : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE (server.waitUntilRunning()) << server.logText();
        a = writeStem (temp, "a.wav", 7);
        b = writeStem (temp, "b.wav", 13);
        program = std::make_unique<EndedProgram>();
        ASSERT_TRUE (program->waitForAction ("BACKEND_READY", startupMs).has_value()) << program->stderrText();
        program->send (std::string (R"({"action":"SET_COUNT_IN","enabled":false})"));
        program->send (std::string (R"({"action":"SET_METRONOME_MUTE","muted":true})"));
        program->send (std::string (R"({"action":"SET_GUIDE_MUTE","muted":true})"));
        const auto from = program->lines().size();
        juce::Array<juce::var> tracks { makeObject ({ { "id", "a" }, { "url", a.getFullPathName() }, { "instrumentType", "BASS" } }),
                                        makeObject ({ { "id", "b" }, { "url", b.getFullPathName() }, { "instrumentType", "DRUMS" } }) };
        program->send (makeObject ({ { "action", "LOAD_SONG" }, { "songId", "song-x" }, { "bpm", 120 }, { "tracks", tracks } }));
        ASSERT_TRUE (program->waitForAction ("SESSION_LOADED", eventMs, from).has_value()) << program->stderrText();
    }

    // Sends EXPORT_MIX of the first six seconds and waits for its final event; the typed EXPORT_MIX
    // events from the request on, in order.
    std::vector<juce::var> exportTo (const juce::String& filename, const juce::String& format)
    {
        const auto from = program->lines().size();
        program->send (makeObject ({ { "action", "EXPORT_MIX" }, { "songId", "song-x" }, { "folder", temp.folder().getFullPathName() },
                                    { "filename", filename }, { "format", format }, { "sourceStartTimeSec", 0 },
                                    { "sourceEndTimeSec", exportSeconds } }));
        const auto end = program->waitForEvent ([] (const juce::var& line)
        {
            const auto a = actionOf (typedExportEvent (line));
            return a == "EXPORT_MIX_COMPLETE" || a == "EXPORT_MIX_ERROR" || a == "EXPORT_MIX_CANCELLED";
        }, 120000, from);
        EXPECT_TRUE (end.has_value()) << program->stderrText();
        std::vector<juce::var> out;
        const auto lines = program->events();
        for (size_t i = from; i < lines.size(); ++i)
        {
            EXPECT_FALSE (actionOf (lines[i]).startsWith ("EXPORT_MIX")) << "the export's events are typed only";
            if (const auto e = typedExportEvent (lines[i]); ! e.isVoid())
                out.push_back (e);
        }
        for (const auto& line : program->lines())
            EXPECT_EQ (line.find ("filePathB64"), std::string::npos);
        return out;
    }

    TempFolder temp;
    DummyJackServer server { temp / "jackd.log", "quorvelle-export", true };
    juce::File a, b;
    std::unique_ptr<EndedProgram> program; // started once the server runs; ends before it
};
} // namespace

TEST_F (ExportE2E, AWavExportIsSoxsMixOfTheStemsAndTheTransportPlaysAfterwards)
{
    const auto events = exportTo ("mix.wav", "wav");
    ASSERT_GE (events.size(), 3u);
    EXPECT_EQ (actionOf (events.front()), "EXPORT_MIX_PROGRESS");
    EXPECT_EQ ((double) events.front()["percent"], 0.0);
    EXPECT_EQ (actionOf (events.back()), "EXPORT_MIX_COMPLETE");
    EXPECT_EQ (events.back()["filePath"].toString(), (temp / "mix.wav").getFullPathName());
    EXPECT_EQ (actionOf (events[events.size() - 2]), "EXPORT_MIX_PROGRESS");
    EXPECT_EQ ((double) events[events.size() - 2]["percent"], 100.0);

    const auto reference = temp / "sox.wav";
    ASSERT_TRUE (runTool ({ "sox", "-D", "-m", "-v", "1", a.getFullPathName(), "-v", "1", b.getFullPathName(), "-b", "16",
                            reference.getFullPathName() })
                     .has_value());
    double ourRate = 0.0, soxRate = 0.0;
    const auto ours = readAudioFile (temp / "mix.wav", &ourRate);
    const auto theirs = readAudioFile (reference, &soxRate);
    EXPECT_EQ (ourRate, rate);
    ASSERT_EQ (ours.getNumChannels(), 2);
    ASSERT_EQ (ours.getNumSamples(), (int) (exportSeconds * rate));
    const auto soxInfo = runTool ({ "soxi", "-b", (temp / "mix.wav").getFullPathName() });
    ASSERT_TRUE (soxInfo.has_value());
    EXPECT_EQ (soxInfo->trim(), "16");

    // Past the stems' 0.02 s load ramp, within one 16-bit step.
    int differing = 0;
    for (int c = 0; c < 2; ++c)
        for (int i = (int) (0.02 * rate); i < ours.getNumSamples(); ++i)
            differing += std::abs (ours.getSample (c, i) - theirs.getSample (c, i)) * 32768.0f > 1.01f ? 1 : 0;
    EXPECT_EQ (differing, 0);

    const auto playFrom = program->lines().size();
    program->send (std::string (R"({"action":"TRANSPORT_CONTROL","command":"PLAY"})"));
    EXPECT_TRUE (program->waitForEvent ([] (const juce::var& e)
    {
        return actionOf (e) == "PLAYBACK_UPDATE" && (bool) e.getProperty ("isPlaying", false) && (double) e.getProperty ("time", 0.0) > 0.1;
    }, eventMs, playFrom).has_value()) << program->stderrText();
}

TEST_F (ExportE2E, AnMp3ExportIs320kbpsStereoModeAndDecodesToTheRenderedLength)
{
    const auto events = exportTo ("mix.mp3", "Mp3");
    ASSERT_FALSE (events.empty());
    ASSERT_EQ (actionOf (events.back()), "EXPORT_MIX_COMPLETE");
    const auto file = temp / "mix.mp3";

    const auto probe = runTool ({ "ffprobe", "-v", "error", "-select_streams", "a:0", "-show_entries", "stream=bit_rate,sample_rate,channels",
                                  "-of", "default=noprint_wrappers=1", file.getFullPathName() });
    ASSERT_TRUE (probe.has_value());
    EXPECT_TRUE (probe->contains ("bit_rate=320000")) << *probe;
    EXPECT_TRUE (probe->contains ("sample_rate=48000")) << *probe;

    juce::MemoryBlock bytes;
    ASSERT_TRUE (file.loadFileAsData (bytes));
    const auto* data = static_cast<const unsigned char*> (bytes.getData());
    ASSERT_GT (bytes.getSize(), 4u);
    ASSERT_EQ (data[0], 0xff);
    EXPECT_EQ (data[3] >> 6, 0) << "stereo, not joint stereo";

    const auto decoded = temp / "decoded.wav";
    ASSERT_TRUE (runTool ({ "lame", "--quiet", "--decode", file.getFullPathName(), decoded.getFullPathName() }).has_value());
    const auto samples = runTool ({ "soxi", "-s", decoded.getFullPathName() });
    ASSERT_TRUE (samples.has_value());
    EXPECT_EQ (samples->trim(), juce::String ((int) (exportSeconds * rate)));
}
} // namespace quorvelle::test
