#pragma once

#include <juce_core/juce_core.h>

#include <memory>
#include <vector>

struct lame_global_struct;

namespace quorvelle
{
// Float blocks to a constant-bit-rate stereo-mode MP3 file through LAME and a buffered file stream.
// Usable only when `isOpen`; a writer that failed to open reports false from every write. One
// 64 KiB encode buffer is made at opening and reused, so writing allocates nothing. Blocks are
// limited to about 46,000 samples by that buffer (a longer block fails).
// Threads: one thread at a time (the exporter's).
class Mp3FileWriter
{
public:
    Mp3FileWriter (const juce::File& file, double sampleRate, int numChannels, int kbps);
    ~Mp3FileWriter();

    bool isOpen() const { return encoder != nullptr && stream != nullptr; }
    bool hasEncoder() const { return encoder != nullptr; }
    bool hasStream() const { return stream != nullptr; }

    // Encodes one block (the same array twice for one channel); false without an encoder or a
    // stream, for an empty block, when LAME fails or the write fails.
    bool write (const float* left, const float* right, int numSamples);
    // Flushes the encoder's tail into the file and closes everything; a second call does nothing.
    void finish();

private:
    lame_global_struct* encoder = nullptr;
    std::unique_ptr<juce::FileOutputStream> stream;
    std::vector<unsigned char> encodeBuffer;

    JUCE_DECLARE_NON_COPYABLE (Mp3FileWriter)
};
} // namespace quorvelle
