#include "platform/SystemProbes.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <sys/statvfs.h>

using namespace quorvelle::platform;

TEST (SystemProbes, MemoryFiguresArePlausible)
{
    const auto available = availablePhysicalMemoryBytes();
    ASSERT_GT (available, 0);

    const auto mine = currentProcessMemory();
    EXPECT_GT (mine.residentBytes, 0);
    EXPECT_GE (mine.peakResidentBytes, mine.residentBytes);
    EXPECT_GT (mine.virtualBytes, mine.residentBytes);
    EXPECT_GT (mine.privateBytes, 0);

    // Touching 64 MiB raises the resident size by about that much.
    std::vector<char> block (64 << 20, 1);
    const auto after = currentProcessMemory();
    EXPECT_GT (after.residentBytes - mine.residentBytes, 48 << 20);
    EXPECT_EQ (block[12345], 1);
}

TEST (SystemProbes, ChildProcessesAreFound)
{
    EXPECT_TRUE (childProcesses().empty());

    juce::ChildProcess child;
    ASSERT_TRUE (child.start (juce::StringArray { "sleep", "60" }));
    // The child shows its own name once it has exec'd (up to 20 s on a loaded machine).
    std::vector<ChildProcess> children;
    for (int i = 0; i < 2000; ++i)
    {
        children = childProcesses();
        if (children.size() == 1 && children[0].name == "sleep")
            break;
        juce::Thread::sleep (10);
    }
    child.kill();
    ASSERT_EQ (children.size(), 1u);
    EXPECT_EQ (children[0].name, "sleep");
    EXPECT_GT (children[0].pid, 1);
}

TEST (SystemProbes, DriveOfAMissingFolderIsThatOfItsNearestAncestor)
{
    quorvelle::test::TempFolder tmp;
    const auto existing = driveInfoFor (tmp.folder());
    const auto missing = driveInfoFor (tmp / "not/yet/made/Quorvelle");

    EXPECT_NE (existing.type, DriveType::unknown);
    EXPECT_NE (existing.type, DriveType::network);
    EXPECT_FALSE (existing.mountPoint.isEmpty());
    EXPECT_EQ (missing.mountPoint, existing.mountPoint);
    EXPECT_EQ (missing.fileSystem, existing.fileSystem);
    EXPECT_EQ (missing.type, existing.type);

    struct statvfs sv {};
    ASSERT_EQ (statvfs (tmp.folder().getFullPathName().toRawUTF8(), &sv), 0);
    const auto expectedFree = (juce::int64) sv.f_bavail * (juce::int64) sv.f_frsize;
    EXPECT_NEAR ((double) missing.freeBytes, (double) expectedFree, 64.0 * 1024 * 1024);

    // /proc is its own mount.
    const auto proc = driveInfoFor (juce::File ("/proc/self"));
    EXPECT_EQ (proc.mountPoint, "/proc");
    EXPECT_EQ (proc.fileSystem, "proc");
}

TEST (SystemProbes, TmpfsMountInTheTestNamespaceIsRam)
{
    // Tests run as root in their own namespaces; a private mount namespace keeps this mount local.
    if (unshare (CLONE_NEWNS) != 0)
        GTEST_SKIP() << "cannot make a mount namespace here";
    ASSERT_EQ (mount ("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
    quorvelle::test::TempFolder tmp;
    auto point = tmp / "ram disk";
    point.createDirectory();
    ASSERT_EQ (mount ("tmpfs", point.getFullPathName().toRawUTF8(), "tmpfs", 0, "size=1m"), 0);

    const auto info = driveInfoFor (point.getChildFile ("Quorvelle"));
    EXPECT_EQ (info.mountPoint, point.getFullPathName()) << "escaped space in the mount table is decoded";
    EXPECT_EQ (info.type, DriveType::ram);
    EXPECT_LE (info.freeBytes, 1 << 20);
    umount (point.getFullPathName().toRawUTF8());
}
