// The EXPORT_MIX request: the output folder rules, the plan's kept entries, the count-in fields,
// the refusal of an empty range (and its typed error through the row), and the start's log line.
#include "app/ExportRequest.h"
#include "platform/PathJoin.h"
#include "tests/bridge/BridgeTestSupport.h"
#include "tests/support/AudioFixtures.h"

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

namespace quorvelle::test
{
namespace
{
const juce::File root ("/srv/root"), music ("/home/u/Music");

std::optional<AudioEngine::ExportJob> read (const char* json, juce::StringArray* lines = nullptr)
{
    return readExportJob (parseJson (json), root, music, [lines] (const juce::String& line)
    {
        if (lines != nullptr)
            lines->add (line);
    });
}
} // namespace

TEST (ExportRequest, TheFolderRulesPlaceTheFileUnderTheRootTheMusicFolderOrAsGiven)
{
    const struct
    {
        const char* folder;
        const char* expected;
    } cases[] = {
        { "Music/Quorvelle/Exports", "/srv/root/Exports" },
        { "music\\quorvelle\\Exports\\Live", "/srv/root/Exports/Live" },
        { "music/Mixes", "/home/u/Music/Mixes" },
        { "MUSIC\\Mixes", "/home/u/Music/Mixes" },
        { "Mixes/2024", "/home/u/Music/Mixes/2024" },
        { "", "/home/u/Music" },
        { "/tmp/out", "/tmp/out" },
        { "\\tmp\\out", "/tmp/out" },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.folder);
        EXPECT_EQ (platform::resolveExportFolder (c.folder, root, music).getFullPathName(), c.expected);
    }
}

TEST (ExportRequest, JobFieldsPlanAndCountInAreReadWithTheirDefaults)
{
    juce::StringArray lines;
    const auto job = read (R"({"songId": "s", "folder": "Music/Quorvelle/E", "filename": "Mix 1.wav.tmp", "format": "MP3",
        "renderPlan": [ 3, {"sourceStart": 1, "sourceEnd": 2}, {"sourceStart": 5, "sourceEnd": 4, "durationSec": 1},
                        {"sourceStart": 6, "sourceEnd": 7, "durationSec": 0}, {"sourceStart": 8, "sourceEnd": 9.5, "durationSec": 2, "sectionName": "B"} ],
        "countIn": {"prelude": {"bpm": 96, "numerator": 3, "denominator": 4, "renderVoice": false, "truncateSec": 1.5},
                    "regionVoice": {"bpm": 100, "regionStartSec": 8, "voiceSpanSec": 2, "sectionKey": "Coro"}}})", &lines);
    ASSERT_TRUE (job.has_value());
    EXPECT_EQ (job->outputPath, "/srv/root/E/Mix 1.wav.tmp") << "the file name is used unchanged";
    EXPECT_EQ (job->format, "MP3");
    ASSERT_EQ (job->renderPlan.size(), 2u);
    EXPECT_EQ (job->renderPlan[0].durationSec, 1.0) << "the duration defaults to the span";
    EXPECT_EQ (job->renderPlan[1].sectionName, "B");
    EXPECT_TRUE (job->prelude.enabled);
    EXPECT_EQ (job->prelude.numerator, 3);
    EXPECT_TRUE (job->prelude.renderClicks);
    EXPECT_FALSE (job->prelude.renderVoice);
    EXPECT_EQ (job->prelude.truncateSec, 1.5);
    EXPECT_TRUE (job->regionVoice.enabled);
    EXPECT_EQ (job->regionVoice.regionStartSec, 8.0);
    EXPECT_EQ (job->regionVoice.sectionKey, "Coro");
    EXPECT_EQ (lines, juce::StringArray ("[EXPORT_MIX] Starting job | format=MP3 | path=/srv/root/E/Mix 1.wav.tmp | plan=2 steps"
                                         " | countIn=prelude | countIn=regionVoice"));

    const auto plain = read (R"({"sourceStartTimeSec": 2, "sourceEndTimeSec": 4.5, "filename": "a.wav", "countIn": {"prelude": 1}})", &lines);
    ASSERT_TRUE (plain.has_value());
    EXPECT_FALSE (plain->prelude.enabled) << "a prelude that is not an object is none";
    EXPECT_EQ (lines[1], "[EXPORT_MIX] Starting job | format= | path=/home/u/Music/a.wav | range=[2.000, 4.500] linear");
}

TEST (ExportRequest, AnEmptyRangeWithoutAKeptPlanIsRefused)
{
    for (const auto* json : { R"({"sourceStartTimeSec": 3, "sourceEndTimeSec": 3})", R"({})",
                              R"({"sourceStartTimeSec": 5, "sourceEndTimeSec": 1, "renderPlan": [{"sourceStart": 2, "sourceEnd": 1, "durationSec": 4}]})" })
    {
        SCOPED_TRACE (json);
        juce::StringArray lines;
        EXPECT_FALSE (read (json, &lines).has_value());
        ASSERT_EQ (lines.size(), 1);
        EXPECT_TRUE (lines[0].startsWith (juce::String::fromUTF8 ("[EXPORT_MIX] WARNING: sin renderPlan y range vac\xc3\xado (srcStart=")));
        EXPECT_TRUE (lines[0].endsWith (juce::String::fromUTF8 ("). Rechazando job.")));
    }
}

class ExportRows : public MainComponentFixture
{
};

TEST_F (ExportRows, TheRangeRefusalIsATypedErrorAndNoRenderStarts)
{
    make();
    deliver (parseJson (R"({"action": "EXPORT_MIX", "sourceStartTimeSec": 2, "sourceEndTimeSec": 1})"));
    ASSERT_TRUE (runMessageLoopUntil ([this]
    {
        for (const auto& call : typed->calls)
            if (call.rfind ("sendExportMixError|", 0) == 0)
                return true;
        return false;
    }));
    EXPECT_NE (std::find (typed->calls.begin(), typed->calls.end(), juce::String::fromUTF8 ("sendExportMixError|Rango de export inv\xc3\xa1lido").toStdString()),
               typed->calls.end());
    EXPECT_FALSE (component->getAudioEngine().isExportInFlight());
}

// LOAD_SONG during an export held on the render thread: the row's guard cancels the export, whose
// EXPORT_MIX_CANCELLED goes out before the load goes on and completes.
TEST_F (ExportRows, ALoadDuringAHeldExportCancelsItThenLoads)
{
    make();
    auto& engine = component->getAudioEngine();
    std::atomic<int> blocks { 0 };
    engine.exportBlockHookForTesting = [&blocks] (const std::atomic<bool>& cancel)
    {
        blocks.fetch_add (1);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds (30);
        while (! cancel.load() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for (std::chrono::milliseconds (1));
    };
    const auto earlier = temp / "mix.wav";
    ASSERT_TRUE (earlier.replaceWithText ("earlier"));
    deliver (parseJson (("{\"action\": \"EXPORT_MIX\", \"folder\": \"" + temp.folder().getFullPathName()
                         + "\", \"filename\": \"mix.wav\", \"sourceEndTimeSec\": 5}").toRawUTF8()));
    ASSERT_TRUE (runMessageLoopUntil ([&] { return blocks.load() > 0; }));

    const auto stem = temp / "stem.wav";
    ASSERT_TRUE (writeAudioFile (stem, makeNoise (2, 48000, 0.1f, 1), 48000.0, FixtureFormat::wav16));
    deliver (parseJson (("{\"action\": \"LOAD_SONG\", \"songId\": \"s1\", \"bpm\": 120, \"tracks\": [{\"id\": \"t\", \"url\": \""
                         + stem.getFullPathName() + "\"}]}").toRawUTF8()));
    const auto indexOf = [this] (const std::string& prefix)
    {
        for (size_t i = 0; i < typed->calls.size(); ++i)
            if (typed->calls[i].rfind (prefix, 0) == 0)
                return (int) i;
        return -1;
    };
    ASSERT_TRUE (runMessageLoopUntil ([&] { return indexOf ("sendSessionLoaded|s1") >= 0; }));
    EXPECT_GE (indexOf ("sendExportMixCancelled"), 0);
    EXPECT_LT (indexOf ("sendExportMixCancelled"), indexOf ("sendSessionLoaded|s1"));
    EXPECT_EQ (indexOf ("sendExportMixComplete"), -1);
    EXPECT_EQ (earlier.loadFileAsString(), "earlier");
    engine.exportBlockHookForTesting = nullptr;
}
} // namespace quorvelle::test
