// From a stem's "url" text to an audio reader, the lead pad of silence before a reader, and the
// decoders of a reader into float or 16-bit memory.
//
// Threads: every function runs on any thread; one reader is used by one thread at a time. The
// format manager is shared and only asked to create readers. `readRangeToInt16` may run while the
// audio thread plays the same channels: it writes only chunks whose bit is clear and sets a
// chunk's bit after its samples are written.
#pragma once

#include "audio/graph/ChainSources.h"

#include <juce_audio_formats/juce_audio_formats.h>

#include <functional>
#include <memory>
#include <vector>

namespace quorvelle
{
// Samples per decode step: the scratch size and the interval between exit checks.
inline constexpr int stemDecodeChunk = 131072;

// Where relative stem paths are fetched from: the development front end's server.
inline constexpr const char* stemDevelopmentOrigin = "http://127.0.0.1:5173";

// True for exactly http://localhost, https://localhost and http://127.0.0.1, any port, without
// user info, judged on the parsed scheme and host. Everything else is remote.
bool isAdmittedLoopbackUrl (const juce::String& url);

// What the copies of the reader policy differ in. Every line starts with `prefix`.
struct StemReaderCopy
{
    juce::String prefix;
    // Written before a fetch (+ the url); empty: no line.
    juce::String fetchLine;
    bool logFetchFailure = true;
    // The input text and each local path with whether it exists (the track loader's lines).
    bool logLocalDetails = false;
    // 0: the framework's default.
    int connectionTimeoutMs = 0;
    // Where the lines go; empty: nowhere.
    std::function<void (const juce::String&)> log;
    // Checked between pieces of a fetch: true abandons it (no reader).
    std::function<bool()> shouldStop;
};

// What a decoder asks before every chunk: true stops it (the decode then fails). A struct, not a
// bare function, so that a null thread argument stays unambiguous.
struct StopCheck
{
    std::function<bool()> requested;
    bool operator()() const { return requested != nullptr && requested(); }
};

// The reader policy: "/..." is a local path, "file://" + path the path, a relative text goes to
// the development origin, an admitted loopback url is fetched (5 redirects) and read from memory;
// anything else is refused with the BLOCKED line and never connects. With `fetched` the fetched
// bytes are moved there and the reader reads them in place (the caller keeps the block alive as
// long as the reader); without it the reader keeps its own copy.
std::unique_ptr<juce::AudioFormatReader> openStemReader (juce::AudioFormatManager& formats, const juce::String& url,
                                                         const StemReaderCopy& copy, juce::MemoryBlock* fetched = nullptr);

// The local file a "file://" url or a plain path names, when it exists; never fetches, logs nothing.
std::unique_ptr<juce::AudioFormatReader> openLocalReader (juce::AudioFormatManager& formats, const juce::String& url);

// A reader with `padSamples` of silence before its source's first sample. Owns the source.
class PaddedAudioFormatReader final : public juce::AudioFormatReader
{
public:
    PaddedAudioFormatReader (std::unique_ptr<juce::AudioFormatReader> source, juce::int64 padSamples);

    bool readSamples (int* const* destChannels, int numDestChannels, int startOffsetInDestBuffer, juce::int64 startSampleInFile,
                      int numSamples) override;

    juce::int64 getPadSamples() const noexcept { return padSamples; }

private:
    std::unique_ptr<juce::AudioFormatReader> source;
    const juce::int64 padSamples;
};

// `reader` itself when it is null, `seconds` ≤ 0, its rate ≤ 0 or the pad rounds to no sample;
// else a padded reader around it.
std::unique_ptr<juce::AudioFormatReader> createPaddedReader (std::unique_ptr<juce::AudioFormatReader> reader, double seconds);

// Decodes the first `numSamples` of every channel into `buffer` (at least that many channels and
// samples), in chunks; false on an exit request of `thread` (may be null) or a failed read.
bool readAllToFloat (juce::AudioFormatReader* reader, juce::AudioBuffer<float>& buffer, juce::int64 numSamples, juce::Thread* thread);

// Decodes the whole reader into 16-bit channels (the upper 16 bits of each sample, no dither);
// `channels` is resized and allocated to the reader's shape when it does not match. False for a
// null, floating-point or empty reader, a failed read or an exit request of `thread` (may be null).
bool readAllToInt16 (juce::AudioFormatReader* reader, std::vector<Int16ChannelData>& channels, juce::Thread* thread);

// Decodes [start, start + length) grown to whole chunks into `channels`, which must already hold
// the reader's channels at its full length (they may be playing: they are never reallocated);
// `scratch` gets one buffer per reader channel. Each chunk is marked in `map` once all its samples
// are written; chunks already marked are skipped, never rewritten. False as readAllToInt16, and
// for channels of another shape.
bool readRangeToInt16 (juce::AudioFormatReader* reader, std::vector<Int16ChannelData>& channels, std::vector<std::vector<int>>& scratch,
                       juce::int64 start, juce::int64 length, ChunkLoadMap* map, juce::Thread* thread);

// Sample-rate conversion of decoded stems (windowed sinc), keeping each form's storage. The
// length becomes ceil(length × to / from); the interpolator's delay is taken out. False on an
// stop (the stem is then left as it was).
bool convertSampleRate (juce::AudioBuffer<float>& buffer, double fromRate, double toRate, const StopCheck& shouldStop);
bool convertSampleRate (std::vector<Int16ChannelData>& channels, double fromRate, double toRate, const StopCheck& shouldStop);

// The decoders with a stop check in place of a thread (a run of a worker that outlives its runs).
bool readAllToFloat (juce::AudioFormatReader* reader, juce::AudioBuffer<float>& buffer, juce::int64 numSamples, const StopCheck& shouldStop);
bool readAllToInt16 (juce::AudioFormatReader* reader, std::vector<Int16ChannelData>& channels, const StopCheck& shouldStop);
bool readRangeToInt16 (juce::AudioFormatReader* reader, std::vector<Int16ChannelData>& channels, std::vector<std::vector<int>>& scratch,
                       juce::int64 start, juce::int64 length, ChunkLoadMap* map, const StopCheck& shouldStop);
} // namespace quorvelle
