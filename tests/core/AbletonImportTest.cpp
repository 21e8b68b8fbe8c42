#include "tests/support/Base64Text.h"
#include "core/AbletonImport.h"
#include "core/CoreService.h"
#include "core/SectionMarkers.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <array>
#include <cstdlib>
#include <fstream>
#include <sstream>

using namespace quorvelle::core;

namespace
{
std::string readFixture (const std::string& name)
{
    const char* root = std::getenv ("QUORVELLE_SOURCE_DIR");
    const std::string folder = root != nullptr ? std::string (root) + "/tests/fixtures/core" : std::string (QUORVELLE_CORE_FIXTURES);
    std::ifstream in (folder + "/" + name, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_FALSE (text.str().empty()) << name;
    return text.str();
}

std::vector<uint8_t> rawDeflate (const std::string& text)
{
    z_stream zs {};
    EXPECT_EQ (deflateInit2 (&zs, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::vector<uint8_t> out (deflateBound (&zs, text.size()) + 16);
    zs.next_in = reinterpret_cast<Bytef*> (const_cast<char*> (text.data()));
    zs.avail_in = static_cast<uInt> (text.size());
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt> (out.size());
    EXPECT_EQ (deflate (&zs, Z_FINISH), Z_STREAM_END);
    out.resize (zs.total_out);
    deflateEnd (&zs);
    return out;
}

void appendLe32 (std::vector<uint8_t>& out, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out.push_back (static_cast<uint8_t> (v >> (8 * i)));
}

// A gzip member with the given header flags (FHCRC 0x02, FEXTRA 0x04, FNAME 0x08, FCOMMENT 0x10).
std::vector<uint8_t> gzipWrap (const std::string& text, uint8_t flags)
{
    std::vector<uint8_t> out { 0x1F, 0x8B, 8, flags, 0, 0, 0, 0, 0, 3 };
    if ((flags & 0x04) != 0)
    {
        const std::string extra = "AP\x04\x00" "abcd";
        out.push_back (static_cast<uint8_t> (extra.size()));
        out.push_back (0);
        out.insert (out.end(), extra.begin(), extra.end());
    }
    if ((flags & 0x08) != 0)
    {
        const char name[] = "Song Project.als";
        out.insert (out.end(), name, name + sizeof (name));
    }
    if ((flags & 0x10) != 0)
    {
        const char comment[] = "written by a test";
        out.insert (out.end(), comment, comment + sizeof (comment));
    }
    if ((flags & 0x02) != 0)
    {
        const auto crc = crc32 (0, out.data(), static_cast<uInt> (out.size()));
        out.push_back (static_cast<uint8_t> (crc));
        out.push_back (static_cast<uint8_t> (crc >> 8));
    }
    const auto body = rawDeflate (text);
    out.insert (out.end(), body.begin(), body.end());
    appendLe32 (out, static_cast<uint32_t> (crc32 (0, reinterpret_cast<const Bytef*> (text.data()), static_cast<uInt> (text.size()))));
    appendLe32 (out, static_cast<uint32_t> (text.size()));
    return out;
}

std::vector<uint8_t> zlibWrap (const std::string& text)
{
    uLongf size = compressBound (text.size());
    std::vector<uint8_t> out (size);
    EXPECT_EQ (compress2 (out.data(), &size, reinterpret_cast<const Bytef*> (text.data()), text.size(), 6), Z_OK);
    out.resize (size);
    return out;
}

std::string base64 (const std::vector<uint8_t>& bytes) { return quorvelle::test::encodeBase64 (bytes); }

Json fromXml (const std::string& xml)
{
    return parseAbletonXML ({ { "xmlText", xml } });
}

Json fromBytes (const std::vector<uint8_t>& bytes)
{
    return parseAbletonFile ({ { "bytesBase64", base64 (bytes) } });
}

const Json emptyRecord = Json::parse (R"({"parsed":false,"timeSignature":null,"timeSignatureMap":[],"tempoMap":[],"duration":0.0,"sections":[]})");

// A set whose master mixer holds the given XML, plus extra XML after the master track.
std::string liveSet (const std::string& mixer, const std::string& after = {})
{
    return "<Ableton><LiveSet><MasterTrack><Mixer>" + mixer + "</Mixer></MasterTrack>" + after + "</LiveSet></Ableton>";
}

std::string remoteable (const std::string& numerator, const std::string& denominator, const std::string& time = "0")
{
    return "<RemoteableTimeSignature><Numerator Value=\"" + numerator + "\"/><Denominator Value=\"" + denominator
           + "\"/><Time Value=\"" + time + "\"/></RemoteableTimeSignature>";
}

Json section (const std::string& marker, double start, double duration)
{
    const auto label = classifySectionMarker (marker);
    return { { "name", label.cleanName }, { "type", label.type }, { "startTime", start }, { "duration", duration } };
}
} // namespace

TEST (LiveSetImport, TempoAutomationLocatorsAndLength)
{
    const auto out = fromXml (readFixture ("live-tempo-automation.xml"));
    const std::vector<TempoPoint> points { { 0, 128 }, { 16, 140 } };
    const double t16 = beatToSeconds (16, points), t32 = beatToSeconds (32, points), t48 = beatToSeconds (48, points);

    EXPECT_TRUE (out.at ("parsed").get<bool>());
    EXPECT_EQ (out.at ("tempoMap"), Json::parse (R"([{"time":0.0,"bpm":128.0},{"time":16.0,"bpm":140.0}])"));
    EXPECT_EQ (out.at ("timeSignature"), Json::array ({ 4, 4 }));
    EXPECT_EQ (out.at ("timeSignatureMap"), Json::array());
    EXPECT_DOUBLE_EQ (out.at ("duration").get<double>(), t48);
    // The "Error" locator is dropped, the empty name reads as "Section", sorted by time.
    EXPECT_EQ (out.at ("sections"), Json::array ({ section ("Intro", 0.0, t16), section ("Verse 1", t16, t32 - t16),
                                                   section ("Section", t32, t48 - t32) }));
}

TEST (LiveSetImport, SignatureAutomationBecomesAMap)
{
    const auto out = fromXml (readFixture ("live-signature-automation.xml"));
    EXPECT_EQ (out.at ("tempoMap"), Json::parse (R"([{"time":0.0,"bpm":120.0}])"));
    EXPECT_EQ (out.at ("timeSignatureMap"), Json::parse (R"([{"time":0.0,"timeSignature":[4,4]},{"time":16.0,"timeSignature":[3,4]}])"));
    EXPECT_EQ (out.at ("timeSignature"), Json::array ({ 4, 4 }));
    EXPECT_DOUBLE_EQ (out.at ("duration").get<double>(), 32.0) << "ArrangementLoop/End when there is no ArrangementLength";
    // A locator without a name is a "Marker"; the last one, 0.5 s before the end, lasts 1 s.
    EXPECT_EQ (out.at ("sections"), Json::array ({ section ("Marker", 0.0, 31.5), section ("Outro", 31.5, 1.0) }));
}

TEST (LiveSetImport, RemoteableSignatures)
{
    const auto out = fromXml (readFixture ("live-remoteable-signatures.xml"));
    // Global 7/8 (Manual numerator, exponent denominator 3); the entry with denominator -1 is
    // skipped; the first collected entry lies at 4 s, so 7/8 goes in front at 0.
    EXPECT_EQ (out.at ("timeSignature"), Json::array ({ 7, 8 }));
    EXPECT_EQ (out.at ("timeSignatureMap"),
               Json::parse (R"([{"time":0.0,"timeSignature":[7,8]},{"time":0.0,"timeSignature":[7,8]},{"time":4.0,"timeSignature":[4,4]}])"));
    EXPECT_EQ (out.at ("duration").get<double>(), 0.0);
    EXPECT_EQ (out.at ("sections"), Json::array());

    struct Case
    {
        std::string numerator, denominator;
        Json signature;
    };
    const std::vector<Case> cases {
        { "7", "3", { 7, 8 } }, { "7", "8", { 7, 8 } }, { "7", "4", { 7, 16 } }, { "3", "0", { 3, 1 } },
        { "3", "5", { 3, 32 } }, { " +6abc", "2", { 6, 4 } }, { "4", "-1", nullptr }, { "4", "-7", nullptr },
    };
    for (const auto& c : cases)
        EXPECT_EQ (fromXml (liveSet ("<TimeSignature><TimeSignatures>" + remoteable (c.numerator, c.denominator)
                                     + "</TimeSignatures></TimeSignature>"))
                       .at ("timeSignature"),
                   c.signature)
            << c.numerator << "/" << c.denominator;
}

TEST (LiveSetImport, IntegerTextsFailWithTheStandardMessages)
{
    const std::array<CoreMethod, 1> table { { { "parseAbletonXML", &parseAbletonXML } } };
    struct Case
    {
        std::string numerator, denominator, error;
    };
    const std::vector<Case> cases {
        { "x", "2", "core threw: invalid stoi argument" },
        { "", "2", "core threw: invalid stoi argument" },
        { "4", "-", "core threw: invalid stoi argument" },
        { "99999999999", "2", "core threw: stoi argument out of range" },
        { "4", "2147483648", "core threw: stoi argument out of range" },
    };
    for (const auto& c : cases)
    {
        const auto xml = liveSet ("<TimeSignature><TimeSignatures>" + remoteable (c.numerator, c.denominator)
                                  + "</TimeSignatures></TimeSignature>");
        EXPECT_EQ (invokeCoreMethodFrom (table, "parseAbletonXML", { { "xmlText", xml } }),
                   (Json { { "ok", false }, { "error", c.error } }))
            << c.numerator << "/" << c.denominator;
    }
    EXPECT_EQ (invokeCoreMethodFrom (table, "parseAbletonXML",
                                     { { "xmlText", liveSet ("<TimeSignature><TimeSignatures>" + remoteable ("-2147483648", "2")
                                                             + "</TimeSignatures></TimeSignature>") } })
                   .at ("result")
                   .at ("timeSignature"),
               Json::array ({ -2147483648LL, 4 }));
}

TEST (LiveSetImport, TempoEvents)
{
    const auto tempo = [] (const std::string& events, const std::string& manual = "") {
        return fromXml (liveSet ("<Tempo>" + manual + "<ArrangerAutomation><Events>" + events + "</Events></ArrangerAutomation></Tempo>"))
            .at ("tempoMap");
    };
    EXPECT_EQ (tempo ("<FloatEvent Time=\"-1\" Value=\"128\"/><FloatEvent Time=\"0\" Value=\"100\"/>"),
               Json::parse (R"([{"time":0.0,"bpm":100.0}])"));
    EXPECT_EQ (tempo ("", "<Manual Value=\"97\"/>"), Json::parse (R"([{"time":0.0,"bpm":97.0}])"));
    EXPECT_EQ (tempo (""), Json::parse (R"([{"time":0.0,"bpm":120.0}])"));
    // A negative-time event after a point no longer changes the base tempo.
    EXPECT_EQ (tempo ("<FloatEvent Time=\"8\" Value=\"90\"/><FloatEvent Time=\"-1\" Value=\"128\"/>"),
               Json::parse (R"([{"time":0.0,"bpm":120.0},{"time":8.0,"bpm":90.0}])"));
    // Events out of order are sorted.
    EXPECT_EQ (tempo ("<FloatEvent Time=\"8\" Value=\"90\"/><FloatEvent Time=\"0\" Value=\"100\"/>"),
               Json::parse (R"([{"time":0.0,"bpm":100.0},{"time":8.0,"bpm":90.0}])"));
}

TEST (LiveSetImport, NonFiniteAttributesCountAsMissing)
{
    EXPECT_EQ (fromXml (liveSet ("<Tempo><Manual Value=\"nan\"/></Tempo>")).at ("tempoMap"), Json::parse (R"([{"time":0.0,"bpm":120.0}])"));
    EXPECT_EQ (fromXml (liveSet ("<Tempo><Manual Value=\"1e999\"/><ArrangerAutomation><Events>"
                                 "<FloatEvent Time=\"inf\" Value=\"-inf\"/><FloatEvent Time=\"NaN\" Value=\"90\"/>"
                                 "<FloatEvent Time=\"4\" Value=\"nan\"/></Events></ArrangerAutomation></Tempo>"))
                   .at ("tempoMap"),
               Json::parse (R"([{"time":0.0,"bpm":120.0},{"time":0.0,"bpm":90.0},{"time":4.0,"bpm":120.0}])"));

    const auto out = fromXml (liveSet ("<Tempo><Manual Value=\"120\"/></Tempo>",
                                       "<Locators><Locators><Locator><Time Value=\"inf\"/><Name Value=\"Intro\"/></Locator>"
                                       "<Locator><Time Value=\"nan\"/><Name Value=\"Verse\"/></Locator></Locators></Locators>"
                                       "<ArrangementLength Value=\"1e999\"/>"));
    EXPECT_EQ (out.at ("duration").get<double>(), 0.0);
    EXPECT_EQ (out.at ("sections"), Json::array ({ section ("Intro", 0.0, 0.0), section ("Verse", 0.0, 8.0) }));
}

TEST (LiveSetImport, SignatureEnumDecoding)
{
    struct Case
    {
        int32_t value;
        std::optional<TimeSignature> signature;
    };
    const std::vector<Case> cases {
        { 201, TimeSignature { 4, 4 } }, { 200, TimeSignature { 3, 4 } }, { 101, TimeSignature { 3, 2 } },
        { 2, TimeSignature { 3, 1 } },   { 494, TimeSignature { 99, 16 } }, { 495, std::nullopt },
        { -1, std::nullopt },            { 2147483647, std::nullopt },      { -2147483647 - 1, std::nullopt },
    };
    for (const auto& c : cases)
        EXPECT_EQ (decodeTimeSignatureEnum (c.value), c.signature) << c.value;

    // Only a negative-time event and no global signature: no map, the initial signature.
    const auto out = fromXml (liveSet ("<TimeSignature><ArrangerAutomation><Events><EnumEvent Time=\"-5\" Value=\"200\"/>"
                                       "</Events></ArrangerAutomation></TimeSignature>"));
    EXPECT_EQ (out.at ("timeSignatureMap"), Json::array());
    EXPECT_EQ (out.at ("timeSignature"), Json::array ({ 3, 4 }));
}

TEST (LiveSetImport, UnreadableInputGivesTheEmptyRecord)
{
    for (const std::string& xml : { std::string {}, std::string ("<Live>"), std::string ("<Ableton><Song/></Ableton>"),
                                   std::string ("<Ableton><LiveSet><MasterTrack></LiveSet>") })
        EXPECT_EQ (fromXml (xml), emptyRecord) << xml;
    EXPECT_EQ (parseAbletonXML (Json::array()), emptyRecord);
    EXPECT_EQ (parseAbletonFile (Json::object()), emptyRecord);

    const auto xml = readFixture ("live-signature-automation.xml");
    EXPECT_EQ (fromBytes (std::vector<uint8_t> (xml.begin(), xml.end())), emptyRecord) << "uncompressed bytes";
}

TEST (LiveSetImport, GzipAndZlibWrappers)
{
    const auto xml = readFixture ("live-tempo-automation.xml");
    const auto expected = fromXml (xml);
    ASSERT_TRUE (expected.at ("parsed").get<bool>());

    for (const uint8_t flags : { 0x00, 0x02, 0x04, 0x08, 0x10, 0x08 | 0x02, 0x04 | 0x08 | 0x10 | 0x02 })
        EXPECT_EQ (fromBytes (gzipWrap (xml, flags)), expected) << "flags " << int (flags);
    EXPECT_EQ (fromBytes (zlibWrap (xml)), expected);

    // Cut short inside the deflate data, a damaged stream, a wrong method, too short.
    auto gz = gzipWrap (xml, 0x08);
    EXPECT_EQ (fromBytes (std::vector<uint8_t> (gz.begin(), gz.begin() + static_cast<std::ptrdiff_t> (gz.size() / 2))), emptyRecord);
    auto damaged = gz;
    for (std::size_t i = 40; i < 60; ++i)
        damaged[i] ^= 0xA5;
    EXPECT_EQ (fromBytes (damaged), emptyRecord);
    auto wrongMethod = gz;
    wrongMethod[2] = 7;
    EXPECT_EQ (fromBytes (wrongMethod), emptyRecord);
    EXPECT_EQ (fromBytes ({ 0x1F, 0x8B, 8, 0x04, 0, 0, 0, 0, 0, 3, 0xFF }), emptyRecord) << "FEXTRA without its length";
    EXPECT_EQ (fromBytes ({ 0x78, 0x9C, 3, 0, 0 }), emptyRecord);
    auto zl = zlibWrap (xml);
    EXPECT_EQ (fromBytes (std::vector<uint8_t> (zl.begin(), zl.end() - 200)), emptyRecord);
}

TEST (LiveSetImport, InflateOutputIsCapped)
{
    const std::string text (1000, 'x');
    const auto body = rawDeflate (text);
    EXPECT_EQ (inflateRawDeflate (body.data(), body.size(), 1000), text);
    EXPECT_EQ (inflateRawDeflate (body.data(), body.size(), 999), "");
    const auto gz = gzipWrap (text, 0);
    EXPECT_EQ (decompressAbletonSet (gz.data(), gz.size(), 1000), text);
    EXPECT_EQ (decompressAbletonSet (gz.data(), gz.size(), 999), "");
}

TEST (LiveSetImport, DecompressionBombAnswersTheEmptyRecord)
{
    // 1 MiB of "<LiveSet" padding per full-flushed segment; 520 segments inflate past 512 MiB.
    const std::string chunk = "<LiveSet" + std::string (1024 * 1024 - 8, ' ');
    z_stream zs {};
    ASSERT_EQ (deflateInit2 (&zs, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::vector<uint8_t> segment (deflateBound (&zs, chunk.size()) + 64);
    zs.next_in = reinterpret_cast<Bytef*> (const_cast<char*> (chunk.data()));
    zs.avail_in = static_cast<uInt> (chunk.size());
    zs.next_out = segment.data();
    zs.avail_out = static_cast<uInt> (segment.size());
    ASSERT_EQ (deflate (&zs, Z_FULL_FLUSH), Z_OK);
    segment.resize (zs.total_out);
    deflateEnd (&zs);

    std::vector<uint8_t> zlib { 0x78, 0xDA };
    for (int i = 0; i < 520; ++i)
        zlib.insert (zlib.end(), segment.begin(), segment.end());
    zlib.insert (zlib.end(), { 0x03, 0x00 }); // final empty block
    appendLe32 (zlib, 0); // Adler-32 (not checked)

    EXPECT_EQ (decompressAbletonSet (zlib.data(), zlib.size()), "");
    EXPECT_EQ (fromBytes (zlib), emptyRecord);

    // The same stream with fewer segments stays under the cap and is inflated whole.
    std::vector<uint8_t> small { 0x78, 0xDA };
    for (int i = 0; i < 3; ++i)
        small.insert (small.end(), segment.begin(), segment.end());
    small.insert (small.end(), { 0x03, 0x00 });
    appendLe32 (small, 0);
    EXPECT_EQ (decompressAbletonSet (small.data(), small.size()).size(), 3u * chunk.size());
}

TEST (LiveSetImport, ElementSearch)
{
    pugi::xml_document doc;
    ASSERT_TRUE (doc.load_string ("<a><b><c id='1'/></b><c id='2'><d/></c><e><b><d id='x'/></b></e></a>"));
    EXPECT_STREQ (findFirstElement (doc, "c").attribute ("id").value(), "1");
    EXPECT_STREQ (findFirstElement (doc.child ("a").child ("e"), "e").name(), "e") << "the node itself counts";
    EXPECT_FALSE (findFirstElement (doc.child ("a").child ("b"), "d"));
    EXPECT_FALSE (findFirstElement (pugi::xml_node {}, "a"));
    EXPECT_STREQ (findElementPath (doc, { "e", "b", "d" }).attribute ("id").value(), "x");
    EXPECT_FALSE (findElementPath (doc, { "a", "c", "e" }));
    // The first "b" is found anywhere, then only direct children.
    EXPECT_FALSE (findElementPath (doc, { "b", "d" }));
}
