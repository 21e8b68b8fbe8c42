// The routing rows of the dispatcher: bus routing to device outputs, per-type channel overrides
// and the split monitor.
#include "app/MainComponent.h"

namespace quorvelle
{
void MainComponent::registerRoutingActions()
{
    dispatchTable.add ("SET_BUS_ROUTING", DispatchMode::posted, [this] (const juce::var& message)
    {
        audioEngine.debugLog ("[BRIDGE-IN] SET_BUS_ROUTING received (will reach setBusRouting via callAsync)");
        audioEngine.cancelExportAndWait();
        audioEngine.setBusRouting (message.getProperty ("routing", {}));
    });

    dispatchTable.add ("SET_CHANNEL_OVERRIDES", DispatchMode::posted, [this] (const juce::var& message)
    {
        audioEngine.cancelExportAndWait();
        audioEngine.setChannelOverrides (message.getProperty ("overrides", {}));
    });

    dispatchTable.add ("SET_SPLIT_MONITOR", DispatchMode::inlineCall, [this] (const juce::var& message)
    {
        const bool enabled = (bool) message.getProperty ("enabled", false);
        audioEngine.debugLog ("[BRIDGE-IN] SET_SPLIT_MONITOR enabled=" + juce::String (enabled ? "Y" : "N")
                              + juce::String (juce::CharPointer_UTF8 (" (solo flags en splitRouter/multiBusRouter \xe2\x80\x94 no reconfigura el device)")));
        audioEngine.cancelExportAndWait();
        audioEngine.setSplitMonitor (enabled);
    });
}
} // namespace quorvelle
