// The outside peer: buffers the TypeScript client built (saved as fixtures) run through the real
// handlers, the client decodes what the senders build, and the client drives the whole program
// through --bridge-stdio.

#include "TypedTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/wait.h>

namespace quorvelle::test
{
namespace
{
juce::File buildDir() { return juce::File (juce::SystemStats::getEnvironmentVariable ("QUORVELLE_BUILD_DIR", {})); }
// The committed fixture file (its path is compiled in).
juce::File fixtureFile() { return juce::File (QUORVELLE_TYPED_PEER_FIXTURES); }
juce::File peerScript (const char* name) { return buildDir().getChildFile ("typedbridge-peer/dist/src").getChildFile (name); }

int runNode (const juce::String& arguments)
{
    const auto status = std::system (("node " + arguments + " 1>&2").toRawUTF8());
    return WIFEXITED (status) ? WEXITSTATUS (status) : -1;
}

juce::var loadFixtures (const juce::File& file)
{
    return juce::JSON::parse (file.loadFileAsString());
}

// Buffers built by the peer (generated TypeScript and the hand-written oracle) against the real
// handlers and a recording stand-in for the dispatcher: keys, order and value kinds.
TEST (TypedPeer, FixtureBuffersRebuildTheirActions)
{
    const auto fixtures = loadFixtures (fixtureFile());
    ASSERT_TRUE (fixtures.isArray());
    ASSERT_GE (fixtures.size(), 20);

    RecordingBridge r;
    for (const auto& f : *fixtures.getArray())
    {
        std::vector<std::string> expected;
        for (const auto& e : *f["expected"].getArray())
            expected.push_back (e.toString().toStdString());
        EXPECT_EQ (r.dispatch (f["data"].toString().toStdString()), expected) << f["name"].toString();
    }
}

// The committed fixtures are what the peer builds from the current schema.
TEST (TypedPeer, FixturesMatchWhatThePeerBuildsNow)
{
    ASSERT_TRUE (peerScript ("fixtures.js").existsAsFile()) << "peer not built: run scripts/setup-peer.sh, then build";
    const auto fresh = juce::File::createTempFile (".json");
    ASSERT_EQ (runNode (peerScript ("fixtures.js").getFullPathName().quoted() + " " + fresh.getFullPathName().quoted()), 0);
    const auto committed = fixtureFile();
    EXPECT_EQ (fresh.loadFileAsString(), committed.loadFileAsString())
        << "regenerate with: node " << peerScript ("fixtures.js").getFullPathName() << " " << committed.getFullPathName();
    fresh.deleteFile();
}

TEST (TypedPeer, OutboundEventsDecodeInTheNpmRuntime)
{
    ASSERT_TRUE (peerScript ("outbound.js").existsAsFile()) << "peer not built: run scripts/setup-peer.sh, then build";
    const auto tool = buildDir().getChildFile ("tests/bin/typedbridge_event_samples");
    ASSERT_TRUE (tool.existsAsFile());
    EXPECT_EQ (runNode (peerScript ("outbound.js").getFullPathName().quoted() + " " + tool.getFullPathName().quoted()), 0);
}

TEST (TypedPeer, ProgramRoundTripThroughBridgeStdio)
{
    ASSERT_TRUE (peerScript ("e2e.js").existsAsFile()) << "peer not built: run scripts/setup-peer.sh, then build";
    const auto program = buildDir().getChildFile ("quorvelle");
    ASSERT_TRUE (program.existsAsFile());
    EXPECT_EQ (runNode (peerScript ("e2e.js").getFullPathName().quoted() + " " + program.getFullPathName().quoted()), 0);
}
} // namespace
} // namespace quorvelle::test
