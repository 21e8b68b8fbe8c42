#include "audio/loading/StemReaders.h"

#include <algorithm>
#include <cmath>
#include <optional>

namespace quorvelle
{
namespace
{
bool exitRequested (const StopCheck& shouldStop) { return shouldStop(); }
bool exitRequested (const std::function<bool()>& shouldStop) { return shouldStop != nullptr && shouldStop(); }

StopCheck stopOf (juce::Thread* thread)
{
    if (thread == nullptr)
        return {};
    return { [thread] { return thread->threadShouldExit(); } };
}

void writeLine (const StemReaderCopy& copy, const juce::String& text)
{
    if (copy.log)
        copy.log (copy.prefix + text);
}

// A local file for `path`, or none when the text is not an absolute path (juce::File wants one).
std::optional<juce::File> localFile (const juce::String& path)
{
    if (path.isEmpty() || ! juce::File::isAbsolutePath (path))
        return std::nullopt;
    return juce::File (path);
}

std::unique_ptr<juce::AudioFormatReader> openFile (juce::AudioFormatManager& formats, const juce::String& path)
{
    const auto file = localFile (path);
    if (! file.has_value() || ! file->existsAsFile())
        return nullptr;
    return std::unique_ptr<juce::AudioFormatReader> (formats.createReaderFor (*file));
}

bool isAsciiDigits (const juce::String& text)
{
    return text.isNotEmpty() && text.length() <= 5 && text.containsOnly ("0123456789") && text.getIntValue() <= 65535;
}
} // namespace

bool isAdmittedLoopbackUrl (const juce::String& url)
{
    const auto schemeEnd = url.indexOf ("://");
    if (schemeEnd <= 0)
        return false;
    const auto scheme = url.substring (0, schemeEnd).toLowerCase();
    if (scheme != "http" && scheme != "https")
        return false;

    // The authority runs to the first "/" (or the end); any "?", "#", "@" or "\" in it is refused
    // rather than guessed at, since another parser could read a different host out of it.
    const auto rest = url.substring (schemeEnd + 3);
    const auto slash = rest.indexOfChar ('/');
    const auto authority = slash < 0 ? rest : rest.substring (0, slash);
    if (authority.containsAnyOf ("?#@\\ \t\r\n") || authority.isEmpty())
        return false;

    auto host = authority;
    if (const auto colon = authority.indexOfChar (':'); colon >= 0)
    {
        if (! isAsciiDigits (authority.substring (colon + 1)))
            return false;
        host = authority.substring (0, colon);
    }
    host = host.toLowerCase();

    if (scheme == "https")
        return host == "localhost";
    return host == "localhost" || host == "127.0.0.1";
}

std::unique_ptr<juce::AudioFormatReader> openStemReader (juce::AudioFormatManager& formats, const juce::String& urlText,
                                                         const StemReaderCopy& copy, juce::MemoryBlock* fetched)
{
    auto s = urlText;
    if (copy.logLocalDetails)
        writeLine (copy, "createReader input URL: [" + s + "]");

    if (s.startsWith ("/"))
    {
        const auto exists = localFile (s).has_value() && juce::File (s).existsAsFile();
        if (copy.logLocalDetails)
            writeLine (copy, "Absolute path. Exists: " + juce::String (exists ? "YES" : "NO") + " -> " + s);
        return openFile (formats, s);
    }

    if (! s.startsWith ("http") && ! s.startsWith ("file") && ! s.contains ("://"))
        s = juce::String (stemDevelopmentOrigin) + "/" + s;

    if (s.startsWith ("file://"))
    {
        const auto path = s.substring (7);
        if (copy.logLocalDetails)
        {
            const auto file = localFile (path);
            const bool exists = file.has_value() && file->existsAsFile();
            writeLine (copy, "file:// URL. Path: [" + path + "] Exists: " + juce::String (exists ? "YES" : "NO")
                                 + " Size: " + juce::String (exists ? file->getSize() : 0));
        }
        auto reader = openFile (formats, path);
        if (reader == nullptr && copy.logLocalDetails)
            writeLine (copy, "formatManager.createReaderFor RETURNED NULL for: " + path);
        return reader;
    }

    if (! isAdmittedLoopbackUrl (s))
    {
        writeLine (copy, "BLOCKED remote URL (dato corrupto): " + s);
        return nullptr;
    }

    if (copy.fetchLine.isNotEmpty())
        writeLine (copy, copy.fetchLine + s);

    const auto options = juce::URL::InputStreamOptions (juce::URL::ParameterHandling::inAddress).withNumRedirectsToFollow (5);
    auto stream = juce::URL (s).createInputStream (copy.connectionTimeoutMs > 0 ? options.withConnectionTimeoutMs (copy.connectionTimeoutMs)
                                                                               : options);
    if (stream == nullptr)
    {
        if (copy.logFetchFailure)
            writeLine (copy, "Failed to create InputStream for: " + s);
        return nullptr;
    }

    // Read in pieces so that a stop request is seen while a slow server sends.
    juce::MemoryBlock bytes;
    {
        juce::MemoryOutputStream sink (bytes, false);
        juce::HeapBlock<char> piece (65536);
        while (! stream->isExhausted())
        {
            if (exitRequested (copy.shouldStop))
                return nullptr;
            const auto got = stream->read (piece.get(), 65536);
            if (got <= 0)
                break;
            sink.write (piece.get(), (size_t) got);
        }
    }
    stream.reset();

    if (fetched != nullptr)
    {
        *fetched = std::move (bytes);
        return std::unique_ptr<juce::AudioFormatReader> (
            formats.createReaderFor (std::make_unique<juce::MemoryInputStream> (*fetched, false)));
    }
    return std::unique_ptr<juce::AudioFormatReader> (formats.createReaderFor (std::make_unique<juce::MemoryInputStream> (bytes, true)));
}

std::unique_ptr<juce::AudioFormatReader> openLocalReader (juce::AudioFormatManager& formats, const juce::String& url)
{
    return openFile (formats, url.startsWith ("file://") ? url.substring (7) : url);
}

//==============================================================================
PaddedAudioFormatReader::PaddedAudioFormatReader (std::unique_ptr<juce::AudioFormatReader> sourceIn, juce::int64 pad)
    : juce::AudioFormatReader (nullptr, sourceIn->getFormatName()), source (std::move (sourceIn)), padSamples (pad)
{
    sampleRate = source->sampleRate;
    bitsPerSample = source->bitsPerSample;
    lengthInSamples = source->lengthInSamples + padSamples;
    numChannels = source->numChannels;
    usesFloatingPointData = source->usesFloatingPointData;
    metadataValues = source->metadataValues;
}

bool PaddedAudioFormatReader::readSamples (int* const* dest, int numDest, int offset, juce::int64 start, int n)
{
    if (n <= 0)
        return true;
    if (start >= padSamples)
        return source->readSamples (dest, numDest, offset, start - padSamples, n);

    const auto k = (int) std::min<juce::int64> (padSamples - start, n);
    for (int c = 0; c < numDest; ++c)
        if (dest[c] != nullptr)
            std::fill_n (dest[c] + offset, k, 0);
    if (k < n)
        return source->readSamples (dest, numDest, offset + k, 0, n - k);
    return true;
}

std::unique_ptr<juce::AudioFormatReader> createPaddedReader (std::unique_ptr<juce::AudioFormatReader> reader, double seconds)
{
    if (reader == nullptr || seconds <= 0.0 || reader->sampleRate <= 0.0)
        return reader;
    const auto pad = (juce::int64) (reader->sampleRate * seconds + 0.5);
    if (pad <= 0)
        return reader;
    return std::make_unique<PaddedAudioFormatReader> (std::move (reader), pad);
}

//==============================================================================
bool readAllToFloat (juce::AudioFormatReader* reader, juce::AudioBuffer<float>& buffer, juce::int64 numSamples, juce::Thread* thread)
{
    return readAllToFloat (reader, buffer, numSamples, stopOf (thread));
}

bool readAllToFloat (juce::AudioFormatReader* reader, juce::AudioBuffer<float>& buffer, juce::int64 numSamples, const StopCheck& thread)
{
    if (reader == nullptr)
        return false;
    const auto channels = (int) reader->numChannels;
    if (buffer.getNumChannels() < channels || buffer.getNumSamples() < numSamples)
        return false;

    std::vector<float*> dest ((size_t) channels);
    for (juce::int64 pos = 0; pos < numSamples; pos += stemDecodeChunk)
    {
        if (exitRequested (thread))
            return false;
        const auto n = (int) std::min<juce::int64> (numSamples - pos, stemDecodeChunk);
        for (int c = 0; c < channels; ++c)
            dest[(size_t) c] = buffer.getWritePointer (c, (int) pos);
        if (! reader->read (dest.data(), channels, pos, n))
            return false;
    }
    return true;
}

namespace
{
bool isIntegerReaderWithAudio (const juce::AudioFormatReader* reader)
{
    return reader != nullptr && ! reader->usesFloatingPointData && reader->numChannels > 0 && reader->lengthInSamples > 0;
}

// One pass of n samples from reader sample `pos` into the 16-bit channels at `pos`.
bool decodePass (juce::AudioFormatReader& reader, std::vector<Int16ChannelData>& channels, std::vector<std::vector<int>>& scratch,
                 juce::int64 pos, int n)
{
    const auto numChannels = (int) reader.numChannels;
    std::vector<int*> dest ((size_t) numChannels);
    for (int c = 0; c < numChannels; ++c)
        dest[(size_t) c] = scratch[(size_t) c].data();
    if (! reader.read (dest.data(), numChannels, pos, n, false))
        return false;

    for (int c = 0; c < numChannels; ++c)
    {
        const int* in = scratch[(size_t) c].data();
        int16_t* out = channels[(size_t) c].samples.get() + pos;
        for (int i = 0; i < n; ++i)
            out[i] = (int16_t) (in[i] >> 16);
    }
    return true;
}

void ensureScratch (std::vector<std::vector<int>>& scratch, int numChannels)
{
    if ((int) scratch.size() < numChannels)
        scratch.resize ((size_t) numChannels);
    for (auto& buffer : scratch)
        if (buffer.empty())
            buffer.resize ((size_t) stemDecodeChunk);
}
} // namespace

bool readAllToInt16 (juce::AudioFormatReader* reader, std::vector<Int16ChannelData>& channels, juce::Thread* thread)
{
    return readAllToInt16 (reader, channels, stopOf (thread));
}

bool readAllToInt16 (juce::AudioFormatReader* reader, std::vector<Int16ChannelData>& channels, const StopCheck& thread)
{
    if (! isIntegerReaderWithAudio (reader))
        return false;

    const auto length = reader->lengthInSamples;
    const auto numChannels = (int) reader->numChannels;
    if ((int) channels.size() != numChannels)
        channels.resize ((size_t) numChannels);
    for (auto& channel : channels)
        if (channel.numSamples != length || channel.samples == nullptr)
            channel.allocate (length);

    std::vector<std::vector<int>> scratch ((size_t) numChannels, std::vector<int> ((size_t) stemDecodeChunk));
    for (juce::int64 pos = 0; pos < length;)
    {
        if (exitRequested (thread))
            return false;
        const auto n = (int) std::min<juce::int64> (length - pos, stemDecodeChunk);
        if (! decodePass (*reader, channels, scratch, pos, n))
            return false;
        pos += n;
    }
    return true;
}

bool readRangeToInt16 (juce::AudioFormatReader* reader, std::vector<Int16ChannelData>& channels, std::vector<std::vector<int>>& scratch,
                       juce::int64 start, juce::int64 length, ChunkLoadMap* map, juce::Thread* thread)
{
    return readRangeToInt16 (reader, channels, scratch, start, length, map, stopOf (thread));
}

bool readRangeToInt16 (juce::AudioFormatReader* reader, std::vector<Int16ChannelData>& channels, std::vector<std::vector<int>>& scratch,
                       juce::int64 start, juce::int64 length, ChunkLoadMap* map, const StopCheck& thread)
{
    if (! isIntegerReaderWithAudio (reader))
        return false;

    const auto total = reader->lengthInSamples;
    const auto numChannels = (int) reader->numChannels;
    if ((int) channels.size() < numChannels)
        return false;
    for (int c = 0; c < numChannels; ++c)
        if (channels[(size_t) c].samples == nullptr || channels[(size_t) c].numSamples < total)
            return false;

    const auto a = juce::jlimit<juce::int64> (0, total, start);
    const auto b = juce::jlimit<juce::int64> (0, total, start + length);
    if (a >= b)
        return true;

    const bool mapped = map != nullptr && map->numChunks > 0 && map->chunkSize > 0;
    const auto chunk = mapped ? map->chunkSize : (juce::int64) stemDecodeChunk;
    auto pos = (a / chunk) * chunk;
    const auto end = std::min (total, ((b + chunk - 1) / chunk) * chunk);

    ensureScratch (scratch, numChannels);
    juce::int64 scratchSamples = stemDecodeChunk;
    for (int c = 0; c < numChannels; ++c)
        scratchSamples = std::min<juce::int64> (scratchSamples, (juce::int64) scratch[(size_t) c].size());

    while (pos < end)
    {
        if (exitRequested (thread))
            return false;

        // A pass never crosses a chunk boundary, so a marked chunk is skipped whole and every
        // chunk the loop writes is covered from its first sample.
        const auto index = pos / chunk;
        const auto chunkEnd = std::min (end, (index + 1) * chunk);
        if (mapped && map->isLoaded (index))
        {
            pos = chunkEnd;
            continue;
        }

        const auto n = (int) std::min (chunkEnd - pos, scratchSamples);
        if (! decodePass (*reader, channels, scratch, pos, n))
            return false;
        pos += n;

        if (mapped && (pos == (index + 1) * chunk || pos >= map->totalSamples || pos >= total))
            map->markLoaded (std::min<juce::int64> (index, map->numChunks - 1));
    }
    return true;
}

//==============================================================================
namespace
{
// Converts `input` (inLength samples) into `output` (outLength samples) through a windowed sinc,
// reading the input in pieces so the scratch stays small; the interpolator's delay is skipped.
template <typename Read, typename Write>
bool resampleChannel (Read&& read, juce::int64 inLength, Write&& write, juce::int64 outLength, double ratio, const StopCheck& thread)
{
    juce::WindowedSincInterpolator interpolator;
    constexpr int piece = 16384;
    std::vector<float> in ((size_t) piece + 512), out ((size_t) piece);

    // The output lags the input by the interpolator's delay: feed zeros past the end and drop the
    // first outputs that the delay produced.
    auto skip = (juce::int64) std::llround (juce::WindowedSincInterpolator::getBaseLatency() / ratio);
    juce::int64 inPos = 0, produced = 0;
    while (produced < outLength)
    {
        if (exitRequested (thread))
            return false;
        const auto want = (int) std::min<juce::int64> (piece, outLength + skip - produced);
        const auto needed = (int) std::ceil (want * ratio) + 4;
        if ((int) in.size() < needed)
            in.resize ((size_t) needed);
        // The interpolator consumes a variable count; give it enough and rewind to what it used.
        for (int i = 0; i < needed; ++i)
            in[(size_t) i] = inPos + i < inLength ? read (inPos + i) : 0.0f;
        const auto used = interpolator.process (ratio, in.data(), out.data(), want);
        inPos += used;

        int first = 0;
        if (skip > 0)
        {
            first = (int) std::min<juce::int64> (skip, want);
            skip -= first;
        }
        for (int i = first; i < want && produced < outLength; ++i)
            write (produced++, out[(size_t) i]);
    }
    return true;
}
} // namespace

bool convertSampleRate (juce::AudioBuffer<float>& buffer, double fromRate, double toRate, const StopCheck& thread)
{
    if (fromRate <= 0.0 || toRate <= 0.0 || std::abs (fromRate - toRate) < 1.0e-6 || buffer.getNumSamples() == 0)
        return true;
    const auto ratio = fromRate / toRate;
    const auto inLength = (juce::int64) buffer.getNumSamples();
    const auto outLength = (juce::int64) std::ceil ((double) inLength * toRate / fromRate);

    juce::AudioBuffer<float> converted (buffer.getNumChannels(), (int) outLength);
    for (int c = 0; c < buffer.getNumChannels(); ++c)
    {
        const float* source = buffer.getReadPointer (c);
        float* dest = converted.getWritePointer (c);
        if (! resampleChannel ([source] (juce::int64 i) { return source[i]; }, inLength,
                               [dest] (juce::int64 i, float v) { dest[i] = v; }, outLength, ratio, thread))
            return false;
    }
    buffer = std::move (converted);
    return true;
}

bool convertSampleRate (std::vector<Int16ChannelData>& channels, double fromRate, double toRate, const StopCheck& thread)
{
    if (fromRate <= 0.0 || toRate <= 0.0 || std::abs (fromRate - toRate) < 1.0e-6 || channels.empty())
        return true;
    const auto ratio = fromRate / toRate;

    std::vector<Int16ChannelData> converted (channels.size());
    for (size_t c = 0; c < channels.size(); ++c)
    {
        const auto inLength = channels[c].numSamples;
        const auto outLength = (juce::int64) std::ceil ((double) inLength * toRate / fromRate);
        converted[c].allocate (outLength);
        const int16_t* source = channels[c].samples.get();
        int16_t* dest = converted[c].samples.get();
        if (! resampleChannel ([source] (juce::int64 i) { return (float) source[i] * (1.0f / 32768.0f); }, inLength,
                               [dest] (juce::int64 i, float v)
                               { dest[i] = (int16_t) juce::jlimit (-32768, 32767, (int) std::lrint (v * 32768.0f)); },
                               outLength, ratio, thread))
            return false;
    }
    channels = std::move (converted);
    return true;
}
} // namespace quorvelle
