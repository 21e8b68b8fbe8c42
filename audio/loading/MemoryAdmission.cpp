#include "audio/loading/MemoryAdmission.h"

#include <algorithm>
#include <cmath>

namespace quorvelle
{
int64_t estimateDecodedBytes (int trackCount, double seconds, int sampleRate, int channels, bool asFloat)
{
    if (trackCount <= 0 || ! (seconds > 0.0) || sampleRate <= 0 || channels <= 0)
        return 0;

    const double bytes = (double) trackCount * seconds * (double) sampleRate * (double) channels * (asFloat ? 4.0 : 2.0);
    return (int64_t) std::min (bytes, (double) admission::estimateCapBytes);
}

PreloadMemoryCheck checkPreloadMemory (const PreloadMemoryRequest& request)
{
    PreloadMemoryCheck check;
    check.reserveBytes = admission::reserveFloorBytes;
    if (request.totalPhysicalBytes > 0)
        check.reserveBytes = std::max (check.reserveBytes, (int64_t) ((double) request.totalPhysicalBytes * admission::physicalMemoryShare));

    if (request.neededBytes <= 0)
    {
        check.admitted = true;
        check.remainingBytes = request.availableBytes >= 0 ? request.availableBytes : -1;
    }
    else if (request.availableBytes < 0)
    {
        check.admitted = true;
        check.remainingBytes = -1;
    }
    else
    {
        check.remainingBytes = request.availableBytes - request.neededBytes;
        check.admitted = check.remainingBytes >= check.reserveBytes;
        check.lowMemory = ! check.admitted;
    }
    return check;
}

namespace
{
// Both stretch admissions once the ratio has been scaled.
MemoryAdmission admitStretch (int64_t totalBytes, int64_t peakBytesPerWorker, int workers, double ratioScale, int64_t availableBytes)
{
    MemoryAdmission result;
    result.workers = std::max (workers, 1);
    const int64_t audio = totalBytes > 0 ? (int64_t) ((double) totalBytes * ratioScale) : 0;
    const int64_t perWorker = peakBytesPerWorker > 0 ? admission::copiesPerStretchWorker * peakBytesPerWorker : 0;

    if (availableBytes < 0)
    {
        result.admitted = true;
        result.neededBytes = audio + result.workers * perWorker;
        result.remainingBytes = -1;
        return result;
    }

    if (perWorker > 0)
    {
        const int64_t headroom = availableBytes - audio - admission::reserveFloorBytes;
        const int64_t fit = headroom > 0 ? headroom / perWorker : 0;
        result.workers = (int32_t) std::min<int64_t> (result.workers, std::max<int64_t> (fit, 1));
    }

    result.neededBytes = audio + result.workers * perWorker;
    result.remainingBytes = availableBytes - result.neededBytes;
    result.admitted = result.remainingBytes >= admission::reserveFloorBytes;
    return result;
}
} // namespace

MemoryAdmission admitStretchPreload (int64_t totalBytes, int64_t peakBytesPerWorker, int workers, double ratio, int64_t availableBytes)
{
    const double scale = std::min (std::max (ratio > 0.0 ? ratio : 1.0, 1.0), admission::stretchRatioCap);
    return admitStretch (totalBytes, peakBytesPerWorker, workers, scale, availableBytes);
}

MemoryAdmission admitStretchJob (int64_t totalBytes, int64_t peakBytesPerWorker, int workers, double ratio, int64_t availableBytes)
{
    const double scale = ratio > 0.0 ? std::min (ratio, admission::stretchRatioCap) : 1.0;
    return admitStretch (totalBytes, peakBytesPerWorker, workers, scale, availableBytes);
}

int64_t admissionTotalPhysicalBytes (int64_t memTotalBytes)
{
    if (memTotalBytes <= 0)
        return 0;
    return (memTotalBytes / admission::mebibyte + 1) * admission::mebibyte;
}

int64_t bytesToLogMb (int64_t bytes) { return bytes / admission::mebibyte; }

PreloadAdmissionDecision decidePreloadAdmission (const PreloadAdmissionInput& input)
{
    PreloadAdmissionDecision decision;
    decision.availableBytes = input.availableBytes;

    const bool tempoChanges = input.stretchBpm > 0.0 && std::abs (input.stretchBpm - input.bpm) > 0.001;
    const bool stretched = tempoChanges || std::abs (input.stretchSemitones) > 0.001;
    const auto skip = [&decision] (int64_t estimated, int64_t reserve)
    {
        decision.start = false;
        decision.estimatedBytes = estimated;
        decision.reserveBytes = reserve;
        return decision;
    };

    if (input.cacheOnly && stretched)
    {
        const auto estimate = estimateDecodedBytes (input.trackCount, input.durationSec, admission::preloadEstimateRate,
                                                    admission::preloadEstimateChannels, true);
        decision.estimatedBytes = estimate;
        if (estimate <= 0)
            return decision;

        const double ratio = tempoChanges && input.bpm > 0.0 ? input.bpm / input.stretchBpm : 1.0;
        const int wanted = std::clamp (input.hardwareThreads - 2, 1, 4);
        const auto adm = admitStretchPreload (estimate, estimate / std::max (input.trackCount, 1), wanted, ratio, input.availableBytes);
        if (! adm.admitted)
            return skip (adm.neededBytes, adm.reserveBytes);
        decision.stretchWorkers = adm.workers;
        return decision;
    }

    const double seconds = input.headOnly && input.headLengthSec > 0.0 ? input.headLengthSec : input.durationSec;
    const auto estimate = estimateDecodedBytes (input.trackCount, seconds, admission::preloadEstimateRate,
                                                admission::preloadEstimateChannels, stretched);
    decision.estimatedBytes = estimate;
    if (estimate <= 0)
        return decision;

    const auto check = checkPreloadMemory ({ estimate, input.availableBytes, input.totalPhysicalBytes });
    decision.reserveBytes = check.reserveBytes;
    if (check.admitted)
        return decision;
    if (input.headOnly || input.cacheOnly || ! (input.durationSec > admission::headOnlyFallbackSeconds))
        return skip (estimate, check.reserveBytes);

    const auto head = estimateDecodedBytes (input.trackCount, admission::headOnlyFallbackSeconds, admission::preloadEstimateRate,
                                            admission::preloadEstimateChannels, stretched);
    decision.headBytes = head;
    if (head <= 0 || ! checkPreloadMemory ({ head, input.availableBytes, input.totalPhysicalBytes }).admitted)
        return skip (estimate, check.reserveBytes);

    decision.degradedToHeadOnly = true;
    return decision;
}
} // namespace quorvelle
