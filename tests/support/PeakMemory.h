#pragma once

#include <cstdint>
#include <fstream>
#include <string>
#include <sys/resource.h>

namespace quorvelle::test
{
// A field of /proc/self/status in KiB ("VmHWM", "VmSize"); 0 when it cannot be read.
inline int64_t processStatusKb (const std::string& field)
{
    std::ifstream status ("/proc/self/status");
    std::string line;
    while (std::getline (status, line))
        if (line.rfind (field + ":", 0) == 0)
            return std::stoll (line.substr (field.size() + 1));
    return 0;
}

// The process's peak resident memory so far, in MiB. Each test runs in its own process, so a
// test reads it before and after the work it checks.
inline int64_t peakResidentMiB()
{
    return processStatusKb ("VmHWM") / 1024;
}

// Caps the address space at what is mapped now plus `headroomMiB` for its scope, so a bound that
// regresses fails with std::bad_alloc instead of taking the machine's memory.
class AddressSpaceHeadroom
{
public:
    explicit AddressSpaceHeadroom (int64_t headroomMiB)
    {
        getrlimit (RLIMIT_AS, &saved);
        rlimit limit = saved;
        limit.rlim_cur = static_cast<rlim_t> ((processStatusKb ("VmSize") + headroomMiB * 1024) * 1024);
        setrlimit (RLIMIT_AS, &limit);
    }
    ~AddressSpaceHeadroom() { setrlimit (RLIMIT_AS, &saved); }
    AddressSpaceHeadroom (const AddressSpaceHeadroom&) = delete;
    AddressSpaceHeadroom& operator= (const AddressSpaceHeadroom&) = delete;

private:
    rlimit saved {};
};
} // namespace quorvelle::test
