#pragma once

#include <juce_core/juce_core.h>
#include <juce_events/juce_events.h>

#include <functional>
#include <memory>

namespace quorvelle::platform
{
// One running copy per application-data folder. The first instance holds an exclusive lock on a
// file in that folder and listens on a path-bound local socket (abstract sockets do not cross
// network namespaces); a later launch finds the lock taken, hands its command line over the
// socket and is told to exit. The running copy receives the command line on the message thread.
class SingleInstance
{
public:
    enum class Outcome
    {
        primary,    // this process holds the lock and listens for later launches
        handedOver, // another instance runs and took our command line: exit now
        busy,       // the lock is held by a running copy that did not take the command line
        failed      // the lock or its socket could not be made at all: `getFailureText` says why
    };

    using CommandLineCallback = std::function<void (const juce::String& commandLine)>;

    // `folder` is the application-data folder the lock is keyed to (created when missing).
    explicit SingleInstance (juce::File folder);
    ~SingleInstance(); // stops the listener within its bound (2000 ms)

    // Tries to become the running instance; otherwise hands `commandLine` to it, retrying for up to
    // `handOverTimeoutMs` while the running copy is still setting up its socket.
    Outcome acquireOrHandOver (const juce::String& commandLine, int handOverTimeoutMs = 3000);

    // Called on the message thread with each later launch's command line. Set before or after
    // acquiring; hand-overs that arrive while none is set are dropped.
    void setCommandLineCallback (CommandLineCallback callback);

    // The socket path in use: inside the folder, or a hashed name in a private folder under /tmp
    // when the folder's path is too long for a local socket address.
    juce::File getSocketFile() const { return socketFile; }
    juce::File getLockFile() const { return lockFile; }

    // After `failed`: what could not be made, with its path and the system's error text.
    juce::String getFailureText() const { return failureText; }

    static juce::File socketFileFor (const juce::File& folder);

private:
    Outcome fail (const juce::String& what, const juce::File& path, int errorNumber);

    class Listener;
    struct Shared;

    juce::File folder, lockFile, socketFile;
    juce::String failureText;
    int lockFd = -1;
    std::shared_ptr<Shared> shared;
    std::unique_ptr<Listener> listener;
};
} // namespace quorvelle::platform
