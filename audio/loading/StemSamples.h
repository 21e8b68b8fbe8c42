// The decoded samples of one stem, shared by the stem's record and by a loader still writing into
// them (a complement fill), so that neither can free them under the other.
//
// Threads: filled by a loader thread, played by the audio thread through plain pointers (the
// sources never own it), released on the message thread or a loader thread, never on the audio
// thread.
#pragma once

#include "audio/graph/ChainSources.h"

#include <juce_audio_basics/juce_audio_basics.h>

#include <memory>
#include <vector>

namespace quorvelle
{
struct StemSamples
{
    // Float samples, or 16-bit channels with the map of their decoded chunks.
    std::unique_ptr<juce::AudioBuffer<float>> buffer;
    std::unique_ptr<std::vector<Int16ChannelData>> int16Channels;
    ChunkLoadMap loadMap;
};
} // namespace quorvelle
