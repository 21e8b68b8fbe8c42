#include "core/CoreService.h"
#include "core/TimingMaps.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <optional>
#include <random>

using namespace quorvelle::core;

namespace
{
Json call (const char* method, const Json& payload)
{
    const auto response = invokeCoreMethod (method, payload);
    EXPECT_TRUE (response.at ("ok").get<bool>()) << response.dump();
    return response.at ("result");
}

double preciseTime (double beat, const char* tempoMap)
{
    return call ("calculatePreciseTime", { { "beat", beat }, { "tempoMap", Json::parse (tempoMap) } }).get<double>();
}

Json beatmap (const char* tempoMap, double duration, const char* extra = "{}")
{
    Json payload = Json::parse (extra);
    payload["tempoMap"] = Json::parse (tempoMap);
    payload["duration"] = duration;
    return call ("tempoMapToBeatmap", payload);
}

// The beat map as the direct walk builds it: every beat converted from the first tempo point.
std::vector<BeatmapEntry> directBeatmap (std::vector<TempoPoint> points, double duration, TimeSignature signature,
                                         const std::vector<TimeSignatureMapEntry>& map)
{
    std::vector<BeatmapEntry> beats;
    if (! std::isfinite (duration) || duration <= 0.0)
        return beats;
    duration = std::min (duration, 86400.0);
    std::erase_if (points, [] (const TempoPoint& p) { return ! std::isfinite (p.time) || ! std::isfinite (p.bpm) || p.bpm <= 0.0; });
    if (points.empty())
        return beats;
    std::stable_sort (points.begin(), points.end(), [] (const TempoPoint& a, const TempoPoint& b) { return a.time < b.time; });
    if (points.front().time > 0.0)
        points.insert (points.begin(), { 0.0, points.front().bpm });

    const auto cap = static_cast<std::size_t> (std::ceil (duration * 100.0)) + 1000;
    double p = 0.0;
    int32_t counter = 0;
    std::optional<TimeSignature> previous;
    while (beats.size() < cap)
    {
        const double t = beatToSeconds (p, points);
        if (t >= duration)
            break;
        const auto sig = map.empty() ? signature : lookupTimeSignature (t, map, signature);
        if (previous && *previous != sig)
            counter = 0;
        else if (counter >= sig.numerator)
            counter = 0;
        beats.push_back ({ t, ++counter, false });
        previous = sig;
        p += 4.0 / static_cast<double> (std::max (sig.denominator, 1));
    }
    return beats;
}
} // namespace

TEST (CoreTimingMaps, PreciseTimeWithRampsAndSteps)
{
    struct Case { const char* map; double beat; double expected; };
    const Case cases[] = {
        { R"([{"time":0,"bpm":100},{"time":4,"bpm":140}])", 4, 2.018833 },
        { R"([{"time":0,"bpm":100},{"time":4,"bpm":140}])", 2, 1.093929 },
        { R"([{"time":0,"bpm":100},{"time":4,"bpm":140}])", 8, 3.733119 },
        { R"([{"time":0,"bpm":120},{"time":4,"bpm":120.4}])", 4, 2.0 },            // less than 0.5 bpm apart: constant
        { R"([{"time":0,"bpm":120},{"time":4,"bpm":120.5}])", 4, 1.995845 },       // exactly 0.5 bpm ramps
        { R"([{"time":8,"bpm":120}])", 4, 0.0 },                                   // before the first point
        { R"([])", 4, 0.0 },
        { R"([{"time":0,"bpm":60}])", 1.5, 1.5 },
        { R"([{"time":0,"bpm":7},{"time":1,"bpm":7}])", 2, 17.142858 },           // rounded after each segment, not once
        { R"([{"time":4,"bpm":60},{"time":0,"bpm":120}])", 6, 3.0 },               // given order: (4, 60) covers nothing
        // Points without a usable tempo are left out.
        { R"([{"time":0,"bpm":120},{"time":2,"bpm":0},{"time":3,"bpm":-5}])", 4, 2.0 },
    };
    for (const auto& c : cases)
        EXPECT_DOUBLE_EQ (preciseTime (c.beat, c.map), c.expected) << c.map << " @ " << c.beat;
}

TEST (CoreTimingMaps, PreciseTimeIsRoundedToMicroseconds)
{
    const double t = preciseTime (1, R"([{"time":0,"bpm":7}])"); // 8.571428571... s
    EXPECT_EQ (t, 8.571429);
}

TEST (CoreTimingMaps, TinyRampCoverageIsNotNaN)
{
    // A beat a hair after a ramp's start: the tempo reached rounds to the start tempo.
    const std::vector<TempoPoint> points { { 0.0, 100.0 }, { 1.0, 200.0 } };
    const double t = beatToSeconds (1e-18, points);
    EXPECT_FALSE (std::isnan (t));
    EXPECT_EQ (t, 0.0);

    // Non-finite points are left out as well.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ (beatToSeconds (4.0, { { 0.0, 120.0 }, { 1.0, inf }, { nan, 60.0 }, { 2.0, nan }, { inf, 30.0 } }), 2.0);
}

TEST (CoreTimingMaps, BeatmapFromTempoMap)
{
    struct Case { const char* name; const char* map; double duration; const char* extra; const char* expected; };
    const Case cases[] = {
        { "four beats, none at the duration", R"([{"time":0,"bpm":120}])", 2.0, "{}",
          R"([{"time":0.0,"beatNum":1},{"time":0.5,"beatNum":2},{"time":1.0,"beatNum":3},{"time":1.5,"beatNum":4}])" },
        { "first tempo extends back to 0", R"([{"time":8,"bpm":120}])", 1.0, "{}",
          R"([{"time":0.0,"beatNum":1},{"time":0.5,"beatNum":2}])" },
        { "6/8 beats of an eighth", R"([{"time":0,"bpm":120}])", 2.0, R"({"timeSignature":[6,8]})",
          R"([{"time":0.0,"beatNum":1},{"time":0.25,"beatNum":2},{"time":0.5,"beatNum":3},{"time":0.75,"beatNum":4},
              {"time":1.0,"beatNum":5},{"time":1.25,"beatNum":6},{"time":1.5,"beatNum":1},{"time":1.75,"beatNum":2}])" },
        { "signature change at a bar line", R"([{"time":0,"bpm":120}])", 3.5,
          R"({"timeSignatureMap":[{"time":0,"timeSignature":[4,4]},{"time":2.0,"timeSignature":[3,4]}]})",
          R"([{"time":0.0,"beatNum":1},{"time":0.5,"beatNum":2},{"time":1.0,"beatNum":3},{"time":1.5,"beatNum":4},
              {"time":2.0,"beatNum":1},{"time":2.5,"beatNum":2},{"time":3.0,"beatNum":3}])" },
        { "signature change cuts the unfinished bar", R"([{"time":0,"bpm":120}])", 2.5,
          R"({"timeSignatureMap":[{"time":0,"timeSignature":[4,4]},{"time":1.0,"timeSignature":[3,4]}]})",
          R"([{"time":0.0,"beatNum":1},{"time":0.5,"beatNum":2},{"time":1.0,"beatNum":1},{"time":1.5,"beatNum":2},{"time":2.0,"beatNum":3}])" },
        { "before the first map entry its signature applies", R"([{"time":0,"bpm":120}])", 1.5,
          R"({"timeSignatureMap":[{"time":1.0,"timeSignature":[2,4]}]})",
          R"([{"time":0.0,"beatNum":1},{"time":0.5,"beatNum":2},{"time":1.0,"beatNum":1}])" },
        { "denominator 0 advances four quarter notes", R"([{"time":0,"bpm":120}])", 5.0, R"({"timeSignature":[3,0]})",
          R"([{"time":0.0,"beatNum":1},{"time":2.0,"beatNum":2},{"time":4.0,"beatNum":3}])" },
        { "numerator 0 numbers every beat 1", R"([{"time":0,"bpm":120}])", 1.0, R"({"timeSignature":{"numerator":0}})",
          R"([{"time":0.0,"beatNum":1},{"time":0.5,"beatNum":1}])" },
        { "out of order map is sorted, then ramps from 120 to 60", R"([{"time":2,"bpm":60},{"time":0,"bpm":120}])", 3.0, "{}",
          R"([{"time":0.0,"beatNum":1},{"time":0.575364,"beatNum":2},{"time":1.386294,"beatNum":3},{"time":2.386294,"beatNum":4}])" },
        { "empty tempo map", "[]", 10.0, "{}", "[]" },
        { "only unusable points", R"([{"time":0,"bpm":0},{"time":1,"bpm":-1}])", 10.0, "{}", "[]" },
        { "zero duration", R"([{"time":0,"bpm":120}])", 0.0, "{}", "[]" },
        { "negative duration", R"([{"time":0,"bpm":120}])", -1.0, "{}", "[]" },
    };
    for (const auto& c : cases)
        EXPECT_EQ (beatmap (c.map, c.duration, c.extra), Json::parse (c.expected)) << c.name;
}

TEST (CoreTimingMaps, BeatCountIsBounded)
{
    const std::vector<TempoPoint> fast { { 0.0, 1.0e12 } };
    // A tempo so fast that every beat lands near 0: the cap ceil(d x 100) + 1000 ends the walk.
    EXPECT_EQ (buildBeatmapFromTempoMap (fast, 1.0, {}, {}).size(), 1100u);
    // A duration beyond a day is clamped to 86,400 s; non-finite durations give nothing.
    const std::vector<TempoPoint> slow { { 0.0, 1.0 } }; // one beat a minute
    EXPECT_EQ (buildBeatmapFromTempoMap (slow, 1.0e300, {}, {}).size(), 1440u);
    EXPECT_TRUE (buildBeatmapFromTempoMap (slow, std::numeric_limits<double>::infinity(), {}, {}).empty());
    EXPECT_TRUE (buildBeatmapFromTempoMap (slow, std::nan (""), {}, {}).empty());
    const std::vector<TempoPoint> broken { { std::nan (""), 120.0 }, { 0.0, std::numeric_limits<double>::infinity() } };
    EXPECT_TRUE (buildBeatmapFromTempoMap (broken, 10.0, {}, {}).empty());
}

TEST (CoreTimingMaps, LinearWalkMatchesTheDirectWalkBitForBit)
{
    std::mt19937_64 rng (20240611);
    std::uniform_real_distribution<double> unit (0.0, 1.0);
    std::uniform_int_distribution<int> pointCount (1, 12);

    for (int round = 0; round < 400; ++round)
    {
        std::vector<TempoPoint> points;
        const int n = pointCount (rng);
        for (int i = 0; i < n; ++i)
        {
            // Times on a coarse grid so that equal times (zero-length segments) and beats landing
            // exactly on points occur; tempos close enough together to take both branches.
            const double time = std::floor (unit (rng) * 64.0) * (unit (rng) < 0.5 ? 1.0 : 0.5) - (unit (rng) < 0.1 ? 3.0 : 0.0);
            double bpm = 40.0 + unit (rng) * 200.0;
            if (unit (rng) < 0.2 && ! points.empty())
                bpm = points.back().bpm + 0.5 * (unit (rng) < 0.5 ? 1.0 : -1.0) * unit (rng) * 1.2;
            if (unit (rng) < 0.05)
                bpm = unit (rng) < 0.5 ? 0.0 : std::numeric_limits<double>::quiet_NaN();
            points.push_back ({ time, bpm });
        }
        const double duration = 1.0 + unit (rng) * 60.0;

        TimeSignature signature { 1 + static_cast<int32_t> (unit (rng) * 7), unit (rng) < 0.3 ? 8 : 4 };
        std::vector<TimeSignatureMapEntry> map;
        if (unit (rng) < 0.5)
            for (double t = 0.0; t < duration; t += 2.0 + unit (rng) * 10.0)
                map.push_back ({ t, 2 + static_cast<int32_t> (unit (rng) * 6), unit (rng) < 0.5 ? 4 : (unit (rng) < 0.5 ? 8 : 2) });

        const auto linear = buildBeatmapFromTempoMap (points, duration, signature, map);
        const auto direct = directBeatmap (points, duration, signature, map);
        ASSERT_EQ (linear.size(), direct.size()) << "round " << round;
        for (std::size_t i = 0; i < linear.size(); ++i)
        {
            ASSERT_EQ (std::bit_cast<uint64_t> (linear[i].time), std::bit_cast<uint64_t> (direct[i].time)) << "round " << round << " beat " << i;
            ASSERT_EQ (linear[i].beatNum, direct[i].beatNum) << "round " << round << " beat " << i;
            ASSERT_FALSE (linear[i].isPhantom);
        }

        // Many positions at once, in any order, over the points as given and sorted: the values
        // of one position at a time.
        std::vector<double> beats;
        for (int b = 0; b < 24; ++b)
            beats.push_back (std::floor (unit (rng) * 160.0) * 0.5 - 8.0);
        auto sorted = points;
        std::stable_sort (sorted.begin(), sorted.end(), [] (const TempoPoint& x, const TempoPoint& y) { return x.time < y.time; });
        for (const auto* tempo : { &points, &sorted })
        {
            const auto many = beatsToSeconds (beats, *tempo);
            for (std::size_t b = 0; b < beats.size(); ++b)
                ASSERT_EQ (std::bit_cast<uint64_t> (many[b]), std::bit_cast<uint64_t> (beatToSeconds (beats[b], *tempo)))
                    << "round " << round << " beat " << beats[b];
        }
    }
}

TEST (CoreTimingMaps, TimeSignatureReader)
{
    struct Case { const char* json; TimeSignature expected; };
    const Case cases[] = {
        { "[7, 8]", { 7, 8 } }, { "[3]", { 4, 4 } }, { "[3, 4, 5]", { 4, 4 } }, { R"({"numerator": 3})", { 3, 4 } },
        { "[3.9, 8.2]", { 3, 8 } }, { "[true, false]", { 1, 0 } }, { "[1e20, -1e20]", { 2147483647, -2147483647 - 1 } },
        { "[4294967299, 4]", { 3, 4 } }, { "null", { 4, 4 } }, { R"("3/4")", { 4, 4 } },
    };
    for (const auto& c : cases)
        EXPECT_EQ (readTimeSignature (Json::parse (c.json)), c.expected) << c.json;

    for (const char* bad : { R"(["3", 4])", "[null, 4]", "[[3], 4]", R"([3, {}])" })
        EXPECT_THROW (readTimeSignature (Json::parse (bad)), nlohmann::json::type_error) << bad;
}

TEST (CoreTimingMaps, ReadersAndWriters)
{
    const auto tempo = readTempoMap (Json::parse (R"([{"time": 1, "bpm": 90}, 5, {"bpm": "x"}])"));
    ASSERT_EQ (tempo.size(), 3u);
    EXPECT_EQ (tempo[1].bpm, 0.0);
    EXPECT_EQ (writeTempoMap ({ { 1, 90 } }).dump(), R"([{"bpm":90.0,"time":1.0}])");

    const auto beats = readBeatmap (Json::parse (R"([{"time": 1, "beatNum": 3, "isPhantom": true}, "x"])"));
    ASSERT_EQ (beats.size(), 2u);
    EXPECT_TRUE (beats[0].isPhantom);
    EXPECT_EQ (beats[1].beatNum, 1);
    EXPECT_EQ (writeBeatmapEntry (beats[0]).dump(), R"({"beatNum":3,"isPhantom":true,"time":1.0})");
    EXPECT_EQ (writeBeatmapEntry (beats[1]).dump(), R"({"beatNum":1,"time":0.0})");

    const auto map = readTimeSignatureMap (Json::parse (R"([{"time": 2, "timeSignature": [3, 4]}, {"time": 4}, 7])"));
    ASSERT_EQ (map.size(), 3u);
    EXPECT_EQ (writeTimeSignatureMap (map).dump(),
               R"([{"time":2.0,"timeSignature":[3,4]},{"time":4.0,"timeSignature":[4,4]},{"time":0.0,"timeSignature":[4,4]}])");
    EXPECT_EQ (writeSectionList ({ { "Coro", "Coro", 1, 2 } }).dump(), R"([{"duration":2.0,"name":"Coro","startTime":1.0,"type":"Coro"}])");

    const std::vector<TimeSignatureMapEntry> lookup { { 1.0, 3, 4 }, { 2.0, 5, 8 }, { 2.0, 6, 8 }, { 4.0, 7, 8 } };
    struct Lookup { double t; TimeSignature expected; };
    const Lookup lookups[] = { { 0.0, { 3, 4 } }, { 1.0, { 3, 4 } }, { 1.5, { 3, 4 } }, { 2.0, { 6, 8 } }, { 9.0, { 7, 8 } } };
    for (const auto& l : lookups)
        EXPECT_EQ (lookupTimeSignature (l.t, lookup, { 2, 2 }), l.expected) << l.t;
    EXPECT_EQ (lookupTimeSignature (1.0, {}, { 2, 2 }), (TimeSignature { 2, 2 }));
}
