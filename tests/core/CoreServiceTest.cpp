#include "core/CoreService.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <new>
#include <stdexcept>

using namespace quorvelle::core;

namespace
{
std::string respond (std::string_view method, const char* payload)
{
    return invokeCoreMethodToJson (method, Json::parse (payload));
}
} // namespace

TEST (CoreAccessors, GetIntTruncatesAndSaturates)
{
    struct Case { Json value; int32_t expected; };
    const Case cases[] = {
        { Json (4294967297ull), 1 },               // low 32 bits of an integer
        { Json (2147483648ull), std::numeric_limits<int32_t>::min() },
        { Json (-1), -1 },
        { Json (-2.7), -2 },                       // truncation toward zero
        { Json (3.9), 3 },
        { Json (3.0e10), std::numeric_limits<int32_t>::max() },
        { Json (-3.0e10), std::numeric_limits<int32_t>::min() },
        { Json (std::numeric_limits<double>::infinity()), std::numeric_limits<int32_t>::max() },
        { Json (std::nan ("")), 0 },
        { Json (true), 7 },                        // not a number: the default
        { Json ("5"), 7 },
        { Json(), 7 },
    };
    for (const auto& c : cases)
    {
        Json object = { { "n", c.value } };
        EXPECT_EQ (getInt (object, "n", 7), c.expected) << c.value.dump();
    }
    EXPECT_EQ (getInt (Json::array ({ 1 }), "n", 7), 7);
    EXPECT_EQ (getInt (Json::object(), "n", 7), 7);
}

TEST (CoreAccessors, TypesAreNeverConverted)
{
    const auto v = Json::parse (R"({"bpm":"120","flag":1,"name":5,"d":3,"u":18446744073709551615,"nul":null,"s":"x"})");
    EXPECT_EQ (getDouble (v, "bpm", -1.0), -1.0);
    EXPECT_EQ (getDouble (v, "d", -1.0), 3.0);
    EXPECT_EQ (getDouble (v, "u", -1.0), 18446744073709551615.0);
    EXPECT_FALSE (getBool (v, "flag", false));
    EXPECT_EQ (getString (v, "name", "dflt"), "dflt");
    EXPECT_EQ (getString (v, "s", "dflt"), "x");
    EXPECT_EQ (findString (v, "name"), std::nullopt);
    EXPECT_EQ (findString (v, "s"), "x");
    EXPECT_EQ (getOptionalNumber (v, "nul"), std::nullopt);
    EXPECT_EQ (getOptionalNumber (v, "d"), 3.0);
    EXPECT_EQ (getOptionalString (v, "nul"), std::nullopt);
    EXPECT_EQ (getOptionalString (v, "missing"), std::nullopt);
    EXPECT_THROW (getOptionalString (v, "d"), nlohmann::json::type_error);
    EXPECT_EQ (readStringList (Json::parse (R"(["a",1,null,"b"])")), (std::vector<std::string> { "a", "b" }));
    EXPECT_TRUE (readStringList (Json::parse (R"({"a":"b"})")).empty());
    // A value that is not an object gives the defaults.
    EXPECT_EQ (getDouble (Json ("text"), "bpm", 2.0), 2.0);
}

TEST (CoreAccessors, ToInt32TakesBooleansAndNumbersAndThrowsForTheRest)
{
    EXPECT_EQ (toInt32 (Json (true)), 1);
    EXPECT_EQ (toInt32 (Json (false)), 0);
    EXPECT_EQ (toInt32 (Json (4294967297ull)), 1);
    EXPECT_EQ (toInt32 (Json (-2.7)), -2);
    EXPECT_EQ (toInt32 (Json (3.0e10)), std::numeric_limits<int32_t>::max());
    EXPECT_EQ (toInt32 (Json (std::nan (""))), 0);
    EXPECT_THROW (toInt32 (Json ("5")), nlohmann::json::type_error);
    EXPECT_THROW (toInt32 (Json()), nlohmann::json::type_error);
    EXPECT_THROW (toInt32 (Json::array()), nlohmann::json::type_error);
}

TEST (CoreAccessors, MembersArraysAndStringViews)
{
    const auto v = Json::parse (R"({"list":[1,2,3],"nul":null,"s":"text","n":4})");
    EXPECT_EQ (memberOrNull (v, "list"), Json::parse ("[1,2,3]"));
    EXPECT_TRUE (memberOrNull (v, "nul").is_null());
    EXPECT_TRUE (memberOrNull (v, "missing").is_null());
    EXPECT_TRUE (memberOrNull (Json::array ({ 1 }), "list").is_null());

    EXPECT_EQ (getStringView (v, "s"), "text");
    EXPECT_EQ (getStringView (v, "s").data(), v["s"].get_ref<const std::string&>().data()); // viewed in place
    EXPECT_EQ (getStringView (v, "n"), "");
    EXPECT_EQ (getStringView (v, "missing"), "");
    EXPECT_EQ (getStringView (Json ("s"), "s"), "");

    const auto twice = [] (const Json& e) { return 2 * e.get<int>(); };
    EXPECT_EQ (readArray (v["list"], twice), (std::vector<int> { 2, 4, 6 }));
    EXPECT_TRUE (readArray (v["s"], twice).empty());
    EXPECT_TRUE (readArray (memberOrNull (v, "missing"), twice).empty());
    EXPECT_TRUE (readArray (Json::object(), twice).empty());
}

TEST (CoreBase64, DecodesAndSkipsForeignCharacters)
{
    struct Case { std::string text; std::string expected; };
    const Case cases[] = {
        { "TWFu", "Man" },
        { "T W\nF=u\r\t", "Man" },
        { "TWE", "Ma" },              // two leftover bits dropped
        { "TWE=", "Ma" },
        { "TWFu====", "Man" },
        { "-_-_-", "" },
        { "", "" },
        { "/+/+", "\xFF\xEF\xFE" },
        { "SGVsbG8sIHdvcmxkIQ==", "Hello, world!" },
    };
    for (const auto& c : cases)
    {
        const auto bytes = decodeBase64 (c.text);
        EXPECT_EQ (std::string (bytes.begin(), bytes.end()), c.expected) << c.text;
    }
}

TEST (CoreBase64, LengthLimitIsInclusive)
{
    std::string text (kMaxBase64TextLength, '=');
    text.replace (0, 4, "TWFu");
    const auto atLimit = decodeBase64 (text);
    EXPECT_EQ (std::string (atLimit.begin(), atLimit.end()), "Man");

    text.push_back ('=');
    EXPECT_TRUE (decodeBase64 (text).empty());
}

TEST (CoreService, UnknownMethods)
{
    const char* names[] = { "getsongkeyindex", "", "decideBoundaryAction ", "parseusbdescriptors", "CORE_INVOKE" };
    for (const auto* name : names)
        EXPECT_EQ (respond (name, "{}"), std::string (R"({"error":"unknown method: )") + name + R"(","ok":false})");
}

TEST (CoreService, ChordChartMethodsAnswerThroughTheTable)
{
    EXPECT_EQ (respond ("transposeChord", R"({"chord":"Amor","semitones":2})"), R"({"ok":true,"result":"Bmor"})");
    EXPECT_EQ (respond ("transposeChord", R"({"chord":"C/E/G","semitones":2})"), R"({"ok":true,"result":"D/E/A"})");
    EXPECT_EQ (respond ("getSongKeyIndex", R"({"songKey":"D"})"), R"({"ok":true,"result":2})");
    const auto chart = nlohmann::json::parse (respond ("parseChordChart", R"({"rawText":"[Verso]\nG   D\nHola mundo"})"));
    EXPECT_TRUE (chart.at ("ok").get<bool>()) << chart.dump();
    EXPECT_FALSE (chart.at ("result").dump().find ("Hola mundo") == std::string::npos) << chart.dump();
    const auto line = nlohmann::json::parse (respond ("transformChordLine", R"({"line":"G   D","semitones":2})"));
    EXPECT_TRUE (line.at ("ok").get<bool>()) << line.dump();
}

TEST (CoreService, EveryMethodAnswersAnEmptyPayloadWithItsDefaults)
{
    struct Case { const char* method; const char* response; };
    const Case cases[] = {
        { "decideBoundaryAction",
          R"({"ok":true,"result":{"newDispatch":{"activeBoundarySeek":null,"activeClickRepeat":null,"activeLoopRegion":null,)"
          R"("loopRegionIsOneShot":false,"pendingSongMapIndex":null},"priorityTag":"","setBoundarySeek":[],)"
          R"("setClickSectionRepeat":null,"setLoopRegion":null}})" },
        { "calculateCountInDuration", R"({"ok":true,"result":0.0})" },
        { "tempoMapToBeatmap", R"({"ok":true,"result":[]})" },
        { "calculatePreciseTime", R"({"ok":true,"result":0.0})" },
        { "detectTimeSignatureFromBeatmap", R"({"ok":true,"result":[4,4]})" },
        { "detectTimeSignatureMapFromBeatmap", R"({"ok":true,"result":[{"time":0.0,"timeSignature":[4,4]}]})" },
        { "mapMarkerToSectionType", R"({"ok":true,"result":{"cleanName":"","type":""}})" },
        { "isCountSection", R"({"ok":true,"result":false})" },
        { "countSyllables", R"({"ok":true,"result":0})" },
        { "detectSongOptionsChanges",
          R"({"ok":true,"result":{"anyChange":false,"bpmChanged":false,"clickChanged":false,"entriesChanged":false,)"
          R"("guideChanged":false,"keyChanged":false,"mixChanged":false,"pitchChanged":false,"stretchChanged":false,)"
          R"("timeChanged":false,"tracksChanged":false,"versionChanged":false}})" },
        { "buildSongOptionsApplyPlan",
          R"({"ok":true,"result":{"changes":{"anyChange":false,"bpmChanged":false,"clickChanged":false,"entriesChanged":false,)"
          R"("guideChanged":false,"keyChanged":false,"mixChanged":false,"pitchChanged":false,"stretchChanged":false,)"
          R"("timeChanged":false,"tracksChanged":false,"versionChanged":false},"shouldRePreloadNextSong":false,)"
          R"("willReloadCurrentSong":false,"willReprocessAudio":false}})" },
        { "companionBuildBundle", R"({"ok":true,"result":{"hash":"vdtr87","setlistId":"","setlistName":"","songs":[]}})" },
    };
    for (const auto& c : cases)
    {
        EXPECT_EQ (respond (c.method, "{}"), c.response) << c.method;
        // A payload that is not an object reads every member as absent.
        EXPECT_EQ (respond (c.method, "[1,2]"), c.response) << c.method;
    }
}

TEST (CoreService, MethodsAnswerThroughTheEnvelope)
{
    EXPECT_EQ (respond ("calculateCountInDuration", R"({"bpm":120})"), R"({"ok":true,"result":4.0})");
    EXPECT_EQ (respond ("mapMarkerToSectionType", R"({"name":"Coro 2"})"), R"({"ok":true,"result":{"cleanName":"Coro 2","type":"Coro 2"}})");
    EXPECT_EQ (respond ("countSyllables", R"({"text":"canción"})"), R"({"ok":true,"result":2})");
    EXPECT_EQ (respond ("isCountSection", R"({"name":" Count Off "})"), R"({"ok":true,"result":true})");
}

TEST (CoreService, LibraryErrorsBecomeCoreThrew)
{
    EXPECT_EQ (respond ("tempoMapToBeatmap", R"({"tempoMap":[{"time":0,"bpm":120}],"duration":2,"timeSignature":["3",4]})"),
               R"({"error":"core threw: [json.exception.type_error.302] type must be number, but is string","ok":false})");
    EXPECT_EQ (respond ("detectSongOptionsChanges", R"({"snapshot":{"songKey":5},"local":{},"ctx":{}})"),
               R"({"error":"core threw: [json.exception.type_error.302] type must be string, but is number","ok":false})");
}

TEST (CoreService, HandlerExceptionsOfEveryKindAreCaught)
{
    static constexpr CoreMethod table[] = {
        { "std", [] (const Json&) -> Json { throw std::runtime_error ("boom"); } },
        { "alloc", [] (const Json&) -> Json { throw std::bad_alloc(); } },
        { "other", [] (const Json&) -> Json { throw 42; } },
        { "dup", [] (const Json&) -> Json { return 1; } },
        { "dup", [] (const Json&) -> Json { return 2; } },
    };
    EXPECT_EQ (invokeCoreMethodFrom (table, "std", {}), Json::parse (R"({"ok":false,"error":"core threw: boom"})"));
    EXPECT_EQ (invokeCoreMethodFrom (table, "alloc", {}), Json::parse (R"({"ok":false,"error":"core threw: std::bad_alloc"})"));
    EXPECT_EQ (invokeCoreMethodFrom (table, "other", {}), Json::parse (R"({"ok":false,"error":"core threw unknown exception"})"));
    EXPECT_EQ (invokeCoreMethodFrom (table, "dup", {}), Json::parse (R"({"ok":true,"result":1})"));
}

TEST (CoreService, TableHoldsEveryMethodInTestOrder)
{
    const char* expected[] = { "parseAbletonXML", "parseAbletonFile", "parseCSVSections", "mapMarkerToSectionType",
                               "isCountSection", "calculateCountInDuration", "detectTimeSignatureFromBeatmap",
                               "detectTimeSignatureMapFromBeatmap", "transposeChord", "transformChordLine", "getSongKeyIndex",
                               "countSyllables", "tempoMapToBeatmap", "calculatePreciseTime", "extractCuesInSection",
                               "buildClipboardSnapshot", "computePasteForSection", "destinationHasExistingCues",
                               "computeDeleteForSection", "detectSongOptionsChanges", "buildSongOptionsApplyPlan",
                               "decideBoundaryAction", "parseChordChart", "companionBuildBundle", "parseUsbDescriptors" };
    const auto table = coreMethodTable();
    ASSERT_EQ (table.size(), std::size (expected));
    for (std::size_t i = 0; i < table.size(); ++i)
        EXPECT_EQ (table[i].name, expected[i]);
}

TEST (CoreEnvelope, InvalidUtf8IsReplacedNotThrown)
{
    // A lone lead byte, a byte that never occurs in UTF-8, and a valid multi-byte character.
    Json envelope = { { "ok", true }, { "result", { { "name", std::string ("a\xC3") + "b\xFF" + "c\xC3\xB1" } } } };
    std::string text;
    ASSERT_NO_THROW (text = serialiseCoreEnvelope (envelope));
    EXPECT_EQ (text, "{\"ok\":true,\"result\":{\"name\":\"a\xEF\xBF\xBD" "b\xEF\xBF\xBD" "c\xC3\xB1\"}}");
    // The strict serialiser would have thrown on the same value.
    EXPECT_THROW ((void) envelope.dump(), nlohmann::json::type_error);
}

TEST (CoreEnvelope, UnknownMethodWithInvalidUtf8NameStillAnswers)
{
    const auto text = invokeCoreMethodToJson ("bad\xFFname", Json::object());
    EXPECT_EQ (text, "{\"error\":\"unknown method: bad\xEF\xBF\xBDname\",\"ok\":false}");
}

TEST (CoreEnvelope, KeysInByteOrderFloatsWithPointAndRawUtf8)
{
    Json envelope = { { "result", { { "b", 1.0 }, { "a", 0.5 }, { "Z", "ñ\"\\\n" }, { "\xC3\xA9", 3 } } }, { "ok", true } };
    EXPECT_EQ (serialiseCoreEnvelope (envelope),
               "{\"ok\":true,\"result\":{\"Z\":\"\xC3\xB1\\\"\\\\\\n\",\"a\":0.5,\"b\":1.0,\"\xC3\xA9\":3}}");
}

// "parseChordChart" answers with text written chord by chord; it must be the text of the same
// result written whole, for every chart fixture and for texts with invalid UTF-8 and quotes.
TEST (CoreService, ChordChartTextAnswerIsTheWholeResultWritten)
{
    std::vector<std::string> texts = { "", "C D\nHola \"mundo\"\n", "[Verse]\nG  \xff\xfe Em\nla \\ \xc3 vida\n", "{title: \"blocks\":null}\n[G]x" };
    for (const auto& entry : std::filesystem::directory_iterator (QUORVELLE_CHART_FIXTURES))
        if (entry.path().extension() == ".txt")
        {
            std::ifstream in (entry.path(), std::ios::binary);
            texts.emplace_back (std::istreambuf_iterator<char> (in), std::istreambuf_iterator<char>());
        }
    ASSERT_GT (texts.size(), 10u);

    for (const auto& text : texts)
    {
        SCOPED_TRACE (text.substr (0, 40));
        const Json payload = { { "rawText", text }, { "options", { { "songKey", "G" } } } };
        EXPECT_EQ (invokeCoreMethodToJson ("parseChordChart", payload), serialiseCoreEnvelope (invokeCoreMethod ("parseChordChart", payload)));
    }
}
