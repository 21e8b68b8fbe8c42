// Memory admission: the decoded-size estimate, the preload check with its reserve, the two stretch
// admissions, and the admission of a preload request with its head-only fallback.
#include "audio/loading/MemoryAdmission.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace quorvelle::test
{
namespace
{
constexpr int64_t mib = 1048576;
constexpr int64_t gib = 1024 * mib;
} // namespace

TEST (MemoryAdmission, EstimateMultipliesInDoubleAndCaps)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct { int tracks; double seconds; int rate, channels; bool asFloat; int64_t expected; } rows[] = {
        { 8, 240.0, 44100, 2, false, 338688000 },
        { 8, 240.0, 44100, 2, true, 677376000 },
        { 1, 0.5, 44100, 1, false, 44100 },
        { 1, 1.0e9, 44100, 2, false, int64_t (1) << 40 },
        { 0, 240.0, 44100, 2, false, 0 },
        { -3, 240.0, 44100, 2, false, 0 },
        { 8, 0.0, 44100, 2, false, 0 },
        { 8, -1.0, 44100, 2, false, 0 },
        { 8, nan, 44100, 2, false, 0 },
        { 8, 240.0, 0, 2, false, 0 },
        { 8, 240.0, 44100, 0, false, 0 },
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE (::testing::Message() << row.tracks << " tracks, " << row.seconds << " s, float " << row.asFloat);
        EXPECT_EQ (estimateDecodedBytes (row.tracks, row.seconds, row.rate, row.channels, row.asFloat), row.expected);
    }
    EXPECT_EQ (bytesToLogMb (338688000), 322);
    EXPECT_EQ (bytesToLogMb (-1), 0);
}

TEST (MemoryAdmission, TotalPhysicalMemoryIsWholeMebibytesPlusOne)
{
    EXPECT_EQ (admissionTotalPhysicalBytes (16 * gib), 17180917760);
    EXPECT_EQ (admissionTotalPhysicalBytes (16 * gib + mib - 1), 17180917760);
    EXPECT_EQ (admissionTotalPhysicalBytes (0), 0);
    EXPECT_EQ (admissionTotalPhysicalBytes (-1), 0);
}

TEST (MemoryAdmission, PreloadCheckKeepsTheLargerReserve)
{
    const struct { const char* name; PreloadMemoryRequest request; bool admitted, lowMemory; int64_t reserve, remaining; } rows[] = {
        { "16 GiB machine", { 100, 3 * gib, 17180917760 }, true, false, 2061710131, 3 * gib - 100 },
        { "4 GiB machine: the floor", { 100, 3 * gib, admissionTotalPhysicalBytes (4 * gib) }, true, false, 629145600, 3 * gib - 100 },
        { "total unknown", { 100, 3 * gib, 0 }, true, false, 629145600, 3 * gib - 100 },
        { "exactly the reserve left", { 100, 629145700, 0 }, true, false, 629145600, 629145600 },
        { "one byte short", { 101, 629145700, 0 }, false, true, 629145600, 629145599 },
        { "16 GiB machine refuses below its reserve", { 3 * gib / 2, 3 * gib, 17180917760 }, false, true, 2061710131, 3 * gib / 2 },
        { "free memory unknown", { 100 * gib, -1, 0 }, true, false, 629145600, -1 },
        { "nothing needed", { 0, 5000, 0 }, true, false, 629145600, 5000 },
        { "nothing needed, free unknown", { 0, -1, 0 }, true, false, 629145600, -1 },
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE (row.name);
        const auto check = checkPreloadMemory (row.request);
        EXPECT_EQ (check.admitted, row.admitted);
        EXPECT_EQ (check.lowMemory, row.lowMemory);
        EXPECT_EQ (check.reserveBytes, row.reserve);
        EXPECT_EQ (check.remainingBytes, row.remaining);
    }
}

TEST (MemoryAdmission, StretchPreloadFitsTheWorkersThatLeaveTheReserve)
{
    const double ratio = 100.0 / 90.0;
    const struct { int64_t available; bool admitted; int workers; int64_t needed, remaining; } rows[] = {
        { 1610612736, true, 2, 893760000, 716852736 },
        { 1073741824, false, 1, 682080000, 391661824 },
        { -1, true, 4, 470400000 + 4 * 211680000, -1 },
        { 100 * gib, true, 4, 470400000 + 4 * 211680000, 100 * gib - (470400000 + 4 * 211680000) },
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE (row.available);
        const auto adm = admitStretchPreload (423360000, 70560000, 4, ratio, row.available);
        EXPECT_EQ (adm.admitted, row.admitted);
        EXPECT_EQ (adm.workers, row.workers);
        EXPECT_EQ (adm.neededBytes, row.needed);
        EXPECT_EQ (adm.remainingBytes, row.remaining);
        EXPECT_EQ (adm.reserveBytes, 629145600);
    }
}

TEST (MemoryAdmission, RatioScaleDiffersBetweenPreloadAndJob)
{
    const struct { double ratio; int64_t preloadNeeded, jobNeeded; } rows[] = {
        { 0.8, 1000000, 800000 },
        { 6.0, 4000000, 4000000 },
        { 2.5, 2500000, 2500000 },
        { 0.0, 1000000, 1000000 },
        { -2.0, 1000000, 1000000 },
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE (row.ratio);
        EXPECT_EQ (admitStretchPreload (1000000, 0, 2, row.ratio, -1).neededBytes, row.preloadNeeded);
        EXPECT_EQ (admitStretchJob (1000000, 0, 2, row.ratio, -1).neededBytes, row.jobNeeded);
    }
    // Without a per-worker size the worker count is kept, at least one.
    EXPECT_EQ (admitStretchJob (1000000, 0, 3, 1.0, 10 * gib).workers, 3);
    EXPECT_EQ (admitStretchJob (1000000, 0, 0, 1.0, 10 * gib).workers, 1);
}

TEST (MemoryAdmission, PreloadRequestsStartDegradeOrSkip)
{
    const int64_t fourGib = admissionTotalPhysicalBytes (4 * gib);
    const int64_t tenMinutes = 8 * 600 * 44100 * 2 * 2, thirtySeconds = 8 * 30 * 44100 * 2 * 2;
    PreloadAdmissionInput base;
    base.trackCount = 8;
    base.totalPhysicalBytes = fourGib;
    base.hardwareThreads = 8;

    struct Row
    {
        const char* name;
        PreloadAdmissionInput input;
        bool start, degraded;
        int workers;
        int64_t estimated, reserve;
    };
    const auto with = [&base] (auto change)
    {
        auto input = base;
        change (input);
        return input;
    };
    const Row rows[] = {
        { "10 minutes fit", with ([] (auto& i) { i.durationSec = 600; i.availableBytes = 4 * gib; }), true, false, 4, tenMinutes, 629145600 },
        { "10 minutes do not fit, their head does",
          with ([] (auto& i) { i.durationSec = 600; i.availableBytes = 1000000000; }), true, true, 4, tenMinutes, 629145600 },
        { "10 minutes and not even the head fits",
          with ([] (auto& i) { i.durationSec = 600; i.availableBytes = 629145600 + thirtySeconds - 1; }), false, false, 4, tenMinutes, 629145600 },
        { "25 seconds that do not fit", with ([] (auto& i) { i.durationSec = 25; i.availableBytes = 650000000; }), false, false, 4,
          8 * 25 * 44100 * 4, 629145600 },
        { "a head-only request is not degraded again",
          with ([] (auto& i) { i.durationSec = 600; i.headOnly = true; i.headLengthSec = 600; i.availableBytes = 1000000000; }), false,
          false, 4, tenMinutes, 629145600 },
        { "a head-only request counts its head",
          with ([] (auto& i) { i.durationSec = 600; i.headOnly = true; i.headLengthSec = 30; i.availableBytes = 1000000000; }), true,
          false, 4, thirtySeconds, 629145600 },
        { "a head of 1e9 s reaches the cap",
          with ([] (auto& i) { i.trackCount = 1; i.headOnly = true; i.headLengthSec = 1.0e9; i.availableBytes = 8 * gib; }), false, false,
          4, int64_t (1) << 40, 629145600 },
        { "free memory unknown", with ([] (auto& i) { i.durationSec = 1.0e9; i.availableBytes = -1; }), true, false, 4,
          int64_t (1) << 40, 629145600 },
        { "no tracks", with ([] (auto& i) { i.trackCount = 0; i.durationSec = 600; i.availableBytes = 0; }), true, false, 4, 0, 0 },
        { "no duration", with ([] (auto& i) { i.durationSec = 0; i.availableBytes = 0; }), true, false, 4, 0, 0 },
        { "a stretched song counts float",
          with ([] (auto& i) { i.durationSec = 600; i.stretchBpm = 100; i.availableBytes = 4 * gib; }), true, false, 4, 2 * tenMinutes,
          629145600 },
        { "a tempo within 0.001 of the song's is not stretched",
          with ([] (auto& i) { i.durationSec = 600; i.stretchBpm = 120.0005; i.availableBytes = 4 * gib; }), true, false, 4, tenMinutes,
          629145600 },
        { "a cache-only unstretched request is checked as a normal one",
          with ([] (auto& i) { i.durationSec = 600; i.cacheOnly = true; i.availableBytes = 1000000000; }), false, false, 4, tenMinutes,
          629145600 },
        { "a cache-only stretch fits two workers",
          with ([] (auto& i) { i.trackCount = 6; i.durationSec = 200; i.stretchBpm = 108; i.cacheOnly = true; i.availableBytes = 1610612736; }),
          true, false, 2, 423360000, 0 },
        { "a cache-only stretch that does not fit reports what it needs",
          with ([] (auto& i) { i.trackCount = 6; i.durationSec = 200; i.stretchBpm = 108; i.cacheOnly = true; i.availableBytes = 1073741824; }),
          false, false, 4, 682080000, 629145600 },
        { "a cache-only stretch on two hardware threads wants one worker",
          with ([] (auto& i) { i.trackCount = 6; i.durationSec = 200; i.stretchSemitones = 2; i.cacheOnly = true; i.hardwareThreads = 2;
                               i.availableBytes = 100 * gib; }),
          true, false, 1, 423360000, 0 },
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE (row.name);
        const auto decision = decidePreloadAdmission (row.input);
        EXPECT_EQ (decision.start, row.start);
        EXPECT_EQ (decision.degradedToHeadOnly, row.degraded);
        EXPECT_EQ (decision.stretchWorkers, row.workers);
        EXPECT_EQ (decision.estimatedBytes, row.estimated);
        EXPECT_EQ (decision.availableBytes, row.input.availableBytes);
        if (! row.start)
        {
            EXPECT_EQ (decision.reserveBytes, row.reserve);
        }
    }
}
} // namespace quorvelle::test
