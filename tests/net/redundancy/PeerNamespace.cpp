#include "tests/net/redundancy/PeerNamespace.h"

#include <csignal>
#include <cstdio>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace quorvelle::test
{
bool runShell (const std::string& command, juce::String* output)
{
    auto* pipe = ::popen ((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr)
        return false;
    std::string text;
    char chunk[512];
    while (auto n = std::fread (chunk, 1, sizeof chunk, pipe))
        text.append (chunk, n);
    const auto status = ::pclose (pipe);
    if (output != nullptr)
        *output = juce::String::fromUTF8 (text.c_str());
    return status == 0;
}

PeerNamespace::PeerNamespace()
{
    const char* argv[] = { "unshare", "-n", "sleep", "3600", nullptr };
    pid_t child = -1;
    if (posix_spawnp (&child, "unshare", nullptr, nullptr, const_cast<char**> (argv), environ) != 0)
    {
        error = "cannot start the namespace holder";
        return;
    }
    holderPid = child;
    // The holder has its namespace once its link differs from ours.
    const auto linkOf = [] (const std::string& path)
    {
        char target[128] = {};
        return ::readlink (path.c_str(), target, sizeof target - 1) > 0 ? std::string (target) : std::string();
    };
    const auto own = linkOf ("/proc/self/ns/net");
    bool separate = false;
    for (int i = 0; i < 1000 && ! separate; ++i) // up to 10 s
    {
        const auto theirs = linkOf (netPath());
        separate = ! theirs.empty() && theirs != own;
        if (! separate)
            ::usleep (10000);
    }
    if (! separate)
    {
        error = "the holder did not get a namespace";
        return;
    }
    const auto pidText = std::to_string (holderPid);
    const std::string there = "nsenter --net=" + netPath() + " ";
    const std::string commands[] = {
        "ip link set lo up",
        "ip link add qa type veth peer name qb netns " + pidText,
        std::string ("ip addr add ") + hereAddress + "/24 dev qa",
        "ip link set qa up",
        "ip route add default dev qa",
        there + "ip link set lo up",
        there + "ip addr add " + thereAddress + "/24 dev qb",
        there + "ip link set qb up",
        there + "ip route add default dev qb",
    };
    for (const auto& command : commands)
    {
        juce::String output;
        if (! runShell (command, &output))
        {
            error = juce::String (command) + ": " + output;
            return;
        }
    }
}

PeerNamespace::~PeerNamespace()
{
    if (holderPid > 0)
    {
        ::kill (holderPid, SIGKILL);
        int status = 0;
        ::waitpid (holderPid, &status, 0);
    }
    // Our end of the pair went with the other namespace; make sure of it for the next test.
    runShell ("ip link del qa");
}

bool PeerNamespace::holdsOnlyTestLinks (const std::string& nsPath, juce::String& listing)
{
    const auto prefix = nsPath.empty() ? std::string() : "nsenter --net=" + nsPath + " ";
    if (! runShell (prefix + "ip -o link", &listing))
        return false;
    for (const auto& line : juce::StringArray::fromLines (listing.trim()))
    {
        const auto name = line.fromFirstOccurrenceOf (": ", false, false).upToFirstOccurrenceOf (":", false, false).upToFirstOccurrenceOf ("@", false, false);
        if (name != "lo" && name != "qa" && name != "qb")
            return false;
    }
    return true;
}
} // namespace quorvelle::test
