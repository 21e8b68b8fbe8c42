// The whole update flow: an installed copy of the program checks a loopback feed, downloads the
// package, quits, and the updater swaps the install and starts the new program.
#include "ProgramProcess.h"
#include "UpdateTestSupport.h"

#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace quorvelle::test
{
TEST (UpdateFlowE2E, CheckReportsTheReleaseAndApplySwapsTheInstallAndRestarts)
{
    TempFolder temp;
    const auto install = temp / "Quorvelle";
    const auto feed = temp / "feed";
    ASSERT_TRUE (install.createDirectory() && feed.createDirectory());
    const juce::File build (juce::SystemStats::getEnvironmentVariable ("QUORVELLE_BUILD_DIR", "."));
    for (const char* name : { "quorvelle", "quorvelle-update" })
    {
        ASSERT_TRUE (build.getChildFile (name).copyFileTo (install.getChildFile (name))) << name;
        ASSERT_TRUE (install.getChildFile (name).setExecutePermission (true));
    }

    // The new release's program only leaves a marker with its arguments.
    const auto marker = temp / "restarted.txt";
    const auto script = "#!/bin/sh\necho \"started $*\" > '" + marker.getFullPathName() + ".tmp'\nmv '" + marker.getFullPathName()
                        + ".tmp' '" + marker.getFullPathName() + "'\n";
    const auto package = feed.getChildFile ("quorvelle-1.0.1.zip");
    ASSERT_TRUE (writeStoredZip (package, { { "quorvelle", textBlock (script), 0755 }, { "notes.txt", textBlock ("1.0.1"), 0644 } }));
    writeManifest (feed, "1.0.1", package);

    LoopbackFileServer server (feed);
    ::setenv ("QUORVELLE_UPDATE_FEED", server.url().toRawUTF8(), 1);
    ProgramProcess program ({ "--bridge-stdio" }, install.getChildFile ("quorvelle").getFullPathName().toStdString());
    ::unsetenv ("QUORVELLE_UPDATE_FEED");
    ASSERT_TRUE (program.waitForAction ("BACKEND_READY", 45000).has_value()) << program.stderrText();

    program.send (makeObject ({ { "action", "CHECK_FOR_UPDATES" } }));
    const auto first = program.waitForAction ("UPDATE_AVAILABLE", 30000);
    ASSERT_TRUE (first.has_value()) << program.stderrText();
    program.send (makeObject ({ { "action", "CHECK_FOR_UPDATES" } }));
    const auto second = program.waitForAction ("UPDATE_AVAILABLE", 30000, *first + 1);
    ASSERT_TRUE (second.has_value());
    EXPECT_EQ (juce::JSON::toString (program.events()[*first], true), R"({"action": "UPDATE_AVAILABLE", "version": "1.0.1"})");
    EXPECT_EQ (program.events()[*second]["version"].toString(), "1.0.1");

    program.send (makeObject ({ { "action", "APPLY_UPDATE" } }));
    EXPECT_EQ (program.waitForExit (60000), std::optional<int> (0)) << program.stderrText();

    for (int i = 0; i < 6000 && ! marker.existsAsFile(); ++i)
        juce::Thread::sleep (5);
    EXPECT_EQ (marker.loadFileAsString(), "started \n");
    EXPECT_EQ (install.getChildFile ("quorvelle").loadFileAsString(), script);
    EXPECT_EQ (install.getChildFile ("notes.txt").loadFileAsString(), "1.0.1");
    const auto old = juce::File (install.getFullPathName() + ".old");
    EXPECT_EQ (old.getChildFile ("quorvelle").getSize(), build.getChildFile ("quorvelle").getSize());
    EXPECT_FALSE (juce::File (install.getFullPathName() + ".staging").exists());
    EXPECT_FALSE (juce::File (install.getFullPathName() + ".staging.zip").exists());
}
} // namespace quorvelle::test
