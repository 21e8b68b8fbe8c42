#include "platform/VirtualAudioDevice.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <thread>

namespace quorvelle::platform
{
namespace
{
const juce::String virtualTypeName { "Virtual" };
} // namespace

//==============================================================================
// What the script knows about one defined device.
struct VirtualAudioDevices::Entry
{
    VirtualDeviceInfo info;
    bool plugged = true;
    std::deque<juce::String> refusals;
    std::vector<std::vector<float>> capture; // one per output channel
    std::vector<std::deque<float>> input;    // one per input channel
    juce::int64 blocksRendered = 0;
    int panelShows = 0;
    int xruns = 0;

    explicit Entry (const VirtualDeviceInfo& i)
        : info (i),
          capture ((size_t) std::max (0, i.numOutputs)),
          input ((size_t) std::max (0, i.numInputs))
    {
    }
};

namespace detail
{
//==============================================================================
// The part of an open device that renders. Shared between the juce::AudioIODevice (owned by
// whoever created it, usually a juce::AudioDeviceManager) and the script, so that renderBlocks()
// never touches a device that is being destroyed: a runtime whose device has gone is closed and
// simply renders nothing.
class VirtualDeviceRuntime
{
public:
    VirtualDeviceRuntime (juce::AudioIODevice& d, const juce::String& n) : device (&d), name (n) {}

    ~VirtualDeviceRuntime() { stopClock(); }

    juce::String open (const juce::BigInteger& inputChannels, const juce::BigInteger& outputChannels,
                       double requestedRate, int requestedBufferSize)
    {
        close();

        auto& script = VirtualAudioDevices::instance();
        const auto info = script.getDeviceInfo (name);

        juce::String error;

        if (! info.has_value() || ! script.isPlugged (name))
            error = "The audio device \"" + name + "\" is not connected";
        else
            script.takeRefusal (name, error);

        const std::lock_guard<std::mutex> sl (lock);
        const std::lock_guard<std::mutex> cl (configLock);
        lastError = error;

        if (error.isNotEmpty())
            return error;

        numOutputs = std::max (0, info->numOutputs);
        numInputs = std::max (0, info->numInputs);
        activeOutputs = maskTo (outputChannels, numOutputs);
        activeInputs = maskTo (inputChannels, numInputs);
        sampleRate = chooseRate (*info, requestedRate);
        bufferSize = info->bufferSizes.contains (requestedBufferSize) ? requestedBufferSize
                                                                     : info->defaultBufferSize;
        outputLatency = info->outputLatencySamples;
        inputLatency = info->inputLatencySamples;

        outputs.setSize (std::max (1, numOutputs), std::max (1, bufferSize));
        inputs.setSize (std::max (1, numInputs), std::max (1, bufferSize));
        outputs.clear();
        inputs.clear();

        activeOutputPointers.clear();
        activeInputPointers.clear();

        for (int ch = 0; ch < numOutputs; ++ch)
            if (activeOutputs[ch])
                activeOutputPointers.push_back (outputs.getWritePointer (ch));

        for (int ch = 0; ch < numInputs; ++ch)
            if (activeInputs[ch])
                activeInputPointers.push_back (inputs.getReadPointer (ch));

        isOpenFlag = true;
        return {};
    }

    void close()
    {
        stop();

        const std::lock_guard<std::mutex> sl (lock);
        const std::lock_guard<std::mutex> cl (configLock);
        isOpenFlag = false;
        activeOutputs.clear();
        activeInputs.clear();
        activeOutputPointers.clear();
        activeInputPointers.clear();
    }

    void start (juce::AudioIODeviceCallback* newCallback)
    {
        if (newCallback == nullptr)
            return;

        {
            const std::lock_guard<std::mutex> sl (lock);

            if (! isOpenFlag || callback == newCallback)
                return;
        }

        stop();

        // The callback learns the rate and block size before it is ever called.
        newCallback->audioDeviceAboutToStart (device);

        {
            const std::lock_guard<std::mutex> sl (lock);
            callback = newCallback;
            runningOrder = nextStartOrder.fetch_add (1) + 1;
        }

        if (VirtualAudioDevices::instance().getClock() == VirtualAudioDevices::Clock::realTime)
            startClock();
    }

    void stop()
    {
        juce::AudioIODeviceCallback* old = nullptr;

        {
            // Waits for a block in progress: no call reaches the callback once stop() has returned.
            const std::lock_guard<std::mutex> sl (lock);
            std::swap (old, callback);
            runningOrder = 0;
        }

        // After the callback has gone, so that a clock started meanwhile is stopped too.
        stopClock();

        if (old != nullptr)
            old->audioDeviceStopped();
    }

    // Delivers one block; false when the device is not running or has been unplugged.
    bool renderBlock()
    {
        const std::lock_guard<std::mutex> sl (lock);

        if (callback == nullptr || ! isOpenFlag)
            return false;

        auto& script = VirtualAudioDevices::instance();

        if (! script.pullBlock (name, inputs, bufferSize))
            return false;

        outputs.clear();

        const juce::AudioIODeviceCallbackContext context {};
        callback->audioDeviceIOCallbackWithContext (activeInputPointers.data(), (int) activeInputPointers.size(),
                                                    activeOutputPointers.data(), (int) activeOutputPointers.size(),
                                                    bufferSize, context);

        script.storeBlock (name, outputs, bufferSize);
        return true;
    }

    void startClock()
    {
        const std::lock_guard<std::mutex> control (clockControlLock);

        {
            const std::lock_guard<std::mutex> sl (lock);

            if (callback == nullptr || clockThread.joinable())
                return;
        }

        {
            const std::lock_guard<std::mutex> cl (clockLock);
            clockStopRequested = false;
        }

        clockRunning = true;
        clockThread = std::thread ([this] { runClock(); });
    }

    void stopClock()
    {
        const std::lock_guard<std::mutex> control (clockControlLock);

        if (! clockThread.joinable())
            return;

        {
            const std::lock_guard<std::mutex> cl (clockLock);
            clockStopRequested = true;
        }

        clockWake.notify_all();
        clockThread.join();
        clockRunning = false;
    }

    bool isOpen() const
    {
        const std::lock_guard<std::mutex> sl (lock);
        return isOpenFlag;
    }

    // The control panel switched the open device to `rate`: a running callback learns the new
    // rate through audioDeviceAboutToStart, as after a driver's reset.
    void changeRateFromPanel (double rate)
    {
        juce::AudioIODeviceCallback* running = nullptr;

        {
            const std::lock_guard<std::mutex> sl (lock);
            const std::lock_guard<std::mutex> cl (configLock);

            if (! isOpenFlag)
                return;

            sampleRate = rate;
            running = callback;
        }

        if (running != nullptr)
            running->audioDeviceAboutToStart (device);
    }

    bool isPlaying() const
    {
        const std::lock_guard<std::mutex> sl (lock);
        return callback != nullptr;
    }

    bool isClockRunning() const { return clockRunning; }

    // When the device was started, relative to the others (larger is later); 0 when not running.
    // Lock-free, so looking for the running device never waits for a block in progress.
    juce::int64 getStartOrder() const { return runningOrder; }

    juce::String getLastError() const { return underConfigLock (lastError); }
    double getSampleRate() const { return underConfigLock (sampleRate); }
    int getBufferSize() const { return underConfigLock (bufferSize); }
    juce::BigInteger getActiveOutputs() const { return underConfigLock (activeOutputs); }
    juce::BigInteger getActiveInputs() const { return underConfigLock (activeInputs); }
    int getOutputLatency() const { return underConfigLock (outputLatency); }
    int getInputLatency() const { return underConfigLock (inputLatency); }

    const juce::String& getName() const { return name; }

private:
    // A copy of one setting, taken under configLock.
    template <typename Value>
    Value underConfigLock (const Value& setting) const
    {
        const std::lock_guard<std::mutex> cl (configLock);
        return setting;
    }

    static juce::BigInteger maskTo (const juce::BigInteger& wanted, int numChannels)
    {
        juce::BigInteger result;

        for (int ch = 0; ch < numChannels; ++ch)
            if (wanted[ch])
                result.setBit (ch);

        return result;
    }

    static double chooseRate (const VirtualDeviceInfo& info, double requested)
    {
        if (info.actualSampleRate > 0.0)
            return info.actualSampleRate;

        if (info.sampleRates.isEmpty())
            return requested > 0.0 ? requested : 48000.0;

        if (requested <= 0.0)
            return info.sampleRates.getFirst();

        auto best = info.sampleRates.getFirst();

        for (auto rate : info.sampleRates)
            if (std::abs (rate - requested) < std::abs (best - requested))
                best = rate;

        return best;
    }

    // The real-time clock: one block per block duration, measured from the start so that the pace
    // does not drift. The first block goes out at once, as hardware asks for its first buffer.
    // Waiting is on a condition variable, so stopClock() returns as soon as a block in progress ends.
    void runClock()
    {
        using clock = std::chrono::steady_clock;

        const auto seconds = (double) getBufferSize() / std::max (1.0, getSampleRate());
        const auto period = std::chrono::duration_cast<clock::duration> (std::chrono::duration<double> (seconds));
        auto due = clock::now();

        std::unique_lock<std::mutex> cl (clockLock);

        while (! clockStopRequested)
        {
            cl.unlock();
            renderBlock();
            cl.lock();

            due += period;

            // Far behind (a debugger, a loaded machine): carry on from now rather than burst.
            if (clock::now() - due > period * 8)
                due = clock::now();

            clockWake.wait_until (cl, due, [this] { return clockStopRequested; });
        }
    }

    juce::AudioIODevice* device;
    const juce::String name;

    // The settings (error, rate, block size, channel masks, latencies) are read under configLock
    // alone, so a caller that holds the device manager's lock, as audioDeviceAboutToStart does,
    // never waits for a block in progress. Writers hold both, `lock` first.
    mutable std::mutex configLock;
    mutable std::mutex lock; // everything below, and the whole of each rendered block
    juce::AudioIODeviceCallback* callback = nullptr;
    bool isOpenFlag = false;
    juce::String lastError;
    int numOutputs = 0, numInputs = 0;
    juce::BigInteger activeOutputs, activeInputs;
    double sampleRate = 0.0;
    int bufferSize = 0;
    int outputLatency = 0, inputLatency = 0;
    juce::AudioBuffer<float> outputs, inputs;
    std::vector<float*> activeOutputPointers;
    std::vector<const float*> activeInputPointers;
    std::atomic<juce::int64> runningOrder { 0 };

    std::mutex clockControlLock; // serialises startClock() and stopClock()
    std::mutex clockLock;
    std::condition_variable clockWake;
    bool clockStopRequested = false;
    std::atomic<bool> clockRunning { false };
    std::thread clockThread;

    static inline std::atomic<juce::int64> nextStartOrder { 0 };
};

//==============================================================================
class VirtualAudioIODevice final : public juce::AudioIODevice
{
public:
    VirtualAudioIODevice (const juce::String& deviceName, const VirtualDeviceInfo& info)
        : juce::AudioIODevice (deviceName, virtualTypeName),
          description (info),
          runtime (std::make_shared<VirtualDeviceRuntime> (*this, deviceName))
    {
        VirtualAudioDevices::instance().registerRuntime (runtime);
    }

    ~VirtualAudioIODevice() override
    {
        runtime->close();
        VirtualAudioDevices::instance().unregisterRuntime (runtime.get());
    }

    juce::StringArray getOutputChannelNames() override { return channelNames ("Output", description.numOutputs); }
    juce::StringArray getInputChannelNames() override { return channelNames ("Input", description.numInputs); }

    juce::Array<double> getAvailableSampleRates() override { return description.sampleRates; }
    juce::Array<int> getAvailableBufferSizes() override { return description.bufferSizes; }
    int getDefaultBufferSize() override { return description.defaultBufferSize; }

    juce::String open (const juce::BigInteger& inputChannels, const juce::BigInteger& outputChannels,
                       double sampleRate, int bufferSizeSamples) override
    {
        return runtime->open (inputChannels, outputChannels, sampleRate, bufferSizeSamples);
    }

    void close() override { runtime->close(); }
    bool isOpen() override { return runtime->isOpen(); }
    void start (juce::AudioIODeviceCallback* callback) override { runtime->start (callback); }
    void stop() override { runtime->stop(); }
    bool isPlaying() override { return runtime->isPlaying(); }
    juce::String getLastError() override { return runtime->getLastError(); }

    int getCurrentBufferSizeSamples() override { return runtime->getBufferSize(); }
    double getCurrentSampleRate() override { return runtime->getSampleRate(); }
    int getCurrentBitDepth() override { return 32; }

    juce::BigInteger getActiveOutputChannels() const override { return runtime->getActiveOutputs(); }
    juce::BigInteger getActiveInputChannels() const override { return runtime->getActiveInputs(); }

    int getOutputLatencyInSamples() override { return runtime->getOutputLatency(); }
    int getInputLatencyInSamples() override { return runtime->getInputLatency(); }

    int getXRunCount() const noexcept override { return VirtualAudioDevices::instance().getXRunCount (getName()); }

    bool hasControlPanel() const override
    {
        const auto info = VirtualAudioDevices::instance().getDeviceInfo (getName());
        return info.has_value() && info->hasControlPanel;
    }

    bool showControlPanel() override
    {
        if (const auto rate = VirtualAudioDevices::instance().takePanelShow (getName()); rate > 0.0)
            runtime->changeRateFromPanel (rate);
        return false;
    }

private:
    static juce::StringArray channelNames (const juce::String& prefix, int count)
    {
        juce::StringArray names;

        for (int i = 0; i < count; ++i)
            names.add (prefix + " " + juce::String (i + 1));

        return names;
    }

    const VirtualDeviceInfo description;
    std::shared_ptr<VirtualDeviceRuntime> runtime;
};

//==============================================================================
// One device has both the inputs and the outputs (hasSeparateInputsAndOutputs() is false): a device
// is opened by its output name, or by its input name when no output name is given.
class VirtualDeviceType final : public juce::AudioIODeviceType
{
public:
    VirtualDeviceType() : juce::AudioIODeviceType (virtualTypeName)
    {
        VirtualDeviceType::scanForDevices();
        VirtualAudioDevices::instance().registerType (this);
    }

    ~VirtualDeviceType() override { VirtualAudioDevices::instance().unregisterType (this); }

    void scanForDevices() override
    {
        auto& script = VirtualAudioDevices::instance();
        auto outs = script.getDeviceNames();
        auto ins = script.getInputDeviceNames();

        const std::lock_guard<std::mutex> sl (namesLock);
        outputNames = std::move (outs);
        inputNames = std::move (ins);
    }

    juce::StringArray getDeviceNames (bool wantInputNames) const override
    {
        const std::lock_guard<std::mutex> sl (namesLock);
        return wantInputNames ? inputNames : outputNames;
    }

    int getDefaultDeviceIndex (bool forInput) const override
    {
        return getDeviceNames (forInput).isEmpty() ? -1 : 0;
    }

    int getIndexOfDevice (juce::AudioIODevice* device, bool asInput) const override
    {
        return device != nullptr ? getDeviceNames (asInput).indexOf (device->getName()) : -1;
    }

    bool hasSeparateInputsAndOutputs() const override { return false; }

    juce::AudioIODevice* createDevice (const juce::String& outputDeviceName,
                                       const juce::String& inputDeviceName) override
    {
        const auto name = outputDeviceName.isNotEmpty() ? outputDeviceName : inputDeviceName;
        auto& script = VirtualAudioDevices::instance();

        if (name.isEmpty() || ! script.isPlugged (name))
            return nullptr;

        if (const auto info = script.getDeviceInfo (name))
            return new VirtualAudioIODevice (name, *info);

        return nullptr;
    }

    // Rescans, then tells the listeners (juce::AudioDeviceManager among them) synchronously.
    void deviceListChanged()
    {
        scanForDevices();
        callDeviceChangeListeners();
    }

private:
    mutable std::mutex namesLock;
    juce::StringArray outputNames, inputNames;
};
} // namespace detail

//==============================================================================
std::unique_ptr<juce::AudioIODeviceType> createVirtualAudioDeviceType()
{
    return std::make_unique<detail::VirtualDeviceType>();
}

VirtualAudioDevices::VirtualAudioDevices()
{
    for (const auto& info : defaultDevices())
        entries.push_back (std::make_unique<Entry> (info));
}

VirtualAudioDevices& VirtualAudioDevices::instance()
{
    static VirtualAudioDevices script;
    return script;
}

std::vector<VirtualDeviceInfo> VirtualAudioDevices::defaultDevices()
{
    std::vector<VirtualDeviceInfo> result;

    for (int outputs : { 2, 4, 8, 16 })
    {
        VirtualDeviceInfo info;
        info.name = "Virtual " + juce::String (outputs);
        info.numOutputs = outputs;
        result.push_back (info);
    }

    return result;
}

void VirtualAudioDevices::reset()
{
    setClock (Clock::manual);

    {
        const std::lock_guard<std::mutex> sl (stateLock);
        entries.clear();

        for (const auto& info : defaultDevices())
            entries.push_back (std::make_unique<Entry> (info));

        captureEnabled = true;
    }

    postListChange();
}

VirtualAudioDevices::Entry* VirtualAudioDevices::findEntry (const juce::String& name)
{
    for (auto& e : entries)
        if (e->info.name == name)
            return e.get();

    return nullptr;
}

const VirtualAudioDevices::Entry* VirtualAudioDevices::findEntry (const juce::String& name) const
{
    for (auto& e : entries)
        if (e->info.name == name)
            return e.get();

    return nullptr;
}

//==============================================================================
void VirtualAudioDevices::addDevice (const VirtualDeviceInfo& info)
{
    jassert (info.name.isNotEmpty());

    {
        const std::lock_guard<std::mutex> sl (stateLock);

        if (auto* existing = findEntry (info.name))
            *existing = Entry (info);
        else
            entries.push_back (std::make_unique<Entry> (info));
    }

    postListChange();
}

void VirtualAudioDevices::removeDevice (const juce::String& name)
{
    {
        const std::lock_guard<std::mutex> sl (stateLock);
        entries.erase (std::remove_if (entries.begin(), entries.end(),
                                       [&] (const auto& e) { return e->info.name == name; }),
                       entries.end());
    }

    postListChange();
}

void VirtualAudioDevices::removeAllDevices()
{
    {
        const std::lock_guard<std::mutex> sl (stateLock);
        entries.clear();
    }

    postListChange();
}

juce::StringArray VirtualAudioDevices::getDeviceNames() const
{
    const std::lock_guard<std::mutex> sl (stateLock);
    juce::StringArray names;

    for (auto& e : entries)
        if (e->plugged)
            names.add (e->info.name);

    return names;
}

juce::StringArray VirtualAudioDevices::getInputDeviceNames() const
{
    const std::lock_guard<std::mutex> sl (stateLock);
    juce::StringArray names;

    for (auto& e : entries)
        if (e->plugged && e->info.numInputs > 0)
            names.add (e->info.name);

    return names;
}

std::optional<VirtualDeviceInfo> VirtualAudioDevices::getDeviceInfo (const juce::String& name) const
{
    const std::lock_guard<std::mutex> sl (stateLock);

    if (auto* e = findEntry (name))
        return e->info;

    return std::nullopt;
}

void VirtualAudioDevices::unplug (const juce::String& name)
{
    {
        const std::lock_guard<std::mutex> sl (stateLock);

        if (auto* e = findEntry (name))
            e->plugged = false;
    }

    postListChange();
}

void VirtualAudioDevices::replug (const juce::String& name)
{
    {
        const std::lock_guard<std::mutex> sl (stateLock);

        if (auto* e = findEntry (name))
            e->plugged = true;
    }

    postListChange();
}

bool VirtualAudioDevices::isPlugged (const juce::String& name) const
{
    const std::lock_guard<std::mutex> sl (stateLock);
    auto* e = findEntry (name);
    return e != nullptr && e->plugged;
}

//==============================================================================
void VirtualAudioDevices::refuseNextOpen (const juce::String& name, const juce::String& errorText)
{
    jassert (errorText.isNotEmpty()); // an empty text would read as success

    const std::lock_guard<std::mutex> sl (stateLock);

    if (auto* e = findEntry (name))
        e->refusals.push_back (errorText);
}

void VirtualAudioDevices::setActualSampleRate (const juce::String& name, double rate)
{
    const std::lock_guard<std::mutex> sl (stateLock);

    if (auto* e = findEntry (name))
        e->info.actualSampleRate = rate;
}

void VirtualAudioDevices::setControlPanel (const juce::String& name, double rate)
{
    const std::lock_guard<std::mutex> sl (stateLock);

    if (auto* e = findEntry (name))
    {
        e->info.hasControlPanel = true;
        e->info.panelSampleRate = rate;
    }
}

int VirtualAudioDevices::getControlPanelShows (const juce::String& name) const
{
    const std::lock_guard<std::mutex> sl (stateLock);
    auto* e = findEntry (name);
    return e != nullptr ? e->panelShows : 0;
}

double VirtualAudioDevices::takePanelShow (const juce::String& name)
{
    const std::lock_guard<std::mutex> sl (stateLock);
    auto* e = findEntry (name);

    if (e == nullptr || ! e->info.hasControlPanel)
        return 0.0;

    ++e->panelShows;
    return e->info.panelSampleRate;
}

void VirtualAudioDevices::setXRunCount (const juce::String& name, int count)
{
    const std::lock_guard<std::mutex> sl (stateLock);
    if (auto* e = findEntry (name))
        e->xruns = count;
}

int VirtualAudioDevices::getXRunCount (const juce::String& name) const
{
    const std::lock_guard<std::mutex> sl (stateLock);
    const auto* e = findEntry (name);
    return e != nullptr ? e->xruns : 0;
}

bool VirtualAudioDevices::takeRefusal (const juce::String& name, juce::String& errorText)
{
    const std::lock_guard<std::mutex> sl (stateLock);
    auto* e = findEntry (name);

    if (e == nullptr || e->refusals.empty())
        return false;

    errorText = e->refusals.front();
    e->refusals.pop_front();
    return true;
}

//==============================================================================
void VirtualAudioDevices::setClock (Clock newClock)
{
    {
        const std::lock_guard<std::mutex> sl (stateLock);
        clock = newClock;
    }

    for (auto& runtime : liveRuntimes())
    {
        if (newClock == Clock::realTime)
            runtime->startClock();
        else
            runtime->stopClock();
    }
}

VirtualAudioDevices::Clock VirtualAudioDevices::getClock() const
{
    const std::lock_guard<std::mutex> sl (stateLock);
    return clock;
}

int VirtualAudioDevices::renderBlocks (int numBlocks, const juce::String& deviceName)
{
    auto runtime = findRunning (deviceName);

    if (runtime == nullptr || runtime->isClockRunning())
        return 0;

    int delivered = 0;

    while (delivered < numBlocks && runtime->renderBlock())
        ++delivered;

    return delivered;
}

juce::String VirtualAudioDevices::getRunningDeviceName() const
{
    auto runtime = findRunning ({});
    return runtime != nullptr ? runtime->getName() : juce::String();
}

bool VirtualAudioDevices::isRunning (const juce::String& name) const
{
    return name.isNotEmpty() && findRunning (name) != nullptr;
}

juce::int64 VirtualAudioDevices::getBlocksRendered (const juce::String& name) const
{
    const std::lock_guard<std::mutex> sl (stateLock);
    auto* e = findEntry (name);
    return e != nullptr ? e->blocksRendered : 0;
}

//==============================================================================
void VirtualAudioDevices::setCaptureEnabled (bool shouldCapture)
{
    const std::lock_guard<std::mutex> sl (stateLock);
    captureEnabled = shouldCapture;
}

int VirtualAudioDevices::getNumCapturedChannels (const juce::String& name) const
{
    const std::lock_guard<std::mutex> sl (stateLock);
    auto* e = findEntry (name);
    return e != nullptr ? (int) e->capture.size() : 0;
}

std::vector<float> VirtualAudioDevices::getCaptured (const juce::String& name, int channel) const
{
    const std::lock_guard<std::mutex> sl (stateLock);
    auto* e = findEntry (name);

    if (e == nullptr || channel < 0 || channel >= (int) e->capture.size())
        return {};

    return e->capture[(size_t) channel];
}

juce::int64 VirtualAudioDevices::getNumCapturedSamples (const juce::String& name) const
{
    const std::lock_guard<std::mutex> sl (stateLock);
    auto* e = findEntry (name);
    return e != nullptr && ! e->capture.empty() ? (juce::int64) e->capture.front().size() : 0;
}

void VirtualAudioDevices::clearCaptured (const juce::String& name)
{
    const std::lock_guard<std::mutex> sl (stateLock);

    for (auto& e : entries)
        if (name.isEmpty() || e->info.name == name)
            for (auto& channel : e->capture)
                channel.clear();
}

void VirtualAudioDevices::queueInput (const juce::String& name, int channel, const std::vector<float>& samples)
{
    const std::lock_guard<std::mutex> sl (stateLock);
    auto* e = findEntry (name);

    jassert (e != nullptr && channel >= 0 && channel < (int) e->input.size());

    if (e != nullptr && channel >= 0 && channel < (int) e->input.size())
        e->input[(size_t) channel].insert (e->input[(size_t) channel].end(), samples.begin(), samples.end());
}

void VirtualAudioDevices::clearInput (const juce::String& name)
{
    const std::lock_guard<std::mutex> sl (stateLock);

    for (auto& e : entries)
        if (name.isEmpty() || e->info.name == name)
            for (auto& channel : e->input)
                channel.clear();
}

bool VirtualAudioDevices::pullBlock (const juce::String& name, juce::AudioBuffer<float>& inputs, int numSamples)
{
    const std::lock_guard<std::mutex> sl (stateLock);
    auto* e = findEntry (name);

    if (e == nullptr || ! e->plugged)
        return false;

    inputs.clear();

    const auto channels = std::min ((int) e->input.size(), inputs.getNumChannels());

    for (int ch = 0; ch < channels; ++ch)
    {
        auto& queue = e->input[(size_t) ch];
        const auto available = std::min ((size_t) numSamples, queue.size());
        std::copy_n (queue.begin(), available, inputs.getWritePointer (ch));
        queue.erase (queue.begin(), queue.begin() + (std::ptrdiff_t) available);
    }

    return true;
}

void VirtualAudioDevices::storeBlock (const juce::String& name, const juce::AudioBuffer<float>& outputs, int numSamples)
{
    const std::lock_guard<std::mutex> sl (stateLock);
    auto* e = findEntry (name);

    if (e == nullptr)
        return;

    ++e->blocksRendered;

    if (! captureEnabled)
        return;

    const auto channels = std::min ((int) e->capture.size(), outputs.getNumChannels());

    for (int ch = 0; ch < channels; ++ch)
    {
        const auto* data = outputs.getReadPointer (ch);
        e->capture[(size_t) ch].insert (e->capture[(size_t) ch].end(), data, data + numSamples);
    }
}

//==============================================================================
void VirtualAudioDevices::registerRuntime (const std::shared_ptr<detail::VirtualDeviceRuntime>& runtime)
{
    const std::lock_guard<std::recursive_mutex> rl (registryLock);
    runtimes.push_back (runtime);
}

void VirtualAudioDevices::unregisterRuntime (const detail::VirtualDeviceRuntime* runtime)
{
    const std::lock_guard<std::recursive_mutex> rl (registryLock);
    runtimes.erase (std::remove_if (runtimes.begin(), runtimes.end(),
                                    [runtime] (const auto& weak)
                                    {
                                        auto strong = weak.lock();
                                        return strong == nullptr || strong.get() == runtime;
                                    }),
                    runtimes.end());
}

void VirtualAudioDevices::registerType (detail::VirtualDeviceType* type)
{
    const std::lock_guard<std::recursive_mutex> rl (registryLock);
    types.push_back (type);
}

void VirtualAudioDevices::unregisterType (detail::VirtualDeviceType* type)
{
    const std::lock_guard<std::recursive_mutex> rl (registryLock);
    types.erase (std::remove (types.begin(), types.end(), type), types.end());
}

std::vector<std::shared_ptr<detail::VirtualDeviceRuntime>> VirtualAudioDevices::liveRuntimes() const
{
    const std::lock_guard<std::recursive_mutex> rl (registryLock);
    std::vector<std::shared_ptr<detail::VirtualDeviceRuntime>> result;

    for (auto& weak : runtimes)
        if (auto strong = weak.lock())
            result.push_back (std::move (strong));

    return result;
}

std::shared_ptr<detail::VirtualDeviceRuntime> VirtualAudioDevices::findRunning (const juce::String& name) const
{
    std::shared_ptr<detail::VirtualDeviceRuntime> best;
    juce::int64 bestOrder = 0;

    for (auto& runtime : liveRuntimes())
    {
        if (name.isNotEmpty() && runtime->getName() != name)
            continue;

        const auto order = runtime->getStartOrder();

        if (order > bestOrder)
        {
            best = runtime;
            bestOrder = order;
        }
    }

    return best;
}

// Hardware changes reach the program from the system, later, on the message thread: so do ours.
void VirtualAudioDevices::postListChange()
{
    {
        const std::lock_guard<std::recursive_mutex> rl (registryLock);

        if (types.empty())
            return;
    }

    juce::MessageManager::callAsync ([] { VirtualAudioDevices::instance().notifyTypes(); });
}

void VirtualAudioDevices::notifyTypes()
{
    // Held throughout, so that no type can go away on another thread while its listeners run.
    const std::lock_guard<std::recursive_mutex> rl (registryLock);
    const auto current = types;

    for (auto* type : current)
        if (std::find (types.begin(), types.end(), type) != types.end())
            type->deviceListChanged();
}
} // namespace quorvelle::platform
