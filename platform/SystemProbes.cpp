#include "platform/SystemProbes.h"

#include <dirent.h>
#include <sys/statvfs.h>
#include <unistd.h>

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
    auto* procDir = opendir ("/proc");
    if (procDir == nullptr)
        return result;

    while (auto* entry = readdir (procDir))
    {
        const juce::String name (entry->d_name);
        if (name.isEmpty() || ! name.containsOnly ("0123456789"))
            continue;
        const auto dir = juce::File ("/proc").getChildFile (name);

        auto stat = readLines (dir.getChildFile ("stat").getFullPathName()).joinIntoString ("\n");
        // pid (comm) state ppid ... ; comm may contain spaces and parentheses, so split at the last ')'.
        auto close = stat.lastIndexOfChar (')');
        if (close < 0)
            continue;
        auto fields = juce::StringArray::fromTokens (stat.substring (close + 1).trim(), " ", "");
        if (fields.size() < 2 || fields[1].getIntValue() != parentPid)
            continue;

        ChildProcess child;
        child.pid = name.getIntValue();
        child.name = stat.substring (stat.indexOfChar ('(') + 1, close);
        child.residentBytes = kilobytesField (readLines (dir.getChildFile ("status").getFullPathName()), "VmRSS:");
        result.push_back (child);
    }
    closedir (procDir);
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
