#include "audio/loading/Transcoder.h"

#include "audio/loading/PcmLengthCap.h"
#include "audio/loading/RecordingReaderSource.h"
#include "platform/EventSink.h"
#include "platform/CheckedWrite.h"
#include "platform/FileHash.h"
#include "platform/PathJoin.h"

#include <cmath>
#include <thread>

namespace quorvelle
{
namespace
{
    constexpr double targetRate = 44100.0;
    constexpr int blockSamples = 65536;

    juce::String base64OfText (const juce::String& text)
    {
        return juce::Base64::toBase64 (text.toRawUTF8(), text.getNumBytesAsUTF8());
    }

    juce::String plainNumber (double value)
    {
        return value == std::floor (value) ? juce::String (static_cast<juce::int64> (value)) : juce::String (value);
    }

    // The number of samples a FLAC file holds, or -1 when it does not open as FLAC.
    juce::int64 flacLength (const juce::File& file)
    {
        juce::FlacAudioFormat flac;
        std::unique_ptr<juce::AudioFormatReader> reader (flac.createReaderFor (new juce::FileInputStream (file), true));
        return reader != nullptr ? reader->lengthInSamples : -1;
    }
} // namespace

AudioFileInfo describeAudioFile (const juce::File& file, juce::AudioFormatManager& formats)
{
    AudioFileInfo info;
    if (file.getFullPathName().isEmpty() || ! file.existsAsFile())
        return info;

    info.sizeBytes = file.getSize();
    {
        juce::FileInputStream in (file);
        if (in.openedOk())
            info.contentHash = platform::sha256Hex (in);
    }
    if (std::unique_ptr<juce::AudioFormatReader> reader (formats.createReaderFor (file)); reader != nullptr)
    {
        info.sampleRate = reader->sampleRate;
        info.channels = static_cast<int> (reader->numChannels);
        info.bitDepth = static_cast<int> (reader->bitsPerSample);
        if (info.sampleRate > 0.0)
            info.duration = static_cast<double> (capPcmLengthToFileSize (*reader, info.sizeBytes)) / info.sampleRate;
    }
    return info;
}

//==============================================================================
TranscoderThread::TranscoderThread (juce::AudioFormatManager& formatsIn, std::function<juce::File()> storageRootIn, Sink sinkIn)
    : juce::Thread ("TranscoderDispatcher"), formats (formatsIn), storageRoot (std::move (storageRootIn)), sink (std::move (sinkIn))
{
}

TranscoderThread::~TranscoderThread()
{
    signalThreadShouldExit();
    wake.signal();
    stopThread (5000);
}

void TranscoderThread::enqueue (TranscodeJob job)
{
    {
        const juce::SpinLock::ScopedLockType sl (queueLock);
        queue.push_back (std::move (job));
    }
    if (! isThreadRunning())
        startThread (juce::Thread::Priority::normal);
    wake.signal();
}

void TranscoderThread::cancelAll()
{
    std::vector<TranscodeJob> drained;
    {
        const juce::SpinLock::ScopedLockType sl (queueLock);
        drained.swap (queue);
    }
    cancelRequested = true;
    wake.signal();
    for (const auto& job : drained)
    {
        if (job.sourcePath.isNotEmpty() && job.deleteSourceAfter)
            juce::File (job.sourcePath).deleteFile();
        reportCancelled (job);
    }
}

bool TranscoderThread::stopRequested() const
{
    return cancelRequested.load() || threadShouldExit();
}

void TranscoderThread::run()
{
    const auto workers = std::max (1u, std::thread::hardware_concurrency() - 1u);
    while (! threadShouldExit())
    {
        {
            const juce::SpinLock::ScopedLockType sl (queueLock);
            batch.swap (queue);
            queue.clear();
        }

        juce::int64 bytes = 0;
        for (const auto& job : batch)
            bytes += static_cast<juce::int64> (job.rawData.getSize()) + static_cast<juce::int64> (job.base64.getNumBytesAsUTF8());
        pendingBytes = bytes;

        if (batch.empty())
        {
            cancelRequested = false;
            wake.wait (-1);
            continue;
        }

        nextIndex = 0;
        std::vector<std::thread> extra;
        for (size_t i = 1; i < std::min<size_t> (batch.size(), workers); ++i)
            extra.emplace_back ([this] { transcodeWorker(); });
        transcodeWorker();
        for (auto& worker : extra)
            worker.join();
        batch.clear();
        pendingBytes = 0;
    }
}

void TranscoderThread::transcodeWorker()
{
    while (! threadShouldExit())
    {
        const auto i = nextIndex.fetch_add (1);
        if (i >= batch.size())
            return;
        auto& job = batch[i];
        if (cancelRequested)
        {
            if (job.sourcePath.isNotEmpty() && job.deleteSourceAfter)
                juce::File (job.sourcePath).deleteFile();
            reportCancelled (job);
        }
        else
            transcode (job);
    }
}

void TranscoderThread::transcode (TranscodeJob& job)
{
    std::unique_ptr<juce::AudioFormatReader> reader;
    const auto finish = [&]
    {
        reader.reset();
        if (job.sourcePath.isNotEmpty() && job.deleteSourceAfter)
            juce::File (job.sourcePath).deleteFile();
    };

    if (stopRequested())
        return reportCancelled (job), finish();

    // 2. A reader on the source file, or on the decoded bytes.
    juce::int64 fileBytes = 0;
    if (job.sourcePath.isNotEmpty())
    {
        sendProgress (job, 10, "Decodificando audio...");
        const juce::File source (job.sourcePath);
        fileBytes = source.getSize();
        if (auto stream = std::make_unique<juce::FileInputStream> (source); stream->openedOk())
            reader.reset (formats.createReaderFor (std::move (stream)));
    }
    else
    {
        if (job.rawData.isEmpty() && job.base64.isNotEmpty())
        {
            sendProgress (job, 5, "Decodificando base64...");
            juce::MemoryOutputStream decoded (job.rawData, false);
            if (! juce::Base64::convertFromBase64 (decoded, job.base64))
            {
                juce::Logger::writeToLog ("Transcoder: Base64 decode failed for " + job.filename);
                sendComplete (job, {}, false, {}, "Base64 decode failed", {});
                return finish();
            }
            decoded.flush();
            job.base64 = {};
        }
        sendProgress (job, 10, "Decodificando audio...");
        fileBytes = static_cast<juce::int64> (job.rawData.getSize());
        reader.reset (formats.createReaderFor (std::make_unique<juce::MemoryInputStream> (job.rawData, false)));
    }

    // A job cancelled while its reader was being made stops here, before any copy.
    if (reader == nullptr && stopRequested())
        return reportCancelled (job), finish();
    if (reader == nullptr)
    {
        juce::Logger::writeToLog ("Transcoder: Cannot create reader for " + job.filename + ", saving raw fallback");
        saveRawFallback (job, "reader_null (formato no soportado o archivo corrupto)");
        return finish();
    }

    if (stopRequested())
        return reportCancelled (job), finish();
    sendProgress (job, 25, "Analizando formato...");

    // 5. Format.
    const double srcRate = reader->sampleRate;
    const int channels = static_cast<int> (std::max (1u, reader->numChannels));
    const auto samples = capPcmLengthToFileSize (*reader, fileBytes);
    const bool resample = std::abs (srcRate - targetRate) > 1.0;
    juce::Logger::writeToLog ("Transcoder: " + job.filename + " | " + plainNumber (srcRate) + "Hz -> 44100Hz | " + juce::String (reader->bitsPerSample)
                              + "bit -> 16bit | ch=" + juce::String (reader->numChannels) + " | resample=" + (resample ? "yes" : "no"));

    // 6. Target: the cleaned base name (64 characters at most), "_" and the cleaned track id.
    const auto folder = resolveTargetFolder (job);
    const auto base = job.filename.containsChar ('.') ? job.filename.upToLastOccurrenceOf (".", false, false) : job.filename;
    auto clean = juce::File::createLegalFileName (base).substring (0, 64);
    if (clean.isNotEmpty())
        clean << "_";
    const auto target = folder.getChildFile (clean + juce::File::createLegalFileName (job.trackId) + ".flac");

    // 7. Write into a temporary file beside the target.
    platform::CheckedReplacement replacement (target);
    if (! replacement.isOpen())
    {
        juce::Logger::writeToLog ("Transcoder: Cannot create output stream for " + target.getFullPathName());
        saveRawFallback (job, "output_stream_null folderExists=" + juce::String (folder.isDirectory() ? "Y" : "N"));
        return finish();
    }

    auto* stream = replacement.createStream().release();
    juce::FlacAudioFormat flac;
    std::unique_ptr<juce::AudioFormatWriter> writer (flac.createWriterFor (stream, targetRate, static_cast<unsigned int> (channels), 16, {}, 5));
    if (writer == nullptr)
    {
        delete stream;
        juce::Logger::writeToLog ("Transcoder: Cannot create FLAC writer for " + target.getFullPathName());
        replacement.abandon();
        saveRawFallback (job, "flac_writer_null");
        return finish();
    }
    if (stopRequested())
    {
        writer.reset();
        replacement.abandon();
        return reportCancelled (job), finish();
    }
    sendProgress (job, 40, "Transcodificando a FLAC...");

    bool ok = true;
    juce::int64 written = 0;
    juce::AudioBuffer<float> buffer (channels, blockSamples);
    if (resample)
    {
        sendProgress (job, 55, "Resampleando...");
        RecordingReaderSource source (*reader);
        juce::ResamplingAudioSource resampler (&source, false, channels);
        resampler.setResamplingRatio (srcRate / targetRate);
        resampler.prepareToPlay (blockSamples, targetRate);
        const auto outSamples = static_cast<juce::int64> (static_cast<double> (samples) * targetRate / srcRate);
        while (outSamples >= 1 && ! stopRequested() && written < outSamples)
        {
            const int n = static_cast<int> (std::min<juce::int64> (outSamples - written, blockSamples));
            buffer.clear();
            resampler.getNextAudioBlock (juce::AudioSourceChannelInfo (&buffer, 0, n));
            if (source.hasFailed() || ! writer->writeFromAudioSampleBuffer (buffer, 0, n))
            {
                ok = false;
                break;
            }
            written += n;
            sendProgress (job, 55 + static_cast<int> (35 * written / outSamples), "Transcodificando a FLAC...");
        }
        ok = ok && written >= outSamples;
    }
    else
    {
        // Block by block, so a stop request is seen between blocks. Integer sources pass as
        // integers, so 16-bit audio at 44,100 Hz comes out bit for bit.
        juce::HeapBlock<int> intData ((size_t) channels * blockSamples, true);
        std::vector<int*> intChannels;
        for (int c = 0; c < channels; ++c)
            intChannels.push_back (intData.get() + (size_t) c * blockSamples);
        for (juce::int64 position = 0; position < samples && ! stopRequested(); position += blockSamples)
        {
            const int n = static_cast<int> (std::min<juce::int64> (samples - position, blockSamples));
            bool read = true;
            if (reader->usesFloatingPointData)
            {
                buffer.clear();
                read = reader->read (&buffer, 0, n, position, true, true);
            }
            else
            {
                juce::zeromem (intData.get(), sizeof (int) * (size_t) channels * blockSamples);
                read = reader->read (intChannels.data(), channels, position, n, true);
            }
            if (! read && ! readFailureEndsAudio (*reader, position, n))
            {
                ok = false;
                break;
            }
            const bool wrote = reader->usesFloatingPointData
                                 ? writer->writeFromAudioSampleBuffer (buffer, 0, n)
                                 : writer->write (const_cast<const int**> (intChannels.data()), n);
            if (! wrote)
            {
                ok = false;
                break;
            }
            written += n;
        }
        ok = ok && written >= samples;
        sendProgress (job, 90, "Transcodificando a FLAC...");
    }
    writer.reset(); // completes the FLAC stream in the temporary file

    // 8. Outcome: the temporary file must hold every write and reopen with the written length.
    if (stopRequested())
    {
        replacement.abandon();
        return reportCancelled (job), finish();
    }
    ok = ok && ! replacement.hasFailed() && flacLength (replacement.getTemporaryFile()) == written && replacement.commit();
    if (! ok)
    {
        juce::Logger::writeToLog ("Transcoder: Write failed for " + target.getFullPathName());
        replacement.abandon();
        saveRawFallback (job, "write_failed");
        return finish();
    }

    sendProgress (job, 95, "Finalizando...");
    const auto info = describeAudioFile (target, formats);
    juce::Logger::writeToLog ("Transcoder: Success -> " + target.getFullPathName() + " (" + juce::String (info.sizeBytes / 1024) + " KB) hash="
                              + info.contentHash.substring (0, 12));
    sendComplete (job, target.getFullPathName(), true, "flac", {}, info);
    finish();
}

void TranscoderThread::saveRawFallback (TranscodeJob& job, const juce::String& reason)
{
    const auto folder = resolveTargetFolder (job);
    const auto target = folder.getChildFile (juce::File::createLegalFileName (job.trackId + "_" + job.filename));

    // The copy replaces an earlier file only once it is complete.
    bool copied = true;
    if (job.sourcePath.isNotEmpty())
    {
        const juce::File source (job.sourcePath);
        if (source != target && source.existsAsFile())
            copied = platform::replaceFileUsing (target, [&source] (juce::OutputStream& out)
            {
                juce::FileInputStream in (source);
                return in.openedOk() && out.writeFromInputStream (in, -1) == in.getTotalLength();
            });
    }
    else if (! job.rawData.isEmpty())
        copied = platform::replaceFileWithData (target, job.rawData.getData(), job.rawData.getSize());
    else
        target.deleteFile();

    const auto error = "Transcode fallback: " + reason;
    if (! copied)
    {
        // Nothing was stored: the answer names no file rather than one that was not written.
        juce::Logger::writeToLog ("Transcoder: Fallback copy failed -> " + target.getFullPathName() + " | reason=" + reason);
        sendComplete (job, {}, false, {}, error, {});
        return;
    }

    const auto info = describeAudioFile (target, formats);
    juce::Logger::writeToLog ("Transcoder: Fallback saved raw file -> " + target.getFullPathName() + " | reason=" + reason + " | hash="
                              + info.contentHash.substring (0, 12));
    sendComplete (job, target.getFullPathName(), false, target.getFileExtension().trimCharactersAtStart ("."), error, info);
}

juce::File TranscoderThread::resolveTargetFolder (const TranscodeJob& job)
{
    const juce::ScopedLock sl (folderLock);
    const auto root = storageRoot();
    if (! root.isDirectory())
        root.createDirectory();
    return platform::resolveRelativeUnder (root, job.subfolder, true);
}

void TranscoderThread::reportCancelled (const TranscodeJob& job)
{
    sendComplete (job, {}, false, {}, "Cancelled", {});
}

void TranscoderThread::sendProgress (const TranscodeJob& job, int progress, const juce::String& message)
{
    sink (makeObject ({ { "action", "TRANSCODE_PROGRESS" }, { "id", job.id }, { "trackId", job.trackId }, { "progress", progress }, { "message", message } }));
}

void TranscoderThread::sendComplete (const TranscodeJob& job, const juce::String& path, bool transcoded, const juce::String& outputFormat,
                                     const juce::String& error, const AudioFileInfo& info)
{
    const auto url = path.isEmpty() ? juce::String() : "file://" + path;
    auto event = makeObject ({ { "action", "TRANSCODE_COMPLETE" },
                               { "id", job.id },
                               { "trackId", job.trackId },
                               { "url", url },
                               { "path", path },
                               { "urlB64", base64OfText (url) },
                               { "pathB64", base64OfText (path) },
                               { "transcoded", transcoded },
                               { "outputFormat", outputFormat } });
    auto* object = event.getDynamicObject();
    if (error.isNotEmpty())
        object->setProperty ("error", error);
    if (info.contentHash.isNotEmpty())
    {
        object->setProperty ("contentHash", info.contentHash);
        object->setProperty ("sizeBytes", info.sizeBytes);
        object->setProperty ("sampleRate", info.sampleRate);
        object->setProperty ("channels", info.channels);
        object->setProperty ("bitDepth", info.bitDepth);
        object->setProperty ("duration", info.duration);
    }
    sink (event);
}
} // namespace quorvelle
