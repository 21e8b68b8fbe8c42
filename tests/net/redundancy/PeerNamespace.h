#pragma once

#include <juce_core/juce_core.h>

#include <string>

namespace quorvelle::test
{
// A second network namespace joined to the test's own by a veth pair: "qa" (198.18.0.1) here,
// "qb" (198.18.0.2) there, each with a default route over the pair so that 255.255.255.255 crosses
// it (and comes back to its sender). A holder process (`unshare -n sleep`) keeps the namespace;
// programs join it with `nsenter --net=<netPath()>`. Nothing ever appears in the host's namespace:
// the test itself already runs in a namespace of its own, and the pair is made from there.
class PeerNamespace
{
public:
    PeerNamespace();
    ~PeerNamespace(); // the holder ends, and the veth pair with its namespace

    bool ready() const { return holderPid > 0 && error.isEmpty(); }
    juce::String failure() const { return error; }
    std::string netPath() const { return "/proc/" + std::to_string (holderPid) + "/ns/net"; }
    int pid() const { return holderPid; }

    // Whether a namespace holds no interface but lo and the test's veth end (the guard before
    // any broadcast is enabled). `nsPath` empty: the test's own namespace.
    static bool holdsOnlyTestLinks (const std::string& nsPath, juce::String& listing);

    static constexpr const char* hereAddress = "198.18.0.1";
    static constexpr const char* thereAddress = "198.18.0.2";

private:
    int holderPid = -1;
    juce::String error;
};

// Runs a command line through sh; its output (stdout and stderr) goes to `output`. True on status 0.
bool runShell (const std::string& command, juce::String* output = nullptr);
} // namespace quorvelle::test
