// Engine operations whose work is not built yet. Each does nothing (or answers "no") so that the
// rows that call them can be wired and tested; the blocks below go away as the work lands.
#include "audio/engine/AudioEngine.h"

namespace quorvelle
{
//==============================================================================
// Preload, activation and overlap transitions.

} // namespace quorvelle
