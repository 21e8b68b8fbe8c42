// Failover times of the redundancy link between two real programs across a veth pair (the primary
// in this namespace, the standby in a second one the benchmark makes): from SIGKILL, from the
// primary's veth going down, from DISABLE on the primary and from FORCE_TAKEOVER on the standby, to
// REDUNDANCY_FAILOVER on the standby; median and maximum over the runs. SIGSTOP never fails over:
// reported after a 30 s bound. Run through scripts/test-launcher.sh (own network namespace).
//
//   scripts/test-launcher.sh build/bench/net_redundancy_failover_bench [runs, default 5]
#include "tests/net/redundancy/NamespacedProgram.h"
#include "tests/net/redundancy/PeerNamespace.h"
#include "tests/app/TypedSessionEvents.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <iostream>

using namespace quorvelle::test;

namespace
{
constexpr int waitMs = 30000;

double nowMs() { return juce::Time::getMillisecondCounterHiRes(); }

// One run: a fresh pair, the trigger, then the time until the standby reports its failover
// (negative: none within the bound).
double runOnce (PeerNamespace& ns, const std::string& trigger)
{
    juce::String listing;
    if (! PeerNamespace::holdsOnlyTestLinks ({}, listing) || ! PeerNamespace::holdsOnlyTestLinks (ns.netPath(), listing))
    {
        std::cerr << "guard: unexpected interfaces\n" << listing << std::endl;
        std::exit (2);
    }
    NamespacedProgram primary ({}), standby (ns.netPath());
    primary.process->send (actionObject ("REDUNDANCY_ENABLE", { { "role", "primary" } }));
    standby.process->send (actionObject ("REDUNDANCY_ENABLE", { { "role", "standby" } }));
    if (! standby.process->waitForStderr ("[Redundancy] Control: connected to primary TCP", waitMs))
        return -2;
    juce::Thread::sleep (500); // beats flowing for a while before the trigger
    const auto mark = standby.process->lines().size();
    const auto start = nowMs();
    if (trigger == "SIGKILL")
        primary.process->signal (SIGKILL);
    else if (trigger == "SIGSTOP")
        primary.process->signal (SIGSTOP);
    else if (trigger == "link down")
        runShell ("ip link set qa down");
    else if (trigger == "DISABLE")
        primary.process->send (actionObject ("REDUNDANCY_DISABLE"));
    else
        standby.process->send (actionObject ("REDUNDANCY_FORCE_TAKEOVER"));
    const auto found = standby.process->waitForEvent ([] (const juce::var& line)
    {
        const auto event = typedSessionEvent (line);
        return event && (*event)["action"].toString() == "REDUNDANCY_FAILOVER";
    }, waitMs, mark);
    const auto elapsed = nowMs() - start;
    if (trigger == "SIGSTOP")
        primary.process->signal (SIGCONT);
    if (trigger == "link down")
        runShell ("ip link set qa up && ip route replace default dev qa");
    return found ? elapsed : -1;
}
} // namespace

int main (int argc, char** argv)
{
    std::signal (SIGPIPE, SIG_IGN);
    const int runs = argc > 1 ? std::max (1, std::atoi (argv[1])) : 5;
    PeerNamespace ns;
    if (! ns.ready())
    {
        std::cerr << ns.failure() << std::endl;
        return 1;
    }
    std::printf ("%-16s %8s %10s %10s\n", "trigger", "runs", "median ms", "max ms");
    for (const std::string trigger : { "SIGKILL", "link down", "DISABLE", "FORCE_TAKEOVER", "SIGSTOP" })
    {
        std::vector<double> times;
        const int n = trigger == "SIGSTOP" ? 1 : runs;
        bool missed = false;
        for (int i = 0; i < n; ++i)
        {
            const auto t = runOnce (ns, trigger);
            if (t < 0)
                missed = true;
            else
                times.push_back (t);
        }
        if (times.empty())
        {
            std::printf ("%-16s %8d %21s\n", trigger.c_str(), n, missed ? "no failover (30 s)" : "-");
            continue;
        }
        std::sort (times.begin(), times.end());
        std::printf ("%-16s %8d %10.0f %10.0f%s\n", trigger.c_str(), (int) times.size(), times[times.size() / 2], times.back(),
                     missed ? "  (some runs: no failover)" : "");
    }
    return 0;
}
