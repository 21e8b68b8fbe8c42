#include "core/CsvSections.h"
#include "core/SectionMarkers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

using namespace quorvelle::core;

namespace
{
Json sections (const std::string& csv, double bpm, Json extra = Json::object())
{
    extra["csvText"] = csv;
    extra["bpm"] = bpm;
    return parseCSVSections (extra);
}

double startOf (const std::string& position, double bpm, Json extra = Json::object())
{
    const auto out = sections ("M1,Intro," + position, bpm, std::move (extra));
    EXPECT_EQ (out.size(), 1u) << position;
    return out.empty() ? NAN : out[0].at ("startTime").get<double>();
}

void expectRelative (double actual, double expected, const char* what)
{
    EXPECT_NEAR (actual, expected, std::abs (expected) * 1e-9) << what;
}
} // namespace

TEST (CsvSections, MarkerExportWithHeader)
{
    const auto out = sections ("#,Name,Start,End\nM1,Intro,1.1.00\nM2,Verse,5.1.00\n", 120.0);
    ASSERT_EQ (out.size(), 2u);
    const auto intro = classifySectionMarker ("Intro");
    const auto verse = classifySectionMarker ("Verse");
    EXPECT_EQ (out[0], (Json { { "name", intro.cleanName }, { "type", intro.type }, { "startTime", 0.0 }, { "duration", 8.0 } }));
    EXPECT_EQ (out[1], (Json { { "name", verse.cleanName }, { "type", verse.type }, { "startTime", 8.0 }, { "duration", 8.0 } }));
}

TEST (CsvSections, PositionsAtAConstantSignature)
{
    struct Case
    {
        const char* position;
        Json signature;
        double start;
    };
    const std::vector<Case> cases {
        { "5.3", Json::array ({ 4, 4 }), 9.0 },
        { "5", Json::array ({ 4, 4 }), 8.0 },
        { ".3", Json::array ({ 4, 4 }), 1.0 },
        { "x.2", Json::array ({ 4, 4 }), 0.5 },
        { "9.1.00", Json::array ({ 4, 4 }), 16.0 },
        { "2.1", Json::array ({ 6, 8 }), 1.5 },
        { "0.1", Json::array ({ 4, 4 }), -2.0 },
        { " +3 . 2", Json::array ({ 4, 4 }), 4.5 },
        { "99999999999.1", Json::array ({ 4, 4 }), 0.0 }, // out of range reads as 1
        { "2.1", Json::array ({ 4, 0 }), 8.0 }, // a denominator below 1 counts as 1
        { "3.1", Json::array ({ 0, 4 }), 1.0 }, // a numerator below 1: bars of one beat
        { "3.1", Json::array ({ -4, 4 }), 1.0 },
    };
    for (const auto& c : cases)
        EXPECT_DOUBLE_EQ (startOf (c.position, 120.0, { { "timeSignature", c.signature } }), c.start) << c.position << " in " << c.signature;
}

TEST (CsvSections, PositionsFollowAMapOfTwoOrMoreEntries)
{
    const Json map = Json::parse (R"([{"time":0,"timeSignature":[4,4]},{"time":8.0,"timeSignature":[3,4]}])");
    EXPECT_DOUBLE_EQ (startOf ("6.1", 120.0, { { "timeSignatureMap", map } }), 9.5);
    EXPECT_DOUBLE_EQ (startOf ("6.3", 120.0, { { "timeSignatureMap", map } }), 10.5);
    EXPECT_DOUBLE_EQ (startOf ("0.1", 120.0, { { "timeSignatureMap", map } }), 0.0) << "bar 0 counts like bar 1";
    EXPECT_DOUBLE_EQ (startOf ("5.1", 120.0, { { "timeSignatureMap", map } }), 8.0);

    // A one-entry map is ignored.
    const Json single = Json::parse (R"([{"time":0,"timeSignature":[3,4]}])");
    EXPECT_DOUBLE_EQ (startOf ("2.1", 120.0, { { "timeSignatureMap", single }, { "timeSignature", { 4, 4 } } }), 2.0);

    // A change that falls inside a bar takes effect from the next bar start at or after it.
    const Json midBar = Json::parse (R"([{"time":0,"timeSignature":[4,4]},{"time":3.0,"timeSignature":[6,8]}])");
    EXPECT_DOUBLE_EQ (startOf ("4.2", 120.0, { { "timeSignatureMap", midBar } }), 2.0 + 2.0 + 1.5 + 0.25);

    // Entries out of order: the signature is whatever the lookup finds at each bar start.
    const Json unsorted = Json::parse (R"([{"time":4.0,"timeSignature":[3,4]},{"time":0,"timeSignature":[4,4]},{"time":8.0,"timeSignature":[2,4]}])");
    std::vector<TimeSignatureMapEntry> entries = readTimeSignatureMap (unsorted);
    double sum = 0.0;
    for (int bar = 1; bar < 12; ++bar)
        sum += lookupTimeSignature (sum, entries, {}).numerator * 0.5;
    EXPECT_DOUBLE_EQ (startOf ("12.1", 120.0, { { "timeSignatureMap", unsorted } }), sum);
}

TEST (CsvSections, HugeBarNumbersAndTinyBarsFinishAndStayExact)
{
    const Json map = Json::parse (R"([{"time":0,"timeSignature":[4,4]},{"time":8.0,"timeSignature":[3,4]}])");
    // Bars 1-4 last 2 s, the rest 1.5 s.
    expectRelative (startOf ("2147483647.1", 120.0, { { "timeSignatureMap", map } }), 8.0 + (2147483646.0 - 4.0) * 1.5, "map, last bar");
    // In int32 the beat count (bar - 1) x n would overflow.
    expectRelative (startOf ("2147483647.2147483647", 120.0), (2147483646.0 * 4.0 + 2147483646.0) * 0.5, "plain, last bar");

    // Bars of 0.24 ns at 1e12 bpm with a change at 1000 s: billions of bars before the change.
    const Json late = Json::parse (R"([{"time":0,"timeSignature":[4,4]},{"time":1000.0,"timeSignature":[7,8]}])");
    const double bar = 4.0 * 60.0 / 1e12;
    expectRelative (startOf ("2000000000.1", 1e12, { { "timeSignatureMap", late } }), 1999999999.0 * bar, "tiny bars");

    // A negative numerator no longer walks backwards: bars of one beat.
    const Json backwards = Json::parse (R"([{"time":0,"timeSignature":[4,4]},{"time":1.0,"timeSignature":[-4,4]}])");
    expectRelative (startOf ("2000000000.1", 120.0, { { "timeSignatureMap", backwards } }), 2.0 + (1999999999.0 - 1.0) * 0.5, "negative numerator");

    // Many rows share one walk of the map.
    std::string csv;
    for (int i = 0; i < 20000; ++i)
        csv += "M,Verse," + std::to_string (2147483647 - i) + ".1\n";
    const auto out = sections (csv, 120.0, { { "timeSignatureMap", map } });
    ASSERT_EQ (out.size(), 20000u);
    expectRelative (out.front().at ("startTime").get<double>(), 8.0 + (2147483646.0 - 20000.0 + 1.0 - 4.0) * 1.5, "first sorted row");
}

TEST (CsvSections, HeaderRuleIsAHandWrittenMatcher)
{
    struct Case
    {
        const char* line;
        bool header;
    };
    const std::vector<Case> cases {
        { "#,Name,Start,End", true },  { "# \t ,NAME", true },     { "#,x,y,nAmE", true },   { "#,Intro,3.1", false },
        { "#x,Name,1.1", false },      { " #,Name", false },        { "name,#,1.1", false },  { "#", false },
        { "#  ", false },              { "#\v\f,Name", true },
    };
    for (const auto& c : cases)
        EXPECT_EQ (isSectionListHeader (c.line), c.header) << c.line;

    // A line without "name" is a row; a header is skipped; a million-character line is fine.
    const auto out = sections ("#,Intro,3.1\n#,Name,Start\n" + std::string (1000000, ' ') + "#" + std::string (1000000, ' ') + ",x", 120.0);
    ASSERT_EQ (out.size(), 1u);
    EXPECT_DOUBLE_EQ (out[0].at ("startTime").get<double>(), 4.0);
}

TEST (CsvSections, RowsAreFilteredSortedAndGivenDurations)
{
    const std::string csv = "A,Chorus,9.1\r\n"
                            "B,Intro,1.1\r\n"
                            "bad row without position\n"
                            "C,,3.1\n"
                            "D,Verse,\n"
                            "E,Bridge,5.1,extra,fields\n"
                            "\n"
                            "F,Outro,5.1\n"
                            "  G , Solo , 3.1  ";
    const auto out = sections (csv, 120.0);
    std::vector<std::pair<double, double>> times;
    for (const auto& s : out)
        times.emplace_back (s.at ("startTime").get<double>(), s.at ("duration").get<double>());
    EXPECT_EQ (times, (std::vector<std::pair<double, double>> { { 0.0, 4.0 }, { 4.0, 4.0 }, { 8.0, 0.0 }, { 8.0, 8.0 }, { 16.0, 8.0 } }));
    EXPECT_EQ (out[1].at ("name"), classifySectionMarker ("Solo").cleanName);
    EXPECT_EQ (out[2].at ("name"), classifySectionMarker ("Bridge").cleanName) << "equal starts keep their row order";

    EXPECT_EQ (sections ("M1,Intro,1.1", 0.0), Json::array());
    EXPECT_EQ (parseCSVSections ({ { "csvText", "M1,Intro,1.1" } }), Json::array());
    EXPECT_EQ (sections ("", 120.0), Json::array());
    EXPECT_EQ (parseCSVSections (Json::array()), Json::array());
}
