// Upload and download throughput and memory of the cloud workers against a mock back end on
// 127.0.0.1, each beside curl moving the same bytes to the same mock in the same run; and the cost
// of one queue update (a whole-file rewrite) beside `jq . upload-queue.json > out`.
// Run it inside the test launcher (own network namespace): scripts/test-launcher.sh build/bench/quorvelle_cloud_bench
#include "net/cloud/DownloadWorker.h"
#include "net/cloud/UploadQueue.h"
#include "net/cloud/UploadWorker.h"

#include <benchmark/benchmark.h>
#include <juce_events/juce_events.h>

#include <chrono>
#include <fstream>
#include <thread>
#include "bench/JuceBenchmarkMain.h"

namespace
{
using namespace quorvelle;
using Clock = std::chrono::steady_clock;

juce::File scratch()
{
    static const auto folder = juce::File::createTempFile ("cloud-bench");
    folder.createDirectory();
    return folder;
}

// The Python mock, started once; its port.
int mockPort()
{
    static juce::ChildProcess process;
    static int port = [] {
        const juce::File script (QUORVELLE_CLOUD_BENCH_MOCK);
        if (! process.start (juce::StringArray { "python3", script.getFullPathName() }, juce::ChildProcess::wantStdOut))
            return 0;
        juce::String line;
        char c;
        while (process.readProcessOutput (&c, 1) == 1 && c != '\n')
            line += c;
        return line.getIntValue();
    }();
    return port;
}

juce::String baseUrl() { return "http://127.0.0.1:" + juce::String (mockPort()); }

juce::int64 statusKb (const char* key)
{
    std::ifstream in ("/proc/self/status");
    std::string line;
    while (std::getline (in, line))
        if (line.rfind (key, 0) == 0)
            return std::stoll (line.substr (std::strlen (key)));
    return 0;
}

// Resets the peak so that VmHWM afterwards is the peak of what follows.
void resetPeak()
{
    std::ofstream ("/proc/self/clear_refs") << "5";
}

juce::File fileOfSize (juce::int64 bytes)
{
    const auto file = scratch().getChildFile ("upload-" + juce::String (bytes) + ".bin");
    if (file.getSize() != bytes)
    {
        juce::FileOutputStream out (file);
        out.setPosition (0);
        out.truncate();
        juce::HeapBlock<char> block (1 << 20);
        std::fill (block.get(), block.get() + (1 << 20), 'u');
        for (juce::int64 left = bytes; left > 0; left -= 1 << 20)
            out.write (block.get(), (size_t) std::min<juce::int64> (left, 1 << 20));
    }
    return file;
}

double runCurl (const juce::StringArray& args)
{
    const auto start = Clock::now();
    juce::ChildProcess curl;
    if (! curl.start (args, 0))
        return -1;
    curl.waitForProcessToFinish (600000);
    return std::chrono::duration<double> (Clock::now() - start).count();
}

void waitUntil (const std::function<bool()>& condition)
{
    const auto deadline = Clock::now() + std::chrono::minutes (5);
    while (! condition() && Clock::now() < deadline)
        std::this_thread::sleep_for (std::chrono::milliseconds (2));
}

// Our rate, curl's, their ratio (above 1: we are faster) and how far the peak RSS rose.
void reportTransfer (benchmark::State& state, juce::int64 bytes, double ourSeconds, double curlSeconds, double rssGrowthMb)
{
    const auto mb = (double) bytes / (1 << 20);
    state.counters["ours_MBps"] = mb / ourSeconds;
    state.counters["curl_MBps"] = mb / curlSeconds;
    state.counters["ratio_vs_curl"] = curlSeconds / ourSeconds;
    state.counters["peak_rss_growth_MB"] = rssGrowthMb;
}

void BM_Upload (benchmark::State& state)
{
    const auto bytes = state.range (0) << 20;
    const auto file = fileOfSize (bytes);
    double ours = 0, theirs = 0, rssGrowthMb = 0;
    for (auto _ : state)
    {
        theirs = runCurl ({ "curl", "-s", "-o", "/dev/null", "-H", "Content-Type: application/octet-stream", "--data-binary",
                            "@" + file.getFullPathName(), baseUrl() + "/functions/v1/audio-upload" });

        const auto folder = scratch().getChildFile ("queue-" + juce::String (bytes));
        folder.deleteRecursively();
        UploadQueue queue (folder.getChildFile ("upload-queue.json"));
        UploadWorker worker (&queue);
        UploadJob job;
        job.contentHash = "h";
        job.localPath = file.getFullPathName();
        job.workspaceId = "w";
        job.trackId = "t";
        queue.enqueue (job);
        const auto id = queue.snapshot()[0].jobId;

        const auto rssBefore = statusKb ("VmRSS:");
        resetPeak();
        const auto start = Clock::now();
        worker.setConfig (baseUrl(), "key", "tok");
        waitUntil ([&] { UploadJob j; return queue.find (id, j) && (j.status == UploadJobStatus::DONE || j.status == UploadJobStatus::FAILED); });
        ours = std::chrono::duration<double> (Clock::now() - start).count();
        rssGrowthMb = (double) (statusKb ("VmHWM:") - rssBefore) / 1024.0;
        UploadJob j;
        if (! queue.find (id, j) || j.status != UploadJobStatus::DONE)
            state.SkipWithError ("upload failed");
    }
    reportTransfer (state, bytes, ours, theirs, rssGrowthMb);
}
BENCHMARK (BM_Upload)->Arg (64)->Arg (256)->Iterations (1)->Unit (benchmark::kMillisecond)->UseRealTime();

void BM_Download (benchmark::State& state)
{
    const auto bytes = state.range (0) << 20;
    double ours = 0, theirs = 0, theirsSynced = 0, rssGrowthMb = 0;
    for (auto _ : state)
    {
        const auto curlTarget = scratch().getChildFile ("curl-download.bin");
        theirs = runCurl ({ "curl", "-s", "-o", curlTarget.getFullPathName(), baseUrl() + "/files/" + juce::String (bytes) });
        if (curlTarget.getSize() != bytes)
            state.SkipWithError ("curl download incomplete");
        curlTarget.deleteFile();
        // The worker flushes the file to disk before it renames it into place; curl -o does not.
        theirsSynced = runCurl ({ "sh", "-c", "curl -s -o '" + curlTarget.getFullPathName() + "' '" + baseUrl() + "/files/" + juce::String (bytes)
                                                 + "' && sync '" + curlTarget.getFullPathName() + "'" });
        curlTarget.deleteFile();

        const auto root = scratch().getChildFile ("root");
        root.deleteRecursively();
        root.createDirectory();
        DownloadWorker worker ([root] { return root; });
        DownloadJob job;
        job.audioFileId = juce::String (bytes);
        job.songId = "s";
        job.trackId = "t";
        job.expectedBytes = bytes;
        const auto target = root.getChildFile ("Songs/s/t.flac");

        const auto rssBefore = statusKb ("VmRSS:");
        resetPeak();
        const auto start = Clock::now();
        worker.setConfig (baseUrl(), "key", "tok");
        worker.enqueue (job);
        waitUntil ([&] { return target.getSize() == bytes; });
        ours = std::chrono::duration<double> (Clock::now() - start).count();
        rssGrowthMb = (double) (statusKb ("VmHWM:") - rssBefore) / 1024.0;
        if (target.getSize() != bytes)
            state.SkipWithError ("download incomplete");
    }
    reportTransfer (state, bytes, ours, theirs, rssGrowthMb);
    state.counters["curl_fsync_MBps"] = (double) bytes / (1 << 20) / theirsSynced;
    state.counters["ratio_vs_curl_fsync"] = theirsSynced / ours;
}
BENCHMARK (BM_Download)->Arg (256)->Iterations (1)->Unit (benchmark::kMillisecond)->UseRealTime();

// One status update rewrites the whole file; beside it, jq reading and re-printing that file.
void BM_QueueUpdate (benchmark::State& state)
{
    const auto count = (int) state.range (0);
    const auto folder = scratch().getChildFile ("bench-queue-" + juce::String (count));
    folder.deleteRecursively();
    // The jobs are written as one file and loaded: enqueuing them one by one would rewrite it each time.
    juce::Array<juce::var> jobs;
    for (int i = 0; i < count; ++i)
    {
        UploadJob job;
        job.jobId = juce::Uuid().toDashedString();
        job.contentHash = "hash-" + juce::String (i);
        job.localPath = "/home/user/Music/Quorvelle/Songs/song-" + juce::String (i) + "/stem.flac";
        job.workspaceId = "workspace";
        job.trackId = "track-" + juce::String (i);
        job.sizeBytes = 12345678;
        job.createdAt = job.updatedAt = 1'700'000'000'000 + i;
        jobs.add (job.toVar());
    }
    folder.createDirectory();
    folder.getChildFile ("upload-queue.json").replaceWithText (juce::JSON::toString (juce::var (jobs)));
    UploadQueue queue (folder.getChildFile ("upload-queue.json"));
    const auto id = queue.snapshot()[0].jobId;

    int progress = 0;
    for (auto _ : state)
        queue.updateStatus (id, UploadJobStatus::UPLOADING, (progress++) % 100, {});

    const auto out = folder.getChildFile ("out.json");
    double jqSeconds = 0;
    const int jqRuns = 5;
    for (int i = 0; i < jqRuns; ++i)
        jqSeconds += runCurl ({ "sh", "-c", "jq . '" + folder.getChildFile ("upload-queue.json").getFullPathName() + "' > '" + out.getFullPathName() + "'" });
    state.counters["jq_ms"] = jqSeconds / jqRuns * 1000.0;
    state.counters["file_KB"] = (double) folder.getChildFile ("upload-queue.json").getSize() / 1024.0;
}
BENCHMARK (BM_QueueUpdate)->Arg (10)->Arg (1000)->Arg (10000)->Unit (benchmark::kMillisecond)->UseRealTime();
} // namespace

int main (int argc, char** argv)
{
    return quorvelle::bench::runWithJuce (argc, argv);
}
