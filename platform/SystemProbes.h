#pragma once

#include <juce_core/juce_core.h>

#include <functional>
#include <vector>

namespace quorvelle::platform
{
// Available physical memory in bytes (MemAvailable), or -1 when it cannot be read.
juce::int64 availablePhysicalMemoryBytes();

// Total physical memory in bytes (MemTotal), or -1 when it cannot be read.
juce::int64 totalPhysicalMemoryBytes();

// This process's page faults so far (minor + major, from getrusage), or -1.
juce::int64 pageFaultCount();

struct ProcessMemory
{
    juce::int64 residentBytes = -1;     // working set (VmRSS)
    juce::int64 peakResidentBytes = -1; // peak working set (VmHWM)
    juce::int64 privateBytes = -1;      // private data and stack (VmData + VmStk)
    juce::int64 virtualBytes = -1;      // VmSize
};

// This process's memory counters; fields stay -1 where they cannot be read.
ProcessMemory currentProcessMemory();

struct ChildProcess
{
    int pid = 0;
    juce::String name;
    juce::int64 residentBytes = -1;
};

// The direct children of this process (or of `parentPid`, when given).
std::vector<ChildProcess> childProcesses (int parentPid = -1);

// The summed resident size (VmRSS) of the descendants of `rootPid`, found level by level from one
// snapshot of every process's parent: the children, then their children, and so on, stopping
// after the level at which `cap` or more processes have been collected, or at an empty level.
// A process that ended meanwhile adds nothing. -1 when the process list cannot be read.
juce::int64 descendantResidentBytes (int rootPid, int cap = 65);

enum class DriveType { unknown, fixed, removable, optical, network, ram };

struct DriveInfo
{
    DriveType type = DriveType::unknown;
    juce::int64 freeBytes = -1;  // bytes available to this user, -1 when unknown
    juce::int64 totalBytes = -1; // size of the volume, -1 when unknown
    juce::String mountPoint;
    juce::String fileSystem;
};

// What kind of drive holds `path`. A path that does not exist yet is answered for the mount
// that holds its nearest existing ancestor.
DriveInfo driveInfoFor (const juce::File& path);

// Tests replace the probe (a removable drive cannot be plugged in on demand); pass nullptr to restore.
void setDriveInfoProbeForTesting (std::function<DriveInfo (const juce::File&)> probe);

const char* driveTypeName (DriveType);
} // namespace quorvelle::platform
