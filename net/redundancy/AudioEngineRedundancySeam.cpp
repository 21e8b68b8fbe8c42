#include "audio/engine/AudioEngine.h"
#include "net/redundancy/RedundancyEngine.h"
#include "net/redundancy/RedundancyEngineSeam.h"

namespace quorvelle
{
RedundancyEngine::RedundancyEngine (AudioEngine* engine) : RedundancyEngine (std::make_unique<AudioEngineRedundancySeam> (engine)) {}

RedundancyEngineSeam::State AudioEngineRedundancySeam::readState() const
{
    State state;
    if (engine == nullptr)
        return state;
    if (! engine->copyActiveSongId (state.songId.data(), state.songId.size()))
        state.songId[0] = 0;
    const auto transport = engine->getTransportSnapshot();
    state.bpm = transport.bpm;
    state.positionSeconds = transport.sampleRate > 0.0 ? (double) transport.positionSamples / transport.sampleRate : 0.0;
    state.playing = transport.playing;
    return state;
}

bool AudioEngineRedundancySeam::setOutputGain (float gain)
{
    if (engine == nullptr)
        return false;
    engine->getRouter().standbyGain.store (gain);
    return true;
}

void AudioEngineRedundancySeam::play()
{
    if (engine != nullptr)
        engine->play (false, false, -1.0, {}, false, -1.0, -1, -1, -1.0);
}

void AudioEngineRedundancySeam::pause()
{
    if (engine != nullptr)
        engine->pause();
}

void AudioEngineRedundancySeam::seek (double positionSeconds)
{
    if (engine != nullptr)
        engine->seek (positionSeconds);
}
} // namespace quorvelle
