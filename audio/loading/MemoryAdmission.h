// Memory admission of decoded audio: whether a preload or an offline stretch fits in the free
// physical memory with a reserve left over, and with how many stretch workers.
//
// Threads: pure functions without state; any thread. Byte counts of -1 for free memory mean
// "unknown", and an unknown amount never refuses anything.
#pragma once

#include <cstdint>

namespace quorvelle
{
namespace admission
{
inline constexpr int64_t mebibyte = 1048576;
// Free memory that must remain after the work: 600 MiB, or 12 % of physical memory when more.
inline constexpr int64_t reserveFloorBytes = 600 * mebibyte;
inline constexpr double physicalMemoryShare = 0.12;
inline constexpr int64_t estimateCapBytes = int64_t (1) << 40;
inline constexpr int copiesPerStretchWorker = 3;
inline constexpr double stretchRatioCap = 4.0;
// The preload estimate assumes stereo at 44.1 kHz whatever the files are.
inline constexpr int preloadEstimateRate = 44100;
inline constexpr int preloadEstimateChannels = 2;
inline constexpr double headOnlyFallbackSeconds = 30.0;
} // namespace admission

struct PreloadMemoryRequest
{
    int64_t neededBytes = 0;
    int64_t availableBytes = -1;     // -1: unknown
    int64_t totalPhysicalBytes = 0;  // 0 or less: unknown
};

struct PreloadMemoryCheck
{
    bool admitted = false;
    bool lowMemory = false;          // refused for lack of memory
    int64_t reserveBytes = 0;
    int64_t remainingBytes = -1;     // free memory left after the work, -1 unknown
};

struct MemoryAdmission
{
    bool admitted = false;
    int32_t workers = 1;             // the worker count that fits
    int64_t neededBytes = 0;         // memory counted with that worker count
    int64_t reserveBytes = admission::reserveFloorBytes;
    int64_t remainingBytes = -1;
};

// trackCount × seconds × sampleRate × channels × (4 or 2) bytes, capped at 2^40; 0 for any input
// that is not positive.
int64_t estimateDecodedBytes (int trackCount, double seconds, int sampleRate, int channels, bool asFloat);

PreloadMemoryCheck checkPreloadMemory (const PreloadMemoryRequest& request);

// `totalBytes` is the whole song decoded, `peakBytesPerWorker` the one track a worker holds,
// `ratio` how much longer the stretched audio is. The preload's admission never counts less than
// the original audio; the job's counts a speed-up as shorter audio. Both cap the ratio at 4.
MemoryAdmission admitStretchPreload (int64_t totalBytes, int64_t peakBytesPerWorker, int workers, double ratio, int64_t availableBytes);
MemoryAdmission admitStretchJob (int64_t totalBytes, int64_t peakBytesPerWorker, int workers, double ratio, int64_t availableBytes);

// The physical memory the admission reckons with: the whole MiB of `memTotalBytes` plus one, in
// bytes; 0 when `memTotalBytes` is unknown (0 or less).
int64_t admissionTotalPhysicalBytes (int64_t memTotalBytes);

// Megabytes in logs and events: bytes / 1 MiB truncated toward zero (so -1 shows as 0).
int64_t bytesToLogMb (int64_t bytes);

// What a preload request brings to its admission.
struct PreloadAdmissionInput
{
    int trackCount = 0;
    double durationSec = 0.0, bpm = 120.0, stretchBpm = 0.0, stretchSemitones = 0.0;
    bool cacheOnly = false, headOnly = false;
    double headLengthSec = 4.0;
    int64_t availableBytes = -1, totalPhysicalBytes = 0;
    int hardwareThreads = 1;
};

// The admission of one preload request: start it (possibly degraded to a 30 s head) or skip it
// with the figures of the PRELOAD_SKIPPED report.
struct PreloadAdmissionDecision
{
    bool start = true;
    bool degradedToHeadOnly = false;   // start with headOnly, head from -1, 30 s long
    int stretchWorkers = 4;
    // The skip's figures, and the head-only fallback's log figures.
    int64_t estimatedBytes = 0, availableBytes = -1, reserveBytes = 0, headBytes = 0;
};

PreloadAdmissionDecision decidePreloadAdmission (const PreloadAdmissionInput& input);
} // namespace quorvelle
