#pragma once

#include "platform/CheckedWrite.h"

#include <juce_core/juce_core.h>

#include <memory>
#include <vector>

struct lame_global_struct;

namespace quorvelle
{
// Float blocks to a constant-bit-rate stereo-mode MP3 file through LAME.
//
// The frames go to a hidden temporary file beside the target; `finish` flushes the encoder, writes
// the encoder's tag frame over the blank first frame (so decoders trim the encoder delay and
// padding), checks every write, the flush and the close, and only then renames the file over the
// target. A writer dropped without a successful `finish` (a failure, a cancel) removes its
// temporary file and leaves an earlier file at the target as it was.
//
// Rates: 32, 44.1 and 48 kHz are encoded as they come; a higher rate is encoded at 48 kHz (44.1 kHz
// for its multiples), and a rate below 32 kHz caps the bit rate at 160 kbps, the most MPEG-2 allows.
// Usable only when `isOpen`. One 64 KiB encode buffer is made at opening and reused, so writing
// allocates nothing; blocks are limited to about 46,000 samples by that buffer.
// Threads: one thread at a time (the exporter's).
class Mp3FileWriter
{
public:
    Mp3FileWriter (const juce::File& file, double sampleRate, int numChannels, int kbps);
    ~Mp3FileWriter();

    bool isOpen() const { return encoder != nullptr && stream != nullptr; }
    bool hasEncoder() const { return encoder != nullptr; }
    bool hasStream() const { return stream != nullptr; }
    // The rate the frames carry (see above); 0 when the writer did not open.
    int getOutputSampleRate() const { return outputRate; }

    // Encodes one block (the same array twice for one channel); false without an encoder or a
    // stream, for an empty block, when LAME fails or the write fails.
    bool write (const float* left, const float* right, int numSamples);
    // Flushes the encoder's tail, writes the tag frame, and replaces the target. False when any
    // write, the flush, the close or the rename failed: the target is then as it was. A second call
    // answers the first call's result and writes nothing.
    bool finish();
    // Drops what was written; the target stays as it was.
    void abandon();
    // Why the file could not be opened or finished (empty when it could).
    juce::String getErrorText() const;

private:
    void closeEncoder();

    std::unique_ptr<platform::CheckedReplacement> replacement;
    lame_global_struct* encoder = nullptr;
    std::unique_ptr<juce::OutputStream> stream;
    std::vector<unsigned char> encodeBuffer;
    int outputRate = 0;
    bool finished = false, finishedOk = false;

    JUCE_DECLARE_NON_COPYABLE (Mp3FileWriter)
};
} // namespace quorvelle
