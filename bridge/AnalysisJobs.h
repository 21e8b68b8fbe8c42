#pragma once

#include "audio/loading/PcmLengthCap.h"
#include "bridge/DispatchTable.h"

#include <juce_audio_formats/juce_audio_formats.h>
#include <juce_core/juce_core.h>

#include <functional>
#include <memory>

namespace quorvelle
{
// The four analysis jobs: "FINGERPRINT_AUDIO_FILE", "MEASURE_GROUP_LOUDNESS", "MIX_STEMS_FOR_BPM"
// and "SUBTRACT_STEMS". Each body runs on its job thread and returns its one result event; the
// dispatch handlers below post that event to the message thread.

// Opens a reader for a file; the default opens the basic formats by extension. Tests inject
// readers that fail on purpose.
using AudioReaderFactory = std::function<std::unique_ptr<juce::AudioFormatReader> (const juce::File&)>;
AudioReaderFactory basicFormatReaders();

// A request's path: an absolute path as it is, "file://" + path without the prefix, anything
// else relative to the working folder.
juce::File resolveAudioPath (const juce::String& text);

struct FingerprintJobRequest
{
    juce::String id;
    juce::String path;
    bool deleteSourceAfterRead = false;
};

struct LoudnessJobRequest
{
    juce::String id;
    juce::String groupId;
    juce::StringArray paths;
};

struct MixForBpmJobRequest
{
    juce::String id;
    juce::String outPath;
    juce::StringArray paths;
};

struct SubtractJobRequest
{
    juce::String id;
    juce::String originalPath;
    juce::String trackId;
    juce::String subfolder;
    juce::String filename;
    bool computeRms = false;
    juce::StringArray stemPaths;
};

// The fields each job copies from its request (texts converted, lists of texts, flags).
FingerprintJobRequest readFingerprintJobRequest (const juce::var& message);
LoudnessJobRequest readLoudnessJobRequest (const juce::var& message);
MixForBpmJobRequest readMixForBpmJobRequest (const juce::var& message);
SubtractJobRequest readSubtractJobRequest (const juce::var& message);

// Job bodies: run on the calling thread and return the result event, properties in order.
// Every job opens only regular files, refuses sample rates above 768 kHz and more than 64
// channels, trusts no more samples than a PCM file can hold, and answers a failed allocation with
// its error event. Output files replace their target only when complete (platform::CheckedReplacement).
juce::var fingerprintAudioFileJob (const FingerprintJobRequest& request, const AudioReaderFactory& readers);
juce::var measureGroupLoudnessJob (const LoudnessJobRequest& request, const AudioReaderFactory& readers);
juce::var mixStemsForBpmJob (const MixForBpmJobRequest& request, const AudioReaderFactory& readers);
juce::var subtractStemsJob (const SubtractJobRequest& request, const juce::File& storageRoot, const AudioReaderFactory& readers);

// What the dispatch handlers need from their owner: a poster that runs work on the message
// thread while the owner lives, the direct send to the front end, and the storage root.
struct AnalysisJobContext
{
    std::function<void (std::function<void()>)> postToMessageThread;
    std::function<void (const juce::var&)> sendDirect;
    std::function<juce::File()> storageRoot;
};

// Handlers for DispatchMode::job entries: each reads its request, runs its body on the job
// thread and posts the result.
DispatchTable::Handler makeFingerprintJobHandler (AnalysisJobContext context);
DispatchTable::Handler makeLoudnessJobHandler (AnalysisJobContext context);
DispatchTable::Handler makeMixForBpmJobHandler (AnalysisJobContext context);
DispatchTable::Handler makeSubtractJobHandler (AnalysisJobContext context);
} // namespace quorvelle
