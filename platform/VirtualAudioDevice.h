#pragma once

// The "Virtual" audio device type: scriptable devices with no hardware behind them.
//
// The engine registers the type beside ALSA and JACK:
//     deviceManager.addAudioDeviceType (quorvelle::platform::createVirtualAudioDeviceType());
// and opens its devices through juce::AudioDeviceManager like any other. Tests script the devices
// through VirtualAudioDevices::instance(): which devices exist, refusals, unplug/replug, the clock
// that drives the audio callback, the samples fed to the inputs, and the samples that came out.

#include <juce_audio_devices/juce_audio_devices.h>

#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace quorvelle::platform
{
// Makes a new "Virtual" device type. Every type made this way lists the same devices (those of
// VirtualAudioDevices::instance()) and tells its listeners when that list changes.
std::unique_ptr<juce::AudioIODeviceType> createVirtualAudioDeviceType();

// What a virtual device offers.
struct VirtualDeviceInfo
{
    juce::String name;
    int numOutputs = 2;
    int numInputs = 0;
    juce::Array<double> sampleRates { 44100.0, 48000.0, 96000.0 };
    juce::Array<int> bufferSizes { 64, 128, 256, 512, 1024, 2048 };
    int defaultBufferSize = 512;

    // When > 0 the device runs at this rate whatever rate it is opened with (like hardware locked
    // to an external clock); getCurrentSampleRate() reports it.
    double actualSampleRate = 0.0;

    int outputLatencySamples = 0;
    int inputLatencySamples = 0;

    // A device-specific control panel (hasControlPanel()). Showing it returns at once, as if the
    // user had closed it; when `panelSampleRate` > 0 the open device now runs at that rate, as a
    // driver's panel may switch it, and a running callback is told the device restarted.
    bool hasControlPanel = false;
    double panelSampleRate = 0.0;
};

namespace detail
{
class VirtualDeviceRuntime;
class VirtualAudioIODevice;
class VirtualDeviceType;
} // namespace detail

// Process-wide script of the virtual devices. Every method may be called from any thread; from
// inside an audio callback, only the capture and input methods (the others may wait for the device
// that is calling).
class VirtualAudioDevices
{
public:
    enum class Clock
    {
        manual,   // nothing runs until renderBlocks() is called: deterministic
        realTime  // each running device has a thread calling back once per block duration
    };

    static VirtualAudioDevices& instance();

    // "Virtual 2", "Virtual 4", "Virtual 8", "Virtual 16": that many outputs, no inputs,
    // 44100/48000/96000 Hz, buffers 64..2048 (default 512).
    static std::vector<VirtualDeviceInfo> defaultDevices();

    // Back to the start: the default devices, all plugged in, manual clock, capture on, no refusal,
    // no queued input, nothing captured. Device-change listeners are told.
    void reset();

    //==============================================================================
    // The device list. Changes reach the device types' listeners asynchronously, on the message thread.

    // Defines a device (replacing one of the same name, whose capture is then dropped); it is plugged in.
    void addDevice (const VirtualDeviceInfo& info);
    void removeDevice (const juce::String& name);
    void removeAllDevices();

    // The plugged-in devices, in the order they were defined.
    juce::StringArray getDeviceNames() const;
    // The plugged-in devices that have inputs.
    juce::StringArray getInputDeviceNames() const;
    std::optional<VirtualDeviceInfo> getDeviceInfo (const juce::String& name) const;

    // Pulls the device out: from now on it delivers no more blocks; on the message thread it leaves
    // the types' lists and their listeners are called (juce::AudioDeviceManager then closes it).
    void unplug (const juce::String& name);
    // Plugs the device back in: it reappears in the lists and the listeners are called.
    void replug (const juce::String& name);
    bool isPlugged (const juce::String& name) const;

    //==============================================================================
    // Scripted behaviour.

    // The next open() of this device fails with `errorText` (the text juce::AudioDeviceManager
    // returns from setAudioDeviceSetup). Calls queue up: each refuses one open.
    void refuseNextOpen (const juce::String& name, const juce::String& errorText);
    // From its next open on, the device runs at `rate` whatever is asked (0: as asked).
    void setActualSampleRate (const juce::String& name, double rate);
    // Gives the device a control panel that switches it to `rate` when shown (0: changes nothing).
    // Applies to the open device too.
    void setControlPanel (const juce::String& name, double rate);
    // How many times the device's control panel was shown.
    int getControlPanelShows (const juce::String& name) const;
    // The count the device's getXRunCount() reports (0 until set).
    void setXRunCount (const juce::String& name, int count);
    int getXRunCount (const juce::String& name) const;

    //==============================================================================
    // Clocks.

    // Applies to running devices at once and to every device started later.
    void setClock (Clock clock);
    Clock getClock() const;

    // Manual clock: calls the running device's audio callback `numBlocks` times, synchronously, on
    // the calling thread. `deviceName` empty means the device started last. Returns how many blocks
    // were delivered (fewer when the device stops, is unplugged or runs on the real-time clock).
    int renderBlocks (int numBlocks, const juce::String& deviceName = {});

    // The name of the running device started last, or empty when none runs.
    juce::String getRunningDeviceName() const;
    bool isRunning (const juce::String& name) const;
    // Blocks delivered by the device of this name since it was defined (or since reset()).
    juce::int64 getBlocksRendered (const juce::String& name) const;

    //==============================================================================
    // Output capture: every rendered block is appended to one vector per output channel of the
    // device (inactive channels carry zeros), so channel i of the capture is the device's output i.

    void setCaptureEnabled (bool shouldCapture);
    int getNumCapturedChannels (const juce::String& name) const;
    std::vector<float> getCaptured (const juce::String& name, int channel) const;
    juce::int64 getNumCapturedSamples (const juce::String& name) const;
    // Clears the capture of one device, or of all when `name` is empty.
    void clearCaptured (const juce::String& name = {});

    //==============================================================================
    // Input injection: the samples an input channel will carry, in order, from the next rendered
    // block on. Each block consumes one buffer's worth from every input channel of the device
    // (active or not); a channel with nothing left carries zeros.

    void queueInput (const juce::String& name, int channel, const std::vector<float>& samples);
    void clearInput (const juce::String& name = {});

private:
    VirtualAudioDevices();

    friend class detail::VirtualDeviceRuntime;
    friend class detail::VirtualAudioIODevice;
    friend class detail::VirtualDeviceType;

    struct Entry;
    Entry* findEntry (const juce::String& name);
    const Entry* findEntry (const juce::String& name) const;

    // Called by the devices and types.
    bool takeRefusal (const juce::String& name, juce::String& errorText);
    // The rate the panel switches to (0: none); counts the showing.
    double takePanelShow (const juce::String& name);
    bool pullBlock (const juce::String& name, juce::AudioBuffer<float>& inputs, int numSamples);
    void storeBlock (const juce::String& name, const juce::AudioBuffer<float>& outputs, int numSamples);
    void registerRuntime (const std::shared_ptr<detail::VirtualDeviceRuntime>& runtime);
    void unregisterRuntime (const detail::VirtualDeviceRuntime* runtime);
    void registerType (detail::VirtualDeviceType* type);
    void unregisterType (detail::VirtualDeviceType* type);
    std::shared_ptr<detail::VirtualDeviceRuntime> findRunning (const juce::String& name) const;
    std::vector<std::shared_ptr<detail::VirtualDeviceRuntime>> liveRuntimes() const;

    void postListChange();
    void notifyTypes();

    mutable std::mutex stateLock; // the entries, clock choice, capture flag
    std::vector<std::unique_ptr<Entry>> entries;
    Clock clock = Clock::manual;
    bool captureEnabled = true;

    // Devices and types alive in the process. Recursive: the listeners called under it open and
    // close devices, which register and unregister themselves.
    mutable std::recursive_mutex registryLock;
    std::vector<std::weak_ptr<detail::VirtualDeviceRuntime>> runtimes;
    std::vector<detail::VirtualDeviceType*> types;
};
} // namespace quorvelle::platform
