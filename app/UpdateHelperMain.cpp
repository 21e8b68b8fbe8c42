// quorvelle-update: applies a staged update once the program has ended.
//     quorvelle-update --pid <pid> --install <folder> [--restart] -- [arguments for the program]
// Started detached by the update library; descriptor 3 holds the update lock until it is done.
#include "platform/UpdateSwap.h"

#include <unistd.h>

int main (int argc, char* argv[])
{
    int pid = -1;
    juce::File install;
    bool restart = false;
    juce::StringArray restartArguments;
    for (int i = 1; i < argc; ++i)
    {
        const juce::String argument = juce::String::fromUTF8 (argv[i]);
        if (argument == "--pid" && i + 1 < argc)
            pid = juce::String (argv[++i]).getIntValue();
        else if (argument == "--install" && i + 1 < argc)
            install = juce::File (juce::String::fromUTF8 (argv[++i]));
        else if (argument == "--restart")
            restart = true;
        else if (argument == "--")
        {
            while (++i < argc)
                restartArguments.add (juce::String::fromUTF8 (argv[i]));
        }
    }
    if (pid <= 0 || install == juce::File())
        return 2;

    // An hour is far beyond any shutdown; a program that never ends keeps its install.
    if (! quorvelle::platform::waitForProcessEnd (pid, 3'600'000))
        return 3;

    juce::String error;
    const bool swapped = quorvelle::platform::swapInInstall (install, quorvelle::platform::stagedInstallFolder (install), error);
    // The lock goes before the new program starts, which must not inherit it.
    ::close (3);
    if (restart)
        quorvelle::platform::spawnDetached (install.getChildFile ("quorvelle"), restartArguments);
    return swapped ? 0 : 1;
}
