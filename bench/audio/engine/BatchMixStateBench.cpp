// The whole mixer state in one "BATCH_MIX_STATE" message (64 and 128 tracks, the guide and the
// metronome) on the message thread, against the same changes sent one by one as the single-setter
// messages, and against one `updateGains` over the same state. Each includes the parse of the JSON
// text the front end sends. Counter block_frac: the time of one iteration over a 256-frame block
// period at 48 kHz (the target for the batch is below 0.2).
#include "bench/JuceBenchmarkMain.h"
#include "audio/engine/AudioEngine.h"
#include "audio/engine/MixerOrders.h"
#include "platform/StorageRoot.h"

#include <functional>
#include <vector>

namespace quorvelle::bench
{
namespace
{
constexpr double blockSeconds = 256.0 / 48000.0;

juce::String trackId (int i) { return "track-" + juce::String (i); }
float volumeOf (int i) { return -0.25f * (float) (i % 40); }

struct MixedEngine
{
    explicit MixedEngine (int tracks)
    {
        for (int i = 0; i < tracks; ++i)
            engine.addTrackForTesting (trackId (i), i % 2 == 0 ? "KEYS" : "BASS", nullptr);
        engine.updateGains();
    }

    AudioEngine engine { [] (const juce::String&, const juce::var&) {}, [] { return getStorageRoot(); } };
};

juce::String batchText (int tracks)
{
    juce::String text ("{\"action\":\"BATCH_MIX_STATE\",\"master\":{\"volume\":-1.5},\"tracks\":[");
    for (int i = 0; i < tracks; ++i)
        text << (i > 0 ? "," : "") << "{\"id\":\"" << trackId (i) << "\",\"volume\":" << volumeOf (i) << ",\"muted\":" << (i % 7 == 0 ? "true" : "false")
             << ",\"soloed\":false}";
    text << "],\"guide\":{\"volume\":-3,\"muted\":false,\"soloed\":false},\"metronome\":{\"muted\":false,\"soloed\":false}}";
    return text;
}

// The same changes as the single-setter messages, each with the setter its row calls.
struct Single
{
    juce::String text;
    std::function<void (AudioEngine&, const juce::var&)> apply;
};

std::vector<Single> singleMessages (int tracks)
{
    const auto number = [] (const juce::var& m, const char* key) { return (float) (double) m.getProperty (key, 0.0); };
    const auto flag = [] (const juce::var& m, const char* key) { return (bool) m.getProperty (key, false); };
    const auto id = [] (const juce::var& m) { return m.getProperty ("id", {}).toString(); };

    std::vector<Single> messages;
    messages.push_back ({ "{\"action\":\"SET_MASTER_VOLUME\",\"volume\":-1.5}", [=] (AudioEngine& e, const juce::var& m) { e.setMasterVolume (number (m, "volume")); } });
    for (int i = 0; i < tracks; ++i)
    {
        const auto quoted = "\"" + trackId (i) + "\"";
        messages.push_back ({ "{\"action\":\"SET_TRACK_VOLUME\",\"id\":" + quoted + ",\"volume\":" + juce::String (volumeOf (i)) + "}",
                              [=] (AudioEngine& e, const juce::var& m) { e.setTrackVolume (id (m), number (m, "volume")); } });
        messages.push_back ({ "{\"action\":\"SET_TRACK_MUTE\",\"id\":" + quoted + ",\"muted\":" + (i % 7 == 0 ? "true" : "false") + "}",
                              [=] (AudioEngine& e, const juce::var& m) { e.setTrackMute (id (m), flag (m, "muted")); } });
        messages.push_back ({ "{\"action\":\"SET_TRACK_SOLO\",\"id\":" + quoted + ",\"soloed\":false}",
                              [=] (AudioEngine& e, const juce::var& m) { e.setTrackSolo (id (m), flag (m, "soloed")); } });
    }
    messages.push_back ({ "{\"action\":\"SET_GUIDE_VOLUME\",\"volume\":-3}", [=] (AudioEngine& e, const juce::var& m) { e.setGuideVolume (number (m, "volume")); } });
    messages.push_back ({ "{\"action\":\"SET_GUIDE_MUTE\",\"muted\":false}", [=] (AudioEngine& e, const juce::var& m) { e.setGuideMute (flag (m, "muted")); } });
    messages.push_back ({ "{\"action\":\"SET_GUIDE_SOLO\",\"soloed\":false}", [=] (AudioEngine& e, const juce::var& m) { e.setGuideSolo (flag (m, "soloed")); } });
    messages.push_back ({ "{\"action\":\"SET_METRONOME_MUTE\",\"muted\":false}", [=] (AudioEngine& e, const juce::var& m) { e.setMetronomeMute (flag (m, "muted")); } });
    messages.push_back ({ "{\"action\":\"SET_METRONOME_SOLO\",\"soloed\":false}", [=] (AudioEngine& e, const juce::var& m) { e.setMetronomeSolo (flag (m, "soloed")); } });
    return messages;
}

void report (benchmark::State& state)
{
    state.counters["block_frac"] = benchmark::Counter ((double) state.iterations() * blockSeconds,
                                                       benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
} // namespace

static void batchMixState (benchmark::State& state)
{
    MixedEngine mixed ((int) state.range (0));
    const auto text = batchText ((int) state.range (0));
    for (auto _ : state)
        applyBatchMixState (mixed.engine, juce::JSON::parse (text));
    report (state);
}

static void sameChangesOneByOne (benchmark::State& state)
{
    MixedEngine mixed ((int) state.range (0));
    const auto messages = singleMessages ((int) state.range (0));
    state.counters["messages"] = (double) messages.size();
    for (auto _ : state)
        for (const auto& message : messages)
            message.apply (mixed.engine, juce::JSON::parse (message.text));
    report (state);
}

static void oneUpdateGains (benchmark::State& state)
{
    MixedEngine mixed ((int) state.range (0));
    applyBatchMixState (mixed.engine, juce::JSON::parse (batchText ((int) state.range (0))));
    for (auto _ : state)
        mixed.engine.updateGains();
    report (state);
}

BENCHMARK (batchMixState)->Arg (64)->Arg (128)->Unit (benchmark::kMicrosecond);
BENCHMARK (sameChangesOneByOne)->Arg (64)->Arg (128)->Unit (benchmark::kMicrosecond);
BENCHMARK (oneUpdateGains)->Arg (64)->Arg (128)->Unit (benchmark::kMicrosecond);
} // namespace quorvelle::bench

int main (int argc, char** argv) { return quorvelle::bench::runWithJuce (argc, argv); }
