#include "app/GpuBootGuard.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>

namespace quorvelle::test
{
namespace
{
// Sets or removes an environment variable for the life of the object.
class ScopedEnvironment
{
public:
    ScopedEnvironment (const char* variable, const char* value) : name (variable)
    {
        if (value != nullptr)
            ::setenv (name, value, 1);
        else
            ::unsetenv (name);
    }
    ~ScopedEnvironment() { ::unsetenv (name); }

private:
    const char* name;
};

juce::var readState (const GpuBootGuard& guard) { return juce::JSON::parse (guard.getStateFile()); }
} // namespace

TEST (GpuBootGuard, ArgumentsFollowTheTwoVariablesAndTheFailureCount)
{
    const struct
    {
        const char* devtools;
        const char* forceSoftware;
        int failedStarts;
        const char* expected;
    } cases[] = {
        { nullptr, nullptr, 0, "--enable-smooth-scrolling" },
        { "1", nullptr, 0, "--remote-debugging-port=9222 --enable-smooth-scrolling" },
        { "true", nullptr, 0, "--enable-smooth-scrolling" },
        { nullptr, "1", 0, "--disable-gpu --enable-smooth-scrolling" },
        { nullptr, "true", 0, "--enable-smooth-scrolling" },
        { "1", "1", 0, "--disable-gpu --remote-debugging-port=9222 --enable-smooth-scrolling" },
        { nullptr, nullptr, 2, "--enable-smooth-scrolling" },
        { nullptr, nullptr, 3, "--disable-gpu --enable-smooth-scrolling" },
        { "1", "true", 3, "--disable-gpu --remote-debugging-port=9222 --enable-smooth-scrolling" },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (testing::Message() << "devtools=" << (c.devtools ? c.devtools : "absent") << " force="
                                         << (c.forceSoftware ? c.forceSoftware : "absent") << " failed=" << c.failedStarts);
        TempFolder temp;
        // Each start that never saw a ready front end counts as failed at the next start.
        for (int i = 0; i < c.failedStarts; ++i)
            GpuBootGuard (temp.folder()).beginBoot();

        ScopedEnvironment devtools ("QUORVELLE_DEVTOOLS", c.devtools);
        ScopedEnvironment force ("QUORVELLE_FORCE_SOFTWARE_GPU", c.forceSoftware);
        GpuBootGuard guard (temp.folder());
        guard.beginBoot();
        EXPECT_EQ (guard.getConsecutiveFailures(), c.failedStarts);
        EXPECT_EQ (guard.buildBrowserArguments(), c.expected);
    }
}

TEST (GpuBootGuard, ConfirmedStartResetsTheCountAndTheFileKeepsItsKeyOrder)
{
    TempFolder temp;
    for (int i = 0; i < 4; ++i)
        GpuBootGuard (temp.folder()).beginBoot();

    GpuBootGuard guard (temp.folder());
    guard.beginBoot();
    EXPECT_EQ (guard.getConsecutiveFailures(), 4);
    guard.markFrontendReady();
    guard.markFrontendReady();

    const auto state = readState (guard);
    auto* object = state.getDynamicObject();
    ASSERT_NE (object, nullptr);
    juce::StringArray keys;
    for (const auto& property : object->getProperties())
        keys.add (property.name.toString());
    EXPECT_EQ (keys.joinIntoString (","), "mode,lastBootSucceeded,consecutiveFailures,lastBootAt,lastSuccessAt,legacyAutoMigrated,cleanupV2Migrated");
    EXPECT_EQ (state["mode"].toString(), "auto");
    EXPECT_TRUE ((bool) state["lastBootSucceeded"]);
    EXPECT_EQ ((int) state["consecutiveFailures"], 0);
    // Local time with milliseconds and the offset: "2026-12-11T06:13:46.123+00:00" or "...Z".
    const auto success = state["lastSuccessAt"].toString();
    EXPECT_EQ (success[10], 'T');
    EXPECT_EQ (success[19], '.');

    // The next start is a normal one again.
    GpuBootGuard next (temp.folder());
    next.beginBoot();
    EXPECT_EQ (next.getConsecutiveFailures(), 0);
    EXPECT_EQ (next.buildBrowserArguments(), "--enable-smooth-scrolling");

    const auto log = guard.getEventLogFile().loadFileAsString();
    int readyLines = 0;
    for (const auto& line : juce::StringArray::fromTokens (log, "\n", ""))
    {
        if (line.isEmpty())
            continue;
        EXPECT_TRUE (line.endsWith ("\r")) << line;
        EXPECT_TRUE (line.startsWith ("[")) << line;
        readyLines += line.contains ("] FRONTEND_READY_OK elapsed_ms=") ? 1 : 0;
    }
    EXPECT_EQ (readyLines, 2);
    EXPECT_TRUE (log.contains ("] BOOT_FAILED_DETECTED consecutiveFailures=4\r\n"));
}

TEST (GpuBootGuard, StoredForcedModeIsLoggedOnceAndRewrittenAsAuto)
{
    TempFolder temp;
    GpuBootGuard first (temp.folder());
    ASSERT_TRUE (first.getStateFile().getParentDirectory().createDirectory());
    ASSERT_TRUE (first.getStateFile().replaceWithText (R"({"mode": "force-software", "lastBootSucceeded": true, "legacyAutoMigrated": true})"));
    first.beginBoot();
    GpuBootGuard (temp.folder()).beginBoot();

    const auto log = first.getEventLogFile().loadFileAsString();
    EXPECT_EQ (log.indexOf ("MIGRATED_V2_RESET_MODE previous=force-software\r\n"), log.lastIndexOf ("MIGRATED_V2_RESET_MODE"));
    EXPECT_TRUE (log.contains ("MIGRATED_V2_RESET_MODE"));
    const auto state = readState (first);
    EXPECT_EQ (state["mode"].toString(), "auto");
    EXPECT_TRUE ((bool) state["cleanupV2Migrated"]);
    EXPECT_TRUE ((bool) state["legacyAutoMigrated"]);
}

TEST (GpuBootGuard, BadStateOrUnwritableFilesKeepTheDefaultsAndNeverBlock)
{
    const struct
    {
        const char* name;
        std::function<void (const GpuBootGuard&)> prepare;
    } cases[] = {
        { "unparsable state", [] (const GpuBootGuard& g) { g.getStateFile().replaceWithText ("{\"consecutiveFailures\": 7,"); } },
        { "state is an array", [] (const GpuBootGuard& g) { g.getStateFile().replaceWithText ("[1, 2]"); } },
        { "folder at the state's name", [] (const GpuBootGuard& g) { g.getStateFile().createDirectory(); } },
        { "file at the log folder's name", [] (const GpuBootGuard& g) { g.getEventLogFile().getParentDirectory().replaceWithText ("x"); } },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        TempFolder temp;
        GpuBootGuard guard (temp.folder());
        ASSERT_TRUE (temp.folder().createDirectory());
        c.prepare (guard);
        guard.beginBoot();
        EXPECT_EQ (guard.getConsecutiveFailures(), 0);
        EXPECT_EQ (guard.buildBrowserArguments(), "--enable-smooth-scrolling");
        guard.markFrontendReady();
        EXPECT_EQ (guard.getConsecutiveFailures(), 0);
    }
}
} // namespace quorvelle::test
