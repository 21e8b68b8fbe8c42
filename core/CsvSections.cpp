#include "core/CsvSections.h"

#include "core/CLocaleText.h"
#include "core/IntegerText.h"
#include "core/SectionMarkers.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace quorvelle::core
{
namespace
{
    bool containsNameIgnoringCase (std::string_view line)
    {
        constexpr std::string_view word = "name";
        if (line.size() < word.size())
            return false;
        for (std::size_t i = 0; i + word.size() <= line.size(); ++i)
        {
            std::size_t k = 0;
            while (k < word.size())
            {
                char ch = line[i + k];
                if (ch >= 'A' && ch <= 'Z')
                    ch = static_cast<char> (ch - 'A' + 'a');
                if (ch != word[k])
                    break;
                ++k;
            }
            if (k == word.size())
                return true;
        }
        return false;
    }

    // One beat of n/d lasts 4/d quarter notes; a denominator below 1 counts as 1.
    double beatSeconds (const TimeSignature& sig, double secondsPerQuarter)
    {
        return 4.0 / static_cast<double> (std::max (sig.denominator, 1)) * secondsPerQuarter;
    }

    // A numerator below 1 makes bars of one beat, as the beat map counts such a signature.
    int32_t beatsPerBar (const TimeSignature& sig)
    {
        return std::max (sig.numerator, 1);
    }

    double barSeconds (const TimeSignature& sig, double secondsPerQuarter)
    {
        return static_cast<double> (beatsPerBar (sig)) * beatSeconds (sig, secondsPerQuarter);
    }

    // The time after a number of whole bars when the signature follows a map read at the
    // running time. Within the stretch between two consecutive entry times the signature, and
    // with it the bar length, is constant, so each stretch is crossed in one step: the walk costs
    // one step per entry time passed, whatever the bar count. Built lazily and shared by the rows.
    class BarWalk
    {
    public:
        BarWalk (const std::vector<TimeSignatureMapEntry>& mapIn, const TimeSignature& fallbackIn, double secondsPerQuarterIn)
            : map (mapIn), fallback (fallbackIn), secondsPerQuarter (secondsPerQuarterIn)
        {
            for (const auto& e : map)
                if (std::isfinite (e.time))
                    breakpoints.push_back (e.time);
            std::sort (breakpoints.begin(), breakpoints.end());
            breakpoints.erase (std::unique (breakpoints.begin(), breakpoints.end()), breakpoints.end());
        }

        // Seconds after `bars` bars (bars >= 0).
        double timeAfterBars (int64_t bars)
        {
            while (segments.empty()
                   || (! segments.back().open && segments.back().firstBar + segments.back().barCount <= bars))
                addSegment();

            auto it = std::upper_bound (segments.begin(), segments.end(), bars,
                                        [] (int64_t b, const Segment& s) { return b < s.firstBar; });
            const auto& s = *(it - 1);
            return s.startTime + static_cast<double> (bars - s.firstBar) * s.barLength;
        }

    private:
        struct Segment
        {
            int64_t firstBar = 0;
            double startTime = 0.0;
            double barLength = 0.0;
            int64_t barCount = 0;
            bool open = false; // holds every bar from firstBar on
        };

        void addSegment()
        {
            Segment s;
            if (! segments.empty())
            {
                const auto& last = segments.back();
                s.firstBar = last.firstBar + last.barCount;
                s.startTime = last.startTime + static_cast<double> (last.barCount) * last.barLength;
            }
            s.barLength = barSeconds (lookupTimeSignature (s.startTime, map, fallback), secondsPerQuarter);

            const auto next = std::upper_bound (breakpoints.begin(), breakpoints.end(), s.startTime);
            if (next == breakpoints.end() || ! (s.barLength > 0.0) || ! std::isfinite (s.startTime))
            {
                s.open = true;
                segments.push_back (s);
                return;
            }

            const double boundary = *next;
            const double estimate = std::ceil ((boundary - s.startTime) / s.barLength);
            constexpr double maxBars = 4.0e18;
            int64_t k = estimate >= maxBars ? static_cast<int64_t> (maxBars) : std::max<int64_t> (1, static_cast<int64_t> (estimate));
            auto after = [&] (int64_t n) { return s.startTime + static_cast<double> (n) * s.barLength; };
            // Exactly the bars that start before the boundary (the estimate may be off by rounding).
            for (int i = 0; i < 4 && k > 1 && after (k - 1) >= boundary; ++i)
                --k;
            for (int i = 0; i < 4 && after (k) < boundary; ++i)
                ++k;

            s.barCount = k;
            // A step too small to move the time any more leaves the signature as it is for good.
            if (after (k) == s.startTime || k >= static_cast<int64_t> (maxBars))
                s.open = true;
            segments.push_back (s);
        }

        const std::vector<TimeSignatureMapEntry>& map;
        TimeSignature fallback;
        double secondsPerQuarter;
        std::vector<double> breakpoints;
        std::vector<Segment> segments;
    };

    struct Position
    {
        int32_t bar = 1;
        int32_t beat = 1;
    };

    Position readPosition (std::string_view field)
    {
        Position p;
        const auto dot = field.find ('.');
        p.bar = readLeadingInt32 (field.substr (0, dot)).value_or (1);
        if (dot != std::string_view::npos)
        {
            auto rest = field.substr (dot + 1);
            p.beat = readLeadingInt32 (rest.substr (0, rest.find ('.'))).value_or (1);
        }
        return p;
    }

    bool startsBefore (const ImportedSection& a, const ImportedSection& b)
    {
        // NaN start times sort last, so the order stays a strict weak ordering.
        if (std::isnan (a.startTime))
            return false;
        return std::isnan (b.startTime) || a.startTime < b.startTime;
    }
} // namespace
} // namespace quorvelle::core

namespace quorvelle::core
{
bool isSectionListHeader (std::string_view line)
{
    if (line.empty() || line.front() != '#')
        return false;
    std::size_t i = 1;
    while (i < line.size() && isCLocaleSpace (line[i]))
        ++i;
    return i < line.size() && line[i] == ',' && containsNameIgnoringCase (line);
}

std::vector<ImportedSection> parseSectionListText (std::string_view text, double bpm, const TimeSignature& signature,
                                                   const std::vector<TimeSignatureMapEntry>& map)
{
    std::vector<ImportedSection> sections;
    if (! (bpm > 0.0))
        return sections;

    const double secondsPerQuarter = 60.0 / bpm;
    const bool useMap = map.size() >= 2;
    BarWalk walk (map, signature, secondsPerQuarter);

    std::size_t lineStart = 0;
    while (lineStart <= text.size())
    {
        auto lineEnd = text.find ('\n', lineStart);
        if (lineEnd == std::string_view::npos)
            lineEnd = text.size();
        const auto line = trimCLocaleSpace (text.substr (lineStart, lineEnd - lineStart));
        lineStart = lineEnd + 1;

        if (line.empty() || isSectionListHeader (line))
            continue;

        // Only the first three fields matter: id, name, position.
        std::string_view fields[3];
        std::size_t fieldCount = 0;
        std::size_t fieldStart = 0;
        while (fieldCount < 3)
        {
            const auto comma = line.find (',', fieldStart);
            const auto end = comma == std::string_view::npos ? line.size() : comma;
            fields[fieldCount++] = trimCLocaleSpace (line.substr (fieldStart, end - fieldStart));
            if (comma == std::string_view::npos)
                break;
            fieldStart = comma + 1;
        }
        if (fieldCount < 3 || fields[1].empty() || fields[2].empty())
            continue;

        const auto position = readPosition (fields[2]);
        const double beatsBefore = static_cast<double> (position.beat) - 1.0;
        double start = 0.0;
        if (! useMap)
        {
            const double beats = (static_cast<double> (position.bar) - 1.0) * beatsPerBar (signature) + beatsBefore;
            start = beats * beatSeconds (signature, secondsPerQuarter);
        }
        else
        {
            const int64_t barsBefore = std::max<int64_t> (0, static_cast<int64_t> (position.bar) - 1);
            const double barStart = walk.timeAfterBars (barsBefore);
            const auto sig = lookupTimeSignature (barStart, map, signature);
            start = barStart + beatsBefore * beatSeconds (sig, secondsPerQuarter);
        }

        const auto label = classifySectionMarker (std::string (fields[1]));
        sections.push_back ({ label.cleanName, label.type, start, 0.0 });
    }

    std::stable_sort (sections.begin(), sections.end(), startsBefore);
    for (std::size_t i = 0; i < sections.size(); ++i)
        sections[i].duration = i + 1 < sections.size() ? sections[i + 1].startTime - sections[i].startTime : 8.0;
    return sections;
}

Json parseCSVSections (const Json& payload)
{
    const auto signature = readTimeSignature (memberOrNull (payload, "timeSignature"));
    const auto map = readTimeSignatureMap (memberOrNull (payload, "timeSignatureMap"));
    return writeSectionList (parseSectionListText (getStringView (payload, "csvText"), getDouble (payload, "bpm", 0.0), signature, map));
}
} // namespace quorvelle::core
