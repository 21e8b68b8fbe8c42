#include "core/CoreService.h"
#include "core/TimeSignatureInference.h"

#include <gtest/gtest.h>

using namespace quorvelle::core;

namespace
{
// A beat map from bar lengths: bars of the given sizes, one beat per 0.5 s, beats numbered in
// their bar, after `pickup` beats numbered from pickupFrom.
Json beatmapFromBars (const std::vector<int>& bars, int pickup = 0, int pickupFrom = 1, int tail = 0)
{
    Json beats = Json::array();
    double t = 0.0;
    const auto add = [&] (int n) { beats.push_back ({ { "time", t }, { "beatNum", n } }); t += 0.5; };
    for (int i = 0; i < pickup; ++i)
        add (pickupFrom + i);
    for (const int bar : bars)
        for (int b = 1; b <= bar; ++b)
            add (b);
    for (int i = 0; i < tail; ++i)
        add (1);
    return beats;
}

Json call (const char* method, const Json& beatmap)
{
    const auto response = invokeCoreMethod (method, { { "beatmap", beatmap } });
    EXPECT_TRUE (response.at ("ok").get<bool>()) << response.dump();
    return response.at ("result");
}
} // namespace

TEST (CoreTimeSignature, SingleSignature)
{
    struct Case { Json beatmap; Json expected; };
    const Case cases[] = {
        { Json::array(), Json::parse ("[4,4]") },
        { Json ("not a list"), Json::parse ("[4,4]") },
        { Json::parse (R"([{"beatNum":1},{"beatNum":2},{"beatNum":3},{"beatNum":1},{"beatNum":2},{"beatNum":3},{"beatNum":1}])"), Json::parse ("[3,4]") },
        { beatmapFromBars ({ 6, 6, 6 }, 0, 1, 1), Json::parse ("[6,8]") },
        { beatmapFromBars ({ 7, 7 }, 0, 1, 1), Json::parse ("[7,8]") },
        { beatmapFromBars ({ 12, 12 }, 0, 1, 1), Json::parse ("[12,8]") },
        { beatmapFromBars ({ 9, 9 }, 0, 1, 1), Json::parse ("[9,4]") },
        { beatmapFromBars ({ 5, 5 }, 0, 1, 1), Json::parse ("[5,4]") },
        { beatmapFromBars ({ 4, 3, 3, 4 }, 0, 1, 1), Json::parse ("[3,4]") },    // tie: the smaller gap
        { beatmapFromBars ({ 5 }), Json::parse ("[5,4]") },                      // one downbeat: the largest number
        { Json::parse (R"([{"beatNum":2},{"beatNum":3},{"beatNum":0}])"), Json::parse ("[3,4]") },
        { Json::parse (R"([{"beatNum":-2},{"beatNum":0}])"), Json::parse ("[1,4]") },
        { Json::parse (R"([{"beatNum":6},{}])"), Json::parse ("[6,8]") },       // the missing beatNum is 1
    };
    for (const auto& c : cases)
        EXPECT_EQ (call ("detectTimeSignatureFromBeatmap", c.beatmap), c.expected) << c.beatmap.dump();

    EXPECT_EQ (invokeCoreMethod ("detectTimeSignatureFromBeatmap", Json::object())["result"], Json::parse ("[4,4]"));
}

TEST (CoreTimeSignature, SignatureMap)
{
    struct Case { const char* name; Json beatmap; const char* expected; };
    const Case cases[] = {
        { "empty", Json::array(), R"([{"time":0.0,"timeSignature":[4,4]}])" },
        { "one downbeat", beatmapFromBars ({ 3 }), R"([{"time":0.0,"timeSignature":[3,4]}])" },
        { "steady 3/4", beatmapFromBars ({ 3, 3 }, 0, 1, 1), R"([{"time":0.0,"timeSignature":[3,4]}])" },
        { "a lone 3-beat bar is ignored", beatmapFromBars ({ 4, 4, 3, 4, 4 }, 0, 1, 1), R"([{"time":0.0,"timeSignature":[4,4]}])" },
        { "two 3-beat bars start an entry", beatmapFromBars ({ 4, 4, 3, 3, 4, 4 }, 0, 1, 1),
          R"([{"time":0.0,"timeSignature":[4,4]},{"time":4.0,"timeSignature":[3,4]},{"time":7.0,"timeSignature":[4,4]}])" },
        { "the last bar counts", beatmapFromBars ({ 4, 4, 2 }, 0, 1, 1),
          R"([{"time":0.0,"timeSignature":[4,4]},{"time":4.0,"timeSignature":[2,4]}])" },
        { "the first bar counts", beatmapFromBars ({ 2, 4, 4 }, 0, 1, 1),
          R"([{"time":0.0,"timeSignature":[2,4]},{"time":1.0,"timeSignature":[4,4]}])" },
        { "pickup beats", beatmapFromBars ({ 4 }, 2, 3, 1), R"([{"time":1.0,"timeSignature":[4,4]}])" },
        { "unfinished last bar plays no part", beatmapFromBars ({ 4, 4, 6 }, 0, 1, 0),
          R"([{"time":0.0,"timeSignature":[4,4]}])" },
        { "6/8 bars", beatmapFromBars ({ 6, 6, 4, 4 }, 0, 1, 1),
          R"([{"time":0.0,"timeSignature":[6,8]},{"time":6.0,"timeSignature":[4,4]}])" },
    };
    for (const auto& c : cases)
        EXPECT_EQ (call ("detectTimeSignatureMapFromBeatmap", c.beatmap), Json::parse (c.expected)) << c.name;
}
