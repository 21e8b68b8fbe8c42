// Engine operations whose work is not built yet. Each does nothing (or answers "no") so that the
// rows that call them can be wired and tested; the blocks below go away as the work lands.
#include "audio/engine/AudioEngine.h"

namespace quorvelle
{
//==============================================================================
// Click sections.
void AudioEngine::startClickSection (const juce::String&, const juce::String&, double, int, int, int, double, const juce::var&,
                                     const juce::String&, const juce::String&, const juce::String&, const juce::String&, bool, bool)
{
}
void AudioEngine::cancelClickSection() {}
void AudioEngine::deactivateLoop() {}
void AudioEngine::reactivateLoop() {}
void AudioEngine::setRepeat (const juce::String&, bool) {}
void AudioEngine::setLoopFixed (const juce::String&, bool) {}
void AudioEngine::setNextSeekTarget (const juce::String&, double, const juce::String&, const juce::String&) {}

//==============================================================================
// Preload, activation and overlap transitions.
void AudioEngine::startPreload (const juce::var&, const juce::var&, double, const juce::var&, int, const juce::String&, const juce::var&,
                                double, double, bool, const juce::var&, double, double, double, bool, double, double, double)
{
}
void AudioEngine::activatePreloaded (const juce::String&, bool, double, bool, bool, const juce::String&, double, double, int, int, bool,
                                     double, double, bool, bool, double, bool, double, bool, double, double)
{
}
void AudioEngine::evictPreloadedSession (const juce::String&) {}
void AudioEngine::cancelPreload() {}
void AudioEngine::preserveActiveAsPreload() {}
juce::String AudioEngine::getPreloadedSongId() const { return {}; }
void AudioEngine::scheduleOverlapTransition (const juce::String&, double, double, bool, double, bool) {}
void AudioEngine::startCountOverlay (double, double, bool) {}
void AudioEngine::cancelOverlapTransition() {}

//==============================================================================
// Offline stretch.
bool AudioEngine::activateFromStretchCache (const juce::String&, double, double, const juce::var&, const juce::var&, int,
                                            const juce::var&, bool, const juce::var&, double)
{
    return false;
}
void AudioEngine::applyStretch (double, float) {}

//==============================================================================
// Export guard: no export renders yet, so there is nothing to wait for.
void AudioEngine::cancelExportAndWait() {}
void AudioEngine::runAfterExport (std::function<void()> work)
{
    if (work != nullptr)
        work();
}
} // namespace quorvelle
