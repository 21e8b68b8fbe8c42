#include "bridge/AnalysisJobs.h"

#include "audio/loading/RecordingReaderSource.h"
#include "core/Fingerprint.h"
#include "core/Loudness.h"
#include "platform/CheckedWrite.h"
#include "platform/RegularFile.h"

#include <juce_cryptography/juce_cryptography.h>

#include <algorithm>
#include <optional>
#include <variant>
#include <cmath>
#include <vector>

namespace quorvelle
{
namespace
{
    constexpr int kBlockSamples = 65536;
    constexpr double kWorkRate = 44100.0;

    // Builds an event object with its properties in the given order.
    struct EventBuilder
    {
        explicit EventBuilder (const char* action) : object (new juce::DynamicObject()), value (object)
        {
            object->setProperty ("action", action);
        }
        EventBuilder& set (const char* key, const juce::var& v)
        {
            object->setProperty (key, v);
            return *this;
        }
        juce::DynamicObject* object;
        juce::var value;
    };

    juce::String textOf (const juce::var& message, const char* key)
    {
        return message.getProperty (key, {}).toString();
    }

    juce::StringArray textListOf (const juce::var& message, const char* key)
    {
        juce::StringArray list;
        if (const auto* array = message.getProperty (key, {}).getArray())
            for (const auto& element : *array)
                list.add (element.toString());
        return list;
    }

    bool flagOf (const juce::var& message, const char* key)
    {
        const auto value = message.getProperty (key, {});
        return value.isBool() && static_cast<bool> (value);
    }

    juce::int64 twentyMinutes (const juce::AudioFormatReader& reader)
    {
        return static_cast<juce::int64> (reader.sampleRate * 60.0 * 20.0);
    }

    bool isLengthAnEstimate (const juce::AudioFormatReader& reader)
    {
        return reader.getFormatName().containsIgnoreCase ("MP3");
    }

    juce::String base64Of (const juce::String& text)
    {
        return juce::Base64::toBase64 (text);
    }

    // The error of a job whose sample buffers could not be allocated.
    juce::String outOfMemoryText()
    {
        return "memoria insuficiente";
    }

    //==========================================================================
    // Output replaces its target only once the whole file was written (platform::CheckedReplacement),
    // so a failed run never destroys what the target held.

    enum class WriteOutcome
    {
        written,
        cannotOpen,
        noWriter,
        writeFailed
    };

    // Writes `channels` float arrays of `samples` each to `target` through a temporary file.
    WriteOutcome writeAudioReplacing (const juce::File& target, juce::AudioFormat& format, double rate, int channelCount,
                                      const float* const* channels, int samples, int quality)
    {
        platform::CheckedReplacement replacement (target);
        if (! replacement.isOpen())
            return WriteOutcome::cannotOpen;

        auto stream = replacement.createStream();
        std::unique_ptr<juce::AudioFormatWriter> writer (
            format.createWriterFor (stream.get(), rate, static_cast<unsigned int> (channelCount), 16, {}, quality));
        if (writer == nullptr)
            return WriteOutcome::noWriter;
        stream.release(); // the writer owns it now

        const bool wrote = writer->writeFromFloatArrays (channels, channelCount, samples);
        writer.reset(); // finishes the header
        if (! wrote || ! replacement.commit())
            return WriteOutcome::writeFailed;
        return WriteOutcome::written;
    }

    //==========================================================================
    // What a job agrees to open. Rates and channel counts far beyond any audio file the program
    // plays come only from damaged or hostile headers, and would size the job's buffers from them:
    // a 32,767-channel header alone asks for 8.6 GB of block buffer.

    constexpr double kMaxJobSampleRate = 768000.0;
    constexpr unsigned int kMaxJobChannels = 64;

    bool hasPlayableShape (const juce::AudioFormatReader& reader)
    {
        return reader.sampleRate > 0.0 && reader.sampleRate <= kMaxJobSampleRate && reader.numChannels <= kMaxJobChannels;
    }

    // A reader for a regular file (a FIFO would block the open, a device never ends), or null.
    std::unique_ptr<juce::AudioFormatReader> openRegularFile (const juce::File& file, const AudioReaderFactory& readers)
    {
        if (! platform::isRegularFile (file))
            return nullptr;
        return readers (file);
    }

    // A reader whose rate and channel count a job can work with, or null.
    std::unique_ptr<juce::AudioFormatReader> openPlayable (const juce::File& file, const AudioReaderFactory& readers)
    {
        auto reader = openRegularFile (file, readers);
        if (reader == nullptr || ! hasPlayableShape (*reader))
            return nullptr;
        return reader;
    }

    // The samples a job reads: no more than a PCM file can hold, and at most twenty minutes.
    juce::int64 cappedLength (const juce::AudioFormatReader& reader, const juce::File& file)
    {
        return std::min (capPcmLengthToFileSize (reader, std::max<juce::int64> (0, file.getSize())), twentyMinutes (reader));
    }

    //==========================================================================
    // Reading at the work rate for the subtraction.

    enum class ReadOutcome
    {
        complete,
        failed
    };

    // Fills left and right with `count` samples of the reader at 44,100 Hz. (Stems are read whole
    // before they are subtracted, so a stem that fails half-way leaves no trace.)
    ReadOutcome readResampledStereo (juce::AudioFormatReader& reader, juce::int64 count, float* left, float* right)
    {
        const int channels = static_cast<int> (std::max (1u, reader.numChannels));
        juce::AudioBuffer<float> buffer (channels, kBlockSamples);
        const bool resample = std::abs (reader.sampleRate - kWorkRate) > 1.0;

        RecordingReaderSource source (reader);
        std::unique_ptr<juce::ResamplingAudioSource> resampler;
        if (resample)
        {
            resampler = std::make_unique<juce::ResamplingAudioSource> (&source, false, channels);
            resampler->setResamplingRatio (reader.sampleRate / kWorkRate);
            resampler->prepareToPlay (kBlockSamples, kWorkRate);
        }

        bool ended = false;
        for (juce::int64 pos = 0; pos < count; pos += kBlockSamples)
        {
            const int k = static_cast<int> (std::min<juce::int64> (kBlockSamples, count - pos));
            buffer.clear();
            if (resample)
            {
                resampler->getNextAudioBlock ({ &buffer, 0, k });
                if (source.hasFailed())
                    return ReadOutcome::failed;
            }
            else if (! ended && ! reader.read (&buffer, 0, k, pos, true, true))
            {
                if (! (isLengthAnEstimate (reader) && pos + k >= count))
                    return ReadOutcome::failed;
                buffer.clear();
                ended = true;
            }

            const float* l = buffer.getReadPointer (0);
            const float* r = buffer.getReadPointer (channels > 1 ? 1 : 0);
            juce::FloatVectorOperations::copy (left + pos, l, k);
            juce::FloatVectorOperations::copy (right + pos, r, k);
        }
        return ReadOutcome::complete;
    }

    juce::int64 lengthAtWorkRate (const juce::AudioFormatReader& reader, const juce::File& file)
    {
        const auto trusted = capPcmLengthToFileSize (reader, std::max<juce::int64> (0, file.getSize()));
        return static_cast<juce::int64> (static_cast<double> (trusted) * kWorkRate / reader.sampleRate + 0.5);
    }

    // Reads a file from sample 0 in blocks and hands each block to `add`; a failed block ends it.
    template <typename AddBlock>
    void readCapped (juce::AudioFormatReader& reader, juce::int64 n, AddBlock&& add)
    {
        juce::AudioBuffer<float> block (static_cast<int> (std::max (1u, reader.numChannels)), kBlockSamples);
        for (juce::int64 offset = 0; offset < n; offset += kBlockSamples)
        {
            const int k = static_cast<int> (std::min<juce::int64> (kBlockSamples, n - offset));
            block.clear();
            if (! reader.read (&block, 0, k, offset, true, true))
                return;
            add (block, offset, k);
        }
    }
} // namespace

//==============================================================================
AudioReaderFactory basicFormatReaders()
{
    return [] (const juce::File& file) -> std::unique_ptr<juce::AudioFormatReader> {
        juce::AudioFormatManager manager;
        manager.registerBasicFormats();
        return std::unique_ptr<juce::AudioFormatReader> (manager.createReaderFor (file));
    };
}

juce::File resolveAudioPath (const juce::String& text)
{
    if (text.isEmpty())
        return {};
    if (juce::File::isAbsolutePath (text))
        return juce::File (text);
    if (text.startsWith ("file://"))
    {
        const auto rest = text.substring (7);
        return juce::File::isAbsolutePath (rest) ? juce::File (rest) : juce::File::getCurrentWorkingDirectory().getChildFile (rest);
    }
    return juce::File::getCurrentWorkingDirectory().getChildFile (text);
}

FingerprintJobRequest readFingerprintJobRequest (const juce::var& message)
{
    return { textOf (message, "id"), textOf (message, "path"), flagOf (message, "deleteSourceAfterRead") };
}

LoudnessJobRequest readLoudnessJobRequest (const juce::var& message)
{
    return { textOf (message, "id"), textOf (message, "groupId"), textListOf (message, "paths") };
}

MixForBpmJobRequest readMixForBpmJobRequest (const juce::var& message)
{
    return { textOf (message, "id"), textOf (message, "outPath"), textListOf (message, "paths") };
}

SubtractJobRequest readSubtractJobRequest (const juce::var& message)
{
    return { textOf (message, "id"),       textOf (message, "originalPath"), textOf (message, "trackId"),
             textOf (message, "subfolder"), textOf (message, "filename"),    flagOf (message, "computeRms"),
             textListOf (message, "stemPaths") };
}

//==============================================================================
juce::var fingerprintAudioFileJob (const FingerprintJobRequest& request, const AudioReaderFactory& readers)
{
    auto fail = [&request] (const char* code) {
        return EventBuilder ("FINGERPRINT_AUDIO_RESULT").set ("id", request.id).set ("ok", false).set ("error", code).value;
    };

    // This job takes its path as the file class does: no "file://" prefix is removed. Only a
    // regular file is opened (and so only a regular file is ever deleted).
    const auto file = request.path.isEmpty()                      ? juce::File()
                      : juce::File::isAbsolutePath (request.path) ? juce::File (request.path)
                                                                  : juce::File::getCurrentWorkingDirectory().getChildFile (request.path);
    if (request.path.isEmpty() || ! platform::isRegularFile (file))
        return fail ("file_not_found");

    auto finish = [&] (juce::var result, std::unique_ptr<juce::AudioFormatReader> reader) {
        reader.reset();
        if (request.deleteSourceAfterRead)
            file.deleteFile();
        return result;
    };

    auto reader = openRegularFile (file, readers);
    if (reader == nullptr || reader->sampleRate > kMaxJobSampleRate || reader->numChannels > kMaxJobChannels)
        return finish (fail ("unsupported_format"), std::move (reader));

    const auto count = cappedLength (*reader, file);
    if (count <= 0 || reader->sampleRate <= 0.0)
        return finish (fail ("empty_audio"), std::move (reader));

    try
    {
        std::vector<float> mono (static_cast<std::size_t> (count), 0.0f);
        const int channels = static_cast<int> (std::max (1u, reader->numChannels));
        const float gain = 1.0f / static_cast<float> (channels);
        juce::AudioBuffer<float> block (channels, kBlockSamples);
        for (juce::int64 offset = 0; offset < count; offset += kBlockSamples)
        {
            const int n = static_cast<int> (std::min<juce::int64> (kBlockSamples, count - offset));
            block.clear();
            if (! reader->read (&block, 0, n, offset, true, true))
                return finish (fail ("read_failed"), std::move (reader));
            for (int c = 0; c < channels; ++c)
                juce::FloatVectorOperations::addWithMultiply (mono.data() + offset, block.getReadPointer (c), gain, n);
        }

        const auto print = core::computeAudioFingerprint (mono.data(), mono.size(), reader->sampleRate, {});
        juce::Array<juce::var> hashes, offsets;
        hashes.ensureStorageAllocated (static_cast<int> (print.hashes.size()));
        offsets.ensureStorageAllocated (static_cast<int> (print.hashes.size()));
        for (const auto& h : print.hashes)
        {
            hashes.add (static_cast<int> (h.hash));
            offsets.add (static_cast<double> (h.time));
        }
        return finish (EventBuilder ("FINGERPRINT_AUDIO_RESULT")
                           .set ("id", request.id)
                           .set ("ok", true)
                           .set ("hashes", hashes)
                           .set ("offsets", offsets)
                           .set ("durationSeconds", print.duration)
                           .value,
                       std::move (reader));
    }
    catch (const std::bad_alloc&)
    {
        return finish (fail ("out_of_memory"), std::move (reader));
    }
}

// Reads every readable file of `paths` (at most twenty minutes each) and hands its blocks to `add`,
// which sums them into `out`; `out` grows to the longest file. The rate is the first readable
// file's. Returns how many files were decoded. Throws std::bad_alloc when `out` cannot grow.
template <typename Add>
int sumReadableFiles (const juce::StringArray& paths, const AudioReaderFactory& readers, std::vector<float>& out,
                      double& rate, Add&& add)
{
    int decoded = 0;
    for (const auto& path : paths)
    {
        const auto file = resolveAudioPath (path);
        auto reader = openPlayable (file, readers);
        if (reader == nullptr)
            continue;
        if (rate <= 0.0)
            rate = reader->sampleRate;
        const auto n = cappedLength (*reader, file);
        if (n <= 0)
            continue;
        if (out.size() < static_cast<std::size_t> (n))
            out.resize (static_cast<std::size_t> (n), 0.0f);

        readCapped (*reader, n, add);
        ++decoded;
    }
    return decoded;
}

juce::var measureGroupLoudnessJob (const LoudnessJobRequest& request, const AudioReaderFactory& readers)
{
    auto answer = [&request] (bool ok, bool valid, double lufs, int decoded) {
        EventBuilder event ("LOUDNESS_RESULT");
        event.set ("id", request.id).set ("groupId", request.groupId).set ("ok", ok).set ("valid", valid).set ("loudnessLufs", lufs).set ("decoded", decoded);
        if (! ok)
            event.set ("error", outOfMemoryText());
        return event.value;
    };

    try
    {
        std::vector<float> sum;
        double groupRate = 0.0;
        const auto decoded = sumReadableFiles (request.paths, readers, sum, groupRate,
                                               [&sum] (const juce::AudioBuffer<float>& block, juce::int64 offset, int k) {
            for (int c = 0; c < block.getNumChannels(); ++c)
                juce::FloatVectorOperations::add (sum.data() + offset, block.getReadPointer (c), k);
        });

        bool valid = false;
        double lufs = 0.0;
        if (decoded > 0 && groupRate > 0.0 && ! sum.empty())
            if (const auto measured = core::measureIntegratedLoudness (sum.data(), sum.size(), 1, groupRate))
            {
                valid = true;
                lufs = *measured;
            }
        return answer (true, valid, lufs, decoded);
    }
    catch (const std::bad_alloc&)
    {
        return answer (false, false, 0.0, 0);
    }
}

juce::var mixStemsForBpmJob (const MixForBpmJobRequest& request, const AudioReaderFactory& readers)
{
    auto answer = [&request] (bool ok, juce::int64 size, double duration, const juce::String& error) {
        EventBuilder event ("MIX_FOR_BPM_COMPLETE");
        event.set ("id", request.id)
            .set ("ok", ok)
            .set ("outPath", request.outPath)
            .set ("outPathB64", base64Of (request.outPath))
            .set ("sizeBytes", size)
            .set ("durationSeconds", duration);
        if (error.isNotEmpty())
            event.set ("error", error);
        return event.value;
    };
    const auto fail = [&answer] (const char* utf8) { return answer (false, 0, 0.0, juce::String (juce::CharPointer_UTF8 (utf8))); };

    try
    {
        std::vector<float> mix;
        double mixRate = 0.0;
        const auto decoded = sumReadableFiles (request.paths, readers, mix, mixRate,
                                               [&mix] (const juce::AudioBuffer<float>& block, juce::int64 offset, int k) {
            if (block.getNumChannels() >= 2)
            {
                juce::FloatVectorOperations::addWithMultiply (mix.data() + offset, block.getReadPointer (0), 0.5f, k);
                juce::FloatVectorOperations::addWithMultiply (mix.data() + offset, block.getReadPointer (1), 0.5f, k);
            }
            else
            {
                juce::FloatVectorOperations::add (mix.data() + offset, block.getReadPointer (0), k);
            }
        });

        if (decoded == 0 || mixRate <= 0.0 || mix.empty())
            return fail ("sin stems decodificados");

        float peak = 0.0f;
        for (const float v : mix)
            peak = std::max (peak, std::abs (v));
        if (peak > 1.0f)
            juce::FloatVectorOperations::multiply (mix.data(), 0.95f / peak, static_cast<int> (mix.size()));

        const auto target = resolveAudioPath (request.outPath);
        const float* channels[] = { mix.data() };
        juce::WavAudioFormat wav;
        switch (writeAudioReplacing (target, wav, mixRate, 1, channels, static_cast<int> (mix.size()), 0))
        {
            case WriteOutcome::cannotOpen: return fail ("no se pudo crear el archivo de salida");
            case WriteOutcome::noWriter: return fail ("no se pudo crear el writer WAV");
            case WriteOutcome::writeFailed: return fail ("fallo al escribir el WAV");
            case WriteOutcome::written: break;
        }
        return answer (true, std::max<juce::int64> (0, target.getSize()), static_cast<double> (mix.size()) / mixRate, {});
    }
    catch (const std::bad_alloc&)
    {
        return answer (false, 0, 0.0, outOfMemoryText());
    }
}

//==============================================================================
// The subtraction, step by step.
namespace
{
    const auto utf8Text = [] (const char* utf8) { return juce::String (juce::CharPointer_UTF8 (utf8)); };

    // The full mix, then the remainder, at the work rate.
    struct StereoSamples
    {
        std::vector<float> left, right;
        juce::int64 size() const { return static_cast<juce::int64> (left.size()); }
    };

    // The full mix at the work rate, or the job's error.
    std::variant<StereoSamples, juce::String> readFullMix (const SubtractJobRequest& request, const AudioReaderFactory& readers)
    {
        const auto originalFile = resolveAudioPath (request.originalPath);
        if (originalFile == juce::File() || ! originalFile.existsAsFile())
            return "original no encontrado: " + request.originalPath;

        auto original = openPlayable (originalFile, readers);
        if (original == nullptr)
            return juce::String ("no se pudo leer el original");

        const auto n = lengthAtWorkRate (*original, originalFile);
        if (n < 1)
            return utf8Text ("el original tiene duraci\xc3\xb3n 0");

        StereoSamples mix { std::vector<float> (static_cast<std::size_t> (n), 0.0f), std::vector<float> (static_cast<std::size_t> (n), 0.0f) };
        if (readResampledStereo (*original, n, mix.left.data(), mix.right.data()) != ReadOutcome::complete)
            return juce::String ("no se pudo leer el original");
        return mix;
    }

    // Subtracts each usable stem from the mix; missing, unreadable and mismatching stems are
    // skipped with a log line.
    void subtractStems (const juce::StringArray& stemPaths, const AudioReaderFactory& readers, StereoSamples& mix)
    {
        const auto n = mix.size();
        StereoSamples stem;
        for (const auto& s : stemPaths)
        {
            const auto stemFile = resolveAudioPath (s);
            if (stemFile == juce::File() || ! stemFile.existsAsFile())
            {
                juce::Logger::writeToLog ("SUBTRACT_STEMS: stem no encontrado, se omite: " + s);
                continue;
            }
            auto reader = openPlayable (stemFile, readers);
            if (reader == nullptr)
            {
                juce::Logger::writeToLog ("SUBTRACT_STEMS: stem ilegible, se omite: " + s);
                continue;
            }
            const auto m = lengthAtWorkRate (*reader, stemFile);
            const double mismatch = std::abs (static_cast<double> (m - n)) / static_cast<double> (n);
            if (mismatch > 0.02)
            {
                juce::Logger::writeToLog ("SUBTRACT_STEMS: stem con desajuste de longitud >2% (" + juce::String (mismatch * 100.0, 1)
                                          + "%), se omite: " + s);
                continue;
            }

            // Read the whole stem first, so a stem that fails half-way leaves no trace.
            const auto count = std::min (m, n);
            stem.left.assign (static_cast<std::size_t> (count), 0.0f);
            stem.right.assign (static_cast<std::size_t> (count), 0.0f);
            if (readResampledStereo (*reader, count, stem.left.data(), stem.right.data()) != ReadOutcome::complete)
            {
                juce::Logger::writeToLog ("SUBTRACT_STEMS: stem ilegible, se omite: " + s);
                continue;
            }
            juce::FloatVectorOperations::subtract (mix.left.data(), stem.left.data(), static_cast<int> (count));
            juce::FloatVectorOperations::subtract (mix.right.data(), stem.right.data(), static_cast<int> (count));
        }
    }

    double rmsDbFsOf (const StereoSamples& samples)
    {
        double sumSquares = 0.0;
        for (std::size_t i = 0; i < samples.left.size(); ++i)
            sumSquares += static_cast<double> (samples.left[i]) * samples.left[i] + static_cast<double> (samples.right[i]) * samples.right[i];
        const double rms = std::sqrt (sumSquares / (2.0 * static_cast<double> (samples.size())));
        return rms > 0.0 ? 20.0 * std::log10 (rms) : -300.0;
    }

    // The output folder below the storage root, created as needed: legal names only; "." and
    // empty components add nothing, ".." is refused (nothing) so the file always lands below the root.
    std::optional<juce::File> outputFolder (const juce::File& storageRoot, const juce::String& subfolder)
    {
        auto folder = storageRoot;
        if (! folder.isDirectory())
            folder.createDirectory();
        juce::StringArray components;
        components.addTokens (subfolder, "/\\", {});
        for (const auto& component : components)
        {
            if (component.isEmpty() || component == ".")
                continue;
            const auto legal = juce::File::createLegalFileName (component);
            if (component == ".." || legal == "..")
                return std::nullopt;
            if (legal.isEmpty() || legal == ".")
                continue;
            folder = folder.getChildFile (legal);
            if (! folder.isDirectory())
                folder.createDirectory();
        }
        return folder;
    }

    juce::String outputName (const juce::String& filename, const juce::String& trackIdText)
    {
        const auto lastDot = filename.lastIndexOfChar ('.');
        const auto base = lastDot >= 0 ? filename.substring (0, lastDot) : filename;
        const auto prefix = juce::File::createLegalFileName (base).substring (0, 64);
        const auto trackId = juce::File::createLegalFileName (trackIdText);
        return (prefix.isEmpty() ? trackId : prefix + "_" + trackId) + ".flac";
    }

    // The answer for a written track: its hash, size and the properties read back from it.
    juce::var describeWrittenTrack (const SubtractJobRequest& request, const juce::File& target, juce::int64 n,
                                    std::optional<double> rmsDbFs)
    {
        juce::String contentHash;
        {
            juce::FileInputStream in (target);
            if (in.openedOk())
                contentHash = juce::SHA256 (in).toHexString();
        }
        const auto sizeBytes = std::max<juce::int64> (0, target.getSize());

        double sampleRate = kWorkRate, durationSeconds = static_cast<double> (n) / kWorkRate;
        int channelCount = 2, bitDepth = 16;
        if (auto back = basicFormatReaders() (target))
        {
            sampleRate = back->sampleRate;
            channelCount = static_cast<int> (back->numChannels);
            bitDepth = static_cast<int> (back->bitsPerSample);
            if (back->sampleRate > 0.0)
                durationSeconds = static_cast<double> (back->lengthInSamples) / back->sampleRate;
        }

        const auto fullPath = target.getFullPathName();
        juce::Logger::writeToLog ("SUBTRACT_STEMS: OK -> " + fullPath + " (" + juce::String (sizeBytes / 1024) + " KB) hash="
                                  + contentHash.substring (0, 12));

        EventBuilder event ("SUBTRACT_COMPLETE");
        event.set ("id", request.id).set ("ok", true);
        event.set ("url", "file://" + fullPath).set ("urlB64", base64Of ("file://" + fullPath));
        event.set ("path", fullPath).set ("pathB64", base64Of (fullPath));
        if (contentHash.isNotEmpty())
            event.set ("contentHash", contentHash);
        event.set ("sizeBytes", sizeBytes)
            .set ("sampleRate", sampleRate)
            .set ("channels", channelCount)
            .set ("bitDepth", bitDepth)
            .set ("durationSeconds", durationSeconds);
        if (rmsDbFs)
            event.set ("rmsDbFs", *rmsDbFs);
        return event.value;
    }
} // namespace

juce::var subtractStemsJob (const SubtractJobRequest& request, const juce::File& storageRoot, const AudioReaderFactory& readers)
{
    std::optional<double> rmsDbFs;
    auto fail = [&] (const juce::String& error, bool withRms) {
        EventBuilder event ("SUBTRACT_COMPLETE");
        event.set ("id", request.id).set ("ok", false);
        event.set ("sizeBytes", 0).set ("sampleRate", 0).set ("channels", 0).set ("bitDepth", 0).set ("durationSeconds", 0);
        if (withRms && rmsDbFs)
            event.set ("rmsDbFs", *rmsDbFs);
        event.set ("error", error);
        return event.value;
    };

    try
    {
        if (request.stemPaths.isEmpty())
            return fail ("sin stems para restar", false);

        auto fullMix = readFullMix (request, readers);
        if (auto* error = std::get_if<juce::String> (&fullMix))
            return fail (*error, false);
        auto& samples = std::get<StereoSamples> (fullMix);

        subtractStems (request.stemPaths, readers, samples);
        if (request.computeRms)
            rmsDbFs = rmsDbFsOf (samples);

        const auto folder = outputFolder (storageRoot, request.subfolder);
        if (! folder)
            return fail (utf8Text ("subcarpeta inv\xc3\xa1lida"), true);
        const auto target = folder->getChildFile (outputName (request.filename, request.trackId));

        const float* channels[] = { samples.left.data(), samples.right.data() };
        juce::FlacAudioFormat flac;
        if (! flac.getPossibleBitDepths().contains (16))
            return fail ("no se pudo crear el writer FLAC", true);
        switch (writeAudioReplacing (target, flac, kWorkRate, 2, channels, static_cast<int> (samples.size()), 5))
        {
            case WriteOutcome::cannotOpen: return fail ("no se pudo crear el archivo de salida", true);
            case WriteOutcome::noWriter: return fail ("no se pudo crear el writer FLAC", true);
            case WriteOutcome::writeFailed: return fail ("fallo al escribir el FLAC", true);
            case WriteOutcome::written: break;
        }
        return describeWrittenTrack (request, target, samples.size(), rmsDbFs);
    }
    catch (const std::exception& e)
    {
        return fail (utf8Text ("excepci\xc3\xb3n: ") + e.what(), false);
    }
    catch (...)
    {
        return fail (utf8Text ("excepci\xc3\xb3n desconocida"), false);
    }
}

//==============================================================================
namespace
{
    // Runs `body` on the job thread, then sends its result on the message thread and calls
    // `afterSend` there.
    template <typename Body>
    DispatchTable::Handler makeJobHandler (AnalysisJobContext context, Body body,
                                           std::function<void (const juce::var&)> afterSend = {})
    {
        return [context = std::move (context), body, afterSend] (const juce::var& message) {
            auto result = body (message, context);
            context.postToMessageThread ([send = context.sendDirect, afterSend, result] {
                send (result);
                if (afterSend)
                    afterSend (result);
            });
        };
    }
} // namespace

DispatchTable::Handler makeFingerprintJobHandler (AnalysisJobContext context)
{
    return makeJobHandler (
        std::move (context),
        [] (const juce::var& message, const AnalysisJobContext&) {
            return fingerprintAudioFileJob (readFingerprintJobRequest (message), basicFormatReaders());
        },
        [] (const juce::var& result) {
            if (static_cast<bool> (result.getProperty ("ok", false)))
                juce::Logger::writeToLog ("FINGERPRINT_AUDIO_FILE: " + juce::String (result.getProperty ("hashes", {}).size())
                                          + " hashes, " + juce::String (static_cast<double> (result.getProperty ("durationSeconds", 0.0)), 1)
                                          + "s");
        });
}

DispatchTable::Handler makeLoudnessJobHandler (AnalysisJobContext context)
{
    return makeJobHandler (std::move (context), [] (const juce::var& message, const AnalysisJobContext&) {
        return measureGroupLoudnessJob (readLoudnessJobRequest (message), basicFormatReaders());
    });
}

DispatchTable::Handler makeMixForBpmJobHandler (AnalysisJobContext context)
{
    return makeJobHandler (std::move (context), [] (const juce::var& message, const AnalysisJobContext&) {
        return mixStemsForBpmJob (readMixForBpmJobRequest (message), basicFormatReaders());
    });
}

DispatchTable::Handler makeSubtractJobHandler (AnalysisJobContext context)
{
    return makeJobHandler (std::move (context), [] (const juce::var& message, const AnalysisJobContext& ctx) {
        return subtractStemsJob (readSubtractJobRequest (message), ctx.storageRoot(), basicFormatReaders());
    });
}
} // namespace quorvelle
