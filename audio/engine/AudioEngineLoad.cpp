// The song load: the engine's reader copy, LOAD_SONG's session set-up and the completion that
// builds the loaded stems into the graph.
#include "audio/engine/AudioEngine.h"

namespace quorvelle
{
std::unique_ptr<juce::AudioFormatReader> AudioEngine::createReader (const juce::String& url)
{
    StemReaderCopy copy;
    copy.prefix = "createReader: ";
    copy.fetchLine = "Attempting to open: ";
    copy.log = [this] (const juce::String& line) { debugLog (line); };
    return openStemReader (formatManager, url, copy);
}
} // namespace quorvelle
