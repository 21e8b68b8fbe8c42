// Engine operations whose work is not built yet. Each does nothing (or answers "no") so that the
// rows that call them can be wired and tested; the blocks below go away as the work lands.
#include "audio/engine/AudioEngine.h"

namespace quorvelle
{
//==============================================================================
// Preload, activation and overlap transitions.
void AudioEngine::activatePreloaded (const juce::String&, bool, double, bool, bool, const juce::String&, double, double, int, int, bool,
                                     double, double, bool, bool, double, bool, double, bool, double, double)
{
}

} // namespace quorvelle
