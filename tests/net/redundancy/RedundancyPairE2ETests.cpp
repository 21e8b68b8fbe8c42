// Two real programs (`quorvelle --bridge-stdio`, each with its own HOME) paired across a veth pair:
// one in the test's own namespace, one in a second namespace the test makes.
#include "tests/app/ProgramProcess.h"
#include "tests/net/redundancy/PeerNamespace.h"
#include "tests/app/TypedSessionEvents.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <csignal>

namespace quorvelle::test
{
namespace
{
constexpr int waitMs = 30000;

struct Instance
{
    explicit Instance (std::string nsPath) : nsPath (std::move (nsPath)) { start(); }

    void start()
    {
        std::vector<std::string> args { "HOME=" + home.folder().getFullPathName().toStdString() };
        if (! nsPath.empty())
            args.insert (args.end(), { "nsenter", "--net=" + nsPath });
        args.insert (args.end(), { ProgramProcess::programPath(), "--bridge-stdio" });
        process.reset();
        process = std::make_unique<ProgramProcess> (args, "/usr/bin/env");
    }

    // The guard before every enable: this side's namespace holds nothing but lo and the veth.
    void enable (const juce::var& action)
    {
        juce::String listing;
        ASSERT_TRUE (PeerNamespace::holdsOnlyTestLinks (nsPath, listing)) << listing;
        process->send (action);
    }

    std::optional<juce::var> waitTyped (const juce::String& action, const char* key, const juce::var& value, size_t from = 0)
    {
        const auto index = process->waitForEvent ([&] (const juce::var& line)
        {
            const auto event = typedSessionEvent (line);
            return event && (*event)["action"].toString() == action && (*event)[key] == value;
        }, waitMs, from);
        return index ? typedSessionEvent (process->events()[*index]) : std::nullopt;
    }

    std::string instanceId() const
    {
        const auto text = process->stderrText();
        const auto at = text.rfind ("Enabled. Instance: ");
        return at == std::string::npos ? std::string() : text.substr (at + 19, 36);
    }

    int countStderr (const std::string& fragment) const
    {
        const auto text = process->stderrText();
        int n = 0;
        for (auto at = text.find (fragment); at != std::string::npos; at = text.find (fragment, at + 1))
            ++n;
        return n;
    }

    TempFolder home;
    std::string nsPath;
    std::unique_ptr<ProgramProcess> process;
};

juce::var action (const char* name, std::initializer_list<std::pair<const char*, juce::var>> fields = {})
{
    auto object = makeObject ({ { "action", name } });
    for (const auto& [key, value] : fields)
        object.getDynamicObject()->setProperty (key, value);
    return object;
}
} // namespace

TEST (RedundancyPair, ElectTakeOverAndPairAgain)
{
    PeerNamespace ns;
    ASSERT_TRUE (ns.ready()) << ns.failure();
    Instance a ({}), b (ns.netPath());

    // The second side is enabled only once the first is broadcasting.
    a.enable (action ("REDUNDANCY_ENABLE"));
    ASSERT_TRUE (a.process->waitForStderr ("[Redundancy] Enabled.", waitMs));
    b.enable (action ("REDUNDANCY_ENABLE", { { "role", "auto" } }));
    ASSERT_TRUE (a.process->waitForStderr ("[Redundancy] Peer found:", waitMs));
    ASSERT_TRUE (b.process->waitForStderr ("[Redundancy] Peer found:", waitMs));
    const bool aLeads = a.instanceId() < b.instanceId();
    auto& primary = aLeads ? a : b;
    auto& standby = aLeads ? b : a;
    EXPECT_TRUE (primary.process->waitForStderr ("Role: PRIMARY", waitMs)) << primary.process->stderrText();
    EXPECT_TRUE (standby.process->waitForStderr ("Role: STANDBY", waitMs)) << standby.process->stderrText();
    ASSERT_TRUE (standby.waitTyped ("REDUNDANCY_STATUS", "role", "standby"));
    ASSERT_TRUE (primary.waitTyped ("REDUNDANCY_STATUS", "role", "primary"));

    // Once the link is up: a manifest crosses, and the primary's disable reaches the standby.
    ASSERT_TRUE (standby.process->waitForStderr ("[Redundancy] Control: connected to primary TCP", waitMs));
    standby.process->send (action ("REDUNDANCY_SEND_MANIFEST", { { "manifest", "set list" } }));
    const auto manifest = primary.process->waitForAction ("REDUNDANCY_MANIFEST_RECEIVED", waitMs);
    ASSERT_TRUE (manifest);
    EXPECT_EQ (primary.process->events()[*manifest]["manifest"].toString(), "set list");
    EXPECT_EQ (a.countStderr ("FAILOVER"), 0);
    EXPECT_EQ (b.countStderr ("FAILOVER"), 0);

    primary.process->send (action ("REDUNDANCY_DISABLE"));
    ASSERT_TRUE (standby.waitTyped ("REDUNDANCY_FAILOVER", "reason", "peer_shutdown"));
    EXPECT_EQ (standby.countStderr ("heartbeat_lost"), 0);

    // The old primary comes back with "auto" and becomes the standby of the promoted side.
    const auto mark = primary.process->lines().size();
    primary.enable (action ("REDUNDANCY_ENABLE"));
    ASSERT_TRUE (primary.waitTyped ("REDUNDANCY_STATUS", "role", "standby", mark));
    ASSERT_TRUE (primary.process->waitForStderr ("[Redundancy] Control: connected to primary TCP", waitMs)) << primary.process->stderrText() << "\n----\n" << standby.process->stderrText();

    // The promoted side is killed: the other takes over once the beats and the probe fail.
    standby.process->signal (SIGKILL);
    ASSERT_TRUE (standby.process->waitForExit (waitMs));
    ASSERT_TRUE (primary.waitTyped ("REDUNDANCY_FAILOVER", "reason", "heartbeat_lost", mark));

    // Restarted, the killed side pairs again, as standby of the survivor.
    standby.start();
    standby.enable (action ("REDUNDANCY_ENABLE"));
    ASSERT_TRUE (standby.waitTyped ("REDUNDANCY_STATUS", "role", "standby"));
    a.process->send (action ("REDUNDANCY_DISABLE"));
    b.process->send (action ("REDUNDANCY_DISABLE"));
}

TEST (RedundancyPair, DifferentPinsNeverPair)
{
    PeerNamespace ns;
    ASSERT_TRUE (ns.ready()) << ns.failure();
    Instance a ({}), b (ns.netPath());
    // A listener on 8770 beside the program (address reuse) in each namespace counts what crosses.
    const auto listenerScript = "const s=require('dgram').createSocket({type:'udp4',reuseAddr:true});"
                                "s.on('message',(m)=>{if(m.length===52)console.log(JSON.stringify({id:m.toString('ascii',5,41).replace(/\\0.*$/,'')}))});"
                                "s.bind(8770,()=>console.log(JSON.stringify({ready:true})));process.stdin.on('end',()=>process.exit(0));process.stdin.resume();";
    ProgramProcess hereListener ({ "-e", listenerScript }, "/usr/bin/node");
    ProgramProcess thereListener ({ "--net=" + ns.netPath(), "node", "-e", listenerScript }, "/usr/bin/nsenter");
    for (auto* l : { &hereListener, &thereListener })
        ASSERT_TRUE (l->waitForEvent ([] (const juce::var& e) { return (bool) e["ready"]; }, waitMs));

    a.enable (action ("REDUNDANCY_ENABLE", { { "pin", "4711" } }));
    b.enable (action ("REDUNDANCY_ENABLE"));
    ASSERT_TRUE (a.process->waitForStderr ("[Redundancy] Enabled.", waitMs));
    ASSERT_TRUE (b.process->waitForStderr ("[Redundancy] Enabled.", waitMs));
    // Two datagrams of each side have reached the other side's namespace.
    const auto twoFrom = [] (ProgramProcess& listener, const std::string& id)
    {
        const auto fromId = [&] (const juce::var& e) { return e["id"].toString().toStdString() == id; };
        const auto first = listener.waitForEvent (fromId, waitMs);
        return first && listener.waitForEvent (fromId, waitMs, *first + 1);
    };
    EXPECT_TRUE (twoFrom (thereListener, a.instanceId()));
    EXPECT_TRUE (twoFrom (hereListener, b.instanceId()));
    EXPECT_EQ (a.countStderr ("Peer found"), 0);
    EXPECT_EQ (b.countStderr ("Peer found"), 0);

    // With the same PIN they pair.
    b.process->send (action ("REDUNDANCY_DISABLE"));
    ASSERT_TRUE (b.process->waitForStderr ("[Redundancy] Disabled", waitMs));
    b.enable (action ("REDUNDANCY_ENABLE", { { "pin", "4711" } }));
    EXPECT_TRUE (a.process->waitForStderr ("[Redundancy] Peer found:", waitMs));
    EXPECT_TRUE (b.process->waitForStderr ("[Redundancy] Peer found:", waitMs));
    a.process->send (action ("REDUNDANCY_DISABLE"));
    b.process->send (action ("REDUNDANCY_DISABLE"));
}
} // namespace quorvelle::test
