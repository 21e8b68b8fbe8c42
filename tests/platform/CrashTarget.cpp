// A small program that installs the crash handler and then crashes on demand:
//     crash-target <segv|terminate|threads> <crash folder>
// It prints "ready <0|1>" (whether dumps will be written) before crashing.
#include "platform/CrashDumps.h"

#include <barrier>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <sys/resource.h>
#include <thread>
#include <vector>

namespace
{
// The address a field at offset 16 of a null record has; read through a volatile so the compiler
// cannot see the write is to a null record.
volatile std::uintptr_t faultAddress = 0x10;

[[gnu::noinline]] void writeThroughNull()
{
    *reinterpret_cast<volatile int*> (faultAddress) = 1;
}
} // namespace

int main (int argc, char* argv[])
{
    if (argc != 3)
        return 2;

    const rlimit noCore { 0, 0 };
    ::setrlimit (RLIMIT_CORE, &noCore);

    const bool dumps = quorvelle::platform::installCrashHandler (juce::File (juce::CharPointer_UTF8 (argv[2])));
    std::printf ("ready %d\n", dumps ? 1 : 0);
    std::fflush (stdout);

    const std::string mode = argv[1];
    if (mode == "segv")
        writeThroughNull();
    else if (mode == "terminate")
        std::terminate();
    else if (mode == "threads")
    {
        std::barrier start (2);
        std::vector<std::thread> threads;
        for (int i = 0; i < 2; ++i)
            threads.emplace_back ([&start] {
                start.arrive_and_wait();
                writeThroughNull();
            });
        for (auto& t : threads)
            t.join();
    }
    return 3;
}
