#include "core/CountIn.h"
#include "core/CoreService.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace quorvelle::core;

namespace
{
// Beats as "label@time" with a "!" for an accent, e.g. "1@0!".
std::vector<std::string> describe (const CountInPattern& p)
{
    std::vector<std::string> out;
    for (const auto& b : p.beats)
    {
        char time[32];
        std::snprintf (time, sizeof time, "%g", b.time);
        out.push_back (b.label + "@" + time + (b.accent ? "!" : ""));
    }
    return out;
}
} // namespace

TEST (CoreCountIn, EveryMeterLayout)
{
    struct Case { double bpm; int32_t num; int32_t den; std::vector<std::string> beats; double total; };
    const Case cases[] = {
        { 120, 4, 4, { "1@0!", "@0.5", "2@1", "@1.5", "Coro@2!", "2@2.5", "3@3", "4@3.5" }, 4.0 },
        { 120, 2, 4, { "1@0!", "@0.5", "2@1", "@1.5", "Coro@2!", "2@2.5", "3@3", "4@3.5" }, 4.0 },   // 2/4 counts four
        { 60, 3, 4, { "1@0!", "@1", "2@2", "@3", "Coro@4!", "2@5", "3@6" }, 7.0 },
        { 120, 1, 4, { "1@0!", "@0.5", "2@1", "@1.5", "Coro@2!" }, 2.5 },
        { 120, 6, 8, { "1@0!", "@0.25", "@0.5", "2@0.75", "@1", "@1.25", "Coro@1.5!", "2@1.75", "3@2", "4@2.25", "5@2.5", "6@2.75" }, 3.0 },
        { 120, 6, 4, { "1@0!", "@0.5", "@1", "2@1.5", "@2", "@2.5", "Coro@3!", "2@3.5", "3@4", "4@4.5", "5@5", "6@5.5" }, 6.0 },
        { 120, 6, 2, { "1@0!", "@1", "2@2", "@3", "Coro@4!", "2@5", "3@6", "4@7", "5@8", "6@9" }, 10.0 },  // plain, n = 6
        { 120, 3, 8, { "1@0!", "@0.25", "2@0.5", "@0.75", "Coro@1!", "2@1.25", "3@1.5" }, 1.75 },    // 3/8 is not compound
        { 120, 9, 8, { "1@0!", "@0.75", "2@1.5", "@2.25", "Coro@3!", "2@3.75", "3@4.5" }, 5.25 },
        { 120, 12, 8, { "1@0!", "@0.75", "2@1.5", "@2.25", "Coro@3!", "2@3.75", "3@4.5", "4@5.25" }, 6.0 },
        { 120, 11, 8, { "1@0!", "@0.25", "2@0.5", "@0.75", "Coro@1!", "2@1.25", "3@1.5", "4@1.75", "5@2", "6@2.25", "7@2.5",
                        "8@2.75", "9@3", "10@3.25", "11@3.5" }, 3.75 },
    };
    for (const auto& c : cases)
    {
        const auto p = buildCountInPattern (c.bpm, c.num, c.den, "Coro");
        EXPECT_EQ (describe (p), c.beats) << c.num << "/" << c.den;
        EXPECT_DOUBLE_EQ (p.totalDuration, c.total) << c.num << "/" << c.den;
        EXPECT_EQ (countInDuration (c.bpm, c.num, c.den), p.totalDuration) << c.num << "/" << c.den;
    }
    EXPECT_EQ (buildCountInPattern (120, 4, 4, "").beats[4].label, "");
}

TEST (CoreCountIn, InvalidInputGivesAnEmptyPattern)
{
    struct Case { double bpm; int32_t num; int32_t den; };
    const Case cases[] = { { 0, 4, 4 }, { -1, 4, 4 }, { 120, 0, 4 }, { 120, 4, 0 }, { 120, -3, 4 }, { std::nan (""), 4, 4 } };
    for (const auto& c : cases)
    {
        const auto p = buildCountInPattern (c.bpm, c.num, c.den, "x");
        EXPECT_TRUE (p.beats.empty());
        EXPECT_EQ (p.totalDuration, 0.0);
        EXPECT_EQ (countInDuration (c.bpm, c.num, c.den), 0.0);
    }
}

TEST (CoreCountIn, HugeNumeratorIsBoundedButKeepsItsDuration)
{
    const auto p = buildCountInPattern (120, std::numeric_limits<int32_t>::max(), 4, "x");
    ASSERT_EQ (p.beats.size(), static_cast<std::size_t> (kMaxCountInBeats));
    EXPECT_EQ (p.beats.back().label, std::to_string (kMaxCountInBeats - 4));
    EXPECT_DOUBLE_EQ (p.totalDuration, (2147483647.0 + 4.0) * 0.5);
    EXPECT_EQ (countInDuration (120, std::numeric_limits<int32_t>::max(), 4), p.totalDuration);

    const auto clicks = buildSubdivisionClicks (120, std::numeric_limits<int32_t>::max(), 4, {}, p.totalDuration, true, true);
    EXPECT_EQ (clicks.size(), static_cast<std::size_t> (kMaxCountInBeats) * 3);
    const auto fast = buildSubdivisionClicks (std::numeric_limits<double>::infinity(), 4, 4, {}, 1.0, true, false);
    EXPECT_LE (fast.size(), static_cast<std::size_t> (kMaxCountInBeats));
    EXPECT_TRUE (buildSubdivisionClicks (120, 4, 4, {}, std::numeric_limits<double>::infinity(), true, true).size()
                 <= static_cast<std::size_t> (kMaxCountInBeats) * 3);
}

TEST (CoreCountIn, CalculateCountInDurationMethod)
{
    struct Case { const char* payload; double expected; };
    const Case cases[] = { { R"({"bpm": 120})", 4.0 },
                           { R"({"bpm": 60, "numerator": 3.9})", 7.0 },            // 3/4
                           { R"({"bpm": 120, "numerator": true})", 4.0 },         // default 4
                           { R"({"bpm": 120, "numerator": 6, "denominator": 8})", 3.0 },
                           { R"({"bpm": "120"})", 0.0 },
                           { R"([120])", 0.0 } };
    for (const auto& c : cases)
        EXPECT_EQ (invokeCoreMethod ("calculateCountInDuration", Json::parse (c.payload)),
                   Json ({ { "ok", true }, { "result", c.expected } }))
            << c.payload;
}

TEST (CoreCountIn, SubdivisionClicks)
{
    // 4/4 at 120 bpm over 4 s: the main beats are the count-in's eight beats.
    std::vector<double> main;
    for (const auto& b : buildCountInPattern (120, 4, 4, "").beats)
        main.push_back (b.time);
    std::reverse (main.begin(), main.end()); // order of the main beats does not matter

    const auto both = buildSubdivisionClicks (120, 4, 4, main, 4.0, true, true);
    ASSERT_EQ (both.size(), 24u);
    for (std::size_t i = 0; i < both.size(); ++i)
    {
        const auto beat = static_cast<double> (i / 3) * 0.5;
        const double offsets[] = { 0.125, 0.25, 0.375 };
        const int32_t kinds[] = { 3, 2, 3 };
        EXPECT_DOUBLE_EQ (both[i].time, beat + offsets[i % 3]);
        EXPECT_EQ (both[i].kind, kinds[i % 3]);
    }

    const auto sixteenths = buildSubdivisionClicks (120, 4, 4, main, 4.0, false, true);
    ASSERT_EQ (sixteenths.size(), 16u);
    for (const auto& c : sixteenths)
        EXPECT_EQ (c.kind, 3);
    EXPECT_EQ (buildSubdivisionClicks (120, 4, 4, main, 4.0, true, false).size(), 8u);
    EXPECT_TRUE (buildSubdivisionClicks (120, 4, 4, main, 4.0, false, false).empty());
    EXPECT_TRUE (buildSubdivisionClicks (120, 4, 4, main, 0.0, true, true).empty());
    EXPECT_TRUE (buildSubdivisionClicks (0, 4, 4, main, 4.0, true, true).empty());

    // A main time within 0.0001 s drops the click; NaN main times are ignored.
    const auto near = buildSubdivisionClicks (120, 4, 4, { 1.0, std::nan (""), 0.25005, 0.0 }, 0.5, true, true);
    ASSERT_EQ (near.size(), 2u);
    EXPECT_DOUBLE_EQ (near[0].time, 0.125);
    EXPECT_DOUBLE_EQ (near[1].time, 0.375);

    // duration 3.76 s at a 0.5 s beat: 8 beats, nothing from 3.7599 s on.
    const auto cut = buildSubdivisionClicks (120, 4, 4, {}, 3.76, true, true);
    EXPECT_EQ (cut.size(), 23u); // only 3.875 falls at or after the end
    for (const auto& c : cut)
        EXPECT_LT (c.time, 3.76 - 0.0001);

    // Compound 12/8: five rows per dotted beat.
    const auto compound = buildSubdivisionClicks (120, 12, 8, {}, 0.75, true, true);
    ASSERT_EQ (compound.size(), 5u);
    const int32_t compoundKinds[] = { 3, 2, 3, 2, 3 };
    for (std::size_t i = 0; i < 5; ++i)
    {
        EXPECT_DOUBLE_EQ (compound[i].time, 0.75 * static_cast<double> (i + 1) / 6.0);
        EXPECT_EQ (compound[i].kind, compoundKinds[i]);
    }
}

TEST (CoreCountIn, CountSectionNames)
{
    struct Case { const char* name; bool expected; };
    const Case cases[] = { { "  Count Off \t", true }, { "CUENTA_INICIAL", true }, { "cuenta inicial", true }, { "countoff", true },
                           { "count_off", true }, { "count-off", false }, { "count  off", false }, { "count off 2", false },
                           { "", false }, { "\xC3\x89ntro", false } };
    for (const auto& c : cases)
        EXPECT_EQ (isCountSectionName (c.name), c.expected) << c.name;
}

TEST (CoreCountIn, TrimAndLowerCase)
{
    struct Case { std::string in; std::string out; };
    const Case cases[] = { { " \t\n\v\f\rAbC\r\n", "abc" }, { "   ", "" }, { "", "" }, { "\xC3\x89X Y", "\xC3\x89x y" },
                           { std::string ("\0A", 2), std::string ("\0a", 2) }, { "\xA0x\xA0", "\xA0x\xA0" } };
    for (const auto& c : cases)
        EXPECT_EQ (trimAndLowerCase (c.in), c.out);
}
