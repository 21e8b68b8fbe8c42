#include "platform/SystemProbes.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

#include <fstream>
#include <mutex>

namespace quorvelle::platform
{
namespace
{
juce::int64 kilobytesField (const juce::StringArray& lines, const char* key)
{
    for (auto& line : lines)
        if (line.startsWith (key))
        {
            auto rest = line.fromFirstOccurrenceOf (":", false, false).trim();
            auto digits = rest.initialSectionContainingOnly ("0123456789");
            if (digits.isEmpty())
                return -1;
            return digits.getLargeIntValue() * 1024;
        }
    return -1;
}

juce::StringArray readLines (const juce::String& path)
{
    // /proc files report a size of 0, so they are read to their end rather than by length.
    juce::StringArray lines;
    std::ifstream in (path.toStdString());
    std::string line;
    while (std::getline (in, line))
        lines.add (juce::String::fromUTF8 (line.data(), (int) line.size()));
    return lines;
}

// Reads a small /proc file below `dirFd` whole into `buffer`; the length read, or -1.
ssize_t readSmallFile (int dirFd, const char* path, char* buffer, size_t capacity)
{
    const int fd = ::openat (dirFd, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    size_t total = 0;
    while (total < capacity)
    {
        const auto got = ::read (fd, buffer + total, capacity - total);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        total += (size_t) got;
    }
    ::close (fd);
    return (ssize_t) total;
}

// The parent pid from the text of /proc/<pid>/stat ("pid (comm) state ppid ..."; comm may hold
// spaces and parentheses, so the fields start after the last ')'), or -1.
int parentPidFromStat (const char* text, size_t length)
{
    const char* close = nullptr;
    for (size_t i = length; i > 0; --i)
        if (text[i - 1] == ')')
        {
            close = text + i - 1;
            break;
        }
    if (close == nullptr || close + 4 >= text + length)
        return -1;
    const char* field = close + 4; // ") S ppid"
    int ppid = -1;
    const auto result = std::from_chars (field, text + length, ppid);
    return result.ec == std::errc() ? ppid : -1;
}

// Every process's pid and parent pid, from one pass over /proc. False when /proc cannot be listed.
bool readParentTable (std::vector<std::pair<int, int>>& table)
{
    auto* procDir = ::opendir ("/proc");
    if (procDir == nullptr)
        return false;
    const int procFd = ::dirfd (procDir);
    char path[32], stat[1024];
    while (auto* entry = ::readdir (procDir))
    {
        int pid = 0;
        const auto nameLength = std::strlen (entry->d_name);
        const auto parsed = std::from_chars (entry->d_name, entry->d_name + nameLength, pid);
        if (parsed.ec != std::errc() || parsed.ptr != entry->d_name + nameLength)
            continue;
        std::snprintf (path, sizeof (path), "%d/stat", pid);
        const auto length = readSmallFile (procFd, path, stat, sizeof (stat));
        if (length <= 0)
            continue;
        const int ppid = parentPidFromStat (stat, (size_t) length);
        if (ppid >= 0)
            table.emplace_back (pid, ppid);
    }
    ::closedir (procDir);
    return true;
}

// VmRSS of one process from /proc/<pid>/statm (resident pages), or -1.
juce::int64 residentBytesOf (int pid)
{
    char path[32], statm[256];
    std::snprintf (path, sizeof (path), "/proc/%d/statm", pid);
    const auto length = readSmallFile (AT_FDCWD, path, statm, sizeof (statm));
    if (length <= 0)
        return -1;
    const char* end = statm + length;
    const char* space = std::find (static_cast<const char*> (statm), end, ' ');
    long long pages = 0;
    if (space == end || std::from_chars (space + 1, end, pages).ec != std::errc())
        return -1;
    return (juce::int64) pages * (juce::int64) ::sysconf (_SC_PAGESIZE);
}

std::mutex probeLock;
std::function<DriveInfo (const juce::File&)> probeOverride;

// Mount table entries from /proc/self/mountinfo: mount point, file system type, source.
struct MountEntry
{
    juce::String mountPoint, fsType, source;
};

juce::String decodeOctalEscapes (const juce::String& s)
{
    juce::String out;
    for (int i = 0; i < s.length(); ++i)
    {
        if (s[i] == '\\' && i + 3 < s.length() && s.substring (i + 1, i + 4).containsOnly ("01234567"))
        {
            auto t = s.substring (i + 1, i + 4);
            int v = (t[0] - '0') * 64 + (t[1] - '0') * 8 + (t[2] - '0');
            out << (juce::juce_wchar) v;
            i += 3;
            continue;
        }
        out << s[i];
    }
    return out;
}

std::vector<MountEntry> readMounts()
{
    std::vector<MountEntry> mounts;
    for (auto& line : readLines ("/proc/self/mountinfo"))
    {
        // id parent major:minor root mountpoint options [optional...] - fstype source superoptions
        auto left = line.upToFirstOccurrenceOf (" - ", false, false);
        auto right = line.fromFirstOccurrenceOf (" - ", false, false);
        auto l = juce::StringArray::fromTokens (left, " ", "");
        auto r = juce::StringArray::fromTokens (right, " ", "");
        if (l.size() < 5 || r.size() < 2)
            continue;
        mounts.push_back ({ decodeOctalEscapes (l[4]), r[0], decodeOctalEscapes (r[1]) });
    }
    return mounts;
}

bool isNetworkFileSystem (const juce::String& fs)
{
    static const char* const names[] = { "nfs", "nfs4", "cifs", "smb3", "smbfs", "ncpfs", "afs", "ceph",
                                         "glusterfs", "9p", "fuse.sshfs", "sshfs", "fuse.davfs", "davfs",
                                         "fuse.rclone", "fuse.glusterfs", "fuse.cephfs", "lustre", "gpfs" };
    for (auto* n : names)
        if (fs == n)
            return true;
    return false;
}

// For a block device path, the /sys/class/block folder of the whole disk.
juce::File sysDiskFolder (const juce::String& devicePath)
{
    auto dev = juce::File (devicePath);
    if (dev.isSymbolicLink())
        dev = dev.getLinkedTarget();
    auto node = juce::File ("/sys/class/block").getChildFile (dev.getFileName());
    if (! node.exists())
        return {};
    auto real = node.getLinkedTarget();
    if (real.getChildFile ("partition").existsAsFile())
        return real.getParentDirectory();
    return real;
}

DriveInfo probeDrive (const juce::File& path)
{
    DriveInfo info;
    auto existing = path;
    while (! existing.exists() && existing.getParentDirectory() != existing)
        existing = existing.getParentDirectory();

    struct statvfs sv {};
    if (statvfs (existing.getFullPathName().toRawUTF8(), &sv) == 0)
    {
        info.freeBytes = (juce::int64) sv.f_bavail * (juce::int64) sv.f_frsize;
        info.totalBytes = (juce::int64) sv.f_blocks * (juce::int64) sv.f_frsize;
    }

    // The mount that holds the path: the longest mount point that prefixes it (last one wins for stacked mounts).
    auto full = existing.getFullPathName();
    const MountEntry* best = nullptr;
    auto mounts = readMounts();
    for (auto& m : mounts)
    {
        const bool covers = m.mountPoint == "/" || full == m.mountPoint || full.startsWith (m.mountPoint + "/");
        if (covers && (best == nullptr || m.mountPoint.length() >= best->mountPoint.length()))
            best = &m;
    }
    if (best == nullptr)
        return info;

    info.mountPoint = best->mountPoint;
    info.fileSystem = best->fsType;

    if (isNetworkFileSystem (best->fsType) || best->source.startsWith ("//"))
        info.type = DriveType::network;
    else if (best->fsType == "iso9660" || best->fsType == "udf")
        info.type = DriveType::optical;
    else if (best->fsType == "tmpfs" || best->fsType == "ramfs")
        info.type = DriveType::ram;
    else if (best->source.startsWith ("/dev/"))
    {
        auto disk = sysDiskFolder (best->source);
        if (disk.getFileName().startsWith ("sr"))
            info.type = DriveType::optical;
        else if (disk.exists() && readLines (disk.getChildFile ("removable").getFullPathName()).joinIntoString ("").trim() == "1")
            info.type = DriveType::removable;
        else
            info.type = DriveType::fixed;
    }
    else
        info.type = DriveType::fixed;

    return info;
}
} // namespace

juce::int64 availablePhysicalMemoryBytes()
{
    return kilobytesField (readLines ("/proc/meminfo"), "MemAvailable:");
}

juce::int64 totalPhysicalMemoryBytes()
{
    return kilobytesField (readLines ("/proc/meminfo"), "MemTotal:");
}

juce::int64 pageFaultCount()
{
    rusage usage {};
    if (::getrusage (RUSAGE_SELF, &usage) != 0)
        return -1;
    return (juce::int64) usage.ru_minflt + (juce::int64) usage.ru_majflt;
}

juce::int64 descendantResidentBytes (int rootPid, int cap)
{
    std::vector<std::pair<int, int>> table;
    if (! readParentTable (table))
        return -1;

    std::unordered_multimap<int, int> childrenOf;
    childrenOf.reserve (table.size());
    for (const auto& [pid, ppid] : table)
        childrenOf.emplace (ppid, pid);

    std::vector<int> collected, level { rootPid };
    std::unordered_set<int> seen { rootPid };
    while (! level.empty() && (int) collected.size() < cap)
    {
        std::vector<int> next;
        for (const int parent : level)
        {
            const auto [first, last] = childrenOf.equal_range (parent);
            for (auto it = first; it != last; ++it)
                if (seen.insert (it->second).second)
                    next.push_back (it->second);
        }
        collected.insert (collected.end(), next.begin(), next.end());
        level = std::move (next);
    }

    juce::int64 total = 0;
    for (const int pid : collected)
        total += std::max<juce::int64> (0, residentBytesOf (pid));
    return total;
}

ProcessMemory currentProcessMemory()
{
    auto lines = readLines ("/proc/self/status");
    ProcessMemory m;
    m.residentBytes = kilobytesField (lines, "VmRSS:");
    m.peakResidentBytes = kilobytesField (lines, "VmHWM:");
    m.virtualBytes = kilobytesField (lines, "VmSize:");
    auto data = kilobytesField (lines, "VmData:");
    auto stack = kilobytesField (lines, "VmStk:");
    if (data >= 0)
        m.privateBytes = data + std::max<juce::int64> (0, stack);
    return m;
}

std::vector<ChildProcess> childProcesses (int parentPid)
{
    if (parentPid < 0)
        parentPid = (int) getpid();

    std::vector<ChildProcess> result;
    std::vector<std::pair<int, int>> table;
    if (! readParentTable (table))
        return result;

    for (const auto& [pid, ppid] : table)
    {
        if (ppid != parentPid)
            continue;
        ChildProcess child;
        child.pid = pid;
        child.name = readLines ("/proc/" + juce::String (pid) + "/comm").joinIntoString ("");
        child.residentBytes = residentBytesOf (pid);
        result.push_back (child);
    }
    return result;
}

DriveInfo driveInfoFor (const juce::File& path)
{
    {
        std::lock_guard<std::mutex> g (probeLock);
        if (probeOverride)
            return probeOverride (path);
    }
    return probeDrive (path);
}

void setDriveInfoProbeForTesting (std::function<DriveInfo (const juce::File&)> probe)
{
    std::lock_guard<std::mutex> g (probeLock);
    probeOverride = std::move (probe);
}

const char* driveTypeName (DriveType t)
{
    switch (t)
    {
        case DriveType::fixed:     return "fixed";
        case DriveType::removable: return "removable";
        case DriveType::optical:   return "optical";
        case DriveType::network:   return "network";
        case DriveType::ram:       return "ram";
        case DriveType::unknown:   break;
    }
    return "unknown";
}
} // namespace quorvelle::platform
