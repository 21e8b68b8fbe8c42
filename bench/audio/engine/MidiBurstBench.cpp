// The MIDI input burst: 10,000 control changes a second for 10 s (100,000 messages), injected through the in-memory
// ports and delivered by the engine to the message thread as MIDI_INPUT_MESSAGE events, against the
// same paced burst through a bare `MessageManager::callAsync` loop. Reported: the p99 delay from
// injection to the event on the message thread, the peak number of messages in flight (injected,
// not yet delivered), and whether every message came in order.
#include "audio/engine/AudioEngine.h"
#include "bench/JuceBenchmarkMain.h"
#include "platform/StorageRoot.h"
#include "tests/support/MessageLoop.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

using namespace quorvelle;

namespace
{
using Clock = std::chrono::steady_clock;
constexpr int perSecond = 10000;
constexpr int total = perSecond * 10;

struct Burst
{
    std::vector<Clock::time_point> injected = std::vector<Clock::time_point> (total);
    std::vector<double> delayMs = std::vector<double> (total, -1.0);
    std::atomic<int> sent { 0 };
    int received = 0, peakInFlight = 0;
    bool inOrder = true;

    // Message thread: a message arrived carrying `code`, its index modulo 16384 (two 7-bit bytes).
    // In order, it is message `received`.
    void arrive (int code)
    {
        const int index = received;
        if (code != index % 16384 && inOrder)
        {
            inOrder = false;
            std::fprintf (stderr, "first out of order: code %d at %d\n", code, index);
        }
        if (index < total)
            delayMs[(size_t) index] = std::chrono::duration<double, std::milli> (Clock::now() - injected[(size_t) index]).count();
        ++received;
        peakInFlight = std::max (peakInFlight, sent.load() - received);
    }

    // Paces `send (index)` at 10,000 a second from its own thread, and runs the loop until all arrived.
    void run (const std::function<void (int)>& send)
    {
        std::thread pacer ([&]
        {
            const auto start = Clock::now();
            for (int i = 0; i < total; ++i)
            {
                std::this_thread::sleep_until (start + std::chrono::microseconds ((int64_t) i * 1000000 / perSecond));
                injected[(size_t) i] = Clock::now();
                sent = i + 1;
                send (i);
            }
        });
        test::runMessageLoopUntil ([&] { return received >= total; }, 120000);
        pacer.join();
    }

    double p99() const
    {
        auto sorted = delayMs;
        std::sort (sorted.begin(), sorted.end());
        return sorted[(size_t) (total * 0.99)];
    }
};

void midiBurst (benchmark::State& state)
{
    Burst engineBurst, bareBurst;
    for (auto _ : state)
    {
        auto ports = std::make_shared<platform::InMemoryMidiPortSystem>();
        ports->addInput ("in", "Burst");
        AudioEngine::useMidiPortSystemForNextEngine (ports);
        AudioEngine engine ([&] (const juce::String&, const juce::var& e)
        {
            if (e.getProperty ("action", {}).toString() == "MIDI_INPUT_MESSAGE")
                engineBurst.arrive ((int) e["data1"] * 128 + (int) e["data2"]);
        }, [] { return getStorageRoot(); });
        engine.enableMidiInput ("in");
        engineBurst.run ([&] (int i) { ports->inject ("in", juce::MidiMessage::controllerEvent (1, (i / 128) % 128, i % 128)); });
        engine.disableMidiInput ("in");

        bareBurst.run ([&] (int i) { juce::MessageManager::callAsync ([&bareBurst, i] { bareBurst.arrive (i % 16384); }); });
    }
    state.counters["engine_p99_ms"] = engineBurst.p99();
    state.counters["bare_p99_ms"] = bareBurst.p99();
    state.counters["p99_ratio"] = engineBurst.p99() / std::max (1e-9, bareBurst.p99());
    state.counters["engine_peak_in_flight"] = engineBurst.peakInFlight;
    state.counters["bare_peak_in_flight"] = bareBurst.peakInFlight;
    state.counters["all_in_order"] = engineBurst.inOrder && bareBurst.inOrder && engineBurst.received == total ? 1 : 0;
}
} // namespace

BENCHMARK (midiBurst)->Iterations (1)->Unit (benchmark::kSecond);

int main (int argc, char** argv) { return bench::runWithJuce (argc, argv); }
