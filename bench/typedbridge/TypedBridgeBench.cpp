// Typed road against the JSON road: decode + verify + dispatch of a typed message (through the real
// handlers into a sink that only keeps the request) against juce::JSON::parse of the same action;
// and the cost of building and emitting outbound typed events.

#include "typedbridge/TypedBridge.h"
#include "typedbridge/TypedHandlers.h"
#include "typedbridge/TypedMessages_generated.h"

#include <benchmark/benchmark.h>

namespace
{
namespace fb = quorvelle::bridge;
using B = flatbuffers::FlatBufferBuilder;

std::string finish (B& b, fb::ToNativePayload type, flatbuffers::Offset<void> payload)
{
    b.Finish (fb::CreateToNativeMessage (b, type, payload));
    return juce::Base64::toBase64 (b.GetBufferPointer(), b.GetSize()).toStdString();
}

std::string typedPlay()
{
    B b;
    return finish (b, fb::ToNativePayload::TransportPlay, fb::CreateTransportPlayDirect (b, nullptr, true, false, 12.5, "chorus", true, 120.0, 4, 4).Union());
}

juce::String jsonPlay()
{
    return R"({"action": "TRANSPORT_CONTROL", "command": "PLAY", "fromStart": true, "startPosition": 12.5, "sectionKey": "chorus", )"
           R"("sectionPreRoll": true, "countInBpm": 120.0, "countInNumerator": 4, "countInDenominator": 4})";
}

std::string typedBatch (int tracks)
{
    B b;
    std::vector<flatbuffers::Offset<fb::TrackMixState>> t;
    for (int i = 0; i < tracks; ++i)
        t.push_back (fb::CreateTrackMixStateDirect (b, ("track-" + std::to_string (i)).c_str(), -0.5f * (float) i, i % 3 == 0, i % 7 == 0));
    std::vector<flatbuffers::Offset<fb::BusMixState>> buses;
    for (int i = 0; i < 16; ++i)
        buses.push_back (fb::CreateBusMixStateDirect (b, ("bus-" + std::to_string (i)).c_str(), -1.0f));
    std::vector<flatbuffers::Offset<fb::SeqGuideOverride>> overrides;
    const auto payload = fb::CreateBatchMixStateDirect (b, nullptr, fb::CreateMasterMixState (b, -3.0f), &t, fb::CreateGuideMixState (b, -6.0f),
                                                        fb::CreateMetronomeMixState (b), &buses, &overrides);
    return finish (b, fb::ToNativePayload::BatchMixState, payload.Union());
}

juce::String jsonBatch (int tracks)
{
    juce::String s = R"({"action": "BATCH_MIX_STATE", "master": {"volume": -3.0}, "guide": {"volume": -6.0, "muted": false, "soloed": false}, )"
                     R"("metronome": {"muted": false, "soloed": false}, "tracks": [)";
    for (int i = 0; i < tracks; ++i)
        s << (i > 0 ? ", " : "") << R"({"id": "track-)" << i << R"(", "volume": )" << juce::String (-0.5 * i, 1) << R"(, "muted": )"
          << (i % 3 == 0 ? "true" : "false") << R"(, "soloed": )" << (i % 7 == 0 ? "true" : "false") << "}";
    s << R"(], "buses": [)";
    for (int i = 0; i < 16; ++i)
        s << (i > 0 ? ", " : "") << R"({"groupId": "bus-)" << i << R"(", "volume": -1.0})";
    s << R"(], "seqGuideOverrides": []})";
    return s;
}

std::string typedCues (int cues)
{
    B b;
    std::vector<flatbuffers::Offset<fb::MidiCueEntry>> c;
    for (int i = 0; i < cues; ++i)
        c.push_back (fb::CreateMidiCueEntryDirect (b, ("cue-" + std::to_string (i)).c_str(), "Program change", 0.5 * i, "bus-1", "pc", i % 128,
                                                   100, i % 2 == 0, ""));
    return finish (b, fb::ToNativePayload::UpdateMidiCues, fb::CreateUpdateMidiCuesDirect (b, nullptr, &c).Union());
}

juce::String jsonCues (int cues)
{
    juce::String s = R"({"action": "UPDATE_MIDI_CUES", "cues": [)";
    for (int i = 0; i < cues; ++i)
        s << (i > 0 ? ", " : "") << R"({"id": "cue-)" << i << R"(", "time": )" << juce::String (0.5 * i, 1)
          << R"(, "busId": "bus-1", "messageType": "pc", "value": )" << (i % 128) << R"(, "name": "Program change", "velocity": 100)"
          << (i % 2 == 0 ? R"(, "disableOnLoop": true)" : "") << "}";
    s << "]}";
    return s;
}

// The typed road ends where the JSON road begins: the rebuilt request is handed to a sink.
void runTyped (benchmark::State& state, const std::string& base64)
{
    quorvelle::TypedBridge bridge (nullptr);
    juce::var last;
    quorvelle::installTypedHandlers (bridge, [&] (const juce::var& r) { last = r; }, {});
    for (auto _ : state)
    {
        bridge.dispatchBase64 (base64);
        benchmark::DoNotOptimize (last);
    }
    state.SetLabel (std::to_string (base64.size()) + " Base64 chars");
}

void runJson (benchmark::State& state, const juce::String& text)
{
    for (auto _ : state)
    {
        auto parsed = juce::JSON::parse (text);
        benchmark::DoNotOptimize (parsed);
    }
    state.SetLabel (std::to_string (text.length()) + " JSON chars");
}

void BM_Typed_Play (benchmark::State& s) { runTyped (s, typedPlay()); }
void BM_Json_Play (benchmark::State& s) { runJson (s, jsonPlay()); }
void BM_Typed_BatchMixState128 (benchmark::State& s) { runTyped (s, typedBatch (128)); }
void BM_Json_BatchMixState128 (benchmark::State& s) { runJson (s, jsonBatch (128)); }
void BM_Typed_UpdateMidiCues2000 (benchmark::State& s) { runTyped (s, typedCues (2000)); }
void BM_Json_UpdateMidiCues2000 (benchmark::State& s) { runJson (s, jsonCues (2000)); }

BENCHMARK (BM_Typed_Play)->Unit (benchmark::kMicrosecond);
BENCHMARK (BM_Json_Play)->Unit (benchmark::kMicrosecond);
BENCHMARK (BM_Typed_BatchMixState128)->Unit (benchmark::kMicrosecond);
BENCHMARK (BM_Json_BatchMixState128)->Unit (benchmark::kMicrosecond);
BENCHMARK (BM_Typed_UpdateMidiCues2000)->Unit (benchmark::kMicrosecond);
BENCHMARK (BM_Json_UpdateMidiCues2000)->Unit (benchmark::kMicrosecond);

// A front end that takes every event and keeps only the last one.
class SinkHost final : public quorvelle::platform::FrontEndHost
{
public:
    juce::var last;
    void setResourceProvider (ResourceProvider, const juce::String&) override {}
    juce::String getResourceProviderRoot() const override { return "https://juce.backend/"; }
    void setToNativeListener (ToNativeListener) override {}
    void emitEventIfVisible (const juce::Identifier&, const juce::var& payload) override { last = payload; }
    bool isFrontEndVisible() const override { return true; }
    void goToURL (const juce::String&) override {}
};

void BM_Send_WaveformUpdate3x4000 (benchmark::State& state)
{
    SinkHost host;
    quorvelle::TypedBridge bridge (&host);
    std::vector<float> peaks (4000), lo (4000), hi (4000);
    for (size_t i = 0; i < peaks.size(); ++i)
    {
        peaks[i] = (float) ((i * 37) % 1000) / 1000.0f;
        lo[i] = -peaks[i];
        hi[i] = peaks[i];
    }
    for (auto _ : state)
    {
        bridge.sendWaveformUpdate ("song-1", peaks, lo, hi);
        benchmark::DoNotOptimize (host.last);
    }
}

void BM_Send_DebugLog (benchmark::State& state)
{
    SinkHost host;
    quorvelle::TypedBridge bridge (&host);
    const std::string line = "[INIT-FLOW] BG thread DONE — audioEngine.initialise() returned";
    for (auto _ : state)
    {
        bridge.sendDebugLog (line);
        benchmark::DoNotOptimize (host.last);
    }
}

BENCHMARK (BM_Send_WaveformUpdate3x4000)->Unit (benchmark::kMicrosecond);
BENCHMARK (BM_Send_DebugLog)->Unit (benchmark::kMicrosecond);
} // namespace

BENCHMARK_MAIN();
