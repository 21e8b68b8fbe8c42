#pragma once

#include <memory>

namespace quorvelle
{
// Time-stretch and pitch-shift processor over Rubber Band, with the calls the audio sources make.
//
// - Each `process` call consumes exactly `inCount` input samples per channel and writes exactly
//   `outCount` output samples per channel; the ratio follows from the counts over time.
//   `outCount` 0 only feeds input (priming).
// - The latencies depend on `configure` and `setLatency`: the output is delayed to one fixed
//   latency, by default one that covers ratios 0.5..2 and +-12 semitones, or the smaller one a
//   setting needs (latencyFor). Prime with `inputLatency()` zeros and no output, process, then
//   drop the first `inputLatency() + outputLatency()` output samples: the result starts at sample 0
//   of the source.
// - `process`, `reset` and `setTransposeSemitones` neither allocate nor lock (audio thread).
// - Input sample s (counted from the first call after `reset` that asks for output, primed input
//   not counted) comes out at inputLatency() + outputLatency() + the output asked for before s was handed
//   over. Primed input only serves as the stretcher's run-in; it is never heard.
// - Rubber Band runs at ratios 0.5..2 at most (a caller asking for more falls behind: silence,
//   then the output it stood for is skipped); transpositions are limited to +-12 semitones.
class TimeStretcher
{
public:
    enum class Engine
    {
        live,    // the faster engine, for the audio thread
        offline  // the finer engine, for offline renders
    };

    explicit TimeStretcher (Engine engine = Engine::live);
    ~TimeStretcher();
    TimeStretcher (const TimeStretcher&) = delete;
    TimeStretcher& operator= (const TimeStretcher&) = delete;

    // Builds the processor (allocates; not for the audio thread). `blockSamples` and
    // `intervalSamples` are the analysis window and hop the callers ask for; Rubber Band chooses its
    // own, and the block only picks its window class (short below 60 ms, long above 180 ms).
    void configure (int channels, int blockSamples, int intervalSamples, double sampleRate);
    void reset();
    // 0 semitones, or a tonality limit of 0, is plain transposition; Rubber Band has no tonality
    // limit, so every transposition is plain.
    void setTransposeSemitones (float semitones, float tonalityLimit = 0.0f);
    void process (const float* const* inputs, int inCount, float* const* outputs, int outCount);
    // After the last input: writes the remaining output (up to `outCount` samples per channel) and
    // returns how many samples were written; in all, inputLatency() + outputLatency() samples, so
    // that a trimmed offline render reaches its full length. Call `reset` before processing again.
    int flush (float* const* outputs, int outCount);

    // Live engine: the latency a stretcher kept at a tempo ratio (input samples per output sample)
    // and a transposition needs, the servo's bend included. At most fullRangeLatency().
    int latencyFor (double ratio, float semitones) const;
    // The latency `configure` chooses: it covers ratios 0.5..2 at any transposition.
    int fullRangeLatency() const;
    // Live engine: the latency from the next `reset` on (clamped to the input latency and
    // fullRangeLatency()); the caller keeps the ratio and transposition within the setting it was
    // computed for. Neither allocates nor locks.
    void setLatency (int samples);

    int inputLatency() const;
    int outputLatency() const;
    int channels() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};
} // namespace quorvelle
