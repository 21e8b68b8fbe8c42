#include "platform/CrashDumps.h"

#include "platform/StorageRoot.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <cxxabi.h>
#include <exception>
#include <execinfo.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/syscall.h>
#include <typeinfo>
#include <unistd.h>

namespace quorvelle::platform
{
namespace
{
// Room for "/crash-YYYYMMDD-HHMMSS-<pid>.dmp" after the folder, with margin.
constexpr size_t dumpNameRoom = 64;

// Filled at installation, read at crash time. An empty folder means no dumps.
char crashFolderPath[PATH_MAX];
long utcOffsetSeconds = 0;
std::atomic<pid_t> writerThread { 0 };
bool handlersInstalled = false;
alignas (16) char alternateStack[128 * 1024];

constexpr int handledSignals[] = { SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT };

pid_t currentThreadId() { return (pid_t) ::syscall (SYS_gettid); }

// A fixed buffer that texts and numbers are appended to without allocating.
struct LineBuffer
{
    char text[512];
    size_t length = 0;

    void add (const char* s)
    {
        while (*s != 0 && length < sizeof (text))
            text[length++] = *s++;
    }

    void addNumber (unsigned long long value, unsigned base = 10, int minDigits = 1)
    {
        char digits[32];
        int n = 0;
        do
        {
            const auto d = (unsigned) (value % base);
            digits[n++] = (char) (d < 10 ? '0' + d : 'a' + d - 10);
            value /= base;
        } while (value != 0 && n < (int) sizeof (digits));
        while (n < minDigits && n < (int) sizeof (digits))
            digits[n++] = '0';
        while (n > 0 && length < sizeof (text))
            text[length++] = digits[--n];
    }

    void addSigned (long long value)
    {
        if (value < 0)
        {
            add ("-");
            addNumber ((unsigned long long) -(value + 1) + 1);
        }
        else
            addNumber ((unsigned long long) value);
    }
};

void writeAll (int fd, const char* data, size_t size)
{
    while (size > 0)
    {
        const auto written = ::write (fd, data, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        data += written;
        size -= (size_t) written;
    }
}

void writeLine (int fd, LineBuffer& line)
{
    line.add ("\n");
    writeAll (fd, line.text, line.length);
    line.length = 0;
}

// Days since 1970-01-01 to a proleptic Gregorian date (integer arithmetic only).
void civilFromDays (long long days, long long& year, unsigned& month, unsigned& day)
{
    days += 719468;
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const auto dayOfEra = (unsigned) (days - era * 146097);
    const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned mp = (5 * dayOfYear + 2) / 153;
    day = dayOfYear - (153 * mp + 2) / 5 + 1;
    month = mp < 10 ? mp + 3 : mp - 9;
    year = (long long) yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
}

// "<folder>/crash-YYYYMMDD-HHMMSS-<pid>.dmp" in local time. False when it does not fit.
bool makeDumpPath (char* out, size_t capacity)
{
    const auto folderLength = std::strlen (crashFolderPath);
    if (folderLength == 0 || folderLength + dumpNameRoom >= capacity)
        return false;

    const long long local = (long long) ::time (nullptr) + utcOffsetSeconds;
    long long days = local / 86400, seconds = local % 86400;
    if (seconds < 0)
    {
        seconds += 86400;
        --days;
    }
    long long year;
    unsigned month, day;
    civilFromDays (days, year, month, day);

    LineBuffer name;
    name.add ("/crash-");
    name.addNumber ((unsigned long long) year, 10, 4);
    name.addNumber (month, 10, 2);
    name.addNumber (day, 10, 2);
    name.add ("-");
    name.addNumber ((unsigned long long) (seconds / 3600), 10, 2);
    name.addNumber ((unsigned long long) (seconds / 60 % 60), 10, 2);
    name.addNumber ((unsigned long long) (seconds % 60), 10, 2);
    name.add ("-");
    name.addNumber ((unsigned long long) ::getpid());
    name.add (".dmp");

    std::memcpy (out, crashFolderPath, folderLength);
    std::memcpy (out + folderLength, name.text, name.length);
    out[folderLength + name.length] = 0;
    return true;
}

const char* signalName (int sig)
{
    switch (sig)
    {
        case SIGSEGV: return "SIGSEGV";
        case SIGBUS:  return "SIGBUS";
        case SIGFPE:  return "SIGFPE";
        case SIGILL:  return "SIGILL";
        case SIGABRT: return "SIGABRT";
        default:      return "signal";
    }
}

void copyFile (const char* path, int toFd)
{
    const int in = ::open (path, O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return;
    char buffer[4096];
    for (;;)
    {
        const auto got = ::read (in, buffer, sizeof (buffer));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        writeAll (toFd, buffer, (size_t) got);
    }
    ::close (in);
}

// `info` is null on the terminate path, which names the exception type instead when it knows one.
void writeDump (int sig, const siginfo_t* info, const char* exceptionType)
{
    char path[PATH_MAX];
    if (! makeDumpPath (path, sizeof (path)))
        return;

    const int fd = ::open (path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return;

    LineBuffer line;
    line.add ("Quorvelle crash dump");
    writeLine (fd, line);
    if (info == nullptr)
    {
        line.add ("reason: std::terminate");
        writeLine (fd, line);
        if (exceptionType != nullptr)
        {
            line.add ("exception type: ");
            line.add (exceptionType);
            writeLine (fd, line);
        }
    }
    line.add ("signal: ");
    line.addNumber ((unsigned) sig);
    line.add (" (");
    line.add (signalName (sig));
    line.add (")");
    writeLine (fd, line);
    if (info != nullptr)
    {
        line.add ("si_code: ");
        line.addSigned (info->si_code);
        writeLine (fd, line);
        line.add ("fault address: 0x");
        line.addNumber ((unsigned long long) (uintptr_t) info->si_addr, 16);
        writeLine (fd, line);
    }
    line.add ("pid: ");
    line.addNumber ((unsigned long long) ::getpid());
    line.add (" thread: ");
    line.addNumber ((unsigned long long) currentThreadId());
    writeLine (fd, line);

    line.add ("backtrace:");
    writeLine (fd, line);
    void* frames[128];
    const int count = ::backtrace (frames, 128);
    ::backtrace_symbols_fd (frames, count, fd);

    line.add ("maps:");
    writeLine (fd, line);
    copyFile ("/proc/self/maps", fd);
    ::close (fd);
}

// Claims the right to write the one dump of this crash. False for the thread that already holds
// it (a fault inside the writer, or the abort that follows the terminate handler). Any other
// thread waits here until the writer's re-raise ends the process.
bool claimWriter()
{
    const auto self = currentThreadId();
    pid_t expected = 0;
    if (writerThread.compare_exchange_strong (expected, self))
        return true;
    if (expected != self)
        for (;;)
            ::pause();
    return false;
}

void onFatalSignal (int sig, siginfo_t* info, void*)
{
    if (claimWriter())
        writeDump (sig, info, nullptr);

    // Back to the default action, and the signal again: it is delivered when this handler
    // returns (a fault also repeats its instruction), so the process dies of its own signal.
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset (&fallback.sa_mask);
    ::sigaction (sig, &fallback, nullptr);
    ::syscall (SYS_tgkill, ::getpid(), currentThreadId(), sig);
}

void onTerminate()
{
    if (claimWriter())
    {
        const auto* type = abi::__cxa_current_exception_type();
        writeDump (SIGABRT, nullptr, type != nullptr ? type->name() : nullptr);
    }
    std::abort();
}
} // namespace

bool installCrashHandler (const juce::File& crashFolder)
{
    crashFolder.createDirectory();
    const auto path = crashFolder.getFullPathName().toStdString();
    const bool fits = ! path.empty() && path.size() + dumpNameRoom < sizeof (crashFolderPath);
    std::memset (crashFolderPath, 0, sizeof (crashFolderPath));
    if (fits)
        std::memcpy (crashFolderPath, path.data(), path.size());

    // The local offset for the dump's name: localtime is not async-signal-safe.
    const auto now = ::time (nullptr);
    struct tm local {};
    ::localtime_r (&now, &local);
    utcOffsetSeconds = local.tm_gmtoff;

    // The first backtrace loads libgcc, which must not happen inside a handler.
    void* frames[4];
    ::backtrace (frames, 4);

    if (! handlersInstalled)
    {
        stack_t stack {};
        stack.ss_sp = alternateStack;
        stack.ss_size = sizeof (alternateStack);
        ::sigaltstack (&stack, nullptr);

        struct sigaction action {};
        action.sa_sigaction = onFatalSignal;
        sigemptyset (&action.sa_mask);
        action.sa_flags = SA_SIGINFO | SA_ONSTACK;
        for (int sig : handledSignals)
            ::sigaction (sig, &action, nullptr);
        std::set_terminate (onTerminate);
        handlersInstalled = true;
    }
    return fits;
}

juce::File crashFolderOfStorageRoot()
{
    return getStorageRoot().getChildFile ("crashes");
}

juce::Array<juce::File> listCrashDumps (const juce::File& crashFolder)
{
    juce::Array<juce::File> dumps;
    if (! crashFolder.isDirectory())
        return dumps;
    for (const auto& entry : juce::RangedDirectoryIterator (crashFolder, false, "*", juce::File::findFiles))
        if (entry.getFile().getFileName().endsWithIgnoreCase (".dmp"))
            dumps.add (entry.getFile());
    return dumps;
}

bool isDiscardableCrashDumpName (const juce::String& name)
{
    return name.isNotEmpty() && ! name.containsChar ('/') && ! name.containsChar ('\\') && name.endsWithIgnoreCase (".dmp");
}
} // namespace quorvelle::platform
