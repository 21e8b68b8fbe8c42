// The pad rows of the dispatcher: the two slots (posted), the continue flags, the pad master
// stage, the cache (preload, release) and the performance level that sets the pads' memory budget.
#include "app/MainComponent.h"
#include "app/RowFields.h"

namespace quorvelle
{
void MainComponent::registerPadActions()
{
    using namespace row_fields;
    const auto inlineRow = [this] (const char* action, std::function<void (const juce::var&)> work)
    {
        dispatchTable.add (action, DispatchMode::inlineCall, std::move (work));
    };

    // A slot change replaces pad mixer inputs: a running export is stopped first.
    const auto slotRow = [=, this] (const char* action, void (AudioEngine::*update) (bool, const juce::String&, float, float))
    {
        dispatchTable.add (action, DispatchMode::posted, [=, this] (const juce::var& m)
        {
            audioEngine.cancelExportAndWait();
            (audioEngine.*update) (flag (m, "enabled"), text (m, "file"), number (m, "volume"), number (m, "fadeTime"));
        });
    };
    slotRow ("UPDATE_PAD", &AudioEngine::updatePad);
    slotRow ("UPDATE_PAD2", &AudioEngine::updatePad2);

    inlineRow ("SET_CONTINUE_PAD", [=, this] (const juce::var& m) { audioEngine.setContinuePad (flag (m, "pad1"), flag (m, "pad2")); });
    inlineRow ("SET_PAD_MASTER_VOLUME", [=, this] (const juce::var& m) { audioEngine.setPadMasterVolume (number (m, "volume")); });
    inlineRow ("SET_PAD_MASTER_LPF", [=, this] (const juce::var& m) { audioEngine.setPadMasterLowPass (number (m, "frequency")); });
    inlineRow ("SET_PAD_MASTER_HPF", [=, this] (const juce::var& m) { audioEngine.setPadMasterHighPass (number (m, "frequency")); });
    inlineRow ("PRELOAD_PAD", [=, this] (const juce::var& m)
    {
        const auto file = text (m, "file");
        audioEngine.forgetFailedPadFile (file);
        audioEngine.requestPadDecode (file, [] (std::shared_ptr<AudioEngine::LoadedPad>) {}, true);
    });
    inlineRow ("RELEASE_PAD", [=, this] (const juce::var& m) { audioEngine.releasePad (text (m, "file")); });
    inlineRow ("RELEASE_ALL_PADS", [this] (const juce::var&) { audioEngine.releaseAllPads(); });
    inlineRow ("SET_PERFORMANCE_LEVEL", [=, this] (const juce::var& m) { audioEngine.setPerformanceLevel (text (m, "level")); });
}
} // namespace quorvelle
