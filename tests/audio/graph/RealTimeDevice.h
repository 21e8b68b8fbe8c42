#pragma once

// A "Virtual 2" device on the Virtual device type's real-time clock, playing one audio source:
// the race cases and the soak render through it as the program's device would.

#include "platform/VirtualAudioDevice.h"

#include <juce_audio_devices/juce_audio_devices.h>
#include <gtest/gtest.h>

namespace quorvelle::test
{
struct RealTimeDevice
{
    static platform::VirtualAudioDevices& devices() { return platform::VirtualAudioDevices::instance(); }

    // Switches the devices to the real-time clock, opens the device and starts playing `source`.
    void start (juce::AudioSource& source, double rate, int block)
    {
        devices().setClock (platform::VirtualAudioDevices::Clock::realTime);
        manager.addAudioDeviceType (platform::createVirtualAudioDeviceType());
        manager.setCurrentAudioDeviceType ("Virtual", true);
        blockSize = block;
        open (rate);
        player.setSource (&source);
        manager.addAudioCallback (&player);
    }

    // (Re)opens the device at `rate`: a running device stops and starts again.
    void open (double rate)
    {
        juce::AudioDeviceManager::AudioDeviceSetup setup;
        setup.outputDeviceName = "Virtual 2";
        setup.sampleRate = rate;
        setup.bufferSize = blockSize;
        setup.useDefaultOutputChannels = true;
        ASSERT_EQ (manager.setAudioDeviceSetup (setup, true), "");
    }

    // Stops playing and closes the device; back to the manual clock.
    void stop()
    {
        manager.removeAudioCallback (&player);
        player.setSource (nullptr);
        manager.closeAudioDevice();
        devices().setClock (platform::VirtualAudioDevices::Clock::manual);
    }

    juce::AudioDeviceManager manager;
    juce::AudioSourcePlayer player;
    int blockSize = 128;
};
} // namespace quorvelle::test
