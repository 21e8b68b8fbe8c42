// The "Virtual" device type, driven through juce::AudioDeviceManager as the engine drives it.
#include "platform/VirtualAudioDevice.h"
#include "tests/support/MessageLoop.h"

#include <gtest/gtest.h>
#include <juce_audio_devices/juce_audio_devices.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

namespace
{
using quorvelle::platform::createVirtualAudioDeviceType;
using quorvelle::platform::VirtualAudioDevices;
using quorvelle::platform::VirtualDeviceInfo;
using quorvelle::test::runMessageLoopFor;
using quorvelle::test::runMessageLoopUntil;
using DeviceSetup = juce::AudioDeviceManager::AudioDeviceSetup;

VirtualAudioDevices& devices() { return VirtualAudioDevices::instance(); }

// A sample value that depends on the channel and the position: exact in float, and two channels
// never carry the same run, so a swapped, shifted, repeated or dropped block shows.
float pattern (int channel, juce::int64 position)
{
    return (float) ((channel * 7919 + position) % 65536 - 32768) / 32768.0f;
}

juce::BigInteger channelMask (const std::vector<int>& channels)
{
    juce::BigInteger mask;

    for (auto ch : channels)
        mask.setBit (ch);

    return mask;
}

juce::BigInteger firstChannels (int count)
{
    juce::BigInteger mask;
    mask.setRange (0, count, true);
    return mask;
}

DeviceSetup setupFor (const juce::String& device, const juce::BigInteger& outputs, double rate, int bufferSize,
                const juce::BigInteger& inputs = {})
{
    DeviceSetup setup;
    setup.outputDeviceName = device;
    setup.inputDeviceName = inputs.isZero() ? juce::String() : device;
    setup.sampleRate = rate;
    setup.bufferSize = bufferSize;
    setup.useDefaultOutputChannels = false;
    setup.outputChannels = outputs;
    setup.useDefaultInputChannels = false;
    setup.inputChannels = inputs;
    return setup;
}

// Checks samples [0, size) of `captured` against expected(firstPosition + i), exactly.
testing::AssertionResult carries (const std::vector<float>& captured, size_t expectedSize,
                                  const std::function<float (juce::int64)>& expected, juce::int64 firstPosition = 0)
{
    if (captured.size() != expectedSize)
        return testing::AssertionFailure() << "captured " << captured.size() << " samples, expected " << expectedSize;

    for (size_t i = 0; i < captured.size(); ++i)
        if (captured[i] != expected (firstPosition + (juce::int64) i))
            return testing::AssertionFailure() << "sample " << i << " is " << captured[i] << ", expected "
                                               << expected (firstPosition + (juce::int64) i);

    return testing::AssertionSuccess();
}

// Writes pattern(channel, position) on each of its channels; restarts at position 0 when prepared.
class PatternSource : public juce::AudioSource
{
public:
    void prepareToPlay (int, double sampleRate) override
    {
        preparedRate = sampleRate;
        position = 0;
    }

    void releaseResources() override {}

    void getNextAudioBlock (const juce::AudioSourceChannelInfo& info) override
    {
        for (int ch = 0; ch < info.buffer->getNumChannels(); ++ch)
        {
            auto* out = info.buffer->getWritePointer (ch, info.startSample);

            for (int i = 0; i < info.numSamples; ++i)
                out[i] = pattern (ch, position + i);
        }

        position += info.numSamples;
    }

    std::atomic<double> preparedRate { 0.0 };

private:
    juce::int64 position = 0;
};

// Records what a callback sees; optionally copies each active input to the output of the same index.
class RecordingCallback : public juce::AudioIODeviceCallback
{
public:
    explicit RecordingCallback (bool passInputsThrough = false) : passThrough (passInputsThrough) {}

    void audioDeviceAboutToStart (juce::AudioIODevice* device) override
    {
        startRate = device->getCurrentSampleRate();
        startBufferSize = device->getCurrentBufferSizeSamples();
        ++starts;
    }

    void audioDeviceIOCallbackWithContext (const float* const* ins, int numIns, float* const* outs, int numOuts,
                                           int numSamples, const juce::AudioIODeviceCallbackContext&) override
    {
        if (starts.load() <= stops.load())
            ++callsWhileStopped;

        lastNumInputs = numIns;
        lastNumOutputs = numOuts;
        lastNumSamples = numSamples;

        for (int ch = 0; ch < numOuts; ++ch)
        {
            if (passThrough && ch < numIns)
                std::copy_n (ins[ch], numSamples, outs[ch]);
            else
                std::fill_n (outs[ch], numSamples, 0.0f);
        }

        ++blocks;
    }

    void audioDeviceStopped() override { ++stops; }

    const bool passThrough;
    std::atomic<int> starts { 0 }, stops { 0 }, blocks { 0 }, callsWhileStopped { 0 };
    std::atomic<int> lastNumInputs { -1 }, lastNumOutputs { -1 }, lastNumSamples { -1 };
    std::atomic<double> startRate { 0.0 };
    std::atomic<int> startBufferSize { 0 };
};

// What the manager looked like each time it sent a change message.
class ChangeRecorder : public juce::ChangeListener
{
public:
    struct Seen
    {
        juce::String device;  // empty when none was open
        juce::StringArray listed;
    };

    explicit ChangeRecorder (juce::AudioDeviceManager& m) : manager (m) { manager.addChangeListener (this); }
    ~ChangeRecorder() override { manager.removeChangeListener (this); }

    void changeListenerCallback (juce::ChangeBroadcaster*) override
    {
        auto* device = manager.getCurrentAudioDevice();
        auto* type = manager.getCurrentDeviceTypeObject();
        seen.push_back ({ device != nullptr ? device->getName() : juce::String(),
                          type != nullptr ? type->getDeviceNames() : juce::StringArray() });
    }

    bool sawChange (const std::function<bool (const Seen&)>& predicate) const
    {
        return std::any_of (seen.begin(), seen.end(), predicate);
    }

    std::vector<Seen> seen;

private:
    juce::AudioDeviceManager& manager;
};

class VirtualAudioDeviceTest : public testing::Test
{
protected:
    void SetUp() override { devices().reset(); }

    void TearDown() override
    {
        manager.removeAudioCallback (&player);
        player.setSource (nullptr);
        manager.closeAudioDevice();
        devices().setClock (VirtualAudioDevices::Clock::manual);
    }

    // Registers the type and selects it, as the engine does (which opens the default device).
    void useVirtualType()
    {
        manager.addAudioDeviceType (createVirtualAudioDeviceType());
        manager.setCurrentAudioDeviceType ("Virtual", true);
        ASSERT_EQ (manager.getCurrentAudioDeviceType(), "Virtual");
    }

    void playSource()
    {
        player.setSource (&source);
        manager.addAudioCallback (&player);
    }

    juce::AudioIODeviceType* virtualType()
    {
        for (auto* type : manager.getAvailableDeviceTypes())
            if (type->getTypeName() == "Virtual")
                return type;

        return nullptr;
    }

    juce::String currentDeviceName() const
    {
        auto* device = manager.getCurrentAudioDevice();
        return device != nullptr ? device->getName() : juce::String();
    }

    juce::AudioDeviceManager manager;
    PatternSource source;
    juce::AudioSourcePlayer player;
};

//==============================================================================
TEST_F (VirtualAudioDeviceTest, DefaultDevicesAreListedAndOpenWithoutScripting)
{
    useVirtualType();

    auto* type = virtualType();
    ASSERT_NE (type, nullptr);
    EXPECT_EQ (type->getDeviceNames(), juce::StringArray ({ "Virtual 2", "Virtual 4", "Virtual 8", "Virtual 16" }));
    EXPECT_TRUE (type->getDeviceNames (true).isEmpty()) << "the default devices have no inputs";

    // Selecting the type opened its default device, running on the manual clock.
    ASSERT_NE (manager.getCurrentAudioDevice(), nullptr);
    EXPECT_EQ (currentDeviceName(), "Virtual 2");
    EXPECT_TRUE (devices().isRunning ("Virtual 2"));

    const std::pair<const char*, int> others[] = { { "Virtual 4", 4 }, { "Virtual 8", 8 }, { "Virtual 16", 16 } };

    for (const auto& [name, outputs] : others)
    {
        SCOPED_TRACE (name);
        std::unique_ptr<juce::AudioIODevice> device (type->createDevice (name, {}));
        ASSERT_NE (device, nullptr);
        EXPECT_EQ (device->getOutputChannelNames().size(), outputs);
        EXPECT_EQ (device->getAvailableSampleRates(), juce::Array<double> ({ 44100.0, 48000.0, 96000.0 }));
        EXPECT_EQ (device->getAvailableBufferSizes(), juce::Array<int> ({ 64, 128, 256, 512, 1024, 2048 }));
    }

    EXPECT_EQ (type->createDevice ("No Such Device", {}), nullptr);
}

//==============================================================================
// The device side of the contract JUCE's clients rely on, without the manager in between.
TEST_F (VirtualAudioDeviceTest, FollowsTheAudioIODeviceContract)
{
    auto type = createVirtualAudioDeviceType();
    type->scanForDevices();
    std::unique_ptr<juce::AudioIODevice> device (type->createDevice ("Virtual 4", {}));
    ASSERT_NE (device, nullptr);
    EXPECT_EQ (device->getLastError(), "") << "a new device must not read as failed";

    // Asking for more channels than exist opens the ones that exist.
    ASSERT_EQ (device->open ({}, firstChannels (32), 96000.0, 128), "");
    EXPECT_TRUE (device->isOpen());
    EXPECT_FALSE (device->isPlaying());
    EXPECT_EQ (device->getActiveOutputChannels(), firstChannels (4));
    EXPECT_TRUE (device->getActiveInputChannels().isZero());
    EXPECT_EQ (device->getCurrentSampleRate(), 96000.0);
    EXPECT_EQ (device->getCurrentBufferSizeSamples(), 128);
    EXPECT_EQ (devices().renderBlocks (1, "Virtual 4"), 0) << "an open device that is not started renders nothing";

    RecordingCallback callback;
    device->start (&callback);
    EXPECT_TRUE (device->isPlaying());
    EXPECT_EQ (callback.starts.load(), 1);
    EXPECT_EQ (callback.startRate.load(), 96000.0);
    EXPECT_EQ (callback.startBufferSize.load(), 128);

    EXPECT_EQ (devices().renderBlocks (3, "Virtual 4"), 3);
    EXPECT_EQ (callback.blocks.load(), 3);
    EXPECT_EQ (callback.lastNumOutputs.load(), 4);
    EXPECT_EQ (callback.lastNumInputs.load(), 0);
    EXPECT_EQ (callback.lastNumSamples.load(), 128);

    device->stop();
    EXPECT_EQ (callback.stops.load(), 1);
    EXPECT_FALSE (device->isPlaying());
    EXPECT_EQ (devices().renderBlocks (2, "Virtual 4"), 0);
    EXPECT_EQ (callback.blocks.load(), 3);

    // Started again, then closed while running: the callback is stopped on close.
    device->start (&callback);
    EXPECT_EQ (callback.starts.load(), 2);
    EXPECT_EQ (devices().renderBlocks (1), 1);
    device->close();
    EXPECT_EQ (callback.stops.load(), 2);
    EXPECT_FALSE (device->isOpen());
    EXPECT_EQ (devices().renderBlocks (1), 0);
    EXPECT_EQ (callback.callsWhileStopped.load(), 0);
}

//==============================================================================
struct RoutingCase
{
    const char* device;
    std::vector<int> activeOutputs;
    double rate;
    int bufferSize;
};

void PrintTo (const RoutingCase& c, std::ostream* os)
{
    *os << c.device << ", " << c.activeOutputs.size() << " active outputs, " << c.rate << " Hz, " << c.bufferSize;
}

class VirtualAudioDeviceRouting : public VirtualAudioDeviceTest, public testing::WithParamInterface<RoutingCase>
{
};

// The k-th active output carries the source's channel k, sample for sample; inactive outputs are silent.
TEST_P (VirtualAudioDeviceRouting, SourceSamplesArriveUnchangedOnTheActiveOutputs)
{
    const auto& routing = GetParam();
    const auto mask = channelMask (routing.activeOutputs);

    useVirtualType();
    playSource();
    ASSERT_EQ (manager.setAudioDeviceSetup (setupFor (routing.device, mask, routing.rate, routing.bufferSize), true), "");
    ASSERT_EQ (currentDeviceName(), routing.device);

    auto* device = manager.getCurrentAudioDevice();
    EXPECT_EQ (device->getActiveOutputChannels(), mask);
    EXPECT_EQ (device->getCurrentSampleRate(), routing.rate);
    EXPECT_EQ (device->getCurrentBufferSizeSamples(), routing.bufferSize);
    EXPECT_EQ (source.preparedRate.load(), routing.rate);

    devices().clearCaptured();
    const auto numOutputs = devices().getDeviceInfo (routing.device)->numOutputs;

    // Two runs of blocks: the second continues where the first ended.
    ASSERT_EQ (devices().renderBlocks (3), 3);
    ASSERT_EQ (devices().renderBlocks (4, routing.device), 4);

    const auto expectedSize = (size_t) (7 * routing.bufferSize);
    ASSERT_EQ (devices().getNumCapturedChannels (routing.device), numOutputs);
    EXPECT_EQ (devices().getNumCapturedSamples (routing.device), (juce::int64) expectedSize);

    int sourceChannel = 0;

    for (int ch = 0; ch < numOutputs; ++ch)
    {
        SCOPED_TRACE ("device output " + std::to_string (ch));
        const auto captured = devices().getCaptured (routing.device, ch);

        if (mask[ch])
        {
            const auto k = sourceChannel++;
            EXPECT_TRUE (carries (captured, expectedSize, [k] (juce::int64 pos) { return pattern (k, pos); }));
        }
        else
        {
            EXPECT_TRUE (carries (captured, expectedSize, [] (juce::int64) { return 0.0f; }));
        }
    }

    // Cleared capture starts again at the next block, and the source keeps counting.
    devices().clearCaptured (routing.device);
    ASSERT_EQ (devices().renderBlocks (1), 1);
    const auto first = channelMask (routing.activeOutputs).findNextSetBit (0);
    EXPECT_TRUE (carries (devices().getCaptured (routing.device, first), (size_t) routing.bufferSize,
                          [] (juce::int64 pos) { return pattern (0, pos); }, 7 * routing.bufferSize));
}

INSTANTIATE_TEST_SUITE_P (Devices, VirtualAudioDeviceRouting,
                          testing::Values (RoutingCase { "Virtual 2", { 0, 1 }, 48000.0, 256 },
                                           RoutingCase { "Virtual 4", { 1, 3 }, 44100.0, 64 },
                                           RoutingCase { "Virtual 8", { 2, 3, 4, 5 }, 96000.0, 128 },
                                           RoutingCase { "Virtual 16", { 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15 },
                                                         48000.0, 2048 }),
                          [] (const testing::TestParamInfo<RoutingCase>& info)
                          {
                              return juce::String (info.param.device).removeCharacters (" ").toStdString() + "_"
                                     + std::to_string (info.param.activeOutputs.size()) + "Active";
                          });

//==============================================================================
TEST_F (VirtualAudioDeviceTest, ReopeningWithMoreOutputsCarriesEveryChannel)
{
    useVirtualType();
    playSource();

    ASSERT_EQ (manager.setAudioDeviceSetup (setupFor ("Virtual 2", firstChannels (2), 48000.0, 512), true), "");
    ASSERT_EQ (devices().renderBlocks (2), 2);
    EXPECT_TRUE (carries (devices().getCaptured ("Virtual 2", 1), 1024, [] (juce::int64 pos) { return pattern (1, pos); }));

    ASSERT_EQ (manager.setAudioDeviceSetup (setupFor ("Virtual 16", firstChannels (16), 48000.0, 512), true), "");
    ASSERT_EQ (currentDeviceName(), "Virtual 16");
    EXPECT_EQ (manager.getCurrentAudioDevice()->getActiveOutputChannels(), firstChannels (16));
    EXPECT_FALSE (devices().isRunning ("Virtual 2"));
    EXPECT_EQ (devices().getRunningDeviceName(), "Virtual 16");

    ASSERT_EQ (devices().renderBlocks (2), 2);

    for (int ch = 0; ch < 16; ++ch)
    {
        SCOPED_TRACE ("output " + std::to_string (ch));
        EXPECT_TRUE (carries (devices().getCaptured ("Virtual 16", ch), 1024,
                              [ch] (juce::int64 pos) { return pattern (ch, pos); }));
    }

    EXPECT_EQ (devices().getNumCapturedSamples ("Virtual 2"), 1024) << "the closed device captured nothing more";
}

//==============================================================================
TEST_F (VirtualAudioDeviceTest, InjectedInputReachesTheCallbackOnTheActiveInputs)
{
    VirtualDeviceInfo interfaceInfo;
    interfaceInfo.name = "Stage Interface";
    interfaceInfo.numInputs = 4;
    interfaceInfo.numOutputs = 4;
    devices().addDevice (interfaceInfo);

    useVirtualType();
    EXPECT_EQ (virtualType()->getDeviceNames (true), juce::StringArray ("Stage Interface"));

    RecordingCallback passThrough (true);
    manager.addAudioCallback (&passThrough);
    ASSERT_EQ (manager.setAudioDeviceSetup (setupFor ("Stage Interface", channelMask ({ 0, 1 }), 48000.0, 64,
                                                      channelMask ({ 1, 2 })),
                                            true),
               "");
    EXPECT_EQ (manager.getCurrentAudioDevice()->getActiveInputChannels(), channelMask ({ 1, 2 }));

    // Two and a half blocks on every input channel; the rest is silence.
    const auto inputOf = [] (int channel, juce::int64 pos) { return pos < 160 ? pattern (100 + channel, pos) : 0.0f; };

    for (int ch = 0; ch < 4; ++ch)
    {
        std::vector<float> samples (160);

        for (size_t i = 0; i < samples.size(); ++i)
            samples[i] = inputOf (ch, (juce::int64) i);

        devices().queueInput ("Stage Interface", ch, samples);
    }

    devices().clearCaptured();
    ASSERT_EQ (devices().renderBlocks (4), 4);
    manager.removeAudioCallback (&passThrough);

    EXPECT_EQ (passThrough.lastNumInputs.load(), 2);
    EXPECT_TRUE (carries (devices().getCaptured ("Stage Interface", 0), 256,
                          [&] (juce::int64 pos) { return inputOf (1, pos); }));
    EXPECT_TRUE (carries (devices().getCaptured ("Stage Interface", 1), 256,
                          [&] (juce::int64 pos) { return inputOf (2, pos); }));
}

//==============================================================================
TEST_F (VirtualAudioDeviceTest, RefusalTextComesBackFromSetAudioDeviceSetup)
{
    useVirtualType();

    struct Case
    {
        const char* what;
        DeviceSetup first;  // opened before the refusal is scripted
        DeviceSetup refused;
    };

    const Case cases[] = {
        { "opening another device", setupFor ("Virtual 2", firstChannels (2), 48000.0, 256),
          setupFor ("Virtual 8", firstChannels (8), 48000.0, 256) },
        { "changing the open device's block size", setupFor ("Virtual 8", firstChannels (8), 48000.0, 256),
          setupFor ("Virtual 8", firstChannels (8), 48000.0, 1024) },
        { "changing the open device's rate", setupFor ("Virtual 4", firstChannels (4), 48000.0, 256),
          setupFor ("Virtual 4", firstChannels (4), 96000.0, 256) },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        ASSERT_EQ (manager.setAudioDeviceSetup (c.first, true), "");

        const auto device = c.refused.outputDeviceName;
        devices().refuseNextOpen ("Virtual 16", "not this one");
        devices().refuseNextOpen (device, "Device in use by another application");
        devices().refuseNextOpen (device, "Sample rate not supported");

        EXPECT_EQ (manager.setAudioDeviceSetup (c.refused, true), "Device in use by another application");
        EXPECT_EQ (manager.getCurrentAudioDevice(), nullptr);
        EXPECT_EQ (devices().getRunningDeviceName(), "");

        // Refusals queue up, one per open...
        EXPECT_EQ (manager.setAudioDeviceSetup (c.refused, true), "Sample rate not supported");
        // ...and then the device opens.
        EXPECT_EQ (manager.setAudioDeviceSetup (c.refused, true), "");
        EXPECT_EQ (currentDeviceName(), device);
        EXPECT_EQ (manager.getCurrentAudioDevice()->getCurrentSampleRate(), c.refused.sampleRate);
        EXPECT_EQ (manager.getCurrentAudioDevice()->getCurrentBufferSizeSamples(), c.refused.bufferSize);

        // A refusal scripted for one device leaves the others alone.
        EXPECT_EQ (manager.setAudioDeviceSetup (setupFor ("Virtual 16", firstChannels (2), 48000.0, 256), true),
                   "not this one");
    }
}

//==============================================================================
TEST_F (VirtualAudioDeviceTest, DeviceAtAnotherRateReportsTheRateItRuns)
{
    VirtualDeviceInfo locked;
    locked.name = "Clock-Locked 8";
    locked.numOutputs = 8;
    locked.actualSampleRate = 44100.0;
    devices().addDevice (locked);

    useVirtualType();
    playSource();
    RecordingCallback callback;
    manager.addAudioCallback (&callback);

    for (const double asked : { 48000.0, 96000.0 })
    {
        SCOPED_TRACE (asked);
        ASSERT_EQ (manager.setAudioDeviceSetup (setupFor ("Clock-Locked 8", firstChannels (2), asked, 256), true), "");

        EXPECT_EQ (manager.getCurrentAudioDevice()->getCurrentSampleRate(), 44100.0);
        EXPECT_EQ (manager.getAudioDeviceSetup().sampleRate, 44100.0);
        EXPECT_EQ (callback.startRate.load(), 44100.0) << "callbacks are prepared at the rate the device runs";
        EXPECT_EQ (source.preparedRate.load(), 44100.0);
    }

    // Scripted on an existing device, it applies from the next open.
    devices().setActualSampleRate ("Virtual 4", 96000.0);
    ASSERT_EQ (manager.setAudioDeviceSetup (setupFor ("Virtual 4", firstChannels (4), 44100.0, 256), true), "");
    EXPECT_EQ (manager.getCurrentAudioDevice()->getCurrentSampleRate(), 96000.0);
    EXPECT_EQ (callback.startRate.load(), 96000.0);

    manager.removeAudioCallback (&callback);
}

// A scripted control panel returns at once; the open device then runs at the panel's rate, and the
// running callbacks (the manager's among them, which takes the rate into its setup) are told.
TEST_F (VirtualAudioDeviceTest, ControlPanelSwitchesTheOpenDeviceToItsRate)
{
    useVirtualType();
    RecordingCallback callback;
    manager.addAudioCallback (&callback);
    ASSERT_EQ (manager.setAudioDeviceSetup (setupFor ("Virtual 2", firstChannels (2), 48000.0, 256), true), "");
    auto* device = manager.getCurrentAudioDevice();
    ASSERT_NE (device, nullptr);
    EXPECT_FALSE (device->hasControlPanel());

    devices().setControlPanel ("Virtual 2", 44100.0);
    ASSERT_TRUE (device->hasControlPanel());
    const auto startsBefore = callback.starts.load();
    device->showControlPanel();

    EXPECT_EQ (devices().getControlPanelShows ("Virtual 2"), 1);
    EXPECT_EQ (device->getCurrentSampleRate(), 44100.0);
    EXPECT_EQ (manager.getAudioDeviceSetup().sampleRate, 44100.0);
    EXPECT_EQ (callback.starts.load(), startsBefore + 1);
    EXPECT_EQ (callback.startRate.load(), 44100.0);
    EXPECT_EQ (devices().renderBlocks (2), 2);

    // A panel without a rate changes nothing.
    devices().setControlPanel ("Virtual 2", 0.0);
    device->showControlPanel();
    EXPECT_EQ (devices().getControlPanelShows ("Virtual 2"), 2);
    EXPECT_EQ (device->getCurrentSampleRate(), 44100.0);
    EXPECT_EQ (callback.starts.load(), startsBefore + 1);

    manager.removeAudioCallback (&callback);
}

//==============================================================================
TEST_F (VirtualAudioDeviceTest, UnplugClosesTheDeviceThroughTheListenersAndReplugListsItAgain)
{
    useVirtualType();
    RecordingCallback callback;
    manager.addAudioCallback (&callback);
    ASSERT_EQ (manager.setAudioDeviceSetup (setupFor ("Virtual 8", firstChannels (8), 48000.0, 256), true), "");
    ASSERT_EQ (devices().renderBlocks (2), 2);

    ChangeRecorder changes (manager);
    const auto stopsBefore = callback.stops.load();

    devices().unplug ("Virtual 8");

    // The hardware is gone at once; the program hears of it later, on the message thread.
    EXPECT_EQ (devices().renderBlocks (1, "Virtual 8"), 0);
    EXPECT_FALSE (devices().isPlugged ("Virtual 8"));
    EXPECT_EQ (currentDeviceName(), "Virtual 8");

    // JUCE 7's manager closes the lost device and opens the type's default one, then sends a change message.
    ASSERT_TRUE (runMessageLoopUntil ([&] {
        return changes.sawChange ([] (const ChangeRecorder::Seen& s) { return s.device == "Virtual 2"; });
    }));
    EXPECT_FALSE (virtualType()->getDeviceNames().contains ("Virtual 8"));
    EXPECT_GT (callback.stops.load(), stopsBefore) << "the lost device's callback was stopped";
    EXPECT_EQ (devices().getRunningDeviceName(), "Virtual 2");
    EXPECT_EQ (devices().renderBlocks (1), 1);

    devices().replug ("Virtual 8");
    ASSERT_TRUE (runMessageLoopUntil ([&] {
        return changes.sawChange ([] (const ChangeRecorder::Seen& s) { return s.listed.contains ("Virtual 8"); });
    }));
    EXPECT_EQ (currentDeviceName(), "Virtual 2") << "a replugged device is not taken back by itself";

    ASSERT_EQ (manager.setAudioDeviceSetup (setupFor ("Virtual 8", firstChannels (8), 48000.0, 256), true), "");
    EXPECT_EQ (devices().renderBlocks (1), 1);
    EXPECT_EQ (callback.callsWhileStopped.load(), 0);

    manager.removeAudioCallback (&callback);
}

TEST_F (VirtualAudioDeviceTest, UnpluggingTheOnlyDeviceLeavesTheManagerWithoutOne)
{
    devices().removeAllDevices();
    VirtualDeviceInfo only;
    only.name = "USB Interface";
    only.numOutputs = 4;
    devices().addDevice (only);

    useVirtualType();
    ASSERT_EQ (currentDeviceName(), "USB Interface");

    ChangeRecorder changes (manager);
    devices().unplug ("USB Interface");
    ASSERT_TRUE (runMessageLoopUntil ([&] {
        return changes.sawChange ([] (const ChangeRecorder::Seen& s) { return s.device.isEmpty() && s.listed.isEmpty(); });
    }));
    EXPECT_EQ (manager.getCurrentAudioDevice(), nullptr);

    // Replugged from another thread: still applied on the message thread.
    std::thread ([] { devices().replug ("USB Interface"); }).join();
    ASSERT_TRUE (runMessageLoopUntil ([&] {
        return changes.sawChange ([] (const ChangeRecorder::Seen& s) { return s.listed.contains ("USB Interface"); });
    }));
    EXPECT_EQ (manager.getCurrentAudioDevice(), nullptr) << "JUCE 7 reopens nothing on its own when nothing was open";

    ASSERT_EQ (manager.setAudioDeviceSetup (setupFor ("USB Interface", firstChannels (4), 48000.0, 256), true), "");
    EXPECT_TRUE (devices().isRunning ("USB Interface"));
}

//==============================================================================
TEST_F (VirtualAudioDeviceTest, RealTimeClockDeliversContinuousBlocksUntilStopped)
{
    useVirtualType();
    playSource();
    ASSERT_EQ (manager.setAudioDeviceSetup (setupFor ("Virtual 2", firstChannels (2), 48000.0, 128), true), "");
    devices().clearCaptured();

    devices().setClock (VirtualAudioDevices::Clock::realTime);
    ASSERT_TRUE (runMessageLoopUntil ([] { return devices().getNumCapturedSamples ("Virtual 2") >= 40 * 128; }, 20000));
    EXPECT_EQ (devices().renderBlocks (1), 0) << "the manual clock is idle while the real-time one runs";

    // Back to the manual clock: the paced thread stops, and blocks carry on from where it left off.
    devices().setClock (VirtualAudioDevices::Clock::manual);
    const auto pacedSamples = devices().getNumCapturedSamples ("Virtual 2");
    ASSERT_EQ (devices().renderBlocks (3), 3);

    for (int ch = 0; ch < 2; ++ch)
        EXPECT_TRUE (carries (devices().getCaptured ("Virtual 2", ch), (size_t) pacedSamples + 3 * 128,
                              [ch] (juce::int64 pos) { return pattern (ch, pos); }));

    // Started on the real-time clock, then closed: nothing arrives after close returns.
    devices().setClock (VirtualAudioDevices::Clock::realTime);
    ASSERT_TRUE (runMessageLoopUntil ([&] { return devices().getNumCapturedSamples ("Virtual 2") > pacedSamples + 3 * 128; },
                                      20000));
    RecordingCallback callback;
    manager.addAudioCallback (&callback);
    ASSERT_TRUE (runMessageLoopUntil ([&] { return callback.blocks.load() > 0; }, 20000));
    manager.closeAudioDevice();

    EXPECT_EQ (callback.stops.load(), 1);
    const auto blocksAtClose = devices().getBlocksRendered ("Virtual 2");
    std::this_thread::sleep_for (std::chrono::milliseconds (50));
    EXPECT_EQ (devices().getBlocksRendered ("Virtual 2"), blocksAtClose);
    EXPECT_EQ (callback.callsWhileStopped.load(), 0);
    manager.removeAudioCallback (&callback);
}

// A block of this device lasts ten minutes: if stopping had to wait out the clock's pause, close
// would hang past the test's timeout instead of returning.
TEST_F (VirtualAudioDeviceTest, RealTimeClockStopsWithoutWaitingOutTheBlock)
{
    VirtualDeviceInfo slow;
    slow.name = "Slow";
    slow.sampleRates = { 100.0 };
    slow.bufferSizes = { 60000 };
    slow.defaultBufferSize = 60000;
    devices().addDevice (slow);

    useVirtualType();
    RecordingCallback callback;
    manager.addAudioCallback (&callback);
    devices().setClock (VirtualAudioDevices::Clock::realTime);
    ASSERT_EQ (manager.setAudioDeviceSetup (setupFor ("Slow", firstChannels (2), 100.0, 60000), true), "");

    ASSERT_TRUE (runMessageLoopUntil ([] { return devices().getBlocksRendered ("Slow") == 1; }, 20000))
        << "the first block goes out at start";
    const auto stopsBefore = callback.stops.load();
    manager.closeAudioDevice();

    EXPECT_EQ (callback.stops.load(), stopsBefore + 1);
    EXPECT_EQ (devices().getBlocksRendered ("Slow"), 1);
    EXPECT_FALSE (devices().isRunning ("Slow"));
    manager.removeAudioCallback (&callback);
}
} // namespace
