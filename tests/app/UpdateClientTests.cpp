// The program's wrapper and jobs over the fake update library.
#include "app/UpdateFlow.h"
#include "platform/FakeUpdateLibrary.h"
#include "tests/support/MessageLoop.h"

#include <gtest/gtest.h>

namespace quorvelle::test
{
namespace
{
using platform::fakeUpdateLibrary;
using platform::fakeUpdateScript;

struct FakeLibrary : ::testing::Test
{
    void SetUp() override { fakeUpdateScript().reset(); }
    void TearDown() override
    {
        // Whatever happened, every handle and record went back to the library.
        EXPECT_EQ (fakeUpdateScript().liveManagers, 0);
        EXPECT_EQ (fakeUpdateScript().liveInfos, 0);
    }

    template <typename Body>
    std::string errorOf (Body&& body)
    {
        try
        {
            body();
        }
        catch (const UpdateError& e)
        {
            return e.what();
        }
        return "<no error>";
    }
};
} // namespace

TEST_F (FakeLibrary, FailuresCarryTheLibrarysText)
{
    auto& script = fakeUpdateScript();
    script.errorText = juce::String::fromUTF8 ("feed refusé").toStdString();
    script.refuseManager = true;
    EXPECT_EQ (errorOf ([] { UpdateClient client ("https://feed.test", fakeUpdateLibrary()); }), script.errorText);

    script.refuseManager = false;
    script.checkResult = 255;
    script.errorText = "the feed answered 500";
    EXPECT_EQ (errorOf ([] { UpdateClient ("https://feed.test", fakeUpdateLibrary()).checkForUpdates(); }), "the feed answered 500");

    // Any other result is "no update", not a failure.
    for (const int16_t result : { 2, 1, 3, -1 })
    {
        script.checkResult = result;
        EXPECT_FALSE (UpdateClient ("https://feed.test", fakeUpdateLibrary()).checkForUpdates().has_value()) << result;
    }

    script.checkResult = 0;
    script.refuseDownload = true;
    script.errorText = "";
    EXPECT_EQ (errorOf ([] {
                   UpdateClient client ("https://feed.test", fakeUpdateLibrary());
                   client.downloadUpdates (*client.checkForUpdates());
               }),
               "");
    EXPECT_EQ (script.feedUrl, "https://feed.test");
}

TEST_F (FakeLibrary, RecordsAreCopiedAndAbsentValuesAreRefused)
{
    auto& script = fakeUpdateScript();
    script.checkResult = 0;
    script.nullTarget = true;
    EXPECT_EQ (errorOf ([] { UpdateClient ("https://feed.test", fakeUpdateLibrary()).checkForUpdates(); }),
               "Required property TargetFullRelease was null");

    script.nullTarget = false;
    script.withBaseAndDeltas = true;
    UpdateClient client ("https://feed.test", fakeUpdateLibrary());
    const auto update = client.checkForUpdates();
    ASSERT_TRUE (update.has_value());
    ASSERT_TRUE (update->targetFullRelease.has_value());
    EXPECT_EQ (update->targetFullRelease->version, "2.0.0");
    EXPECT_EQ (update->targetFullRelease->fileName, "quorvelle-2.0.0.zip");
    EXPECT_EQ (update->targetFullRelease->size, 42u);
    EXPECT_EQ (update->targetFullRelease->sha1, ""); // null in the library's record
    ASSERT_TRUE (update->baseRelease.has_value());
    EXPECT_EQ (update->baseRelease->version, "1.0.0");
    ASSERT_EQ (update->deltasToTarget.size(), 2u);
    EXPECT_EQ (update->deltasToTarget[0].version, "1.5.0");

    client.downloadUpdates (*update);
    EXPECT_EQ (script.downloadedTarget, "2.0.0");
    EXPECT_EQ (script.downloadedDeltas, 2u);

    const auto callsBefore = script.calls.size();
    EXPECT_EQ (errorOf ([&] { client.waitExitThenApplyUpdates (std::nullopt, false, true, {}); }), "Expected value not present");
    EXPECT_EQ (script.calls.size(), callsBefore);
    UpdateInfo withoutTarget;
    EXPECT_EQ (errorOf ([&] { client.downloadUpdates (withoutTarget); }), "Expected value not present");
}

TEST_F (FakeLibrary, JobsPostTheVersionAndTheQuitOnlyOnSuccess)
{
    auto& script = fakeUpdateScript();
    std::vector<juce::String> versions;
    int quits = 0;
    const auto check = [&] { checkForUpdatesJob ("https://feed.test", [&] (const juce::String& v) { versions.push_back (v); }, fakeUpdateLibrary()); };
    const auto apply = [&] { applyUpdatesJob ("https://feed.test", [&] { ++quits; }, fakeUpdateLibrary()); };

    check();
    script.checkResult = 0;
    check();
    check();
    script.checkResult = 255;
    check();
    runMessageLoopFor (50);
    EXPECT_EQ (versions, std::vector<juce::String> ({ "2.0.0", "2.0.0" }));

    script.reset();
    apply(); // no update: nothing downloaded, no quit
    EXPECT_EQ (std::count (script.calls.begin(), script.calls.end(), "download_updates"), 0);
    script.checkResult = 0;
    script.refuseDownload = true;
    apply();
    script.refuseDownload = false;
    script.refuseApply = true;
    apply();
    runMessageLoopFor (50);
    EXPECT_EQ (quits, 0);

    script.refuseApply = false;
    apply();
    ASSERT_TRUE (runMessageLoopUntil ([&] { return quits == 1; }));
    EXPECT_EQ (script.appliedVersion, "2.0.0");
    EXPECT_FALSE (script.appliedSilent);
    EXPECT_TRUE (script.appliedRestart);
    EXPECT_EQ (script.appliedArgumentCount, 0u);
}
} // namespace quorvelle::test
