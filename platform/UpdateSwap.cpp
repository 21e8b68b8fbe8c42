#include "platform/UpdateSwap.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace quorvelle::platform
{
namespace
{
juce::String errnoText() { return juce::String::fromUTF8 (std::strerror (errno)); }

bool renameFolder (const juce::File& from, const juce::File& to)
{
    return ::rename (from.getFullPathName().toRawUTF8(), to.getFullPathName().toRawUTF8()) == 0;
}

// 'Z' or 'X' in /proc/<pid>/stat: ended, whether or not its parent reaped it.
bool hasEnded (int pid)
{
    if (::kill (pid, 0) != 0 && errno == ESRCH)
        return true;
    const auto stat = juce::File ("/proc/" + juce::String (pid) + "/stat").loadFileAsString();
    const auto close = stat.lastIndexOfChar (')');
    if (close < 0)
        return true;
    const auto state = stat.substring (close + 2, close + 3);
    return state == "Z" || state == "X";
}
} // namespace

juce::File replacedInstallFolder (const juce::File& install) { return juce::File (install.getFullPathName() + ".old"); }

juce::File stagedInstallFolder (const juce::File& install) { return juce::File (install.getFullPathName() + ".staging"); }

bool waitForProcessEnd (int pid, int timeoutMs)
{
    const auto deadline = juce::Time::getMillisecondCounterHiRes() + timeoutMs;
    // A pidfd becomes readable when the process ends, zombie or not.
    const int fd = (int) ::syscall (SYS_pidfd_open, pid, 0);
    if (fd >= 0)
    {
        bool ended = false;
        while (! ended)
        {
            const auto left = deadline - juce::Time::getMillisecondCounterHiRes();
            if (left <= 0)
                break;
            pollfd p { fd, POLLIN, 0 };
            const int r = ::poll (&p, 1, (int) std::min (left, 1000.0));
            ended = r > 0 || (r < 0 && errno != EINTR);
        }
        ::close (fd);
        return ended;
    }

    while (! hasEnded (pid))
    {
        if (juce::Time::getMillisecondCounterHiRes() >= deadline)
            return false;
        juce::Thread::sleep (20);
    }
    return true;
}

bool swapInInstall (const juce::File& install, const juce::File& staging, juce::String& error)
{
    const auto old = replacedInstallFolder (install);
    if (old.exists())
    {
        if (! old.getChildFile (replacedMarkerName).existsAsFile())
        {
            error = old.getFullPathName() + " exists and is not a replaced install";
            return false;
        }
        old.deleteRecursively (false);
        if (old.exists())
        {
            error = "cannot remove " + old.getFullPathName();
            return false;
        }
    }

    if (! staging.isDirectory())
    {
        error = "no staged install at " + staging.getFullPathName();
        return false;
    }
    if (! renameFolder (install, old))
    {
        error = "cannot move the install aside: " + errnoText();
        return false;
    }
    if (! renameFolder (staging, install))
    {
        error = "cannot move the staged install in: " + errnoText();
        if (! renameFolder (old, install))
            error << "; and cannot move the old install back: " << errnoText();
        return false;
    }
    old.getChildFile (replacedMarkerName).create();
    return true;
}

void removeReplacedInstall (const juce::File& install)
{
    const auto old = replacedInstallFolder (install);
    if (old.isDirectory() && old.getChildFile (replacedMarkerName).existsAsFile())
        old.deleteRecursively (false);
}

bool spawnDetached (const juce::File& executable, const juce::StringArray& arguments, int keepFd)
{
    std::vector<std::string> storage;
    storage.push_back (executable.getFullPathName().toStdString());
    for (const auto& argument : arguments)
        storage.push_back (argument.toStdString());
    std::vector<char*> argv;
    for (auto& argument : storage)
        argv.push_back (argument.data());
    argv.push_back (nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init (&actions);
    for (int fd = 0; fd < 3; ++fd)
        posix_spawn_file_actions_addopen (&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
    if (keepFd >= 0)
        posix_spawn_file_actions_adddup2 (&actions, keepFd, 3);
    // Nothing else of this process (pipes, sockets, the single-instance lock) goes along.
    posix_spawn_file_actions_addclosefrom_np (&actions, keepFd >= 0 ? 4 : 3);

    posix_spawnattr_t attributes;
    posix_spawnattr_init (&attributes);
    posix_spawnattr_setflags (&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    sigset_t none, all;
    sigemptyset (&none);
    sigfillset (&all);
    posix_spawnattr_setsigmask (&attributes, &none);
    posix_spawnattr_setsigdefault (&attributes, &all);

    pid_t pid = -1;
    const int failure = posix_spawn (&pid, storage[0].c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy (&attributes);
    posix_spawn_file_actions_destroy (&actions);
    // The child is not waited for: it outlives this process, and init reaps it.
    return failure == 0;
}
} // namespace quorvelle::platform
