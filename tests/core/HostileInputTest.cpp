// Core methods given the smallest inputs that once stalled the message thread or took gigabytes:
// each answers (an error, "parsed": false or a bounded result), and the process's peak memory
// grows by no more than the row allows. One process per row, so each row's peak is its own; the
// test's timeout bounds the time (a search that grows with the square of the input fails by it).
#include "core/AbletonImport.h"
#include "core/CoreService.h"
#include "core/TimingMaps.h"
#include "charts/ChartMethods.h"
#include "tests/core/LiveSetFixtures.h"
#include "tests/support/Base64Text.h"
#include "tests/support/PeakMemory.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <functional>
#include <iostream>

namespace quorvelle::core
{
namespace
{
std::string zlibBase64 (const std::string& text)
{
    std::vector<uint8_t> out (compressBound (text.size()));
    uLongf size = out.size();
    EXPECT_EQ (compress2 (out.data(), &size, reinterpret_cast<const Bytef*> (text.data()), text.size(), 1), Z_OK);
    out.resize (size);
    return quorvelle::test::encodeBase64 (out);
}

// The zlib stream of head + unit x count + tail, in Base64, written without holding the text.
std::string zlibBase64Repeated (const std::string& head, const std::string& unit, std::size_t count, const std::string& tail)
{
    std::string chunk;
    while (chunk.size() < (1u << 20))
        chunk += unit;
    const auto perChunk = chunk.size() / unit.size();

    z_stream zs {};
    EXPECT_EQ (deflateInit (&zs, 1), Z_OK);
    std::vector<uint8_t> out;
    uint8_t buffer[65536];
    const auto feed = [&] (const std::string& piece, int flush) {
        zs.next_in = reinterpret_cast<Bytef*> (const_cast<char*> (piece.data()));
        zs.avail_in = static_cast<uInt> (piece.size());
        do
        {
            zs.next_out = buffer;
            zs.avail_out = sizeof (buffer);
            deflate (&zs, flush);
            out.insert (out.end(), buffer, buffer + (sizeof (buffer) - zs.avail_out));
        } while (zs.avail_out == 0);
    };
    feed (head, Z_NO_FLUSH);
    for (std::size_t done = 0; done < count; done += perChunk)
        feed (count - done >= perChunk ? chunk : chunk.substr (0, (count - done) * unit.size()), Z_NO_FLUSH);
    feed (tail, Z_FINISH);
    deflateEnd (&zs);
    return quorvelle::test::encodeBase64 (out);
}

std::string repeated (const std::string& head, const std::string& unit, std::size_t count, const std::string& tail)
{
    std::string text = head;
    text.reserve (head.size() + unit.size() * count + tail.size());
    for (std::size_t i = 0; i < count; ++i)
        text += unit;
    return text + tail;
}

Json companionPayload (std::size_t songs)
{
    Json list = Json::array(), ids = Json::array();
    for (std::size_t i = 0; i < songs; ++i)
    {
        const auto id = "song-" + std::to_string (i);
        list.push_back ({ { "songId", id }, { "title", "T" }, { "sections", Json::array ({ { { "id", "s" }, { "name", "Verse" } } }) },
                          { "entries", Json::array ({ { { "id", "e" }, { "sectionId", "s" } } }) } });
        ids.push_back (id);
    }
    return { { "setlistId", "x" }, { "songIds", std::move (ids) }, { "songs", std::move (list) } };
}

struct Row
{
    const char* name;
    const char* method;
    std::function<Json()> payload;
    std::function<void (const Json& answer)> check;
    int64_t peakGrowthMiB; // allowed growth of the peak while the method runs and its answer is written
};

const Row rows[] = {
    { "companionBuildBundle, 10 MB of songs, each named once", "companionBuildBundle", [] { return companionPayload (60000); },
      [] (const Json& answer) { EXPECT_EQ (answer.at ("result").at ("songs").size(), 60000u); }, 512 },
    { "companionBuildBundle, one 1 MB song named 2 million times", "companionBuildBundle",
      [] {
          Json ids = Json::array();
          for (int i = 0; i < 2'000'000; ++i)
              ids.push_back ("s");
          return Json { { "songIds", std::move (ids) }, { "songs", { { { "songId", "s" }, { "notes", { { "n", std::string (1 << 20, 'x') } } } } } } };
      },
      [] (const Json& answer) {
          EXPECT_FALSE (answer.at ("ok").get<bool>());
          EXPECT_EQ (answer.at ("error"), "core threw: companion bundle too large (more than 33554432 bytes)");
      },
      256 },
    { "tempoMapToBeatmap, 6000 bpm for a day (86 bytes)", "tempoMapToBeatmap",
      [] { return Json::parse (R"({"tempoMap":[{"time":0,"bpm":6000}],"duration":86400})"); },
      [] (const Json& answer) { EXPECT_EQ (answer.at ("result").size(), kMaxBeatmapBeats); }, 256 },
    { "parseAbletonFile, 500 MB of <a/> in a few hundred KB", "parseAbletonFile",
      [] { return Json { { "bytesBase64", zlibBase64Repeated ("<LiveSet>", "<a/>", 125'000'000, "</LiveSet>") } }; },
      [] (const Json& answer) { EXPECT_FALSE (answer.at ("result").at ("parsed").get<bool>()); }, 64 },
    { "parseAbletonFile, 1.5 million locators", "parseAbletonFile",
      [] { return Json { { "bytesBase64", zlibBase64Repeated ("<LiveSet>", "<Locator><Time Value=\"1\"/></Locator>", 1'500'000, "</LiveSet>") } }; },
      [] (const Json& answer) { EXPECT_FALSE (answer.at ("result").at ("parsed").get<bool>()); }, 256 },
    { "parseAbletonFile, 150,000 locators within the markup bounds", "parseAbletonFile",
      [] { return Json { { "bytesBase64", zlibBase64Repeated ("<LiveSet>", "<Locator><Time Value=\"1\"/></Locator>", 150'000, "</LiveSet>") } }; },
      [] (const Json& answer) { EXPECT_FALSE (answer.at ("result").at ("parsed").get<bool>()); }, 256 },
    { "parseAbletonFile, a large show set (29 MiB of XML)", "parseAbletonFile",
      [] { return Json { { "bytesBase64", zlibBase64 (test::makeLiveSetXml()) } }; },
      [] (const Json& answer) {
          const auto& result = answer.at ("result");
          EXPECT_TRUE (result.at ("parsed").get<bool>());
          EXPECT_EQ (result.at ("sections").size(), 60u);
          EXPECT_EQ (result.at ("tempoMap").size(), 200u);
          EXPECT_EQ (result.at ("timeSignatureMap").size(), 2u);
      },
      384 },
    { "parseChordChart, \"C \" 2 million times (4 MB)", "parseChordChart",
      [] { return Json { { "rawText", repeated ("", "C ", 2'000'000, "") } }; },
      [] (const Json& answer) { EXPECT_EQ (answer.at ("result").at ("blocks").at (0).at ("content").at (0).at ("chords").size(), 2'000'000u); },
      240 },
    { "parseChordChart, 6 MB of text", "parseChordChart", [] { return Json { { "rawText", repeated ("", "C ", 3'000'000, "") } }; },
      [] (const Json& answer) {
          EXPECT_FALSE (answer.at ("ok").get<bool>());
          EXPECT_EQ (answer.at ("error"), "core threw: chord chart text too long: 6000000 bytes (at most 4194304)");
      },
      64 },
};

void PrintTo (const Row& row, std::ostream* os)
{
    *os << row.name;
}

class HostileCoreInput : public ::testing::TestWithParam<Row>
{
};

TEST_P (HostileCoreInput, AnswersWithinBoundedMemory)
{
    const auto& row = GetParam();
    const auto payload = row.payload();
    const auto before = quorvelle::test::peakResidentMiB();
    std::string text;
    {
        const quorvelle::test::AddressSpaceHeadroom headroom (4096);
        text = invokeCoreMethodToJson (row.method, payload);
    }
    const auto growth = quorvelle::test::peakResidentMiB() - before;
    const auto answer = Json::parse (text);
    row.check (answer);
    EXPECT_LE (growth, row.peakGrowthMiB) << "MiB of peak growth; the answer is " << text.size() / 1024 << " KiB";
    std::cout << "[ row ] " << row.name << ": peak growth " << growth << " MiB, answer " << text.size() / 1024 << " KiB\n";
}

INSTANTIATE_TEST_SUITE_P (Core, HostileCoreInput, ::testing::ValuesIn (rows), [] (const ::testing::TestParamInfo<Row>& info) {
    return "row" + std::to_string (info.index);
});
} // namespace
} // namespace quorvelle::core
