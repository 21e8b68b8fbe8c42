#include "core/CountIn.h"

#include "core/CLocaleText.h"

#include <algorithm>
#include <cmath>

namespace quorvelle::core
{
namespace
{
    bool isCompoundMeter (int32_t numerator, int32_t denominator)
    {
        return denominator == 8 && numerator >= 9 && numerator % 3 == 0;
    }

    // Length of one note of the denominator's value.
    double noteLength (double bpm, int32_t denominator)
    {
        return (4.0 / static_cast<double> (denominator)) * (60.0 / bpm);
    }

    bool validCount (double bpm, int32_t numerator, int32_t denominator)
    {
        return bpm > 0.0 && numerator > 0 && denominator > 0; // a NaN tempo is not valid either
    }

    enum class Layout { compound, six, plain };

    struct CountLayout
    {
        Layout layout = Layout::plain;
        double beat = 0.0;
        int64_t counted = 0; // beats of the counted bar
        int64_t leadIn = 4;  // beats of the lead-in bar
    };

    CountLayout chooseLayout (double bpm, int32_t numerator, int32_t denominator)
    {
        CountLayout c;
        if (isCompoundMeter (numerator, denominator))
        {
            c.layout = Layout::compound;
            c.beat = 3.0 * noteLength (bpm, denominator);
            c.counted = numerator / 3;
        }
        else if (numerator == 6 && (denominator == 4 || denominator == 8))
        {
            c.layout = Layout::six;
            c.beat = noteLength (bpm, denominator);
            c.counted = 6;
            c.leadIn = 6;
        }
        else
        {
            c.beat = noteLength (bpm, denominator);
            c.counted = (numerator == 2 && denominator == 4) ? 4 : numerator;
        }
        return c;
    }

    void pushCountInBeat (CountInPattern& pattern, std::string label, int64_t index, double beat, bool accent)
    {
        if (static_cast<int64_t> (pattern.beats.size()) >= kMaxCountInBeats)
            return;
        pattern.beats.push_back ({ std::move (label), static_cast<double> (index) * beat, accent });
    }
} // namespace

CountInPattern buildCountInPattern (double bpm, int32_t numerator, int32_t denominator, const std::string& barLabel)
{
    CountInPattern pattern;
    if (! validCount (bpm, numerator, denominator))
        return pattern;

    const auto c = chooseLayout (bpm, numerator, denominator);
    const auto total = c.leadIn + c.counted;
    pattern.beats.reserve (static_cast<std::size_t> (std::min<int64_t> (total, kMaxCountInBeats)));

    if (c.layout == Layout::six)
    {
        pushCountInBeat (pattern, "1", 0, c.beat, true);
        pushCountInBeat (pattern, "", 1, c.beat, false);
        pushCountInBeat (pattern, "", 2, c.beat, false);
        pushCountInBeat (pattern, "2", 3, c.beat, false);
        pushCountInBeat (pattern, "", 4, c.beat, false);
        pushCountInBeat (pattern, "", 5, c.beat, false);
    }
    else
    {
        pushCountInBeat (pattern, "1", 0, c.beat, true);
        pushCountInBeat (pattern, "", 1, c.beat, false);
        pushCountInBeat (pattern, "2", 2, c.beat, false);
        pushCountInBeat (pattern, "", 3, c.beat, false);
    }

    pushCountInBeat (pattern, barLabel, c.leadIn, c.beat, true);
    for (int64_t k = 2; k <= c.counted && static_cast<int64_t> (pattern.beats.size()) < kMaxCountInBeats; ++k)
        pushCountInBeat (pattern, std::to_string (k), c.leadIn + k - 1, c.beat, false);

    pattern.totalDuration = static_cast<double> (total) * c.beat;
    return pattern;
}

double countInDuration (double bpm, int32_t numerator, int32_t denominator)
{
    if (! validCount (bpm, numerator, denominator))
        return 0.0;

    const auto c = chooseLayout (bpm, numerator, denominator);
    return static_cast<double> (c.leadIn + c.counted) * c.beat;
}

std::vector<SubdivisionClick> buildSubdivisionClicks (double bpm, int32_t numerator, int32_t denominator,
                                                      const std::vector<double>& mainBeatTimes, double duration,
                                                      bool eighthOn, bool sixteenthOn)
{
    std::vector<SubdivisionClick> clicks;
    if (! validCount (bpm, numerator, denominator) || ! (duration > 0.0) || ! (eighthOn || sixteenthOn))
        return clicks;

    const bool compound = isCompoundMeter (numerator, denominator);
    const double beat = compound ? 3.0 * noteLength (bpm, denominator) : noteLength (bpm, denominator);

    // NaN times can match nothing and would break the ordering of the sort.
    std::vector<double> sortedMain;
    sortedMain.reserve (mainBeatTimes.size());
    for (const auto t : mainBeatTimes)
        if (! std::isnan (t))
            sortedMain.push_back (t);
    std::sort (sortedMain.begin(), sortedMain.end());

    const double rounded = std::floor (duration / beat + 0.5);
    const int64_t beats = (rounded >= static_cast<double> (kMaxCountInBeats) || std::isnan (rounded))
                              ? (std::isnan (rounded) ? 0 : kMaxCountInBeats)
                              : static_cast<int64_t> (std::max (rounded, 0.0));

    struct Row { double offset; int32_t kind; };
    static constexpr Row simpleRows[] = { { 0.25, 3 }, { 0.5, 2 }, { 0.75, 3 } };
    static constexpr Row compoundRows[] = { { 1.0 / 6.0, 3 }, { 1.0 / 3.0, 2 }, { 0.5, 3 }, { 2.0 / 3.0, 2 }, { 5.0 / 6.0, 3 } };
    const Row* rows = compound ? compoundRows : simpleRows;
    const std::size_t rowCount = compound ? std::size (compoundRows) : std::size (simpleRows);

    for (int64_t i = 0; i < beats; ++i)
    {
        for (std::size_t r = 0; r < rowCount; ++r)
        {
            const auto& row = rows[r];
            if ((row.kind == 2 && ! eighthOn) || (row.kind == 3 && ! sixteenthOn))
                continue;

            const double t = static_cast<double> (i) * beat + row.offset * beat;
            if (t >= duration - 0.0001)
                continue;

            const auto near = std::lower_bound (sortedMain.begin(), sortedMain.end(), t - 0.0001);
            if (near != sortedMain.end() && std::abs (*near - t) < 0.0001)
                continue;

            clicks.push_back ({ t, row.kind });
        }
    }
    return clicks;
}

std::string trimAndLowerCase (std::string_view text)
{
    std::string out (trimCLocaleSpace (text));
    for (auto& ch : out)
        if (ch >= 'A' && ch <= 'Z')
            ch = static_cast<char> (ch - 'A' + 'a');
    return out;
}

bool isCountSectionName (std::string_view name)
{
    const auto key = trimAndLowerCase (name);
    return key == "cuenta inicial" || key == "cuenta_inicial" || key == "count off" || key == "count_off"
           || key == "countoff";
}
} // namespace quorvelle::core

namespace quorvelle::core
{
Json calculateCountInDuration (const Json& payload)
{
    return countInDuration (getDouble (payload, "bpm", 0.0), getInt (payload, "numerator", 4), getInt (payload, "denominator", 4));
}
} // namespace quorvelle::core
