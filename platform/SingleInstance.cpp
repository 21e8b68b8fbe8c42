#include "platform/SingleInstance.h"

#include "platform/ReaderThreads.h"

#include <juce_cryptography/juce_cryptography.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace quorvelle::platform
{
namespace
{
constexpr size_t maxCommandLineBytes = 1 << 20;
constexpr int clientIoTimeoutMs = 2000;

bool makeAddress (const juce::File& file, sockaddr_un& address)
{
    std::memset (&address, 0, sizeof (address));
    address.sun_family = AF_UNIX;
    const auto path = file.getFullPathName().toStdString();
    if (path.size() + 1 > sizeof (address.sun_path))
        return false;
    std::memcpy (address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

// Waits until `fd` is ready for `events`, up to `timeoutMs`; false on timeout or error.
bool waitFor (int fd, short events, int timeoutMs)
{
    pollfd p { fd, events, 0 };
    for (;;)
    {
        const auto r = ::poll (&p, 1, timeoutMs);
        if (r < 0 && errno == EINTR)
            continue;
        return r > 0 && (p.revents & (events | POLLHUP)) != 0;
    }
}

bool writeAll (int fd, const char* data, size_t size, int timeoutMs)
{
    while (size > 0)
    {
        if (! waitFor (fd, POLLOUT, timeoutMs))
            return false;
        const auto n = ::send (fd, data, size, MSG_NOSIGNAL);
        if (n < 0)
        {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return false;
        }
        data += n;
        size -= (size_t) n;
    }
    return true;
}
} // namespace

struct SingleInstance::Shared
{
    std::mutex lock;
    CommandLineCallback callback;
};

//==============================================================================
class SingleInstance::Listener final : public juce::Thread
{
public:
    Listener (int socketFd, std::weak_ptr<Shared> s) : juce::Thread ("SingleInstanceListener"), listenFd (socketFd), shared (std::move (s)) {}

    ~Listener() override
    {
        signalThreadShouldExit();
        wakePipe.wake();
        stopThread (2000);
        ::close (listenFd);
    }

    void run() override
    {
        while (! threadShouldExit())
        {
            short revents = 0;
            const auto waited = wakePipe.waitForReadable (listenFd, revents);
            if (waited == WakePipe::Wait::interrupted)
                continue;
            if (threadShouldExit() || waited != WakePipe::Wait::ready)
                return;
            if ((revents & POLLIN) == 0)
                continue;

            const int client = ::accept4 (listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0)
                continue;
            serve (client);
            ::close (client);
        }
    }

private:
    // One hand-over: the command line up to the peer's half-close, then one byte of answer.
    void serve (int client)
    {
        std::string received;
        char buffer[4096];
        for (;;)
        {
            if (threadShouldExit() || ! waitFor (client, POLLIN, clientIoTimeoutMs))
                return;
            const auto n = ::recv (client, buffer, sizeof (buffer), 0);
            if (n < 0)
            {
                if (errno == EINTR || errno == EAGAIN)
                    continue;
                return;
            }
            if (n == 0)
                break;
            received.append (buffer, (size_t) n);
            if (received.size() > maxCommandLineBytes)
                return;
        }

        const char ack = 'K';
        writeAll (client, &ack, 1, clientIoTimeoutMs);

        postSharedCallback (shared, &Shared::callback, juce::String::fromUTF8 (received.data(), (int) received.size()));
    }

    const int listenFd;
    std::weak_ptr<Shared> shared;
    WakePipe wakePipe;
};

//==============================================================================
juce::File SingleInstance::socketFileFor (const juce::File& folder)
{
    auto inFolder = folder.getChildFile ("instance.sock");
    sockaddr_un probe;
    if (makeAddress (inFolder, probe))
        return inFolder;

    // Too long for a socket address: a name derived from the folder, in a folder only we can use.
    const auto hash = juce::SHA256 (folder.getFullPathName().toUTF8()).toHexString().substring (0, 32);
    auto privateDir = juce::File ("/tmp").getChildFile ("quorvelle-" + juce::String ((int) ::getuid()));
    return privateDir.getChildFile (hash + ".sock");
}

SingleInstance::SingleInstance (juce::File f)
    : folder (std::move (f)),
      lockFile (folder.getChildFile ("instance.lock")),
      socketFile (socketFileFor (folder)),
      shared (std::make_shared<Shared>())
{
}

SingleInstance::~SingleInstance()
{
    listener.reset();
    if (lockFd >= 0)
    {
        // Remove the socket while the lock is still ours, so no later owner's socket is touched.
        // (unlink itself: juce::File takes a socket for a folder and would try rmdir.)
        ::unlink (socketFile.getFullPathName().toRawUTF8());
        ::close (lockFd);
    }
}

void SingleInstance::setCommandLineCallback (CommandLineCallback callback)
{
    std::scoped_lock sl (shared->lock);
    shared->callback = std::move (callback);
}

SingleInstance::Outcome SingleInstance::fail (const juce::String& what, const juce::File& path, int errorNumber)
{
    failureText = what + " " + path.getFullPathName() + ": " + juce::String::fromUTF8 (std::strerror (errorNumber));
    return Outcome::failed;
}

SingleInstance::Outcome SingleInstance::acquireOrHandOver (const juce::String& commandLine, int handOverTimeoutMs)
{
    if (lockFd >= 0)
        return Outcome::primary;

    if (const auto made = folder.createDirectory(); made.failed())
    {
        failureText = "cannot create the folder " + folder.getFullPathName() + ": " + made.getErrorMessage();
        return Outcome::failed;
    }
    if (! folder.isDirectory())
        return fail ("cannot create the folder", folder, ENOTDIR);
    const auto socketDir = socketFile.getParentDirectory();
    if (socketDir != folder)
    {
        errno = 0;
        ::mkdir (socketDir.getFullPathName().toRawUTF8(), 0700);
        struct stat st {};
        // Refuse a folder that someone else owns or others may write into.
        if (::lstat (socketDir.getFullPathName().toRawUTF8(), &st) != 0)
            return fail ("cannot create the socket folder", socketDir, errno);
        if (! S_ISDIR (st.st_mode) || st.st_uid != ::getuid() || (st.st_mode & 077) != 0)
            return fail ("refusing the socket folder (not a private folder of this user)", socketDir, EPERM);
    }

    sockaddr_un address;
    if (! makeAddress (socketFile, address))
        return fail ("socket path too long", socketFile, ENAMETOOLONG);

    const auto deadline = juce::Time::getMillisecondCounterHiRes() + handOverTimeoutMs;
    for (;;)
    {
        const int fd = ::open (lockFile.getFullPathName().toRawUTF8(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
        if (fd < 0)
            return fail ("cannot open the lock file", lockFile, errno);
        if (struct stat info {}; ::fstat (fd, &info) != 0 || ! S_ISREG (info.st_mode))
        {
            ::close (fd);
            failureText = "the lock file " + lockFile.getFullPathName() + " is not a regular file";
            return Outcome::failed;
        }

        if (::flock (fd, LOCK_EX | LOCK_NB) == 0)
        {
            // Ours: any socket file left is stale (its owner died holding the lock, which freed it).
            ::unlink (address.sun_path);
            const int listenFd = ::socket (AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (listenFd < 0 || ::bind (listenFd, reinterpret_cast<sockaddr*> (&address), sizeof (address)) != 0
                || ::listen (listenFd, 8) != 0)
            {
                const int error = errno;
                if (listenFd >= 0)
                    ::close (listenFd);
                ::close (fd);
                return fail ("cannot listen on the socket", socketFile, error);
            }
            lockFd = fd;
            listener = std::make_unique<Listener> (listenFd, shared);
            listener->startThread();
            return Outcome::primary;
        }
        ::close (fd);

        // Someone runs: hand the command line over.
        const int client = ::socket (AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (client >= 0)
        {
            if (::connect (client, reinterpret_cast<sockaddr*> (&address), sizeof (address)) == 0)
            {
                const auto utf8 = commandLine.toStdString();
                char ack = 0;
                const bool sent = writeAll (client, utf8.data(), utf8.size(), clientIoTimeoutMs) && ::shutdown (client, SHUT_WR) == 0;
                const bool answered = sent && waitFor (client, POLLIN, clientIoTimeoutMs) && ::recv (client, &ack, 1, 0) == 1;
                ::close (client);
                if (answered && ack == 'K')
                    return Outcome::handedOver;
            }
            else
            {
                ::close (client);
            }
        }

        if (juce::Time::getMillisecondCounterHiRes() >= deadline)
            return Outcome::busy;
        juce::Thread::sleep (50); // the running copy may not be listening yet
    }
}
} // namespace quorvelle::platform
