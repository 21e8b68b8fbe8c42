#include "platform/Opener.h"

#include <cstring>
#include <mutex>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace quorvelle::platform
{
namespace
{
    std::mutex openerLock;
    std::function<bool (const juce::StringArray&)> testOpener;

    bool spawnDetached (const juce::File& executable, const juce::StringArray& arguments)
    {
        std::vector<std::string> storage;
        storage.reserve (static_cast<size_t> (arguments.size()));
        for (const auto& argument : arguments)
            storage.emplace_back (argument.toStdString());

        std::vector<char*> argv;
        for (auto& argument : storage)
            argv.push_back (argument.data());
        argv.push_back (nullptr);

        pid_t pid = 0;
        if (const int failure = posix_spawn (&pid, executable.getFullPathName().toRawUTF8(), nullptr, nullptr, argv.data(), environ); failure != 0)
        {
            juce::Logger::writeToLog ("[Opener] " + executable.getFullPathName() + ": " + juce::String::fromUTF8 (std::strerror (failure)));
            return false;
        }

        std::thread ([pid] {
            int status = 0;
            while (waitpid (pid, &status, 0) < 0 && errno == EINTR) {}
        }).detach();
        return true;
    }
} // namespace

juce::File findExecutableInPath (const juce::String& name)
{
    const auto path = juce::SystemStats::getEnvironmentVariable ("PATH", "/usr/local/bin:/usr/bin:/bin");
    for (const auto& folder : juce::StringArray::fromTokens (path, ":", {}))
    {
        if (folder.isEmpty())
            continue;
        const juce::File candidate = juce::File (folder).getChildFile (name);
        if (candidate.existsAsFile() && ::access (candidate.getFullPathName().toRawUTF8(), X_OK) == 0)
            return candidate;
    }
    return {};
}

bool isOpenableUrl (const juce::String& url)
{
    const auto lower = url.trim().toLowerCase();
    return lower.startsWith ("http://") || lower.startsWith ("https://") || lower.startsWith ("mailto:");
}

bool openWithDesktop (const juce::String& target)
{
    const juce::StringArray arguments { "xdg-open", target };
    {
        std::lock_guard<std::mutex> guard (openerLock);
        if (testOpener != nullptr)
            return testOpener (arguments);
    }

    const auto opener = findExecutableInPath ("xdg-open");
    if (opener == juce::File())
    {
        juce::Logger::writeToLog ("[Opener] xdg-open not found; cannot open: " + target);
        return false;
    }
    if (! spawnDetached (opener, arguments))
    {
        juce::Logger::writeToLog ("[Opener] could not start xdg-open for: " + target);
        return false;
    }
    return true;
}

void setOpenerForTesting (std::function<bool (const juce::StringArray&)> opener)
{
    std::lock_guard<std::mutex> guard (openerLock);
    testOpener = std::move (opener);
}
} // namespace quorvelle::platform
