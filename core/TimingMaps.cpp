#include "core/TimingMaps.h"

#include <algorithm>
#include <cmath>
#include <optional>

namespace quorvelle::core
{
std::vector<TempoPoint> readTempoMap (const Json& json)
{
    return readArray (json, [] (const Json& element) { return TempoPoint { getDouble (element, "time", 0.0), getDouble (element, "bpm", 0.0) }; });
}

Json writeTempoMap (const std::vector<TempoPoint>& points)
{
    Json out = Json::array();
    for (const auto& p : points)
        out.push_back ({ { "time", p.time }, { "bpm", p.bpm } });
    return out;
}

std::vector<BeatmapEntry> readBeatmap (const Json& json)
{
    return readArray (json, [] (const Json& element) {
        return BeatmapEntry { getDouble (element, "time", 0.0), getInt (element, "beatNum", 1), getBool (element, "isPhantom", false) };
    });
}

Json writeBeatmapEntry (const BeatmapEntry& entry)
{
    Json out = { { "time", entry.time }, { "beatNum", entry.beatNum } };
    if (entry.isPhantom)
        out["isPhantom"] = true;
    return out;
}

Json writeBeatmap (const std::vector<BeatmapEntry>& beats)
{
    Json out = Json::array();
    out.get_ref<Json::array_t&>().reserve (beats.size());
    for (const auto& b : beats)
        out.push_back (writeBeatmapEntry (b));
    return out;
}

TimeSignature readTimeSignature (const Json& json)
{
    if (json.is_array() && json.size() == 2)
        return { toInt32 (json[0]), toInt32 (json[1]) };
    if (json.is_object())
        return { getInt (json, "numerator", 4), getInt (json, "denominator", 4) };
    return {};
}

Json timeSignatureToJson (const TimeSignature& signature)
{
    return Json::array ({ signature.numerator, signature.denominator });
}

std::vector<TimeSignatureMapEntry> readTimeSignatureMap (const Json& json)
{
    return readArray (json, [] (const Json& element) {
        const auto signature = readTimeSignature (memberOrNull (element, "timeSignature"));
        return TimeSignatureMapEntry { getDouble (element, "time", 0.0), signature.numerator, signature.denominator };
    });
}

Json writeTimeSignatureMap (const std::vector<TimeSignatureMapEntry>& map)
{
    Json out = Json::array();
    for (const auto& e : map)
        out.push_back ({ { "time", e.time }, { "timeSignature", timeSignatureToJson ({ e.numerator, e.denominator }) } });
    return out;
}

Json writeSectionList (const std::vector<ImportedSection>& sections)
{
    Json out = Json::array();
    for (const auto& s : sections)
        out.push_back ({ { "name", s.name }, { "type", s.type }, { "startTime", s.startTime }, { "duration", s.duration } });
    return out;
}

namespace
{
    bool isUsableTempoPoint (const TempoPoint& p)
    {
        return std::isfinite (p.time) && std::isfinite (p.bpm) && p.bpm > 0.0;
    }

    std::vector<TempoPoint> usableTempoPoints (const std::vector<TempoPoint>& points)
    {
        std::vector<TempoPoint> usable;
        usable.reserve (points.size());
        std::copy_if (points.begin(), points.end(), std::back_inserter (usable), isUsableTempoPoint);
        return usable;
    }

    double roundToMicroseconds (double seconds)
    {
        return std::round (seconds * 1000000.0) / 1000000.0;
    }

    // Seconds spent on the first `covered` beats of the segment that starts at `start` beats with
    // `startBpm` and ends at `end` beats with `endBpm`.
    double segmentSeconds (double covered, double start, double startBpm, double end, double endBpm, bool last)
    {
        if (last || std::abs (endBpm - startBpm) < 0.5)
            return covered / startBpm * 60.0;

        // Tempo linear in the beat position: t = ln(r/d) * c * 60 / (r - d), with r the tempo
        // reached after `covered` beats. When r rounds to d the segment is too short to ramp and
        // the constant-tempo time is the limit (the formula would give 0/0).
        const double reached = startBpm + (endBpm - startBpm) * covered / (end - start);
        if (reached == startBpm)
            return covered / startBpm * 60.0;
        return std::log (reached / startBpm) * (covered * 60.0) / (reached - startBpm);
    }

    // Adds segment `i`'s part before `beat` to `total` (rounded when it contributes). Returns the
    // covered end m = min(beat, segment end); the walk stops once beat <= m.
    double addSegment (double& total, const std::vector<TempoPoint>& points, std::size_t i, double beat)
    {
        const bool last = i + 1 == points.size();
        const double b = points[i].time;
        const double d = points[i].bpm;
        const double a = last ? beat : points[i + 1].time;
        const double m = std::min (beat, a);
        const double c = std::max (m - b, 0.0);
        if (c > 0.0)
        {
            const double e = last ? d : points[i + 1].bpm;
            total = roundToMicroseconds (total + segmentSeconds (c, b, d, a, e, last));
        }
        return m;
    }

    double walkBeatToSeconds (double beat, const std::vector<TempoPoint>& points)
    {
        double total = 0.0;
        for (std::size_t i = 0; i < points.size(); ++i)
            if (beat <= addSegment (total, points, i, beat))
                break;
        return total;
    }

    // The same walk for rising positions: the rounded total of the segments that lie wholly before
    // the position is kept, so each beat only adds the segment it falls in.
    class RisingBeatWalker
    {
    public:
        explicit RisingBeatWalker (const std::vector<TempoPoint>& sortedPoints) : points (sortedPoints) {}

        double secondsAt (double beat)
        {
            // Segment k ends at points[k + 1].time; the position belongs to the first segment
            // whose end >= beat (the last segment ends at the position itself).
            while (segment + 1 < points.size() && points[segment + 1].time < beat)
            {
                addSegment (completed, points, segment, beat);
                ++segment;
            }
            double total = completed;
            addSegment (total, points, segment, beat);
            return total;
        }

    private:
        const std::vector<TempoPoint>& points;
        std::size_t segment = 0;
        double completed = 0.0;
    };
} // namespace

double beatToSeconds (double beat, const std::vector<TempoPoint>& points)
{
    if (std::all_of (points.begin(), points.end(), isUsableTempoPoint))
        return walkBeatToSeconds (beat, points);
    return walkBeatToSeconds (beat, usableTempoPoints (points));
}

std::vector<double> beatsToSeconds (const std::vector<double>& beats, const std::vector<TempoPoint>& points)
{
    std::vector<double> seconds (beats.size(), 0.0);
    const auto usable = usableTempoPoints (points);
    if (! std::is_sorted (usable.begin(), usable.end(), [] (const TempoPoint& x, const TempoPoint& y) { return x.time < y.time; }))
    {
        for (std::size_t i = 0; i < beats.size(); ++i)
            seconds[i] = walkBeatToSeconds (beats[i], usable);
        return seconds;
    }

    std::vector<std::size_t> order (beats.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::stable_sort (order.begin(), order.end(), [&] (std::size_t a, std::size_t b) { return beats[a] < beats[b]; });
    RisingBeatWalker walker (usable);
    for (const auto i : order)
        seconds[i] = usable.empty() ? 0.0 : walker.secondsAt (beats[i]);
    return seconds;
}

std::vector<BeatmapEntry> buildBeatmapFromTempoMap (const std::vector<TempoPoint>& points, double duration,
                                                    const TimeSignature& signature,
                                                    const std::vector<TimeSignatureMapEntry>& map)
{
    std::vector<BeatmapEntry> beats;
    if (! std::isfinite (duration) || duration <= 0.0)
        return beats;
    duration = std::min (duration, kMaxBeatmapDurationSeconds);

    auto sorted = usableTempoPoints (points);
    if (sorted.empty())
        return beats;

    std::stable_sort (sorted.begin(), sorted.end(), [] (const TempoPoint& x, const TempoPoint& y) { return x.time < y.time; });
    if (sorted.front().time > 0.0)
        sorted.insert (sorted.begin(), TempoPoint { 0.0, sorted.front().bpm });

    const auto cap = std::min (static_cast<std::size_t> (std::ceil (duration * 100.0)) + 1000, kMaxBeatmapBeats);
    RisingBeatWalker walker (sorted);
    double position = 0.0;
    int32_t counter = 0;
    std::optional<TimeSignature> previous;

    while (beats.size() < cap)
    {
        const double t = walker.secondsAt (position);
        if (t >= duration)
            break;

        const auto current = map.empty() ? signature : lookupTimeSignature (t, map, signature);
        if (previous.has_value() && *previous != current)
            counter = 0;
        else if (counter >= current.numerator)
            counter = 0;

        ++counter;
        beats.push_back ({ t, counter, false });
        previous = current;
        position += 4.0 / static_cast<double> (std::max (current.denominator, 1));
    }
    return beats;
}

Json calculatePreciseTime (const Json& payload)
{
    return beatToSeconds (getDouble (payload, "beat", 0.0), readTempoMap (memberOrNull (payload, "tempoMap")));
}

Json tempoMapToBeatmap (const Json& payload)
{
    const auto points = readTempoMap (memberOrNull (payload, "tempoMap"));
    const auto signature = readTimeSignature (memberOrNull (payload, "timeSignature"));
    const auto map = readTimeSignatureMap (memberOrNull (payload, "timeSignatureMap"));

    return writeBeatmap (buildBeatmapFromTempoMap (points, getDouble (payload, "duration", 0.0), signature, map));
}
} // namespace quorvelle::core
