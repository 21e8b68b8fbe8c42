#include "app/MetricsCollector.h"
#include "platform/SystemProbes.h"
#include "platform/VirtualAudioDevice.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace quorvelle::test
{
namespace
{
using platform::VirtualAudioDevices;

// A device manager with the "Virtual 2" device open at 48 kHz / 512.
struct VirtualDevice
{
    VirtualDevice()
    {
        VirtualAudioDevices::instance().reset();
        manager.addAudioDeviceType (platform::createVirtualAudioDeviceType());
        manager.setCurrentAudioDeviceType ("Virtual", true);
        juce::AudioDeviceManager::AudioDeviceSetup setup;
        setup.outputDeviceName = "Virtual 2";
        setup.sampleRate = 48000.0;
        setup.bufferSize = 512;
        error = manager.initialise (0, 2, nullptr, false, "Virtual 2", &setup);
        if (error.isEmpty())
            error = manager.setAudioDeviceSetup (setup, true);
    }
    ~VirtualDevice() { manager.closeAudioDevice(); }

    juce::AudioDeviceManager manager;
    juce::String error;
};

juce::StringArray keysOf (const juce::var& object)
{
    juce::StringArray keys;
    if (auto* o = object.getDynamicObject())
        for (const auto& property : o->getProperties())
            keys.add (property.name.toString());
    return keys;
}

// The VmRSS that /proc/<pid>/status reports, in bytes.
juce::int64 statusResidentBytes (int pid)
{
    const auto lines = juce::StringArray::fromLines (juce::File ("/proc/" + juce::String (pid) + "/status").loadFileAsString());
    for (const auto& line : lines)
        if (line.startsWith ("VmRSS:"))
            return line.fromFirstOccurrenceOf (":", false, false).trim().getLargeIntValue() * 1024;
    return 0;
}

// Children of this test started as "sleep" or as a shell that waits on a sleeping grandchild.
class ProcessTree
{
public:
    ~ProcessTree()
    {
        for (const int pid : pids)
        {
            ::kill (-pid, SIGKILL);
            int status = 0;
            ::waitpid (pid, &status, 0);
        }
    }

    // A child that runs `command` through the shell, in a process group of its own.
    int start (const char* command)
    {
        posix_spawnattr_t attributes;
        posix_spawnattr_init (&attributes);
        posix_spawnattr_setflags (&attributes, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup (&attributes, 0);
        const char* argv[] = { "/bin/sh", "-c", command, nullptr };
        pid_t pid = -1;
        posix_spawn (&pid, "/bin/sh", nullptr, &attributes, const_cast<char**> (argv), environ);
        posix_spawnattr_destroy (&attributes);
        if (pid > 0)
            pids.push_back (pid);
        return pid;
    }

    std::vector<int> pids;
};

// Waits until every pid has exactly `count` children; true when they do.
bool waitForChildren (const std::vector<int>& parents, size_t count)
{
    for (int attempt = 0; attempt < 2000; ++attempt)
    {
        bool all = true;
        for (const int parent : parents)
            all = all && platform::childProcesses (parent).size() == count;
        if (all)
            return true;
        juce::Thread::sleep (5);
    }
    return false;
}
} // namespace

TEST (MetricsCollector, SnapshotCarriesItsKeysInOrderAndOnlyStretchedBuses)
{
    VirtualDevice device;
    ASSERT_EQ (device.error, "");
    VirtualAudioDevices::instance().setXRunCount ("Virtual 2", 3);

    const struct
    {
        float drums, bass;
        bool listed;
    } cases[] = { { 1.0005f, 0.9995f, false }, { 1.0005f, 1.001f, true }, { 1.0f, 0.999f, true } };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (testing::Message() << c.drums << " " << c.bass);
        MetricsEngineView view;
        view.currentDevice = [&] { return device.manager.getCurrentAudioDevice(); };
        view.lastCallbackMicros = [] { return (juce::int64) 2000; };
        view.memoryUsage = [] { return EngineMemoryUsage { 1, 2, 3, 4, 5, 6, 7, 8 }; };
        view.busStretchRatios = [&] { return std::vector<BusStretchRatio> { { "drums", c.drums }, { "bass", c.bass } }; };
        TempFolder temp;
        MetricsCollector collector (view, nullptr, temp / "logs");

        const auto snapshot = collector.buildSnapshot();
        juce::String expected = "action,xruns,sampleRate,bufferSize,callbackMicros,callbackBudgetPct,workingSetBytes,privateBytes,"
                                "pageFaultCount,availPhysBytes,memoryLoadPct,webviewTreeBytes,memTracksBytes,memTracksOrigBytes,"
                                "memPadsBytes,memPadRingBytes,memPreloadBytes,memTranscoderBytes,memCueBytes,memOverlayBytes";
        if (c.listed)
            expected << ",bpmRatios";
        EXPECT_EQ (keysOf (snapshot).joinIntoString (","), expected);

        EXPECT_EQ (snapshot["action"].toString(), "METRICS_NATIVE_SNAPSHOT");
        EXPECT_EQ ((int) snapshot["xruns"], 3);
        EXPECT_EQ ((double) snapshot["sampleRate"], 48000.0);
        EXPECT_EQ ((int) snapshot["bufferSize"], 512);
        EXPECT_EQ ((int) snapshot["callbackMicros"], 2000);
        EXPECT_NEAR ((double) snapshot["callbackBudgetPct"], 2000.0 / (512.0 / 48000.0 * 1e6) * 100.0, 1e-9);
        EXPECT_GT ((juce::int64) snapshot["workingSetBytes"], 0);
        EXPECT_GT ((juce::int64) snapshot["pageFaultCount"], 0);
        const auto load = (int) snapshot["memoryLoadPct"];
        EXPECT_TRUE (load >= 0 && load <= 100) << load;
        EXPECT_EQ ((juce::int64) snapshot["webviewTreeBytes"], 0); // no children
        EXPECT_EQ ((juce::int64) snapshot["memCueBytes"], 7);
        if (c.listed)
        {
            ASSERT_EQ (snapshot["bpmRatios"].size(), 1);
            const auto entry = snapshot["bpmRatios"][0];
            EXPECT_EQ (entry["busId"].toString(), "bass");
            EXPECT_NEAR ((double) entry["ratio"], c.bass, 1e-6);
        }
    }
}

TEST (MetricsCollector, MemoryLoadIsTruncatedAsAWhole)
{
    const struct
    {
        juce::int64 available, total;
        int expected;
    } cases[] = { { 445, 1000, 55 }, { 1000, 1000, 0 }, { 0, 1000, 100 }, { 999, 1000, 0 }, { 1, 1000, 99 }, { 1, 3, 66 } };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (testing::Message() << c.available << "/" << c.total);
        EXPECT_EQ (MetricsCollector::memoryLoadPercent (c.available, c.total), c.expected);
    }
}

TEST (MetricsCollector, NoDeviceNoSnapshotAndNoCallbackTimeNoBudget)
{
    VirtualDevice device;
    ASSERT_EQ (device.error, "");
    TempFolder temp;
    int sent = 0;
    juce::AudioIODevice* current = nullptr;
    MetricsEngineView view;
    view.currentDevice = [&] { return current; };
    MetricsCollector collector (view, [&] (const juce::var&) { ++sent; }, temp / "logs");

    collector.timerCallback();
    EXPECT_EQ (sent, 0);
    EXPECT_TRUE (collector.buildSnapshot().isVoid());

    current = device.manager.getCurrentAudioDevice();
    collector.timerCallback();
    EXPECT_EQ (sent, 1);
    // Without the engine's figures their keys stay out.
    const auto keys = keysOf (collector.buildSnapshot());
    EXPECT_FALSE (keys.contains ("callbackMicros"));
    EXPECT_FALSE (keys.contains ("callbackBudgetPct"));
    EXPECT_FALSE (keys.contains ("memTracksBytes"));
    EXPECT_FALSE (keys.contains ("bpmRatios"));
}

TEST (MetricsCollector, IntervalFollowsTheActiveFlagAndAnEarlyFlagWaitsForTheStart)
{
    TempFolder temp;
    MetricsCollector collector ({}, nullptr, temp / "logs");
    collector.setActive (true);
    EXPECT_FALSE (collector.isTimerRunning());
    collector.start();
    EXPECT_EQ (collector.getTimerInterval(), MetricsCollector::activeIntervalMs);
    collector.setActive (false);
    EXPECT_EQ (collector.getTimerInterval(), 2000);
    collector.setActive (true);
    EXPECT_EQ (collector.getTimerInterval(), 250);

    MetricsCollector idle ({}, nullptr, temp / "logs");
    idle.start();
    EXPECT_EQ (idle.getTimerInterval(), 2000);
}

TEST (MetricsCollector, TreeScanSumsChildrenAndGrandchildren)
{
    ProcessTree tree;
    const int sleeper = tree.start ("exec sleep 60");
    const int shell = tree.start ("sleep 60; :");
    ASSERT_GT (sleeper, 0);
    ASSERT_GT (shell, 0);
    ASSERT_TRUE (waitForChildren ({ shell }, 1));
    ASSERT_TRUE (waitForChildren ({ sleeper }, 0));
    const int grandchild = platform::childProcesses (shell)[0].pid;

    // Sleeping processes keep their resident size; read both sides until they agree.
    juce::int64 expected = 0, scanned = -1;
    for (int attempt = 0; attempt < 50 && scanned != expected; ++attempt)
    {
        expected = statusResidentBytes (sleeper) + statusResidentBytes (shell) + statusResidentBytes (grandchild);
        scanned = platform::descendantResidentBytes ((int) ::getpid());
    }
    EXPECT_GT (expected, 0);
    EXPECT_EQ (scanned, expected);
}

TEST (MetricsCollector, TreeScanStopsAfterTheLevelThatReachesTheCap)
{
    ProcessTree tree;
    for (int i = 0; i < 66; ++i)
        ASSERT_GT (tree.start ("sleep 60; :"), 0);
    ASSERT_TRUE (waitForChildren (tree.pids, 1));

    juce::int64 firstLevel = 0, scanned = -1;
    for (int attempt = 0; attempt < 50 && scanned != firstLevel; ++attempt)
    {
        firstLevel = 0;
        for (const int pid : tree.pids)
            firstLevel += statusResidentBytes (pid);
        scanned = platform::descendantResidentBytes ((int) ::getpid());
    }
    EXPECT_EQ (scanned, firstLevel);
}

TEST (MetricsCollector, LogRotatesAfterThirtyTwoLinesAtFiftyMegabytes)
{
    TempFolder temp;
    const auto logs = temp / "logs";
    MetricsCollector collector ({}, nullptr, logs);
    ASSERT_TRUE (collector.getRotatedLogFile().replaceWithText ("older\n", false, false, "\n"));
    {
        const int fd = ::open (collector.getLogFile().getFullPathName().toRawUTF8(), O_WRONLY | O_CREAT, 0644);
        ASSERT_GE (fd, 0);
        ASSERT_EQ (::ftruncate (fd, MetricsCollector::rotationBytes - 100), 0);
        ::close (fd);
    }

    juce::int64 written = MetricsCollector::rotationBytes - 100;
    for (int i = 1; i <= 31; ++i)
    {
        const auto line = "{\"n\":" + juce::String (i) + "}";
        collector.appendJsonlLine (line);
        written += line.length() + 1;
    }
    // Flushed after every line, and not yet rotated.
    EXPECT_EQ (collector.getLogFile().getSize(), written);
    EXPECT_EQ (collector.getRotatedLogFile().loadFileAsString(), "older\n");

    collector.appendJsonlLine ("{\"n\":32}");
    EXPECT_FALSE (collector.getLogFile().exists());
    const auto rotated = collector.getRotatedLogFile();
    EXPECT_EQ (rotated.getSize(), written + 9);
    juce::FileInputStream in (rotated);
    ASSERT_TRUE (in.setPosition (rotated.getSize() - 18));
    EXPECT_EQ (in.readEntireStreamAsString(), "{\"n\":31}\n{\"n\":32}\n");

    collector.appendJsonlLine ("{\"n\":33}");
    EXPECT_EQ (collector.getLogFile().loadFileAsString(), "{\"n\":33}\n");
}
} // namespace quorvelle::test
