// A front end in headless Chromium on the loopback host: the real binary, hard-linked beside a
// fixture "frontend" folder, serves it; the page talks only through window.__JUCE__.
#include "LoopbackProgram.h"

#include "platform/FrontEndHost.h"
#include "platform/Opener.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace quorvelle::test
{
TEST (LoopbackHostPeers, AFixtureFrontEndRunsInChromium)
{
    const char* sourceRoot = std::getenv ("QUORVELLE_SOURCE_DIR");
    ASSERT_NE (sourceRoot, nullptr);
    const juce::File source (sourceRoot);

    // Inside the build folder: a hard link cannot cross file systems.
    const auto tree = juce::File (juce::String (ProgramProcess::programPath())).getParentDirectory().getChildFile ("frontend-host-" + juce::String (::getpid()));
    struct Cleanup
    {
        juce::File folder;
        ~Cleanup() { folder.deleteRecursively(); }
    } cleanup { tree };
    ASSERT_TRUE (tree.getChildFile ("frontend").createDirectory());
    const auto program = tree.getChildFile ("quorvelle");
    ASSERT_EQ (::link (ProgramProcess::programPath().c_str(), program.getFullPathName().toRawUTF8()), 0) << strerror (errno);
    for (const auto* name : { "index.html", "app.js" })
        ASSERT_TRUE (source.getChildFile ("tests/fixtures/frontend-host").getChildFile (name).copyFileTo (tree.getChildFile ("frontend").getChildFile (name)));

    LoopbackProgram host (program.getFullPathName().toStdString());
    ASSERT_NE (host.port, 0) << host.process.stderrText();

    const auto node = platform::findExecutableInPath ("node");
    ASSERT_TRUE (node.existsAsFile()) << "node is not installed (scripts/setup.sh)";
    ProgramProcess peer ({ source.getChildFile ("tests/app/peer/frontend.chromium.js").getFullPathName().toStdString(), host.url },
                         node.getFullPathName().toStdString());
    const auto index = peer.waitForEvent ([] (const juce::var& v) { return v.hasProperty ("step"); }, 90000);
    ASSERT_TRUE (index.has_value()) << peer.stderrText();
    const auto done = peer.events()[*index];
    ASSERT_EQ (done.getProperty ("step", {}).toString(), "done") << platform::toCompactJson (done);

    EXPECT_EQ (done.getProperty ("location", {}).toString(), juce::String (host.origin() + "/")); // the token is gone from the address
    EXPECT_EQ (done.getProperty ("cookieVisible", {}).toString(), ""); // HttpOnly
    EXPECT_TRUE ((bool) done.getProperty ("hasBackend", false));
    EXPECT_EQ (done.getProperty ("initialisationData", {}).toString(), "{}");
    EXPECT_EQ (done.getProperty ("firstScript", {}).toString(), "<script src=\"/__host/bridge.js\"></script>");
    EXPECT_EQ (done["core"].getProperty ("action", {}).toString(), "CORE_INVOKE_RESPONSE");
    EXPECT_TRUE (done["core"].getProperty ("responseJson", {}).toString().isNotEmpty());
    EXPECT_EQ (platform::toCompactJson (done.getProperty ("errors", {})), "[]"); // no CSP violation, no script error
    std::cout << "TEST_CONNECTION round trip in Chromium, median of 50: " << (double) done.getProperty ("roundTripMedianMs", -1) << " ms" << std::endl;
}
} // namespace quorvelle::test
