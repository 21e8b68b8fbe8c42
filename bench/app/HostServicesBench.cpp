// Host services against outside tools, each pair measured in this one run (median of several):
// - download and verify a 100 MB package from 127.0.0.1 (qvu_download_updates: fetch, SHA-256,
//   checked write and unpack) against `curl -o` followed by `sha256sum` of the same file;
// - the descendant scan over 64 descendants against `ps -e -o pid=,ppid=,rss=`;
// - one metrics snapshot, in microseconds;
// - metrics log lines per second (flushed per line, which is an fsync here) beside `cat >>` of the
//   same lines.
#include "app/MetricsCollector.h"
#include "platform/SystemProbes.h"
#include "platform/UpdateLibrary.h"
#include "platform/VirtualAudioDevice.h"
#include "tests/app/UpdateTestSupport.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <csignal>
#include <random>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace
{
using namespace quorvelle;
using Clock = std::chrono::steady_clock;

double secondsOf (const std::function<void()>& body)
{
    const auto start = Clock::now();
    body();
    return std::chrono::duration<double> (Clock::now() - start).count();
}

double median (std::vector<double> values)
{
    std::sort (values.begin(), values.end());
    return values[values.size() / 2];
}

// Runs a shell command line and waits for it; its output goes where the line sends it.
int run (const std::string& commandLine)
{
    const char* argv[] = { "/bin/sh", "-c", commandLine.c_str(), nullptr };
    pid_t pid = -1;
    if (posix_spawn (&pid, "/bin/sh", nullptr, nullptr, const_cast<char**> (argv), environ) != 0)
        return -1;
    int status = 0;
    waitpid (pid, &status, 0);
    return WIFEXITED (status) ? WEXITSTATUS (status) : -1;
}

void downloadAndVerify (const juce::File& work)
{
    const auto feed = work.getChildFile ("feed");
    const auto install = work.getChildFile ("install");
    feed.createDirectory();
    install.createDirectory();

    juce::MemoryBlock payload (100u << 20);
    std::mt19937 random (7);
    for (size_t i = 0; i < payload.getSize() / 4; ++i)
        static_cast<uint32_t*> (payload.getData())[i] = random();
    const auto package = feed.getChildFile ("package.zip");
    test::writeStoredZip (package, { { "quorvelle", payload, 0755 } });
    test::writeManifest (feed, "9.0.0", package);
    test::LoopbackFileServer server (feed);

    const auto installPath = install.getFullPathName().toStdString();
    const qvu_UpdateLocator locator { installPath.c_str(), "1.0.0" };
    qvu_UpdateManagerHandle handle = nullptr;
    if (! qvu_new_update_manager (server.url().toRawUTF8(), nullptr, &locator, &handle))
        return;
    qvu_UpdateInfo* info = nullptr;
    if (qvu_check_for_updates (handle, &info) != 0)
        return;

    const auto curlTarget = work.getChildFile ("curl-package.zip").getFullPathName().toStdString();
    const auto curlLine = "curl -s -o '" + curlTarget + "' '" + server.url().toStdString() + "/package.zip' && sha256sum '" + curlTarget + "' > /dev/null";
    std::vector<double> ours, theirs;
    bool ok = true;
    for (int round = 0; round < 5; ++round)
    {
        ours.push_back (secondsOf ([&] { ok = qvu_download_updates (handle, info, nullptr, nullptr) && ok; }));
        theirs.push_back (secondsOf ([&] { ok = run (curlLine) == 0 && ok; }));
    }
    qvu_free_update_info (info);
    qvu_free_update_manager (handle);

    const double mb = (double) package.getSize() / 1e6;
    std::printf ("download+verify %.0f MB: ours %.3f s (%.0f MB/s, incl. unpack), curl -o + sha256sum %.3f s (%.0f MB/s): ratio %.2fx%s\n", mb,
                 median (ours), mb / median (ours), median (theirs), mb / median (theirs), median (theirs) / median (ours), ok ? "" : " (A RUN FAILED)");
}

void treeScan()
{
    std::vector<pid_t> shells;
    for (int i = 0; i < 32; ++i)
    {
        // Each shell leads a process group of its own, so it ends with its sleep by its id.
        const char* argv[] = { "/bin/sh", "-c", "sleep 120; :", nullptr };
        posix_spawnattr_t attributes;
        posix_spawnattr_init (&attributes);
        posix_spawnattr_setflags (&attributes, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup (&attributes, 0);
        pid_t pid = -1;
        posix_spawn (&pid, "/bin/sh", nullptr, &attributes, const_cast<char**> (argv), environ);
        posix_spawnattr_destroy (&attributes);
        shells.push_back (pid);
    }
    for (int attempt = 0; attempt < 2000; ++attempt)
    {
        size_t withChild = 0;
        for (auto pid : shells)
            withChild += platform::childProcesses (pid).size() == 1 ? 1 : 0;
        if (withChild == shells.size())
            break;
        juce::Thread::sleep (5);
    }

    std::vector<double> ours, theirs;
    juce::int64 bytes = 0;
    for (int round = 0; round < 21; ++round)
    {
        ours.push_back (secondsOf ([&] { bytes = platform::descendantResidentBytes ((int) getpid()); }));
        theirs.push_back (secondsOf ([] { run ("ps -e -o pid=,ppid=,rss= > /dev/null"); }));
    }
    std::printf ("tree scan, 64 descendants (%lld bytes): ours %.3f ms, ps -e -o pid=,ppid=,rss= %.3f ms: ratio %.2fx\n", (long long) bytes,
                 median (ours) * 1e3, median (theirs) * 1e3, median (theirs) / median (ours));

    for (auto pid : shells)
    {
        kill (-pid, SIGKILL);
        waitpid (pid, nullptr, 0);
    }
}

void snapshot (const juce::File& work)
{
    platform::VirtualAudioDevices::instance().reset();
    juce::AudioDeviceManager manager;
    manager.addAudioDeviceType (platform::createVirtualAudioDeviceType());
    manager.setCurrentAudioDeviceType ("Virtual", true);
    manager.initialise (0, 2, nullptr, false, "Virtual 2");

    MetricsEngineView view;
    view.currentDevice = [&] { return manager.getCurrentAudioDevice(); };
    view.lastCallbackMicros = [] { return (juce::int64) 1500; };
    view.memoryUsage = [] { return EngineMemoryUsage {}; };
    view.busStretchRatios = [] { return std::vector<BusStretchRatio> { { "drums", 1.05f }, { "bass", 1.0f } }; };
    MetricsCollector collector (view, nullptr, work.getChildFile ("logs"));
    const int count = 800;
    const double total = secondsOf ([&] {
        for (int i = 0; i < count; ++i)
            collector.buildSnapshot();
    });
    std::printf ("one snapshot (tree scan every 8th, as the timer runs it): %.1f us\n", total / count * 1e6);
    manager.closeAudioDevice();
}

void metricsLines (const juce::File& work)
{
    // JUCE's flush on Linux is an fsync: each line waits for the disk, so a few thousand lines do.
    const int count = 2000;
    std::string lines;
    std::vector<juce::String> each;
    for (int i = 0; i < count; ++i)
    {
        each.push_back ("{\"t\":" + juce::String (i) + ",\"kind\":\"frame\",\"ms\":16.7,\"dropped\":0}");
        lines += each.back().toStdString() + "\n";
    }
    const auto source = work.getChildFile ("lines.jsonl");
    source.replaceWithData (lines.data(), lines.size());

    const auto logs = work.getChildFile ("logs-lines");
    MetricsCollector collector ({}, nullptr, logs);
    const double ours = secondsOf ([&] {
        for (const auto& line : each)
            collector.appendJsonlLine (line);
    });
    const auto target = work.getChildFile ("cat.jsonl").getFullPathName().toStdString();
    const double theirs = secondsOf ([&] { run ("cat '" + source.getFullPathName().toStdString() + "' >> '" + target + "'"); });
    std::printf ("metrics log: %.0f lines/s flushed per line; cat >> of the same lines %.0f lines/s (one write burst)\n", count / ours, count / theirs);
}
} // namespace

int main()
{
    std::setvbuf (stdout, nullptr, _IOLBF, 0);
    juce::ScopedJuceInitialiser_GUI juce;
    const auto work = juce::File::createTempFile ("host-bench");
    work.createDirectory();
    downloadAndVerify (work);
    treeScan();
    snapshot (work);
    metricsLines (work);
    work.deleteRecursively();
    return 0;
}
